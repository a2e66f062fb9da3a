"""A short tour of the library (the main job until the command-line tool arrives)."""
from orvane.tessel.coffer import Coffer

actor = Coffer({"first": "Grace", "last": "Hopper"})
print("actor            ", actor)
print("actor.first      ", actor.first)
actor.born = 1906
print("actor['born']    ", actor["born"])
print("keys             ", sorted(actor))
