from typing import Any, Callable, Generic, Optional, Type, TypeVar, overload

_R = TypeVar("_R")

class SigilDescriptor(Generic[_R]):
    """A read-only class-level property: the getter receives the class."""
    func: Callable[[Any], _R]
    def __init__(self, func: Callable[[Any], _R]) -> None: ...
    def __get__(self, obj: Optional[object], owner: Type[Any]) -> _R: ...

sigil = SigilDescriptor
