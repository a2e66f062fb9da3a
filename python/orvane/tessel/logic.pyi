import logging as logging
import re as re
from typing import Any, Callable, Dict, List, Pattern, Union

# doctest names and their docstrings
__test__: Dict[str, str]

__all__ = ["And", "Or", "Not"]

logger: logging.Logger

_Expression = Union[str, Callable[..., Any]]

class BaseLogic:
    """Base of the logic classes; holds the prepared expressions."""
    expressions: List[Union[Pattern[str], Callable[..., Any]]]
    def __init__(self, *expressions: _Expression) -> None: ...
    def __call__(self) -> bool: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]

class And(BaseLogic):
    def __call__(self, *items: Any) -> bool: ...  # type: ignore[override]

class Or(BaseLogic):
    def __call__(self, *items: Any) -> bool: ...  # type: ignore[override]

class Not(BaseLogic):
    def __call__(self, *items: Any) -> bool: ...  # type: ignore[override]

def logic_str(string: str) -> BaseLogic: ...
