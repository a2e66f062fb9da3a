"""Pure-Python twin of orvane.tessel.configuration."""
import os
import yaml
import logging
import configparser
from pkg_resources import iter_entry_points
from collections.abc import Mapping  # noqa: F401

from .coffer import NestedCoffer
from orvane.utils.strings import typecast_str

logger = logging.getLogger(__name__)


ENDLESS = 1 << 62  # sizes saturate here


def _allowed_alias_share(nodes):
    if nodes <= 400000:
        return 0.99
    if nodes >= 4000000:
        return 0.10
    return 0.99 - 0.89 * ((nodes - 400000) / 3600000)


def check_expansion(name, document):
    """Refuses a document whose tree, with every alias written out, is far
    beyond its size as loaded (each distinct container counted once)."""
    sizes = {}          # id(container) -> expanded size, None while walking it
    keep = []           # the containers, so that their ids stay theirs
    state = {"loaded": 1, "cyclic": False}

    def measure(node):
        if not isinstance(node, (dict, list, tuple)):
            return 1 + len(node) if isinstance(node, (set, frozenset)) else 1
        if id(node) in sizes:
            size = sizes[id(node)]
            if size is None:
                state["cyclic"] = True
                return ENDLESS
            return size
        sizes[id(node)] = None
        keep.append(node)
        size, slots = 1, 0
        for item in (x for pair in node.items() for x in pair) if isinstance(node, dict) else node:
            size = min(ENDLESS, size + measure(item))
            slots += 1
        sizes[id(node)] = size
        state["loaded"] = min(ENDLESS, state["loaded"] + slots)
        return size

    expanded = measure(document)
    if state["cyclic"]:
        raise ValueError("%s: the document expands too much through aliases (it contains itself)" % (name,))
    added = max(0, expanded - state["loaded"])
    if expanded <= 1000 or added <= 100 or added <= _allowed_alias_share(expanded) * expanded:
        return
    if expanded >= ENDLESS:
        raise ValueError("%s: the document expands too much through aliases (past 2**62 nodes from %d as loaded)"
                         % (name, state["loaded"]))
    raise ValueError("%s: the document expands too much through aliases (%d nodes from %d as loaded)"
                     % (name, expanded, state["loaded"]))


class Configuration(NestedCoffer):
    def copy(self):
        """Returns a copy that shares no level with this configuration.

        Unlike the usual shallow mapping copy, nested configuration blocks are
        always copied, so a component can take a copy and change it for its own
        use without corrupting the configuration it came from.
        """
        return type(self)(self)

    def __setitem__(self, key, value):
        super().__setitem__(key, typecast_str(value))

    def load_cfgs(self, *files):
        parser = configparser.ConfigParser(delimiters=('=',), comment_prefixes=('#',))
        read = parser.read(files)
        self.update(parser)
        self.pop(configparser.DEFAULTSECT)
        return read

    def load_yamls(self, *files):
        loaded = []
        for name in list(files):
            if os.path.isfile(name):
                with open(name, 'r') as stream:
                    update = self.update
                    document = yaml.safe_load(stream)
                    if document is not None:  # an empty file is an empty settings file
                        check_expansion(name, document)
                        update(document)
                loaded.append(name)
        return tuple(loaded)

    def load_entrypoint(self, group):
        """Populates the configuration from the entry points of `group`."""
        loaded_eps = []
        for ep in iter_entry_points(group=group):
            try:
                update = self.update
                update(ep.load())
            except Exception:
                logger.exception("Failed to load configuration from entrypoint: %s" % (ep.dist,))
            else:
                loaded_eps.append(ep)
        return loaded_eps
