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
