"""orvane.tessel: native data structures for everyday use.

The modules are imported by their full names, for example
``from orvane.tessel.coffer import Coffer``; importing the package itself
loads none of them.
"""

# The one version number: the build backend reads it for the wheel and the sdist.
__version__ = "0.1.0"
