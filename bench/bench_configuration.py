"""Benchmarks of module configuration."""
from harness import faster

from bench_coffer import document
from orvane.tessel import configuration
from twins import configuration as twin


def run():
    doc = document()  # 1,000 int leaves; both sides use the same typecast_str
    assert configuration.typecast_str is twin.typecast_str
    ns = {"Configuration": configuration.Configuration, "Twin": twin.Configuration, "doc": doc,
          "cfg": configuration.Configuration(doc), "twin_cfg": twin.Configuration(doc)}
    faster("configuration", "Configuration(doc) (1,000 leaves)", "Configuration(doc)", "Twin(doc)",
           ns, 2.5, repeat=5)
    faster("configuration", "cfg.copy() (1,000 leaves)", "cfg.copy()", "twin_cfg.copy()", ns, 2.5,
           repeat=5)
    strings = {k: {j: {i: str(v) for i, v in level.items()} for j, level in sub.items()}
               for k, sub in doc.items()}
    ns["strings"] = strings
    faster("configuration", "Configuration(doc) (1,000 str leaves)", "Configuration(strings)",
           "Twin(strings)", ns, 1.5, repeat=5)
    faster("configuration", "cfg['a.b.c'] = '1'", "cfg['k1.k2.k3'] = '1'", "twin_cfg['k1.k2.k3'] = '1'",
           ns, 2.5)
