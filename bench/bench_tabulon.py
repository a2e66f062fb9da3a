"""Benchmarks of module tabulon."""
from harness import faster

from orvane.tessel.tabulon import Tabulon
from twins.tabulon import Tabulon as Twin


def make_document(sections=40):
    """A settings-like document: 34 pairs per section, mixing dicts, lists and
    tuples (1,360 pairs for 40 sections)."""
    doc = {}
    for i in range(sections):
        doc["section%d" % i] = {
            "name": "item%d" % i, "id": i, "enabled": i % 2 == 0, "ratio": i / 7,
            "tags": ["t%d" % j for j in range(5)],
            "point": (i, i + 1, i + 2),
            "children": [{"k": j, "v": "x" * j, "pair": (j, str(j))} for j in range(4)],
            "meta": {"owner": "me", "nested": {"deep": [1, 2, (3, 4)]}, "empty": {}},
        }
    return doc


def run():
    doc = make_document()
    ours, twin = Tabulon(doc), Twin(doc)
    assert len(ours) == len(twin) == 1360
    assert ours.reconstruct() == twin.reconstruct() == doc
    ns = {"Tabulon": Tabulon, "Twin": Twin, "doc": doc, "t": ours, "tt": twin,
          "a": Tabulon(), "ta": Twin(), "pair": (("section", "key"), 1)}
    faster("tabulon", "Tabulon(doc), 1,360 pairs", "Tabulon(doc)", "Twin(doc)", ns, 4.0, repeat=5)
    faster("tabulon", "t.reconstruct(), 1,360 pairs", "t.reconstruct()", "tt.reconstruct()", ns, 5.0,
           repeat=5)
    # pop() (the base list's) keeps the list from growing across the runs.
    faster("tabulon", "append(pair); pop()", "a.append(pair); a.pop()", "ta.append(pair); ta.pop()",
           ns, 2.5)
