from typing import Any, Dict, List, Optional

# doctest names and their docstrings
__test__: Dict[str, str]

class Arbel:
    """A named tree node drawn like the `tree` command."""
    name: str
    children: List[Any]
    def __init__(self, name: str, children: Optional[List[Any]] = ...) -> None: ...
    def add_child(self, item: Any) -> None: ...
