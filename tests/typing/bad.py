"""Misuses that the stubs must reject (each line is one error)."""
from orvane.tessel.arbel import Arbel
from orvane.tessel.configuration import Configuration
from orvane.tessel.frayle import Frayle
from orvane.tessel.logic import logic_str
from orvane.tessel.tabulon import Tabulon

numbers: Frayle[str] = Frayle([1, 2])
text: int = logic_str("And('a')")
rebuilt: list = Tabulon().reconstruct()
Arbel()
Configuration().load_entrypoint()
