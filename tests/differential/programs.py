"""Random programs over the seven modules, as standalone Python scripts.

A program is prelude.py (objects, classes and helpers), then a list of
steps, each one line of Python, then `run(STEPS)`, which executes them in
order and prints a transcript: each step's result or exception and the
state of the watched objects that changed.  Steps mix operations with
changes to what the libraries look up (class attributes, descriptors'
classes, metaclass methods, module attributes and classes, builtins, ABC
registries, functions' code and defaults, instances' classes and dicts).
The same seed always gives the same program.
"""
import os
import random

PRELUDE_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "prelude.py")

KEYS = ["'a'", "'b'", "'a.b'", "'a.b.c'", "'x'", "'y.z'", "''", "'a.'", "1", "('t',)", "'update'"]
SCALARS = ["0", "1", "'1'", "'true'", "'text'", "None", "[1, 2]", "(1,)", "O[0]"]
OUR_MODULES = ("coffer", "configuration", "tabulon", "frayle", "logic")
ATTRS = ["a", "b", "x", "zz", "update", "get", "data"]


class Generator(object):
    """Writes the steps of one program from a seed."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.changed = []   # (owner, name) pairs the program changed so far
        self.next_obj = 6   # the next free index in O

    # ------------------------------------------------------------- values
    def pick(self, options):
        return self.rng.choice(options)

    def chance(self, p):
        return self.rng.random() < p

    def key(self):
        return self.pick(KEYS)

    def scalar(self):
        return self.pick(SCALARS)

    def doc(self, depth=2):
        items = []
        for _ in range(self.rng.randint(0, 3)):
            value = self.doc(depth - 1) if depth and self.chance(0.4) else self.scalar()
            items.append("%s: %s" % (self.key(), value))
        return "{%s}" % ", ".join(items)

    def update_arg(self):
        return self.pick([
            self.doc(), self.doc(), "PlainMap(%s)" % self.doc(1),
            "{%s: PlainMap(%s)}" % (self.key(), self.doc(1)),
            "[(%s, %s), (%s, %s)]" % (self.key(), self.scalar(), self.key(), self.doc(1)),
            "[(%s,)]" % self.key(), "['ab', 'cd']", "n", "cf", "c", "None",
        ])

    def table_doc(self, depth=2):
        """A document with lists and tuples inside, for Tabulon."""
        if depth == 0 or self.chance(0.3):
            return self.scalar()
        kind = self.rng.randint(0, 3)
        parts = [self.table_doc(depth - 1) for _ in range(self.rng.randint(0, 2))]
        if kind == 0:
            return "[%s]" % ", ".join(parts)
        if kind == 1:
            return "(%s)" % "".join(p + ", " for p in parts)
        return "{%s}" % ", ".join("%s: %s" % (self.pick(["'a'", "'b'", "'c'", "1"]), p) for p in parts)

    def obj(self):
        return "O[%d]" % self.rng.randint(0, self.next_obj - 1)

    def objs(self):
        return "[%s]" % ", ".join(self.obj() for _ in range(self.rng.randint(0, 3)))

    def expression(self, depth=2, top=False):
        """An argument for And/Or/Not: a regex, a callable or a nested test
        (always a test at the top)."""
        roll = 0 if top else self.rng.randint(0, 5)
        if depth and roll == 0:
            inner = ", ".join(self.expression(depth - 1) for _ in range(self.rng.randint(1, 2)))
            return "%s(%s)" % (self.pick(["And", "Or", "Not", "SubAnd", "MOr"]), inner)
        if roll == 1:
            return self.pick(["is_even", "has_a", "len", "str.isdigit", "Obj"])
        return self.pick(["'^a'", "'b'", "'.'", "'[0-9]+'", "'^$'", "'A'"])

    # --------------------------------------------------------- operations
    def coffer_op(self):
        target = self.pick(["c", "n", "n", "sn", "mn", "cf"])
        k, v = self.key(), self.scalar()
        return self.pick([
            "%s[%s] = %s" % (target, k, v), "%s[%s] = %s" % (target, k, self.doc()),
            "%s[%s]" % (target, k), "del %s[%s]" % (target, k), "%s in %s" % (k, target),
            "%s.get(%s)" % (target, k), "%s.get(%s, 'dflt')" % (target, k),
            "%s.pop(%s, 'gone')" % (target, k), "%s.pop(%s)" % (target, k),
            "%s.setdefault(%s)" % (target, k), "%s.setdefault(%s, %s)" % (target, k, self.doc()),
            "%s.update(%s)" % (target, self.update_arg()),
            "%s.update(%s, k=%s)" % (target, self.update_arg(), v),
            "%s.update(%s=%s)" % (target, self.pick(ATTRS), self.doc()),
            "%s.%s" % (target, self.pick(ATTRS)), "%s.%s = %s" % (target, self.pick(ATTRS), v),
            "del %s.%s" % (target, self.pick(ATTRS)), "repr(%s)" % target, "len(%s)" % target,
            "%s = %s(%s)" % (target, self.pick(["Coffer", "SubCoffer", "NestedCoffer", "SubNested",
                                                 "MNested", "Configuration", "SubConf"]),
                             self.update_arg()),
            "%s = type(%s)(%s)" % (target, target, self.doc()),
            "%s.__init__(%s)" % (target, self.update_arg()),
            "%s == %s" % (target, self.doc()), "%s.__dict__ is %s" % (target, target),
        ])

    def configuration_op(self):
        target = self.pick(["cf", "cf", "mn"])
        files = ", ".join(self.pick(["'a.yaml'", "'b.yaml'", "'empty.yaml'", "'missing.yaml'"])
                          for _ in range(self.rng.randint(1, 3)))
        return self.pick([
            "%s.load_yamls(%s)" % (target, files), "%s.load_cfgs('a.cfg')" % target,
            "%s.load_cfgs('a.cfg', 'missing.cfg')" % target, "%s.copy()" % target,
            "%s[%s] = %s" % (target, self.key(), self.pick(["' 2.5 '", "'true'", "'None'", "'x'", "3"])),
            "Configuration.load_yamls(%s, 'a.yaml')" % self.pick(["n", "sn", "{}"]),
            "cf = %s(%s)" % (self.pick(["Configuration", "SubConf"]), self.doc()),
        ])

    def tabulon_op(self):
        target = self.pick(["t", "t", "st"])
        pair = "((%s,), %s)" % (self.pick(["'a'", "'b'", "'a', 'c'", "'a', IndexMarker([], 0)",
                                           "'b', IndexMarker((), 1)"]), self.scalar())
        return self.pick([
            "%s = %s(%s)" % (target, self.pick(["Tabulon", "SubTab"]),
                             self.pick([self.table_doc(3), self.table_doc(3), "n", "cf",
                                        "PlainMap(%s)" % self.doc(1), "[%s]" % pair, "[(1, 2, 3)]"])),
            "%s.reconstruct()" % target, "%s.append(%s)" % (target, pair),
            "%s.extend([%s, %s])" % (target, pair, pair), "%s.insert(0, %s)" % (target, pair),
            "%s[0] = %s" % (target, pair), "list(Tabulon.__flatten__(%s))" % self.table_doc(3),
            "list(%s)" % target, "Tabulon(%s).reconstruct()" % self.table_doc(3),
            "repr(IndexMarker(%s, %s))" % (self.pick(["[]", "()", "n", "'s'"]), self.pick(["1", "'2'", "True"])),
            "DictItem(('a',), %s)" % self.scalar(),
        ])

    def frayle_op(self):
        target = self.pick(["f", "f", "sf", "mf"])
        o = self.obj()
        ops = [
            "%s.append(%s)" % (target, o), "%s[%d]" % (target, self.rng.randint(-2, 2)),
            "%s[%s]" % (target, self.pick(["0:2", "::-1", "1:", ":0"])), "list(%s)" % target,
            "%s in %s" % (o, target), "%s.remove(%s)" % (target, o), "%s.index(%s)" % (target, o),
            "%s.count(%s)" % (target, o), "%s.pop()" % target, "%s.insert(0, %s)" % (target, o),
            "%s.extend(%s)" % (target, self.objs()), "%s + %s" % (target, self.pick(["f", "sf", "mf", "[]"])),
            "%s += %s" % (target, self.objs()), "list(reversed(%s))" % target, "str(%s)" % target,
            "%s.sort(key=repr, reverse=True)" % target, "%s == %s" % (target, self.objs()),
            "%s[0] = %s" % (target, o), "%s[0:1] = %s" % (target, self.objs()), "del %s[0]" % target,
            "len(%s)" % target, "%s.data" % target,
            "%s = %s(%s)" % (target, self.pick(["Frayle", "SubFrayle", "MFrayle"]), self.objs()),
            "free(%d)" % self.rng.randint(0, self.next_obj - 1),
        ]
        step = self.pick(ops)
        if self.chance(0.1):
            step = "O[%d] = Obj(%d)" % (self.next_obj, self.next_obj)
            self.next_obj += 1
        return step

    def logic_op(self):
        target = self.pick(["lg", "lg", "lt"])
        items = ", ".join(self.pick(["'a'", "'ab'", "'b'", "2", "'12'", "''", "'A'"])
                          for _ in range(self.rng.randint(0, 3)))
        return self.pick([
            "%s = %s" % (target, self.expression(3, top=True)), "%s(%s)" % (target, items),
            "%s(%s)" % (target, items), "str(%s)" % target, "repr(%s)" % target,
            "logic_str(str(%s))" % target, "logic_str(str(%s)) == %s" % (target, target),
            "logic_str(%r)" % self.pick(["And('a', Not('b'))", "Or('x')", "SubAnd('a')", "Not(And('a'), '^b')"]),
            "%s.expressions" % target, "%s == %s" % (target, self.expression(1, top=True)),
        ])

    def arbel_op(self):
        target = self.pick(["ar", "ar", "ar2"])
        kid = self.pick(["Arbel('k')", "SubArbel('s')", "MArbel('m', [Arbel('mm')])", "'text'", "ar",
                         "Arbel('deep', [Arbel('d1'), Arbel('d2', [Arbel('d3')])])"])
        return self.pick([
            "%s = %s(%s)" % (target, self.pick(["Arbel", "SubArbel", "MArbel"]),
                             self.pick(["'r'", "'r', [%s]" % kid, "'r', []", "'r', None", "'r', ()"])),
            "%s.add_child(%s)" % (target, kid), "str(%s)" % target, "str(%s)" % target,
            "%s.children" % target, "%s.name = %s" % (target, self.pick(["'n2'", "'a\\nb'", "''"])),
            "%s.children = %s" % (target, self.pick(["[]", "[Arbel('z')]", "None", "(Arbel('t'),)"])),
        ])

    def sigil_op(self):
        return self.pick([
            "Holder.prop", "Holder().prop", "SubHolder.prop", "SubHolder().sub", "Holder.sub",
            "Holder.__dict__['prop'].func", "SigilDescriptor(len).__get__(None, Holder)",
            "SigilDescriptor(repr).__get__(Holder(), SubHolder)",
            "Holder.__dict__['prop'].func = %s" % self.pick(["lambda cls: 'new'", "len", "None"]),
            "Holder.prop2 = %s(lambda cls: cls.__name__)" % self.pick(["SigilDescriptor", "SubSigil"]),
            "Holder.prop2", "SubHolder().prop2",
        ])

    # ---------------------------------------------------------- mutations
    FAMILIES = {
        "coffer": (["SubNested", "MNested", "NestedCoffer", "Coffer", "SubCoffer", "Configuration",
                    "SubConf", "MutableMapping", "Mapping"],
                   ["__getitem__", "__setitem__", "__delitem__", "__contains__", "get", "pop",
                    "setdefault", "update", "__repr__", "__init__", "keys", "items", "__iter__",
                    "__len__", "__getattr__", "__setattr__", "load_yamls", "__missing__"]),
        "configuration": (["Configuration", "SubConf", "NestedCoffer"],
                          ["__setitem__", "update", "pop", "setdefault", "load_yamls", "copy"]),
        "tabulon": (["Tabulon", "SubTab"],
                    ["__flatten__", "append", "extend", "insert", "__setitem__", "__init__",
                     "reconstruct", "__iter__"]),
        "frayle": (["Frayle", "SubFrayle", "MFrayle", "UserList", "collections.abc.MutableSequence"],
                   ["data", "__getitem__", "__setitem__", "__iter__", "__contains__", "__len__",
                    "append", "remove", "extend", "index", "count", "insert", "pop", "__init__",
                    "__repr__", "__eq__", "sort", "__class__"]),
        "logic": (["And", "Or", "Not", "SubAnd", "MOr", "logic.BaseLogic"],
                  ["__call__", "__str__", "__repr__", "expressions", "__eq__", "__init__"]),
        "arbel": (["Arbel", "SubArbel", "MArbel"],
                  ["name", "children", "__str__", "add_child", "__init__"]),
        "sigil": (["Holder", "SubHolder", "SigilDescriptor", "SubSigil"],
                  ["prop", "sub", "__get__", "func"]),
    }

    def class_value(self, owner, name):
        """A new value for owner.name."""
        label = "%s.%s" % (owner.split(".")[-1], name)
        if name in ("data", "children", "name", "expressions", "func", "prop") and self.chance(0.6):
            return "D(%r)" % name
        return self.pick([
            "spy_method(%r, %s.__mro__[1], %r)" % (label, owner, name),
            "spy_method(%r, %s.__mro__[1], %r)" % (label, owner, name),
            "D(%r)" % name, "D(%r)" % name, "None",
            "property(lambda self: %r)" % label,
            "lambda self, *a, **k: %r" % label,
            "staticmethod(lambda *a, **k: %r)" % label,
            "classmethod(lambda cls, *a, **k: cls.__name__)",
            "[]", "'text'",
        ])

    def class_mutation(self, family):
        owners, names = self.focus[family] if self.chance(0.8) else self.FAMILIES[family]
        owner, name = self.pick(owners), self.pick(names)
        if self.chance(0.25):
            self.changed.append((owner, name))
            return "strip(%s, %r)" % (owner, name)
        return self.changed_to(owner, name, self.class_value(owner, name))

    def changed_to(self, owner, name, value):
        self.changed.append((owner, name))
        return "mutate(%s, %r, %s)" % (owner, name, value)

    def descriptor_mutation(self):
        method = self.pick(["__get__", "__get__", "__set__", "__delete__", "__call__"])
        if self.chance(0.3):
            self.changed.append(("D", method))
            return "strip(D, %r)" % method
        value = {
            "__get__": ["d_through", "d_through", "lambda s, o, t=None: []",
                        "lambda s, o, t=None: (lambda *a, **k: ('D', s.name, len(a)))",
                        "lambda s, o, t=None: 'got ' + s.name"],
            "__set__": ["d_store", "lambda s, o, v: None"],
            "__delete__": ["d_drop", "lambda s, o: None"],
            "__call__": ["lambda s, *a, **k: ('called', s.name, len(a))"],
        }[method]
        return self.changed_to("D", method, self.pick(value))

    def meta_mutation(self):
        owner = self.pick(["Meta", "Meta", "abc.ABCMeta"])
        name, values = self.pick([
            ("__call__", ["lambda cls, *a, **k: ('made', cls.__name__)",
                          "spy('meta.__call__', type.__call__)",
                          "lambda cls, *a, **k: type.__call__(SubNested if cls is MNested else cls, *a, **k)"]),
            ("__getattribute__", ["lambda cls, name: 'Renamed' if name == '__name__' "
                                  "else type.__getattribute__(cls, name)",
                                  "spy('meta.__getattribute__', type.__getattribute__)"]),
            ("__instancecheck__", ["lambda cls, inst: False", "lambda cls, inst: True",
                                   "spy('meta.__instancecheck__', abc.ABCMeta.__instancecheck__)"]),
            ("__subclasscheck__", ["lambda cls, sub: False",
                                   "spy('meta.__subclasscheck__', abc.ABCMeta.__subclasscheck__)"]),
        ])
        if self.chance(0.2):
            self.changed.append((owner, name))
            return "strip(%s, %r)" % (owner, name)
        return self.changed_to(owner, name, self.pick(values))

    # module attributes the libraries read: (module, name, replacements)
    MODULE_ATTRIBUTES = [
        ("weakref", "ref", ["spy('weakref.ref', weakref.ref)", "None"]),
        ("weakref", "ReferenceType", ["Obj", "spy('weakref.ReferenceType', weakref.ReferenceType)"]),
        ("weakref", "getweakrefs", ["spy('weakref.getweakrefs', weakref.getweakrefs)"]),
        ("itertools", "chain", ["spy('itertools.chain', itertools.chain)", "None"]),
        ("_collections_abc", "KeyError", ["LookupError", "IndexError"]),
        ("collections.abc", "Mapping", ["dict", "MutableMapping"]),
        ("collections.abc", "MutableMapping", ["dict"]),
        ("collections", "isinstance", ["spy('collections.isinstance', isinstance)",
                                       "lambda o, c: False"]),
        ("collections", "list", ["spy('collections.list', list)", "tuple"]),
        ("collections", "type", ["spy('collections.type', type)"]),
        ("collections", "UserList", ["list"]),
        ("builtins", "isinstance", ["spy('isinstance', isinstance)"]),
        ("builtins", "list", ["spy('list', list)"]),
        ("builtins", "len", ["spy('len', len)"]),
        ("builtins", "str", ["spy('str', str)"]),
        ("builtins", "repr", ["spy('repr', repr)"]),
        ("builtins", "callable", ["spy('callable', callable)", "lambda o: False"]),
        ("builtins", "type", ["spy('type', type)"]),
        ("builtins", "iter", ["spy('iter', iter)"]),
        ("builtins", "int", ["spy('int', int)"]),
        ("builtins", "enumerate", ["spy('enumerate', enumerate)"]),
        ("builtins", "KeyError", ["LookupError"]),
        ("coffer", "Mapping", ["dict", "MutableMapping", "spy('coffer.Mapping', Mapping)"]),
        ("coffer", "MutableMapping", ["dict"]),
        ("coffer", "itertools", ["twin_module(itertools, chain=spy('chain', itertools.chain))", "None"]),
        ("coffer", "Coffer", ["SubCoffer", "dict", "None"]),
        ("coffer", "NestedCoffer", ["SubNested"]),
        ("configuration", "typecast_str", ["lambda v: ('tc', v)", "spy('typecast_str', configuration.typecast_str)"]),
        ("configuration", "os", ["twin_module(os, path=twin_module(os.path, isfile=spy('isfile', os.path.isfile)))"]),
        ("configuration", "yaml", ["twin_module(yaml, safe_load=spy('safe_load', yaml.safe_load))"]),
        ("configuration", "configparser", ["twin_module(configparser, ConfigParser=spy('ConfigParser', configparser.ConfigParser))"]),
        ("configuration", "check_expansion", ["spy('check_expansion', lambda *a: None)"]),
        ("configuration", "NestedCoffer", ["SubNested"]),
        ("configuration", "Mapping", ["dict"]),
        ("os.path", "isfile", ["spy('isfile', os.path.isfile)", "lambda p: False"]),
        ("yaml", "safe_load", ["spy('safe_load', yaml.safe_load)", "lambda s: {'from': 'fake'}"]),
        ("configparser", "ConfigParser", ["spy('ConfigParser', configparser.ConfigParser)"]),
        ("tabulon", "MutableMapping", ["dict", "Mapping", "spy('tabulon.MutableMapping', MutableMapping)"]),
        ("tabulon", "DictItem", ["spy('DictItem', DictItem)", "tuple"]),
        ("tabulon", "IndexMarker", ["spy('IndexMarker', IndexMarker)"]),
        ("tabulon", "Tabulon", ["SubTab", "None"]),
        ("frayle", "weakref", ["twin_module(weakref, ref=spy('ref', weakref.ref))", "None"]),
        ("frayle", "Frayle", ["SubFrayle", "MFrayle", "None"]),
        ("frayle", "collections", ["None"]),
        ("logic", "re", ["twin_module(re, compile=spy('re.compile', re.compile))", "None"]),
        ("logic", "BaseLogic", ["And", "None"]),
        ("logic", "And", ["SubAnd", "None"]),
        ("logic", "Or", ["MOr"]),
        ("re", "compile", ["spy('re.compile', re.compile)"]),
    ]

    # the builtins, our modules' globals, and the rest of the standard library
    BUILTINS = [entry for entry in MODULE_ATTRIBUTES if entry[0] == "builtins"]
    GLOBALS = [entry for entry in MODULE_ATTRIBUTES if entry[0] in OUR_MODULES]
    STDLIB = [entry for entry in MODULE_ATTRIBUTES if entry[0] not in OUR_MODULES + ("builtins",)]

    def module_mutation(self, entries):
        module, name, values = self.pick(entries)
        if self.chance(0.15):
            self.changed.append((module, name))
            return "strip(%s, %r)" % (module, name)
        return self.changed_to(module, name, self.pick(values))

    def module_class_mutation(self):
        module = self.pick(["weakref", "itertools", "collections", "collections.abc", "_collections_abc",
                            "coffer", "frayle", "tabulon", "configuration", "logic", "re"])
        return self.changed_to(module, "__class__", "SwappedModule")

    FUNCTIONS = [
        ("MutableMapping.setdefault", "__defaults__", ["('dflt',)", "None"]),
        ("MutableMapping.setdefault", "__code__", ["(lambda self, key, default=None: ('code', key)).__code__"]),
        ("MutableMapping.get", "__defaults__", ["('dflt',)"]),
        ("Mapping.get", "__defaults__", ["('dflt',)"]),
        ("Mapping.get", "__code__", ["(lambda self, key, default=None: ('code', key)).__code__"]),
        ("MutableMapping.pop", "__defaults__", ["(None,)"]),
        ("MutableMapping.pop", "__code__", ["(lambda self, key, default=None: ('code', key)).__code__"]),
        ("MutableMapping.update", "__code__", ["(lambda *a, **k: None).__code__"]),
        ("UserList.count", "__code__", ["(lambda self, item: -1).__code__"]),
        ("UserList.index", "__code__", ["(lambda self, item, *args: -1).__code__"]),
        ("UserList.__contains__", "__code__", ["(lambda self, item: True).__code__"]),
        ("UserList.__len__", "__code__", ["(lambda self: 7).__code__"]),
        ("UserList.append", "__code__", ["(lambda self, item: None).__code__"]),
        ("UserList.remove", "__code__", ["(lambda self, item: None).__code__"]),
        ("UserList.__getitem__", "__code__", ["(lambda self, i: ('item', i)).__code__"]),
        ("UserList.__init__", "__code__", ["(lambda self, initlist=None: None).__code__"]),
        ("UserList.__init__", "__defaults__", ["([1],)"]),
        ("UserList.pop", "__defaults__", ["(0,)"]),
        ("UserList.extend", "__code__", ["(lambda self, other: None).__code__"]),
        ("UserList.__iadd__", "__code__", ["(lambda self, other: 'iadd').__code__"]),
        ("UserList.insert", "__code__", ["(lambda self, i, item: None).__code__"]),
        ("UserList.__setitem__", "__code__", ["(lambda self, i, item: None).__code__"]),
        ("re.compile", "__defaults__", ["(re.IGNORECASE,)"]),
        ("yaml.safe_load", "__code__", ["(lambda stream: {'code': 1}).__code__"]),
        ("is_even", "__code__", ["(lambda item: True).__code__"]),
    ]

    def function_mutation(self):
        function, name, values = self.pick(self.FUNCTIONS)
        return self.changed_to(function, name, self.pick(values))

    def abc_step(self):
        abc_ = self.pick(["Mapping", "MutableMapping", "collections.abc.Sequence", "collections.abc.MutableSequence"])
        return self.pick([
            "%s.register(PlainMap)" % abc_, "%s.register(PlainMap)" % abc_,
            "%s.register(%s)" % (abc_, self.pick(["Arbel", "Obj", "list", "tuple"])),
            "%s._abc_registry_clear()" % abc_, "%s._abc_caches_clear()" % abc_,
            "isinstance(PlainMap({}), %s)" % abc_,
            # abc's sets grow (and are resized), lose entries as the classes
            # die, and are refilled with new references after a register()
            # anywhere makes the negative caches stale.
            "[isinstance(type('T%%d' %% i, (), {})(), %s) for i in range(40)]" % abc_,
            "__import__('abc').ABCMeta('Fresh', (__import__('abc').ABC,), {}).register(int)",
        ])

    def instance_mutation(self, family):
        swaps = {
            "coffer": ("n", ["SubNested", "MNested", "NestedCoffer", "SubConf", "Coffer"]),
            "configuration": ("cf", ["SubConf", "Configuration", "NestedCoffer"]),
            "tabulon": ("t", ["SubTab", "Tabulon"]),
            "frayle": ("f", ["SubFrayle", "MFrayle", "Frayle"]),
            "logic": ("lg", ["SubAnd", "Or", "Not", "MOr", "And"]),
            "arbel": ("ar", ["SubArbel", "MArbel", "Arbel"]),
            "sigil": ("Holder.__dict__['prop']", ["SubSigil", "SigilDescriptor"]),
        }
        dicts = {
            "coffer": ["{}", "{'a': 1}", "n"], "configuration": ["{}", "cf"],
            "tabulon": ["{}"], "frayle": ["{'data': []}", "{}", "{'data': [weakref.ref(O[0])]}"],
            "logic": ["{'expressions': []}", "{}"], "arbel": ["{'name': 'o', 'children': []}", "{}"],
            "sigil": ["{'func': len}", "{}"],
        }
        target, classes = swaps[family]
        if self.chance(0.5):
            return "%s.__class__ = %s" % (target, self.pick(classes))
        return "%s.__dict__ = %s" % (target, self.pick(dicts[family]))

    def odd_self(self, family):
        return self.pick({
            "coffer": ["NestedCoffer.__setitem__(None, %s, 1)" % self.key(),
                       "NestedCoffer.__getitem__(None, %s)" % self.key(),
                       "NestedCoffer.__contains__(None, 'a.b')", "NestedCoffer.__delitem__(None, 'a.b')",
                       "NestedCoffer.update(None, %s)" % self.doc(), "NestedCoffer.update({}, %s)" % self.doc(),
                       "NestedCoffer.setdefault({}, 'a')", "Coffer.__repr__(None)", "Coffer.__repr__({'a': 1})",
                       "NestedCoffer.__init__(c, %s)" % self.doc(), "NestedCoffer.__getitem__(c, 'a.b')",
                       "NestedCoffer.__setitem__(c, 'a.b', 2)"],
            "configuration": ["Configuration.__setitem__(None, 'a', '1')", "Configuration.__setitem__(n, 'a.b', '1')",
                              "Configuration.copy(n)", "Configuration.load_cfgs(n, 'a.cfg')"],
            "tabulon": ["Tabulon.append([], (('a',), 1))", "Tabulon.reconstruct([(('a',), 1)])",
                        "Tabulon.__init__([], {'a': 1})", "Tabulon.extend(None, [])"],
            "frayle": ["Frayle.append(None, O[0])", "Frayle.append(sf, O[0])", "Frayle.__iter__(None)",
                       "list(Frayle.__iter__(sf))", "Frayle.__getitem__([], 0)", "Frayle.__contains__(sf, O[0])",
                       "Frayle.remove(sf, O[0])", "Frayle.__init__(sf, [O[1]])", "Frayle.__add__(f, [])"],
            "logic": ["And.__call__(None, 'a')", "Or.__call__(lg, 'a')", "logic.BaseLogic.__str__(Obj(1))",
                      "And.__init__(lg, 'x')", "And.__str__(None)"],
            "arbel": ["Arbel.__str__(Obj(1))", "Arbel.add_child(None, 1)", "Arbel.__str__(SubArbel('s'))",
                      "Arbel.__init__(ar, 'again')", "str(Arbel('r', [Obj(1)]))"],
            "sigil": ["SigilDescriptor.__get__(None, None, Holder)", "SigilDescriptor.__get__(Holder.__dict__['prop'], None, None)",
                      "SigilDescriptor.__init__(Holder.__dict__['prop'], repr)"],
        }[family])

    def restore_step(self):
        if not self.changed:
            return "restore_all()"
        if self.chance(0.2):
            self.changed = []
            return "restore_all()"
        owner, name = self.changed.pop(self.rng.randrange(len(self.changed)))
        return "restore(%s, %r)" % (owner, name)

    # -------------------------------------------------------------- steps
    OPERATIONS = {"coffer": coffer_op, "configuration": configuration_op, "tabulon": tabulon_op,
                  "frayle": frayle_op, "logic": logic_op, "arbel": arbel_op, "sigil": sigil_op}

    # Each program draws its own weights for the kinds of step, and leaves
    # some kinds out, so that programs differ in what they stress.
    KINDS = {
        "classes": lambda self, family: self.class_mutation(family),
        "descriptors": lambda self, family: self.descriptor_mutation(),
        "metaclasses": lambda self, family: self.meta_mutation(),
        "builtins": lambda self, family: self.module_mutation(self.BUILTINS),
        "stdlib": lambda self, family: self.module_mutation(self.STDLIB),
        "globals": lambda self, family: self.module_mutation(self.GLOBALS),
        "module-classes": lambda self, family: self.module_class_mutation(),
        "functions": lambda self, family: self.function_mutation(),
        "abc": lambda self, family: self.abc_step(),
        "instances": lambda self, family: self.instance_mutation(family),
        "odd-self": lambda self, family: self.odd_self(family),
        "restore": lambda self, family: self.restore_step(),
    }

    def steps(self, count, skip=()):
        """The program's steps; `skip` names kinds of step to leave out."""
        families = self.rng.sample(sorted(self.OPERATIONS), self.rng.randint(1, 3))
        kinds = [k for k in self.KINDS if k not in skip and self.chance(0.6)] or ["restore"]
        weights = [self.rng.random() ** 2 + 0.05 for _ in kinds]
        operations = sum(weights) * self.rng.uniform(1, 2.5)
        # the class attributes that this program changes most
        self.focus = {}
        for family, (owners, names) in sorted(self.FAMILIES.items()):
            self.focus[family] = (self.rng.sample(owners, min(2, len(owners))),
                                  self.rng.sample(names, min(3, len(names))))
        steps = ["st = SubTab([(('a',), 1)])", "lt = %s" % self.expression(2, top=True),
                 "ar2 = SubArbel('r2', [MArbel('m')])"]
        for _ in range(count):
            family = self.pick(families)
            kind = self.rng.choices([None] + kinds, [operations] + weights)[0]
            steps.append(self.OPERATIONS[family](self) if kind is None else self.KINDS[kind](self, family))
        return steps


def prelude():
    with open(PRELUDE_FILE) as f:
        return f.read()


def steps_text(steps):
    """The end of the script that runs `steps`."""
    return "\n".join(["STEPS = ["] + ["    %r," % s for s in steps] + ["]", "run(STEPS)", ""])


def program(steps):
    """The standalone script that runs `steps`."""
    return prelude() + "\n\n" + steps_text(steps)


def generate(seed, count=60, skip=()):
    """The steps of the program of `seed`."""
    return Generator(seed).steps(count, skip)
