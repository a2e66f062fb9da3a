"""orvane.tessel: native data structures for everyday use.

The modules are imported by their full names, for example
``from orvane.tessel.coffer import Coffer``; importing the package itself
loads none of them.
"""

__version__ = "0.1.0"
