"""Repeated runs of every public operation, succeeding and failing, must
leave reference counts, traced memory and the native heap where they were.

Each case runs a warm-up, then ROUNDS more calls, and compares:
- the reference count of every object handed in (dicts, lists, ints, text,
  bytes, hooks) and of the names the schema owns (field names, constructor
  names, the "_" key, as found in an unpacked dict);
- ``sys.gettotalrefcount()`` on a debug interpreter;
- memory traced by tracemalloc (every interpreter allocation);
- glibc's count of bytes in use, which sees the schema's own records.
One reference or one small object kept per call is ROUNDS references or at
least 16 * ROUNDS bytes, far above every tolerance below.
"""

import collections.abc
import ctypes
import gc
import json
import sys
import tracemalloc

import pytest

from Mivex.tl import TLParser, TLSchemaCompiler
from conftest import ctor, param, schema, u32

pytestmark = pytest.mark.leak

WARMUP = 50
ROUNDS = 500
TRACED_SLACK = 1024       # bytes; a kept 16-byte object per call is 8000
NATIVE_SLACK = 8192       # bytes; a kept malloc chunk per call is >= 16000
TOTAL_REFS_SLACK = 20     # the measuring code's own locals
# A call that fails past the nesting bound builds a traceback entry per
# level, so those cases run fewer rounds: still more than the slacks allow
# for one kept reference or one kept 32-byte object per call.
DEEP_ROUNDS = 120

VEC = 0x1CB5C415
USER_ID, EMPTY_ID, MSG_ID = 0x75736572, 0x75736530, 0x6D736700
NODE_ID, LEAF_ID, ODD_ID, HOST_ID = 0x6E6F6465, 0x6C656166, 0x0DD00000, 0x4F535400

ENTRIES = [
    ctor("user", USER_ID, param("flags", "#"), param("uid", "int"),
         param("first", "string"), param("bot", "flags.0?true"),
         param("about", "flags.1?string"), type="User"),
    ctor("userEmpty", EMPTY_ID, param("uid", "int"), type="User"),
    ctor("message", MSG_ID,
         param("flags", "#"), param("id", "long"), param("text", "string"),
         param("blob", "bytes"), param("score", "double"), param("ok", "Bool"),
         param("author", "User"), param("flags2", "#"),
         param("users", "Vector<User>"), param("tags", "Vector<string>"),
         param("nums", "Vector<long>"), param("grid", "Vector"),
         param("reply", "flags.0?string"), param("marks", "flags.1?Vector<int>"),
         param("fwd", "flags2.0?User"), param("raw", "flags2.4?bytes"),
         param("muted", "flags2.9?true"), param("tail", "int")),
    ctor("node", NODE_ID, param("next", "Node"), type="Node"),
    ctor("leaf", LEAF_ID, type="Node"),
    # A flag bit no flags word has: refused on use.
    ctor("odd", ODD_ID, param("flags", "#"), param("n", "int"),
         param("weird", "flags.40?int"), type="Odd"),
    ctor("host", HOST_ID, param("n", "int"), param("inner", "Odd")),
]
TEXT = schema(*ENTRIES)


def fresh_str(text):
    """A text object that only the caller holds (not interned, not shared)."""
    return (text + "#")[:-1]


def message():
    """A message using every kind of field, built from objects private to it."""
    big = 10 ** 12
    return {
        "_": "message", "id": big * 7 + 3, "text": fresh_str("caf\u00e9 ") * 3,
        "blob": bytes(range(200)), "score": float(big) / 3, "ok": True,
        "author": {"_": "user", "uid": big % 99991 + 1000, "first": fresh_str("\u00c5nn"),
                   "bot": True, "about": None},
        "users": [{"_": "user", "uid": 70000 + i, "first": fresh_str("u%d" % i),
                   "bot": i == 1, "about": fresh_str("bio")} for i in range(3)]
        + [{"_": "userEmpty", "uid": 80000}],
        "tags": [fresh_str("t%d" % i) for i in range(4)],
        "nums": [big + i for i in range(5)],
        "grid": [[], [[], [[]]], []],
        "reply": fresh_str("re"), "marks": [90000, 90001],
        "fwd": {"_": "userEmpty", "uid": 90002}, "raw": bytes([1, 2, 3]) * 5,
        "muted": True, "tail": 123456789,
    }


def reachable(value):
    """Every object reachable through dicts, lists and tuples from `value`,
    leaving out the interpreter's shared singletons and small ints."""
    found, seen, stack = [], set(), [value]
    while stack:
        item = stack.pop()
        if id(item) in seen:
            continue
        seen.add(id(item))
        if item is None or isinstance(item, bool) or (
                type(item) is int and -5 <= item <= 256):
            continue
        found.append(item)
        if isinstance(item, dict):
            stack.extend(item.keys())
            stack.extend(item.values())
        elif isinstance(item, (list, tuple)):
            stack.extend(item)
    return found


def schema_names(parser, data):
    """The names a parser's schema owns, as they come out of unpack: every
    key (the "_" key included) and every constructor name."""
    names, stack = {}, [parser.unpack(data)]
    while stack:
        item = stack.pop()
        if isinstance(item, dict):
            for key, value in item.items():
                names[id(key)] = key
                if key == "_":
                    names[id(value)] = value
                stack.append(value)
        elif isinstance(item, list):
            stack.extend(item)
    return list(names.values())


# ---------------------------------------------------------------- detectors

def _native_heap():
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
            "fsmblks", "uordblks", "fordblks", "keepcost")]

    mallinfo2.restype = MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    # Sanitizer runtimes answer with zeros.
    return in_use if in_use() else None


NATIVE_HEAP = _native_heap()
TOTAL_REFS = getattr(sys, "gettotalrefcount", None)


def growth(fn, watched, rounds=ROUNDS):
    """Run `fn` WARMUP + `rounds` times; return what grew over the `rounds`
    calls beyond its tolerance, by detector (empty when nothing did)."""
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(WARMUP):
            fn()
        gc.collect()
        refs = [sys.getrefcount(o) for o in watched]
        total = TOTAL_REFS() if TOTAL_REFS else 0
        native = NATIVE_HEAP() if NATIVE_HEAP else 0
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            fn()
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0] - traced
        native = NATIVE_HEAP() - native if NATIVE_HEAP else 0
        total = TOTAL_REFS() - total if TOTAL_REFS else 0
        after = [sys.getrefcount(o) for o in watched]
        refs = [(type(o).__name__, repr(o)[:40], a - b)
                for o, a, b in zip(watched, after, refs) if a != b]
        grew = {}
        if refs:
            grew["refs"] = refs
        if abs(total) > TOTAL_REFS_SLACK:
            grew["total refs"] = total
        if traced > TRACED_SLACK:
            top = tracemalloc.take_snapshot().statistics("lineno")[:3]
            grew["traced"] = (traced, [str(s) for s in top])
        if native > NATIVE_SLACK:
            grew["native"] = native
        return grew
    finally:
        tracemalloc.stop()


def assert_flat(fn, watched, rounds=ROUNDS):
    assert growth(fn, watched, rounds) == {}


def failing(call, arg, error):
    """A call that must end in `error` each time."""
    def fn():
        try:
            call(arg)
        except error:
            return
        raise AssertionError("%r did not raise %s" % (call, error.__name__))
    return fn


_kept = []


@pytest.mark.parametrize("kind", ["refs", "traced", "native", "total refs", None])
def test_each_detector_sees_one_leak_per_call(kind):
    if kind == "native" and not NATIVE_HEAP:
        pytest.skip("no glibc heap figures here")
    if kind == "total refs" and not TOTAL_REFS:
        pytest.skip("needs a debug interpreter")
    target = fresh_str("target")
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    leak = {
        "refs": lambda: _kept.append(target),
        "traced": lambda: _kept.append(object()),
        "native": lambda: _kept.append(libc.malloc(16)),
        "total refs": lambda: _kept.append(None),
        None: lambda: _kept.append(target) or _kept.pop(),
    }[kind]
    try:
        grew = growth(leak, [target])
    finally:
        _kept.clear()
    assert kind in grew if kind else grew == {}, grew


# ---------------------------------------------------------------- compile

def _entries_then(*bad, params=()):
    """Two good constructors, then a third one made bad by `bad` (extra or
    replaced keys) or ending with the bad `params`; a list of entries."""
    good = [ctor("a", 1, param(fresh_str("p"), "int"), param(fresh_str("q"), "Vector<string>")),
            ctor("b", 2, param(fresh_str("r"), "flags.3?long"))]
    last = ctor("c", 3, param(fresh_str("s"), "string"), *params)
    for key, value in bad:
        last[key] = value
    return {"constructors": good + [last], "methods": []}


COMPILE_FAILURES = {
    # name: (schema as a dict or text, exception)
    "bad-json": ('{"constructors": [', json.JSONDecodeError),
    "top-list": ([ENTRIES[0]], TypeError),
    "top-null": ("null", AttributeError),
    "constructors-dict": ({"constructors": {}}, TypeError),
    "constructors-null": ({"constructors": None}, AttributeError),
    "methods-int": ({"constructors": [], "methods": 5}, TypeError),
    "entry-int": ({"constructors": [ENTRIES[0], 5]}, TypeError),
    "entry-null": ({"constructors": [ENTRIES[0], None]}, AttributeError),
    "name-int": (_entries_then(("predicate", 5)), TypeError),
    "name-null": (_entries_then(("predicate", None)), AttributeError),
    "name-surrogate": (_entries_then(("predicate", "\ud800")), UnicodeEncodeError),
    "type-int": (_entries_then(("type", 5)), TypeError),
    "params-dict": (_entries_then(("params", {})), TypeError),
    "params-null": (_entries_then(("params", None)), TypeError),
    "id-text": (_entries_then(("id", "x1")), ValueError),
    "id-too-large": (_entries_then(("id", 1 << 32)), OverflowError),
    "id-list": (_entries_then(("id", [1])), TypeError),
    "param-int": (_entries_then(params=[5]), TypeError),
    "param-null": (_entries_then(params=[None]), TypeError),
    "param-no-name": (_entries_then(params=[{"type": "int"}]), KeyError),
    "param-no-type": (_entries_then(params=[{"name": "x"}]), KeyError),
    "param-name-int": (_entries_then(params=[param(5, "int")]), TypeError),
    "param-name-null": (_entries_then(params=[param(None, "int")]), AttributeError),
    "param-type-null": (_entries_then(params=[param("x", None)]), TypeError),
    "param-type-surrogate": (_entries_then(params=[param("x", "Vector<\ud800>")]),
                             UnicodeEncodeError),
    "flag-three-dots": (_entries_then(params=[param("x", "a.b.c?int")]), ValueError),
    "flag-bit-text": (_entries_then(params=[param("x", "flags.z?int")]), ValueError),
    "flag-bit-huge": (_entries_then(params=[param("x", "flags.99999999999?int")]),
                      OverflowError),
}


def _as_text(data):
    return data if isinstance(data, str) else json.dumps(data)


@pytest.mark.parametrize("name, form", [
    (name, form) for name, (data, _) in COMPILE_FAILURES.items()
    for form in ("text", "dict") if form == "text" or not isinstance(data, str)])
def test_failing_compile(name, form):
    data, error = COMPILE_FAILURES[name]
    if form == "text":
        data = _as_text(data)
    with pytest.raises(error):
        TLSchemaCompiler().compile(data)
    watched = reachable(data)
    compiler = TLSchemaCompiler()
    # One compiler failing again and again, and a fresh one in each parser.
    assert_flat(failing(compiler.compile, data, error), watched + [compiler])
    assert_flat(failing(TLParser, data, error), watched)


@pytest.mark.parametrize("form", ["text", "dict"])
def test_compile_and_construct(form):
    data = {"constructors": ENTRIES, "methods": [
        ctor("getUser", 0x47455400, param(fresh_str("uid"), "int"), type="User",
             key="method")]}
    if form == "text":
        data = json.dumps(data)
    else:
        # compile() appends the methods to the constructors list it is given.
        data["constructors"] = data["constructors"] + data.pop("methods")
    watched = reachable(data)
    compiler = TLSchemaCompiler()
    assert_flat(lambda: TLSchemaCompiler().compile(data), watched)
    assert_flat(lambda: compiler.compile(data), watched + [compiler])  # replaces the schema
    assert_flat(lambda: TLParser(data), watched)
    assert_flat(lambda: TLParser(data).unpack(u32(EMPTY_ID, 5)), watched)


class Hook:
    """Runs `action` when converted to an int (as an id, or as a value)."""

    def __init__(self, action, value=7):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return self.value

    __int__ = __index__


class Boom(Exception):
    pass


def _raise():
    raise Boom


def test_reentrant_and_raising_compile():
    compiler = TLSchemaCompiler()
    reenter = Hook(lambda: compiler.compile('{"constructors": []}'))
    data = _entries_then(("id", reenter))
    watched = reachable(data) + [compiler, reenter]
    assert_flat(failing(compiler.compile, data, RuntimeError), watched)

    raising = Hook(_raise)
    data = _entries_then(("id", raising))
    assert_flat(failing(compiler.compile, data, Boom), reachable(data) + [compiler])
    assert_flat(failing(TLParser, data, Boom), reachable(data))

    # A parser's compiler refuses to compile again.
    parser = TLParser(TEXT)
    owned = next(o for o in gc.get_referents(parser) if isinstance(o, TLSchemaCompiler))
    assert_flat(failing(owned.compile, TEXT, RuntimeError), [owned, parser, TEXT])


def test_list_changed_during_compile():
    names = [fresh_str("n%d" % i) for i in range(3)]

    class Key:  # collides with "name"; once armed, comparing it empties the list
        armed = False

        def __init__(self, target):
            self.target = target

        def __hash__(self):
            return hash("name")

        def __eq__(self, other):
            if self.armed:
                self.target.clear()
            return False

    def fn():
        key = Key(None)
        entry = ctor("x", 1, param(names[0], "int"),
                     {key: 0, "name": names[1], "type": "int"}, param(names[2], "int"))
        key.target, key.armed = entry["params"], True
        with pytest.raises(RuntimeError, match="changed size"):
            TLSchemaCompiler().compile({"constructors": [entry]})

    assert_flat(fn, names)


# ---------------------------------------------------------------- pack

PARSER = TLParser(TEXT)
MESSAGE_DATA = PARSER.pack(message())
NAMES = schema_names(PARSER, MESSAGE_DATA)


def _changed(path, new):
    """message() with the item at `path` (keys and indexes) replaced."""
    value = message()
    target = value
    for step in path[:-1]:
        target = target[step]
    if new is KeyError:
        del target[path[-1]]
    else:
        target[path[-1]] = new
    return value


PACK_FAILURES = {
    "not-a-dict": ([message()], AttributeError),
    "no-underscore": (_changed(["_"], KeyError), ValueError),
    "underscore-int": (_changed(["_"], 5), TypeError),
    "unknown-name": (_changed(["_"], fresh_str("nope")), ValueError),
    "unknown-nested": (_changed(["users", 2, "_"], fresh_str("nope")), ValueError),
    "missing-object": (_changed(["author"], KeyError), ValueError),
    "int-as-text": (_changed(["tail"], "12"), TypeError),
    "int-overflow": (_changed(["tail"], 1 << 32), OverflowError),
    "int-underflow": (_changed(["users", 1, "uid"], -(1 << 31) - 1), OverflowError),
    "long-overflow": (_changed(["nums", 4], 1 << 64), OverflowError),
    "long-negative": (_changed(["id"], -5 * 10 ** 12), OverflowError),
    "double-text": (_changed(["score"], fresh_str("1.5")), TypeError),
    "text-bytes": (_changed(["users", 2, "first"], b"ann"), TypeError),
    "text-int": (_changed(["tags", 3], 123456), TypeError),
    "bytes-text": (_changed(["raw"], fresh_str("raw")), TypeError),
    "bytes-none": (_changed(["blob"], None), TypeError),
    "vector-int": (_changed(["nums"], 10 ** 9), TypeError),
    "vector-subclass": (_changed(["tags"], type("Tags", (list,), {})(["a"])), TypeError),
    "element-not-object": (_changed(["users", 3], 10 ** 9), AttributeError),
    "vector-of-int-holds-list": (_changed(["marks"], [1, [2]]), TypeError),
    "bad-flag-bit": ({"_": "odd", "n": 10 ** 6, "weird": 10 ** 6}, ValueError),
    "bad-flag-bit-nested": ({"_": "host", "n": 10 ** 6,
                             "inner": {"_": "odd", "weird": 10 ** 6}}, ValueError),
}


def _nested(depth):
    value = {"_": "leaf"}
    for _ in range(depth - 1):
        value = {"_": "node", "next": value}
    return value


def _cyclic():
    node = {"_": "node"}
    node["next"] = node
    return node


PACK_FAILURES["too-deep"] = (_nested(257), RecursionError)
PACK_FAILURES["cyclic"] = (_cyclic(), RecursionError)


def test_pack():
    value = message()
    assert PARSER.pack(value) == MESSAGE_DATA
    assert_flat(lambda: PARSER.pack(value), reachable(value) + NAMES + [PARSER])


@pytest.mark.parametrize("name", list(PACK_FAILURES))
def test_failing_pack(name):
    value, error = PACK_FAILURES[name]
    watched = reachable(value) + NAMES + [PARSER]
    rounds = DEEP_ROUNDS if error is RecursionError else ROUNDS
    assert_flat(failing(PARSER.pack, value, error), watched, rounds)
    # The parser is left in working order.
    assert PARSER.pack(message()) == MESSAGE_DATA


class HookedMapping(collections.abc.Mapping):
    """An object that is a mapping but not a dict; looking a key up runs a hook."""

    def __init__(self, data, action):
        self.data, self.action = data, action

    def __getitem__(self, key):
        if key == "text":
            self.action()
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class HookedFloat:
    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 2.5


class HookedBool:
    def __init__(self, action):
        self.action = action

    def __bool__(self):
        self.action()
        return True


class HookedIterable:
    def __init__(self, action):
        self.action = action

    def __iter__(self):
        yield 10 ** 9
        self.action()
        yield 10 ** 9 + 1


def _hooked(where, action):
    """message() with one value running `action` while it is converted."""
    if where == "mapping":
        return HookedMapping(message(), action)
    path, make = {
        "__index__": (["users", 1, "uid"], Hook),
        "__int__-long": (["nums", 2], Hook),
        "__float__": (["score"], HookedFloat),
        "__bool__": (["ok"], HookedBool),
        "__iter__": (["marks"], HookedIterable),
        "nested-__index__": (["fwd", "uid"], Hook),
    }[where]
    return _changed(path, make(action))


HOOKS = ["__index__", "__int__-long", "__float__", "__bool__", "__iter__",
         "nested-__index__", "mapping"]


def _reachable_hooked(value):
    found = reachable(value.data) if isinstance(value, HookedMapping) else reachable(value)
    return found + [value]


@pytest.mark.parametrize("inner", ["pack", "unpack"])
@pytest.mark.parametrize("where", HOOKS)
def test_reentrant_pack(where, inner):
    parser = TLParser(TEXT)
    small = {"_": "userEmpty", "uid": 10 ** 6}
    data = u32(EMPTY_ID, 5)
    call = (lambda: parser.pack(small)) if inner == "pack" else (lambda: parser.unpack(data))
    value = _hooked(where, call)
    watched = _reachable_hooked(value) + NAMES + [parser, small, data]
    assert_flat(failing(parser.pack, value, RuntimeError), watched)
    assert parser.pack(message()) == MESSAGE_DATA


@pytest.mark.parametrize("where", HOOKS)
def test_raising_hook_in_pack(where):
    value = _hooked(where, _raise)
    assert_flat(failing(PARSER.pack, value, Boom), _reachable_hooked(value) + NAMES + [PARSER])


# ---------------------------------------------------------------- unpack

def _replaced(data, old, new, occurrence=1):
    at = -1
    for _ in range(occurrence):
        at = data.index(old, at + 1)
    return data[:at] + new + data[at + len(old):]


def _unpack_failures():
    data = MESSAGE_DATA
    last_vec = data.rfind(u32(VEC))
    marker = u32(EMPTY_ID)
    yield "truncated-half", data[:len(data) // 2], RuntimeError
    yield "truncated-in-vector", data[:last_vec + 10], RuntimeError
    yield "truncated-in-text", data[:data.index(b"caf") + 2], RuntimeError
    yield "truncated-one-short", data[:-1], RuntimeError
    yield "empty", b"", RuntimeError
    yield "bad-utf8", _replaced(data, b"\x02re\x00", b"\x02\xff\xfe\x00"), UnicodeDecodeError
    yield "unknown-top-id", u32(0xBADBAD) + data[4:], ValueError
    yield "unknown-nested-id", _replaced(data, marker, u32(0xBADBAD)), ValueError
    yield "bad-vector-id", data[:last_vec] + u32(0) + data[last_vec + 4:], ValueError
    yield "cut-in-vector-id", data[:last_vec + 2], ValueError
    yield "count-7fffffff", data[:last_vec + 4] + u32(0x7FFFFFFF) + data[last_vec + 8:], RuntimeError
    yield "count-ffffffff", data[:last_vec + 4] + u32(0xFFFFFFFF) + data[last_vec + 8:], RuntimeError
    yield "too-deep", u32(NODE_ID) * 300, RecursionError
    yield "bad-flag-bit", u32(HOST_ID, 1, ODD_ID, 0, 0), ValueError


UNPACK_FAILURES = list(_unpack_failures())


def test_unpack():
    data = bytes(MESSAGE_DATA)
    assert PARSER.unpack(data) == message()
    assert_flat(lambda: PARSER.unpack(data), NAMES + [PARSER, data])


@pytest.mark.parametrize("name, data, error", UNPACK_FAILURES,
                         ids=[case[0] for case in UNPACK_FAILURES])
def test_failing_unpack(name, data, error):
    rounds = DEEP_ROUNDS if error is RecursionError else ROUNDS
    assert_flat(failing(PARSER.unpack, data, error), NAMES + [PARSER, data], rounds)
    assert PARSER.unpack(MESSAGE_DATA) == message()


class BytesSub(bytes):
    pass


@pytest.mark.parametrize("arg", [bytearray(8), memoryview(bytes(8)), BytesSub(8), None,
                                 fresh_str("text")],
                         ids=["bytearray", "memoryview", "bytes-subclass", "None", "str"])
def test_unpack_of_a_non_bytes_argument(arg):
    assert_flat(failing(PARSER.unpack, arg, TypeError), [arg, PARSER])
