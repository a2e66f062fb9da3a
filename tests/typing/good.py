"""Uses every module the way a typed program would; mypy must accept it."""
from typing import Any, Dict, List, Optional, Tuple

from orvane.tessel.arbel import Arbel
from orvane.tessel.coffer import Coffer, NestedCoffer
from orvane.tessel.configuration import Configuration
from orvane.tessel.frayle import Frayle
from orvane.tessel.logic import And, BaseLogic, Not, Or, logic_str
from orvane.tessel.sigil import sigil, SigilDescriptor
from orvane.tessel.tabulon import DictItem, IndexMarker, Tabulon

c = Coffer(first="Grace")
first: Any = c.first
c.born = 1906

nc = NestedCoffer({"a": {"b": 1}})
value: Any = nc["a.b"]
fallback: Any = nc.get("a.x", 0)
popped: Any = nc.pop("a.b", None)
nc.update({"p": {"q": 1}}, r=2)

cfg = Configuration()
read: List[str] = cfg.load_cfgs("settings.ini")
loaded: Tuple[str, ...] = cfg.load_yamls("a.yaml", "b.yaml")
eps: List[Any] = cfg.load_entrypoint("group")
copied: Configuration = cfg.copy()

table = Tabulon({"a": {"b": [1, 2]}})
table.append((("x",), 1))
item: DictItem = DictItem(("y",), 2)
marker = IndexMarker([1], 0)
kind: type = marker.type_
rebuilt: Dict[Any, Any] = table.reconstruct()
pairs = list(Tabulon.__flatten__({"k": 1}))


class Node:
    pass


nodes: Frayle[Node] = Frayle([Node(), Node()])
head: Optional[Node] = nodes[0]
part: Frayle[Node] = nodes[0:1]
nodes.append(Node())
gone: Optional[Node] = nodes.pop()
for n in nodes:
    maybe: Optional[Node] = n

test: BaseLogic = logic_str("Or(And('a', 'b'), Not('c'))")
answer: bool = Or(And("a", "b"), Not("c"), len)("ab", "c")

tree = Arbel("root", [Arbel("a")])
tree.add_child("leaf")
drawing: str = str(tree)


class Service:
    @sigil
    def label(cls) -> str:  # receives the class, as a classmethod would
        return str(cls)


label: str = Service.label
assert sigil is SigilDescriptor
