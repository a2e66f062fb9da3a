"""Pure-Python twin of orvane.tessel.coffer."""
import itertools
from collections.abc import Mapping, MutableMapping


class Coffer(dict):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.__dict__ = self

    def __repr__(self):
        return "%s(%s)" % (self.__class__.__name__, super(Coffer, self).__repr__())
