from collections.abc import MutableMapping as MutableMapping
from typing import Any, Dict, Generator, Iterable, List, NamedTuple, Optional, SupportsIndex, Tuple, Union, overload

# doctest names and their docstrings
__test__: Dict[str, str]

class DictItem(NamedTuple):
    path: Any
    value: Any

class IndexMarker:
    type_: type
    index: int
    def __init__(self, obj: Any, index: Any) -> None: ...

_Path = Tuple[Any, ...]

class Tabulon(List[Any]):
    """A list of (path, value) pairs standing for a nested dict."""
    def __init__(self, *args: Any) -> None: ...
    @staticmethod
    def __flatten__(indict: Any, path: Optional[_Path] = ...) -> Generator[DictItem, None, None]: ...
    @overload
    def __setitem__(self, index: SupportsIndex, item: Iterable[Any]) -> None: ...
    @overload
    def __setitem__(self, index: slice, item: Iterable[Any]) -> None: ...
    def append(self, item: Iterable[Any]) -> None: ...
    def extend(self, items: Iterable[Iterable[Any]]) -> None: ...
    def insert(self, index: SupportsIndex, item: Iterable[Any]) -> None: ...
    def reconstruct(self) -> Dict[Any, Any]: ...
