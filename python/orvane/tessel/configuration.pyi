import configparser as configparser
import logging as logging
import os as os
from collections.abc import Mapping as Mapping
from typing import Any, Callable, Dict, List, Tuple, TypeVar

from .coffer import NestedCoffer as NestedCoffer

# doctest names and their docstrings
__test__: Dict[str, str]

logger: logging.Logger
typecast_str: Callable[[Any], Any]

_C = TypeVar("_C", bound="Configuration")

class Configuration(NestedCoffer):
    """Nested settings: every subscript assignment passes through typecast_str."""
    def copy(self: _C) -> _C: ...
    def __setitem__(self, key: Any, value: Any) -> None: ...
    def load_cfgs(self, *files: str) -> List[str]: ...
    def load_yamls(self, *files: str) -> Tuple[str, ...]: ...
    def load_entrypoint(self, group: str) -> List[Any]: ...
