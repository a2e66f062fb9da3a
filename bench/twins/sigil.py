"""Pure-Python twin of orvane.tessel.sigil."""


class SigilDescriptor(object):
    """Read-only class-level properties, as a decorator."""

    def __init__(self, func):
        self.func = func

    def __get__(self, obj, owner):
        return self.func(owner)


sigil = SigilDescriptor

__test__ = {}
