"""Benchmarks of module logic."""
from harness import faster

from orvane.tessel import logic
from twins import logic as twin


def run():
    ns = {
        "logic_str": logic.logic_str, "twin_logic_str": twin.logic_str,
        "and_": logic.And("a", "b"), "twin_and": twin.And("a", "b"),
        "nested": logic.Or(logic.And("a", "b"), logic.Not("c"), len),
        "twin_nested": twin.Or(twin.And("a", "b"), twin.Not("c"), len),
        "text": "Or(And('a', 'b'), Not('c'))",
    }
    faster("logic", "And('a', 'b')(item)", "and_('ab')", "twin_and('ab')", ns, 3)
    # The And fails on 'a', the Not on 'c', and len decides: every kind is tried.
    faster("logic", "Or(And('a', 'b'), Not('c'), len)(3 items)", "nested('x', 'y', 'c')",
           "twin_nested('x', 'y', 'c')", ns, 3)
    faster("logic", "str(Or(And('a', 'b'), Not('c'), len))", "str(nested)", "str(twin_nested)",
           ns, 3)
    faster("logic", 'logic_str("%s")' % ns["text"], "logic_str(text)", "twin_logic_str(text)", ns, 4)
