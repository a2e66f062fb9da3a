"""The README's examples run as doctests."""
import doctest
import os

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def test_readme_examples():
    failures, tried = doctest.testfile(README, module_relative=False,
                                       optionflags=doctest.ELLIPSIS)
    assert tried > 20
    assert failures == 0
