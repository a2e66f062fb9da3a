from typing import Any, Callable, Dict, Generic, Optional, Type, TypeVar, overload

# doctest names and their docstrings
__test__: Dict[str, str]

_R = TypeVar("_R")

class SigilDescriptor(Generic[_R]):
    """A read-only class-level property: the getter receives the class."""
    func: Callable[[Any], _R]
    def __init__(self, func: Callable[[Any], _R]) -> None: ...
    def __get__(self, obj: Optional[object], owner: Type[Any]) -> _R: ...

sigil = SigilDescriptor
