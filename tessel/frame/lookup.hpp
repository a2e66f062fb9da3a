// lookup.hpp — guarded lookups: the one place where fast paths learn what
// they may take for granted.
//
// A fast path replaces a step of a method's Python line (an attribute lookup
// through a class, a super() walk, an isinstance() against an ABC, a module
// global, a known function of the standard library, an attribute read from
// an instance) by an answer found earlier.  Each kind of answer is kept with
// every fact it rests on, and is used only while all of them stand:
//
//   a fact made from a class's      - the class's version tag: the interpreter
//   lookups (ClassMemo: what          gives a class a new one whenever it or a
//   obj[key], super() or a method     class in its MRO changes;
//   call would reach)               - its metaclass, and the metaclass's tag
//                                     (how calling the class, or reading
//                                     from it, behaves: __call__,
//                                     __getattribute__, ... of the metaclass);
//                                   - the tag of the class of each object the
//                                     lookups found (class_attribute,
//                                     super_target), when that class can
//                                     change: whether a found attribute is a
//                                     descriptor, and of which kind, is that
//                                     class's, and changing it moves no tag
//                                     of the class that holds the attribute;
//                                   - the count of wraps of the tag counter
//                                     (see below).
//   a known function of the         its __code__, __defaults__ and
//   standard library (KnownFunction) __kwdefaults__ (assigning them moves no
//                                   tag), no closure, and the value of every
//                                   global its known steps read (looked up
//                                   again only when a dict they were read
//                                   through changed: by the dicts' version
//                                   tags before 3.12, by a watcher from 3.12)
//   isinstance(obj, ABC) (AbcCheck) where abc keeps the answer (the ABC's
//                                   cache, its negative cache while current,
//                                   its registry) and the weak reference it
//                                   keeps there: that set is read again at
//                                   each check (first the one slot where it
//                                   kept the reference, which the entry holds;
//                                   then a probe as abc's), so a cleared
//                                   registry or cache or a register() is seen
//                                   at once; obj's class's metaclass hashes
//                                   and compares as type does.  Per class
//                                   of obj and ABC, besides: that obj's class
//                                   reports itself as __class__ (its tag),
//                                   where cls keeps its abc state (cls's and
//                                   its metaclass's tags), that the
//                                   metaclass's __instancecheck__ (and, for a
//                                   registry answer, __subclasscheck__ and
//                                   cls's hook) are abc's own, unchanged
//                                   (KnownFunction), and for a registry
//                                   answer, how obj's class's metaclass reads
//                                   __mro__
//   a module global                 the dicts it was read from, unchanged
//   (Global, GlobalAttribute)       (before 3.12 by their version tags, which
//                                   every change renews, from 3.12 by a dict
//                                   watcher), and for an attribute of a
//                                   module, that the global still names that
//                                   module and that it is still of the plain
//                                   module type (assigning __class__ changes
//                                   no dict)
//   an attribute of an instance     nothing kept: the instance's dict is read
//   (instance_attribute)            at each use, so a replaced __dict__ is seen
//
// Tags: a tag is 32 bits wide.  Before 3.12 the interpreter's counter starts
// again from the beginning when it runs out, and so may give a class a tag it
// once had; when it does, it marks the tags of object and every class
// invalid.  The frame keeps a class of its own that nothing else changes, and
// counts a wrap whenever that class has lost its tag; every remembered tag is
// widened with that count (a stamp), so no stamp is ever given twice.  From
// 3.12 on the counter stops instead of wrapping.
//
// Answers are borrowed from the dicts that hold them: unchanged stamps or an
// unfired watcher mean those dicts still hold them.
//
// A build with fast paths off (make build FAST_PATHS=off) remembers nothing:
// every ClassMemo hands out its empty fact, AbcCheck and Global go the plain
// way, KnownFunction recognises nothing, and so every operation takes the
// route of its Python line.  The test suite runs both ways, and a
// differential fuzzer compares the two builds.
#pragma once

#include "errors.hpp"
#include "module.hpp"

#include <cstdint>
#include <initializer_list>

#ifndef TESSEL_FAST_PATHS
#define TESSEL_FAST_PATHS 1
#endif

namespace tessel {

inline constexpr bool fast_paths = TESSEL_FAST_PATHS != 0;

// -------------------------------------------------------------- classes

// The version tag of a class, assigned if it has none yet; 0 when it cannot
// have one (nothing is remembered for it then).
unsigned int assign_class_version(PyTypeObject *type);
inline unsigned int class_version(PyTypeObject *type) {
    return compat::type_version_valid(type) ? type->tp_version_tag : assign_class_version(type);
}

namespace detail {
extern PyTypeObject *tag_watch;  // the frame's own class, whose tag is lost only on a wrap
extern uint64_t tag_wraps;
uint64_t count_wrap();
}  // namespace detail

// The count of wraps of the tag counter seen so far (0 where tags never wrap).
inline uint64_t tag_epoch() {
    if constexpr (compat::type_versions_wrap) {
        if (!detail::tag_watch || !compat::type_version_valid(detail::tag_watch)) return detail::count_wrap();
        return detail::tag_wraps;
    } else {
        return 0;
    }
}

// A class's tag widened with the count of wraps: never given twice.  0 when
// the class has no tag.
inline uint64_t class_stamp(PyTypeObject *type, uint64_t epoch) {
    unsigned int tag = class_version(type);
    return tag ? epoch << 32 | tag : 0;
}

// The count of wraps, as tag_epoch(), when it can be read without making
// the frame's class or giving it a tag; else false.
inline bool quick_epoch(uint64_t &epoch) {
    if constexpr (compat::type_versions_wrap) {
        if (!detail::tag_watch || !compat::type_version_valid(detail::tag_watch)) return false;
        epoch = detail::tag_wraps;
    } else {
        epoch = 0;
    }
    return true;
}

// Whether the class has a tag now and its stamp is `stamp` (no tag given).
inline bool stamp_is(PyTypeObject *type, uint64_t epoch, uint64_t stamp) {
    return compat::type_version_valid(type) && (epoch << 32 | type->tp_version_tag) == stamp;
}

// What a lookup of `name` on the class finds, through its MRO (borrowed, no
// error set; null when nothing).  No code of the caller's runs: the keys are
// strings.
PyObject *class_attribute(PyTypeObject *type, PyObject *name);

// What super(klass, obj).name finds for an instance of `type`: the first
// class after `klass` in type's MRO whose dict has `name`.  Null, without an
// error, when there is none, `klass` is not in the MRO, or a class dict's key
// failed to compare (the plain route then meets that error itself).
Ref super_target(PyTypeObject *type, PyObject *klass, PyObject *name);

// The classes, besides its own, whose tags a fact rests on: the class of each
// object that class_attribute or super_target found while it was made, when
// that class can change.  Too many, or one without a tag, and the fact is not
// kept.
class Footing {
public:
    static constexpr int kMax = 4;
    void add(PyTypeObject *type, uint64_t epoch) {
        if (!compat::type_is_mutable(type)) return;
        for (int i = 0; i < n_; ++i)
            if (types_[i] == type) return;
        uint64_t stamp = class_stamp(type, epoch);
        if (n_ == kMax || !stamp) {
            sound_ = false;
            return;
        }
        types_[n_] = type;
        stamps_[n_++] = stamp;
    }
    void add_all(const Footing &other, uint64_t epoch) {
        if (!other.sound_) sound_ = false;
        for (int i = 0; i < other.n_; ++i) add(other.types_[i], epoch);
    }
    bool sound() const { return sound_; }
    bool empty() const { return n_ == 0; }
    bool stands(uint64_t epoch) const {
        for (int i = 0; i < n_; ++i)
            if (!stamp_is(types_[i], epoch, stamps_[i])) return false;
        return true;
    }

private:
    PyTypeObject *types_[kMax] = {};  // compared only
    uint64_t stamps_[kMax] = {};
    int n_ = 0;
    bool sound_ = true;
};

// While one lives, the lookups above add what they find to its footing; one
// made inside another hands its footing on to the outer one when it ends.
class FootingRecorder {
public:
    explicit FootingRecorder(uint64_t epoch) : outer_(current_), epoch_(epoch) { current_ = this; }
    ~FootingRecorder() {
        current_ = outer_;
        if (outer_) outer_->footing.add_all(footing, outer_->epoch_);
    }
    FootingRecorder(const FootingRecorder &) = delete;
    FootingRecorder &operator=(const FootingRecorder &) = delete;
    static void found(PyObject *obj) {
        if (current_ && obj) current_->footing.add(Py_TYPE(obj), current_->epoch_);
    }
    Footing footing;

private:
    static inline FootingRecorder *current_ = nullptr;
    FootingRecorder *outer_;
    uint64_t epoch_;
};

// A fact worked out from a class's lookups (which functions obj[key], super()
// or a method call would reach, say), remembered per class while everything
// it rests on stands (see the table above).  `Fact{}` must mean "no
// shortcut": it is what every lookup gives when fast paths are off, and what
// a class without a version tag is told when `make` cannot be trusted
// either.  `make(type)` runs with no exception pending and must not leave
// one; its fact is remembered only if the class and its metaclass kept their
// tags meanwhile.
template <typename Fact, int Ways = 16>
class ClassMemo {
public:
    template <typename Make>
    [[gnu::always_inline]] inline Fact get(PyTypeObject *type, Make &&make) {
        if constexpr (!fast_paths) {
            (void)type;
            (void)make;
            return Fact{};
        } else {
            // The hit makes no call: whatever needs a tag given goes to miss().
            // Two ways per set: a class and another one that hashes alike
            // both stay.
            Entry *set = set_of(type);
            Entry &e = set[0].type == type ? set[0] : set[1];
            uint64_t epoch;
            if (e.type == type && quick_epoch(epoch) && stamp_is(type, epoch, e.stamp) && e.meta == Py_TYPE(type) &&
                (e.plain || ((!e.meta_stamp || stamp_is(e.meta, epoch, e.meta_stamp)) && e.footing.stands(epoch)))) {
                TESSEL_CHECK(PyType_Check(reinterpret_cast<PyObject *>(type)));
                return e.fact;
            }
            return miss(type, make);
        }
    }
    void forget() {
        for (Entry &e : entries_) e = {};
    }
    static_assert(Ways % 2 == 0, "entries come in sets of two");

private:
    struct Entry {
        PyTypeObject *type = nullptr;  // compared only
        uint64_t stamp = 0;
        PyTypeObject *meta = nullptr;  // compared only
        uint64_t meta_stamp = 0;       // 0: a metaclass that cannot change
        bool plain = true;             // no metaclass stamp and no footing to compare
        Footing footing;
        Fact fact{};
    };
    Entry *set_of(PyTypeObject *type) {
        auto p = reinterpret_cast<uintptr_t>(type);
        return &entries_[2 * ((p >> 6 ^ p >> 12) % (Ways / 2))];
    }
    // Makes the fact, and remembers it if everything it rests on stood
    // meanwhile: in the class's own entry of its set, or else in the first,
    // the other moving to the second.  Out of line: the hit stays small.
    template <typename Make>
    [[gnu::noinline]] Fact miss(PyTypeObject *type, Make &make) {
        uint64_t epoch = tag_epoch();
        uint64_t stamp = class_stamp(type, epoch);
        if (!stamp) return make(type);
        PyTypeObject *meta = Py_TYPE(type);
        uint64_t meta_stamp = compat::type_is_mutable(meta) ? class_stamp(meta, epoch) : 0;
        FootingRecorder recorder(epoch);
        Fact fact = make(type);
        if (recorder.footing.sound() && tag_epoch() == epoch && class_stamp(type, epoch) == stamp &&
            Py_TYPE(type) == meta && (!compat::type_is_mutable(meta) || (meta_stamp && class_stamp(meta, epoch) == meta_stamp)) &&
            recorder.footing.stands(epoch)) {
            Entry *set = set_of(type);
            Entry fresh{type, stamp, meta, meta_stamp, !meta_stamp && recorder.footing.empty(), recorder.footing, fact};
            if (set[0].type == type) {
                set[0] = fresh;
            } else if (set[1].type == type) {
                set[1] = fresh;
            } else {
                set[1] = set[0];
                set[0] = fresh;
            }
        }
        return fact;
    }
    Entry entries_[Ways];
};

// -------------------------------------------------------------- dicts read

// Before 3.12: the dicts a value was read through (compared, and read only
// while what holds them stands: each is reached through the ones before it)
// with their version tags then; a null dict was not consulted.
struct DictVersions {
    static constexpr int kMax = 2;
    PyObject *dicts[kMax] = {};
    uint64_t versions[kMax] = {};
    // Every dict consulted still carries its tag (read in order).
    bool unchanged() const {
        for (int i = 0; i < kMax; ++i)
            if (dicts[i] && compat::dict_version(dicts[i]) != versions[i]) return false;
        return true;
    }
};

// A value borrowed from the dicts it was read through, and what tells that
// they are unchanged: from 3.12 the watched dicts' count of changes when it
// was read, before 3.12 their version tags (see lookup.cpp).
struct WatchedValue {
    PyObject *value = nullptr;
    uint64_t generation = 0;
    DictVersions seen;
};

// -------------------------------------------------------------- known functions

// A function of the standard library as a module found it at import, with
// its code and defaults: later lookups that find the same function, still
// so, may run the known steps of its body.  Those steps may read globals of
// the function (from its globals, then its builtins): they are named at
// set(), and the function is known only while each still resolves to the
// object it did then.
class KnownFunction {
public:
    static constexpr int kMaxGlobals = 4;
    // Remembers `function` when it is a plain Python function without a
    // closure and each of `globals` resolves; 0, or -1 on error.
    int set(PyObject *function, std::initializer_list<const char *> globals = {});
    PyObject *get() const { return function_.get(); }
    // Whether `found` is that function, unchanged (false when fast paths are off).
    bool is(PyObject *found) const { return found && found == function_.get() && unchanged(); }
    // Whether the function is still as it was.
    [[gnu::always_inline]] inline bool unchanged() const {
        PyObject *f = function_.get();
        if (!fast_paths || !f || PyFunction_GET_CODE(f) != code_.get()) return false;
        PyObject *defaults = PyFunction_GET_DEFAULTS(f), *kwdefaults = PyFunction_GET_KW_DEFAULTS(f);
        if ((defaults ? defaults : Py_None) != defaults_.get() || (kwdefaults ? kwdefaults : Py_None) != kwdefaults_.get())
            return false;
        if (n_globals_ == 0) return true;
        if constexpr (compat::has_dict_versions) {
            // The dicts the globals were last read through, unchanged (the
            // builtins are reached through the globals, so read second).
            if (checked_versions_.dicts[0] && checked_versions_.unchanged()) return true;
        }
        return globals_unchanged();
    }

private:
    bool globals_unchanged() const;
    Held function_, code_, defaults_, kwdefaults_;
    Held names_[kMaxGlobals], values_[kMaxGlobals];
    int n_globals_ = 0;
    // When the globals were last compared: the watched dicts' count of
    // changes (3.12 on), or the function's globals and builtins with their
    // version tags (before).
    mutable uint64_t checked_ = 0;
    mutable DictVersions checked_versions_;
};

// -------------------------------------------------------------- isinstance

// isinstance(obj, cls) against an ABC.  abc answers from cls's state: its
// cache of classes found to be subclasses, its negative cache (current
// while no register() happened since it was filled), and, for a class
// registered directly, its registry, which it reaches after asking cls's
// __subclasshook__.  Where the answer for obj's class came from one of those
// and every step before it is known (abc's own __instancecheck__ and
// __subclasscheck__ with their globals, a hook that only says
// NotImplemented, obj reporting its class as __class__), that place is
// remembered, and each later check reads that set again as abc would; any
// other case, or a class no longer found there, goes the plain way.
class AbcCheck {
public:
    int operator()(PyObject *obj, PyObject *cls);
    void forget() {
        for (Entry &e : entries_) remember(e, {});
    }

private:
    static constexpr int kWays = 64;
    enum class Source { None, Cache, Negative, Registry };
    struct Entry {
        PyTypeObject *type = nullptr;  // compared only
        PyObject *cls = nullptr;       // compared only
        PyTypeObject *meta = nullptr;  // compared only
        uint64_t type_stamp = 0, cls_stamp = 0, meta_stamp = 0;
        compat::AbcData *impl = nullptr;  // borrowed from cls's MRO
        Source source = Source::None;
        // The weak reference to obj's class that abc keeps in that set (a
        // reference of the entry's own; left at exit): asked for, the set
        // finds it by identity, and it compares as abc's own probe would.
        PyObject *ref = nullptr;
        Py_ssize_t slot = -1;  // where that set kept it
        // For a registry answer: cls's __subclasshook__ as found (borrowed
        // from cls's MRO, while cls keeps its tag), and the metaclass of
        // obj's class, found to read __mro__ plainly (while it keeps its
        // tag, when it can change).
        PyObject *hook = nullptr;
        PyTypeObject *type_meta = nullptr;
        uint64_t type_meta_stamp = 0;
    };
    Entry &entry(PyTypeObject *type, PyObject *cls) {
        return entries_[(reinterpret_cast<uintptr_t>(type) >> 6 ^ reinterpret_cast<uintptr_t>(cls) >> 4) % kWays];
    }
    // Everything but an answer from an entry that stands.  Out of line: the
    // check of an entry stays small.
    [[gnu::noinline]] int check(PyObject *obj, PyObject *cls);
    void remember(Entry &e, Entry fresh) {
        PyObject *old = e.ref;
        e = fresh;
        Py_XDECREF(old);
    }
    Entry entries_[kWays];
};

// -------------------------------------------------------------- instances

// obj.__dict__[name] for an object with an instance dict, the dict held
// while it is searched (a key's __eq__ may replace it): 1 with `out` set,
// 0 when the dict lacks the name or the object has no dict, -1 on error.
// Callers use it where obj's class has no data descriptor of that name, so
// that the instance dict is what attribute lookup consults first.
int instance_attribute(PyObject *obj, PyObject *name, Ref &out);

// -------------------------------------------------------------- module globals

// A module global read at each use, as Python code reads a global name: the
// module's dict first, then the builtins; NameError when neither has it.
class Global {
public:
    explicit Global(const char *name) : name_(name) {}
    Ref get() const {
        if constexpr (fast_paths && compat::has_dict_versions) {
            if (kept_.value && kept_.seen.unchanged()) return Ref::borrow(kept_.value);
        }
        return look_up();
    }

private:
    Ref look_up() const;
    friend class GlobalAttribute;
    // The value remembered, while the dicts it came from are unchanged; else null.
    PyObject *recall() const;
    Name name_;
    mutable WatchedValue kept_;
};

// `GLOBAL.ATTRIBUTE` read at each use (e.g. weakref.ref): the global as
// Global reads it, then the attribute; a plain module's attribute is read
// from its dict.
class GlobalAttribute {
public:
    GlobalAttribute(const char *global, const char *attribute) : global_(global), attribute_(attribute) {}
    Ref get() const;

private:
    Global global_;
    Name attribute_;
    mutable int module_reads_dict_ = -1;  // the module type has no data descriptor of the name (-1: not asked yet)
    mutable WatchedValue kept_;
    mutable PyObject *holder_ = nullptr;  // the module it was read from (compared only)
};

}  // namespace tessel
