from typing import Any, List, Optional

class Arbel:
    """A named tree node drawn like the `tree` command."""
    name: str
    children: List[Any]
    def __init__(self, name: str, children: Optional[List[Any]] = ...) -> None: ...
    def add_child(self, item: Any) -> None: ...
