"""Untrusted input and hostile values: the codec fails in order, never crashes.

Covers hostile vector counts, the nesting bound, the byte-string length
limit, bytes-like values, flag bits outside a flags word, nested calls on a
busy parser, truncated and corrupted messages, and leaks on failing calls.
"""

import array
import collections.abc
import gc
import random
import re
import struct
import sys
import threading
import tracemalloc

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from Mivex.tl import TLParser, TLSchemaCompiler
from conftest import ctor, make_parser, param, schema, tl_bytes, u32

VEC = 0x1CB5C415
DEPTH_LIMIT = 256
MAX_BYTES = 0xFFFFFF  # 16,777,215


def parse_error(position):
    # The message is exact; a note on where it failed may follow it.
    return "^" + re.escape("Parse error at position %d" % position) + r"(\n|\Z)"


def outcome(parser, data):
    """What unpack makes of `data`: the dict, or the exception."""
    try:
        return parser.unpack(data)
    except Exception as exc:  # noqa: BLE001 - the test inspects it
        return exc


# ===================================================================
# Hostile vector counts
# ===================================================================

ITEM_ID = 0x49544D00
HOLDER_ID = 0x484C4400
COUNTS = make_parser(
    ctor("vi", 0x10, param("x", "Vector<int>")),
    ctor("vl", 0x11, param("x", "Vector<long>")),
    ctor("vd", 0x12, param("x", "Vector<double>")),
    ctor("vs", 0x13, param("x", "Vector<string>")),
    ctor("vy", 0x14, param("x", "Vector<bytes>")),
    ctor("vB", 0x15, param("x", "Vector<Bool>")),
    ctor("vo", 0x16, param("x", "Vector<Item>")),
    # A bare "Vector" holds vectors at every level, as does "Vector<Vector>".
    ctor("vv", 0x17, param("x", "Vector")),
    ctor("vvv", 0x18, param("x", "Vector<Vector>")),
    ctor("vh", 0x19, param("x", "Vector<Holder>")),
    ctor("item", ITEM_ID, type="Item"),
    ctor("holder", HOLDER_ID, param("strs", "Vector<string>"), type="Holder"),
)
COUNT_KINDS = {
    "int": 0x10, "long": 0x11, "double": 0x12, "string": 0x13, "bytes": 0x14,
    "Bool": 0x15, "object": 0x16, "vector": 0x17,
}
HOSTILE_COUNTS = [0x7FFFFFFF, 0xFFFFFFFF, 0x80000000, 0x10000000, 0xFFFFFFF0]


@pytest.mark.parametrize("count", HOSTILE_COUNTS, ids=lambda c: "%08x" % c)
@pytest.mark.parametrize("kind", list(COUNT_KINDS))
@pytest.mark.parametrize("tail", [0, 3, 40], ids=lambda n: "tail%d" % n)
def test_hostile_count_is_a_parse_error_at_the_count(kind, count, tail):
    data = u32(COUNT_KINDS[kind], VEC, count) + b"\x00" * tail
    with pytest.raises(RuntimeError, match=parse_error(12)):
        COUNTS.unpack(data)


def _max_count(remaining):
    """The largest count that `remaining` bytes can hold."""
    return 0 if remaining == 0 else (remaining - 1) // 4 + 1


@pytest.mark.parametrize("remaining", [0, 1, 2, 3, 4, 5, 8, 9, 13, 101])
def test_string_count_at_capacity_is_read(remaining):
    # Zero bytes read as empty strings; the last one may be a single byte.
    count = _max_count(remaining)
    data = u32(0x13, VEC, count) + b"\x00" * remaining
    assert COUNTS.unpack(data) == {"_": "vs", "x": [""] * count}


@pytest.mark.parametrize("remaining", [0, 1, 2, 3, 4, 5, 8, 9, 13, 101])
def test_string_count_one_above_capacity_is_refused(remaining):
    count = _max_count(remaining) + 1
    data = u32(0x13, VEC, count) + b"\x00" * remaining
    with pytest.raises(RuntimeError, match=parse_error(12)):
        COUNTS.unpack(data)


@pytest.mark.parametrize(
    "kind, remaining, count, expected",
    [
        # A count the input can hold is read element by element; short data
        # inside the elements is the usual parse error further on.
        ("int", 8, 2, {"_": "vi", "x": [0, 0]}),
        ("int", 9, 3, 20),
        ("int", 9, 4, 12),
        ("long", 9, 3, 20),
        ("long", 16, 2, {"_": "vl", "x": [0, 0]}),
        ("long", 16, 5, 12),
        ("double", 12, 3, 20),
        ("Bool", 12, 3, {"_": "vB", "x": [False, False, False]}),
        ("bytes", 5, 2, {"_": "vy", "x": [b"", b""]}),
        ("bytes", 5, 3, 12),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_count_near_capacity(kind, remaining, count, expected):
    data = u32(COUNT_KINDS[kind], VEC, count) + b"\x00" * remaining
    if isinstance(expected, int):
        with pytest.raises(RuntimeError, match=parse_error(expected)):
            COUNTS.unpack(data)
    else:
        assert COUNTS.unpack(data) == expected


def test_object_count_at_and_above_capacity():
    items = u32(ITEM_ID) * 3
    assert COUNTS.unpack(u32(0x16, VEC, 3) + items) == {
        "_": "vo", "x": [{"_": "item"}] * 3}
    with pytest.raises(RuntimeError, match=parse_error(12)):
        COUNTS.unpack(u32(0x16, VEC, 4) + items)


@pytest.mark.parametrize(
    "prefix, remaining, expected",
    [
        # Vectors of vectors, 2 outer elements: the second one is owed 4
        # bytes, so an inner count of 2 needs 4 + 5 bytes. When the count is
        # taken, its first element meets zero bytes where a vector id goes.
        (u32(0x17, VEC, 2, VEC, 2), 8, parse_error(20)),
        (u32(0x17, VEC, 2, VEC, 2), 9, "^Invalid vector ID: 0x00000000(\n|\\Z)"),
        (u32(0x17, VEC, 2, VEC, 1), 4, parse_error(20)),
        (u32(0x17, VEC, 2, VEC, 1), 5, "^Invalid vector ID: 0x00000000(\n|\\Z)"),
        (u32(0x17, VEC, 1, VEC, 0xFFFFFFFF), 40, parse_error(20)),
        (u32(0x17, VEC, 1, VEC, 0x7FFFFFFF), 40, parse_error(20)),
        # Three levels: 2 middle elements and 1 outer element still owed.
        (u32(0x18, VEC, 3, VEC, 2, VEC, 1), 12, parse_error(28)),
        (u32(0x18, VEC, 3, VEC, 2, VEC, 1), 13, "^Invalid vector ID: 0x00000000(\n|\\Z)"),
        # Objects inside a vector: the second holder is owed 4 bytes.
        (u32(0x19, VEC, 2, HOLDER_ID, VEC, 2), 8, parse_error(24)),
        (u32(0x19, VEC, 2, HOLDER_ID, VEC, 2), 9, parse_error(32)),
    ],
    ids=["vv-above", "vv-at", "vv1-above", "vv1-at", "vv-negative", "vv-max",
         "vvv-above", "vvv-at", "holder-above", "holder-at"],
)
def test_nested_count_leaves_room_for_enclosing_elements(prefix, remaining, expected):
    data = prefix + b"\x00" * remaining
    exc = outcome(COUNTS, data)
    assert isinstance(exc, (RuntimeError, ValueError)), exc
    assert re.search(expected, str(exc)), (type(exc), str(exc))
    assert isinstance(exc, RuntimeError) == expected.startswith("^Parse")


def test_count_at_capacity_with_real_elements_round_trips():
    value = {"_": "vv", "x": [[], [[]], [[], [[], []]]]}
    data = COUNTS.pack(value)
    assert COUNTS.unpack(data) == value


def _peak_of(fn):
    gc.collect()
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        base = tracemalloc.get_traced_memory()[0]
        result = fn()
        peak = tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()
    return peak, result


def _claiming_inputs():
    big = 1 << 16
    yield "max-count", u32(0x10, VEC, 0x7FFFFFFF)
    yield "negative-count", u32(0x14, VEC, 0xFFFFFFFF) + b"\x00" * 64
    # Many outer elements, each inner header claiming the most a count can.
    yield "inner-headers", u32(0x17, VEC, 4000) + u32(VEC, 0x7FFFFFFF) * 4000
    # Every level claiming as much as the remaining input could hold.
    yield "greedy-levels", (u32(0x18, VEC, big // 4, VEC, big // 4 - 1,
                                VEC, big // 4 - 2) + b"\x00" * big)
    # A long-form byte string claiming 16 MiB, with almost nothing after it.
    yield "long-string", u32(0x14, VEC, 1) + b"\xfe\xff\xff\xff" + b"\x00" * 4
    # A count the input can hold, each element claiming 16 MiB.
    yield "long-elements", u32(0x14, VEC, 4096) + b"\xfe\xff\xff\xff" * 4096
    yield "holders", u32(0x19, VEC, 3000) + u32(HOLDER_ID, VEC, 0x7FFFFFFF) * 1000


@pytest.mark.parametrize("name, data", list(_claiming_inputs()),
                         ids=[n for n, _ in _claiming_inputs()])
def test_memory_follows_input_size_not_claimed_counts(name, data):
    peak, result = _peak_of(lambda: outcome(COUNTS, data))
    assert isinstance(result, (RuntimeError, ValueError)), result
    # The claims add up to gigabytes; what unpack may take is tied to the
    # input's length.
    assert peak <= 64 * len(data) + (256 << 10), (name, peak, len(data))


def test_memory_of_a_large_holdable_count_is_proportional():
    n = 1 << 14
    data = u32(0x13, VEC, n) + b"\x00" * (4 * n)
    peak, result = _peak_of(lambda: COUNTS.unpack(data))
    assert result == {"_": "vs", "x": [""] * n}
    assert peak <= 64 * len(data) + (256 << 10)


# ===================================================================
# Nesting bound
# ===================================================================

NODE_ID, LEAF_ID = 0x4E4F4445, 0x4C454146
BOX_ID, BOX_LEAF_ID = 0x424F5800, 0x424F5801
DEEP_ID = 0x44454500


DEPTH = make_parser(
    ctor("node", NODE_ID, param("next", "Node"), type="Node"),
    ctor("leaf", LEAF_ID, type="Node"),
    ctor("box", BOX_ID, param("items", "Vector<Box>"), type="Box"),
    ctor("boxLeaf", BOX_LEAF_ID, type="Box"),
    # Vectors of vectors at every level.
    ctor("deep", DEEP_ID, param("v", "Vector")),
)


def _objects(depth):
    """`depth` objects, each the field of the one above."""
    value = {"_": "leaf"}
    for _ in range(depth - 1):
        value = {"_": "node", "next": value}
    return value, u32(NODE_ID) * (depth - 1) + u32(LEAF_ID)


def _vectors(depth):
    """One object holding depth - 1 levels of vectors, the innermost empty."""
    levels = depth - 1
    inner = []
    for _ in range(levels - 1):
        inner = [inner]
    return ({"_": "deep", "v": inner},
            u32(DEEP_ID) + u32(VEC, 1) * (levels - 1) + u32(VEC, 0))


def _boxes(depth):
    """Objects inside vectors inside objects, reaching exactly `depth` levels."""
    if depth == 1:
        return {"_": "boxLeaf"}, u32(BOX_LEAF_ID)
    if depth == 2:
        return {"_": "box", "items": []}, u32(BOX_ID, VEC, 0)
    inner, data = _boxes(depth - 2)
    return {"_": "box", "items": [inner]}, u32(BOX_ID, VEC, 1) + data


ROUTES = {"object-fields": _objects, "vector-elements": _vectors,
          "objects-in-vectors": _boxes}


def _at_depth(route, depth):
    return ROUTES[route](depth)


@pytest.mark.parametrize("route", list(ROUTES))
def test_nesting_at_the_bound_packs_and_unpacks(route):
    value, data = _at_depth(route, DEPTH_LIMIT)
    assert DEPTH.pack(value) == data
    assert DEPTH.unpack(data) == value


@pytest.mark.parametrize("route", list(ROUTES))
def test_nesting_beyond_the_bound_raises_recursion_error(route):
    value, data = _at_depth(route, DEPTH_LIMIT + 1)
    with pytest.raises(RecursionError):
        DEPTH.pack(value)
    with pytest.raises(RecursionError):
        DEPTH.unpack(data)
    # The parser is left usable.
    value, data = _at_depth(route, 3)
    assert DEPTH.pack(value) == data
    assert DEPTH.unpack(data) == value


def _hostile_deep_inputs():
    yield "objects-4-bytes-each", u32(NODE_ID) * 100_000
    yield "objects-257-no-leaf", u32(NODE_ID) * 257
    yield "boxes", u32(BOX_ID, VEC, 1) * 50_000
    yield "vectors", u32(DEEP_ID) + u32(VEC, 1) * 100_000


@pytest.mark.parametrize("name, data", list(_hostile_deep_inputs()),
                         ids=[n for n, _ in _hostile_deep_inputs()])
def test_hostile_deep_input_raises_recursion_error(name, data):
    with pytest.raises(RecursionError):
        DEPTH.unpack(data)


def test_deep_but_truncated_input_is_a_parse_error():
    with pytest.raises(RuntimeError, match=parse_error(4 * 200)):
        DEPTH.unpack(u32(NODE_ID) * 200)


def _cyclic_values():
    node = {"_": "node"}
    node["next"] = node
    box = {"_": "box", "items": []}
    box["items"].append(box)
    lists = []
    lists.append(lists)
    return [node, box, {"_": "deep", "v": lists}]


@pytest.mark.parametrize("index", [0, 1, 2], ids=["node", "box", "list"])
def test_cyclic_value_raises_recursion_error(index):
    with pytest.raises(RecursionError):
        DEPTH.pack(_cyclic_values()[index])


def _as_mappings(value):
    if isinstance(value, dict):
        return HookedMapping({k: _as_mappings(v) for k, v in value.items()},
                             lambda: None)
    return value


def _depth_checks():
    """Run every depth case; return a list of problems (empty when all hold)."""
    problems = []
    for route in ROUTES:
        value, data = _at_depth(route, DEPTH_LIMIT)
        if DEPTH.pack(value) != data:
            problems.append((route, "pack at bound"))
        if DEPTH.unpack(data) != value:
            problems.append((route, "unpack at bound"))
        value, data = _at_depth(route, DEPTH_LIMIT + 1)
        for what, call, arg in (("pack", DEPTH.pack, value),
                                ("unpack", DEPTH.unpack, data)):
            try:
                call(arg)
                problems.append((route, what + " beyond bound returned"))
            except RecursionError:
                pass
    # The same through mappings that are not dicts, at every level.
    for depth in (DEPTH_LIMIT, DEPTH_LIMIT + 1):
        value, data = _objects(depth)
        mapped = _as_mappings(value)
        try:
            if DEPTH.pack(mapped) != data:
                problems.append(("mappings", depth, "wrong bytes"))
            elif depth > DEPTH_LIMIT:
                problems.append(("mappings", depth, "returned"))
        except RecursionError:
            if depth <= DEPTH_LIMIT:
                problems.append(("mappings", depth, "refused"))
    for name, data in _hostile_deep_inputs():
        try:
            DEPTH.unpack(data)
            problems.append((name, "returned"))
        except RecursionError:
            pass
    for value in _cyclic_values():
        try:
            DEPTH.pack(value)
            problems.append(("cyclic", "returned"))
        except RecursionError:
            pass
    return problems


@pytest.fixture
def high_recursion_limit():
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(1_000_000)
    try:
        yield
    finally:
        sys.setrecursionlimit(old)


def _in_small_stack_thread(fn):
    box = {}

    def run():
        try:
            box["result"] = fn()
        except BaseException as exc:  # noqa: BLE001 - reported below
            box["error"] = exc

    old = threading.stack_size(256 * 1024)
    try:
        thread = threading.Thread(target=run)
        thread.start()
    finally:
        threading.stack_size(old)
    thread.join()
    if "error" in box:
        raise box["error"]
    return box["result"]


def test_nesting_bound_holds_with_high_recursion_limit(high_recursion_limit):
    assert _depth_checks() == []


def test_nesting_bound_holds_in_small_stack_thread():
    assert _in_small_stack_thread(_depth_checks) == []


def test_nesting_bound_holds_in_small_stack_thread_with_high_recursion_limit(
        high_recursion_limit):
    assert _in_small_stack_thread(_depth_checks) == []


# ===================================================================
# Byte-string length limit
# ===================================================================

LIMIT = make_parser(
    ctor("b", 0x62000000, param("x", "bytes")),
    ctor("s", 0x73000000, param("x", "string")),
    ctor("vb", 0x76620000, param("x", "Vector<bytes>")),
)


@pytest.fixture(scope="module")
def oversized():
    return bytes(MAX_BYTES + 1)


@pytest.mark.parametrize("case", ["bytes", "memoryview", "bytearray-in-vector",
                                  "ascii-text", "two-byte-text"])
def test_byte_string_over_the_limit_is_refused(oversized, case):
    if case == "bytes":
        value = {"_": "b", "x": oversized}
    elif case == "memoryview":
        value = {"_": "b", "x": memoryview(oversized)}
    elif case == "bytearray-in-vector":
        value = {"_": "vb", "x": [b"ok", bytearray(oversized)]}
    elif case == "ascii-text":
        value = {"_": "s", "x": "a" * (MAX_BYTES + 1)}
    else:  # 8,388,608 characters, 16,777,216 bytes of UTF-8
        value = {"_": "s", "x": "\u00e9" * ((MAX_BYTES + 1) // 2)}
    with pytest.raises(ValueError) as info:
        LIMIT.pack(value)
    message = str(info.value)
    assert "16777216" in message and "16777215" in message, message
    # The parser is left usable.
    assert LIMIT.pack({"_": "b", "x": b"abc"}) == u32(0x62000000) + b"\x03abc"


def test_byte_string_at_the_limit_is_accepted():
    payload = bytes(range(256)) * (1 << 16)
    payload = payload[:MAX_BYTES]
    data = LIMIT.pack({"_": "b", "x": payload})
    assert len(data) == 4 + 4 + MAX_BYTES + 1
    assert data[:8] == u32(0x62000000) + b"\xfe\xff\xff\xff"
    assert data[8:40] == payload[:32] and data[-33:-1] == payload[-32:]
    assert data[-1:] == b"\x00"
    assert LIMIT.unpack(data)["x"] == payload


# ===================================================================
# Bytes-like values for bytes fields
# ===================================================================

BLOB_ID = 0x424C4F42
BLOBS = make_parser(
    ctor("blob", BLOB_ID, param("flags", "#"), param("x", "bytes"),
         param("opt", "flags.0?bytes"), param("many", "Vector<bytes>")),
)


class BytesSub(bytes):
    pass


def _blob_bytes(x, opt=None, many=()):
    out = u32(BLOB_ID, 0 if opt is None else 1) + tl_bytes(x)
    if opt is not None:
        out += tl_bytes(opt)
    out += u32(VEC, len(many)) + b"".join(tl_bytes(m) for m in many)
    return out


BYTES_LIKE = {
    "bytearray": lambda c: bytearray(c),
    "memoryview-bytes": lambda c: memoryview(c),
    "memoryview-bytearray": lambda c: memoryview(bytearray(c)),
    "memoryview-slice": lambda c: memoryview(b"??" + c + b"!!")[2:2 + len(c)],
    "array": lambda c: array.array("B", c),
    "bytes-subclass": lambda c: BytesSub(c),
}
CONTENTS = [b"", b"a", b"abcd", bytes(range(254)), bytes(300)]


@pytest.mark.parametrize("content", CONTENTS, ids=["empty", "1", "4", "254", "300"])
@pytest.mark.parametrize("make", list(BYTES_LIKE.values()), ids=list(BYTES_LIKE))
def test_bytes_like_value_is_taken_by_content(make, content):
    value = {"_": "blob", "x": make(content), "opt": make(content),
             "many": [make(content), make(content)]}
    data = BLOBS.pack(value)
    assert data == _blob_bytes(content, content, [content, content])
    out = BLOBS.unpack(data)
    assert out == {"_": "blob", "x": content, "opt": content,
                   "many": [content, content]}
    assert all(type(v) is bytes for v in (out["x"], out["opt"], *out["many"]))


def test_multi_byte_items_are_taken_as_raw_content():
    ints = array.array("i", [1, -2, 3])
    data = BLOBS.pack({"_": "blob", "x": ints})
    assert data == _blob_bytes(ints.tobytes())
    view = memoryview(bytearray(range(8))).cast("I")
    assert BLOBS.pack({"_": "blob", "x": view}) == _blob_bytes(bytes(range(8)))
    grid = memoryview(bytearray(range(12))).cast("B", (3, 4))
    assert BLOBS.pack({"_": "blob", "x": grid}) == _blob_bytes(bytes(range(12)))


@pytest.mark.parametrize(
    "value, type_name",
    [("abc", "str"), (5, "int"), (1.5, "float"), ([1, 2], "list"),
     ((b"a",), "tuple"), (object(), "object"), (True, "bool"),
     (memoryview(b"abcdef")[::2], "memoryview")],
    ids=["str", "int", "float", "list", "tuple", "object", "bool",
         "non-contiguous"],
)
@pytest.mark.parametrize("where", ["field", "conditional", "element"])
def test_non_bytes_value_is_refused(value, type_name, where):
    obj = {"_": "blob", "x": b"ok"}
    if where == "field":
        obj["x"] = value
    elif where == "conditional":
        obj["opt"] = value
    else:
        obj["many"] = [b"ok", value]
    with pytest.raises(TypeError, match=r"^Expected bytes, got %s(\n|\Z)" % type_name):
        BLOBS.pack(obj)


@pytest.mark.parametrize("where", ["field", "element"])
def test_none_for_bytes_is_refused_with_len_message(where):
    obj = {"_": "blob", "x": None} if where == "field" else {
        "_": "blob", "many": [None]}
    with pytest.raises(TypeError, match=r"^object of type 'NoneType' has no len\(\)(\n|\Z)"):
        BLOBS.pack(obj)


# ===================================================================
# Flag bits outside a flags word
# ===================================================================

BAD_ID, GOOD_ID, OUTER_ID = 0x0BAD0000, 0x600D0000, 0x0E7E0000


def _bad_bit_parser(type_text):
    return make_parser(
        ctor("bad", BAD_ID, param("vec", "Vector<int>"), param("a", "int"),
             param("flags", "#"), param("flags2", "#"),
             param("weird_field", type_text), type="Bad"),
        ctor("good", GOOD_ID, param("flags", "#"), param("n", "int"),
             param("s", "flags.31?string"), param("t", "flags.0?true")),
        ctor("outer", OUTER_ID, param("n", "int"), param("inner", "Bad")),
    )


BAD_BITS = {
    "flags.40?int": 40, "flags.-1?int": -1, "flags.32?string": 32,
    "flags2.33?long": 33, "flags.64?true": 64, "flags2.-5?true": -5,
    "flags.2147483647?int": 2147483647,
}


class Recorded:
    """An int value that records every conversion."""

    def __init__(self, log):
        self.log = log

    def __int__(self):
        self.log.append("converted")
        return 1


def _check_bit_message(exc, bit):
    message = str(exc)
    assert "weird_field" in message and str(bit) in message, message


@pytest.mark.parametrize("type_text", list(BAD_BITS))
def test_bad_flag_bit_on_pack_fails_before_any_field(type_text):
    parser = _bad_bit_parser(type_text)
    log = []
    # The earlier fields would fail (or be converted) if they were written.
    value = {"_": "bad", "vec": "not a list", "a": Recorded(log),
             "weird_field": 1}
    with pytest.raises(ValueError) as info:
        parser.pack(value)
    _check_bit_message(info.value, BAD_BITS[type_text])
    assert log == []
    with pytest.raises(ValueError) as info:
        parser.pack({"_": "bad"})
    _check_bit_message(info.value, BAD_BITS[type_text])


@pytest.mark.parametrize("type_text", list(BAD_BITS))
def test_bad_flag_bit_on_pack_of_nested_object(type_text):
    parser = _bad_bit_parser(type_text)
    log = []
    with pytest.raises(ValueError) as info:
        parser.pack({"_": "outer", "n": 1,
                     "inner": {"_": "bad", "a": Recorded(log)}})
    _check_bit_message(info.value, BAD_BITS[type_text])
    assert log == []


@pytest.mark.parametrize("type_text", list(BAD_BITS))
@pytest.mark.parametrize(
    "data",
    [u32(BAD_ID),  # nothing after the id: a read would be a parse error
     u32(BAD_ID, 0),  # a vector id of 0 would be "Invalid vector ID"
     u32(BAD_ID, VEC, 0xFFFFFFFF),  # a hostile count would be a parse error
     u32(BAD_ID, VEC, 0, 5, 0xFFFFFFFF, 0xFFFFFFFF, 1, 2, 3, 4),
     u32(OUTER_ID, 9, BAD_ID),
     u32(OUTER_ID, 9, BAD_ID, 0)],
    ids=["id-only", "bad-vector", "hostile-count", "full", "nested",
         "nested-bad-vector"],
)
def test_bad_flag_bit_on_unpack_fails_before_any_field(type_text, data):
    parser = _bad_bit_parser(type_text)
    with pytest.raises(ValueError) as info:
        parser.unpack(data)
    _check_bit_message(info.value, BAD_BITS[type_text])


def test_constructors_with_valid_bits_still_work_beside_a_bad_one():
    parser = _bad_bit_parser("flags.40?int")
    value = {"_": "good", "n": 3, "s": "hi", "t": True}
    data = u32(GOOD_ID, (1 << 31) | 1, 3) + tl_bytes(b"hi")
    assert parser.pack(value) == data
    assert parser.unpack(data) == value


# ===================================================================
# Nested calls on a busy parser
# ===================================================================

PT_ID = 0x50540000
SMALL_ID = 0x534D4C00
SHAPES = [
    ctor("pt", PT_ID, param("x", "int"), param("y", "long"), param("z", "double"),
         param("b", "Bool"), param("v", "Vector<int>")),
    ctor("small", SMALL_ID, param("n", "int")),
]
PT_VALUE = {"_": "pt", "x": 5, "y": 6, "z": 2.0, "b": True, "v": [1, 2]}
PT_BYTES = (u32(PT_ID, 5) + struct.pack("<Qd", 6, 2.0) + u32(1)
            + u32(VEC, 2, 1, 2))
SMALL = {"_": "small", "n": 9}
SMALL_BYTES = u32(SMALL_ID, 9)


class HookedMapping(collections.abc.Mapping):
    """A mapping that is not a dict and runs a hook in `get`."""

    def __init__(self, data, hook):
        self._data, self._hook = data, hook

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)

    def get(self, key, default=None):
        self._hook()
        return self._data.get(key, default)


def _hooked_value(where, hook):
    """PT_VALUE with one value replaced by an object whose conversion runs
    `hook`; packing it gives PT_BYTES when the hook returns normally."""
    value = dict(PT_VALUE)

    if where == "__int__":
        class V:
            def __int__(self):
                hook()
                return 5
        value["x"] = V()
    elif where == "__int__-long":
        class V:
            def __int__(self):
                hook()
                return 6
        value["y"] = V()
    elif where == "__index__":
        class V:
            def __index__(self):
                hook()
                return 2
        value["z"] = V()
    elif where == "__float__":
        class V:
            def __float__(self):
                hook()
                return 2.0
        value["z"] = V()
    elif where == "__bool__":
        class V:
            def __bool__(self):
                hook()
                return True
        value["b"] = V()
    elif where == "__iter__":
        class V:
            def __iter__(self):
                hook()
                return iter([1, 2])
        value["v"] = V()
    elif where == "element-__int__":
        class V:
            def __int__(self):
                hook()
                return 2
        value["v"] = [1, V()]
    elif where == "get":
        return HookedMapping(value, hook)
    else:
        raise AssertionError(where)
    return value


HOOKS = ["__int__", "__int__-long", "__index__", "__float__", "__bool__",
         "__iter__", "element-__int__", "get"]


def _inner_call(parser, kind):
    return parser.pack(SMALL) if kind == "pack" else parser.unpack(SMALL_BYTES)


@pytest.mark.parametrize("inner", ["pack", "unpack"])
@pytest.mark.parametrize("where", HOOKS)
def test_nested_call_error_propagates_out_of_outer_pack(where, inner):
    parser = make_parser(*SHAPES)
    calls = []

    def hook():
        calls.append(inner)
        _inner_call(parser, inner)

    with pytest.raises(RuntimeError):
        parser.pack(_hooked_value(where, hook))
    assert calls
    # Not left busy.
    assert parser.pack(PT_VALUE) == PT_BYTES
    assert parser.unpack(PT_BYTES) == PT_VALUE


@pytest.mark.parametrize("inner", ["pack", "unpack"])
@pytest.mark.parametrize("where", HOOKS)
def test_nested_call_refused_and_outer_pack_stays_exact(where, inner):
    parser = make_parser(*SHAPES)
    seen = []

    def hook():
        try:
            _inner_call(parser, inner)
            seen.append("returned")
        except RuntimeError:
            seen.append("refused")

    assert parser.pack(_hooked_value(where, hook)) == PT_BYTES
    assert seen and set(seen) == {"refused"}
    assert parser.pack(SMALL) == SMALL_BYTES


@pytest.mark.parametrize("where", HOOKS)
def test_call_from_another_thread_during_pack_is_refused(where):
    parser = make_parser(*SHAPES)
    seen = []

    def other():
        for kind in ("pack", "unpack"):
            try:
                _inner_call(parser, kind)
                seen.append("returned")
            except RuntimeError:
                seen.append("refused")

    def hook():
        thread = threading.Thread(target=other)
        thread.start()
        thread.join()

    assert parser.pack(_hooked_value(where, hook)) == PT_BYTES
    assert seen and set(seen) == {"refused"}


@pytest.mark.parametrize("where", HOOKS)
def test_other_parser_works_inside_a_conversion(where):
    parser = make_parser(*SHAPES)
    other = make_parser(*SHAPES)
    results = []

    def hook():
        results.append(other.pack(PT_VALUE))
        results.append(other.unpack(PT_BYTES))
        results.append(other.pack(SMALL))

    assert parser.pack(_hooked_value(where, hook)) == PT_BYTES
    assert results and results[:3] == [PT_BYTES, PT_VALUE, SMALL_BYTES]


# From 3.12 on the collector runs only between bytecodes, never inside a call
# into the module, so no finalizer can run in the middle of an unpack there.
COLLECTOR_RUNS_INSIDE_CALLS = pytest.mark.skipif(
    sys.version_info >= (3, 12), reason="the collector runs only between bytecodes")


@COLLECTOR_RUNS_INSIDE_CALLS
def test_nested_call_from_finalizer_during_unpack_is_refused():
    parser = make_parser(*SHAPES, ctor("many", 0x4D414E59, param("items", "Vector<Small>")),
                         ctor("small2", 0x534D4C32, param("n", "int"), type="Small"))
    value = {"_": "many", "items": [{"_": "small2", "n": i} for i in range(200)]}
    data = parser.pack(value)
    seen = []

    class Finalized:
        def __del__(self):
            for kind in ("pack", "unpack"):
                try:
                    _inner_call(parser, kind)
                    seen.append("returned")
                except RuntimeError:
                    seen.append("refused")

    old_threshold = gc.get_threshold()
    was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        garbage = Finalized()
        garbage.cycle = garbage
        del garbage
        gc.set_threshold(1)
        gc.enable()
        # The dicts built while reading make the collector run the finalizer
        # in the middle of this call.
        result = parser.unpack(data)
    finally:
        gc.set_threshold(*old_threshold)
        if not was_enabled:
            gc.disable()
    assert result == value
    assert seen == ["refused", "refused"]


def test_list_resized_by_an_element_conversion_never_gives_corrupt_bytes():
    parser = make_parser(*SHAPES)
    for action in ("clear", "grow"):
        items = [1, 2, 3]

        class V:
            def __int__(self, action=action, items=items):
                if action == "clear":
                    items.clear()
                else:
                    items.extend([4, 5])
                return 7

        items.insert(1, V())
        value = dict(PT_VALUE, v=items)
        try:
            data = parser.pack(value)
        except RuntimeError:
            continue
        # If bytes come out, they must read back as a whole, coherent object.
        out = parser.unpack(data)
        assert out["_"] == "pt" and parser.pack(out) == data


def test_dict_cleared_by_a_conversion_keeps_values_alive():
    parser = make_parser(
        ctor("c", 0x43000000, param("flags", "#"), param("a", "int"),
             param("opt", "flags.0?string"), param("blob", "flags.1?bytes")))
    value = {"_": "c"}

    class Clearer:
        def __int__(self):
            value.clear()
            gc.collect()
            # Reuse freed memory, which would show through a dangling value.
            [bytearray(64) for _ in range(1000)]
            return 3

    value.update(a=Clearer(), opt="".join(["text-", "x" * 40]),
                 blob=bytes(bytearray(b"blob-" * 10)))
    data = parser.pack(value)
    # Whatever was taken, the bytes must read back as one coherent object.
    out = parser.unpack(data)
    assert out["a"] == 3 and out["opt"] in (None, "text-" + "x" * 40)
    assert out["blob"] in (None, b"blob-" * 10)
    assert parser.pack(out) == data


class EvilKey:
    """A key that collides with a field name; comparing it runs Python code
    that calls the busy parser and empties the dict being packed."""

    def __init__(self, name, target, parser):
        self.name, self.target, self.parser = name, target, parser
        self.armed, self.refused = False, 0

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.armed:
            try:
                self.parser.pack({"_": "c"})
            except RuntimeError:
                self.refused += 1
            self.target.clear()
            gc.collect()
            [bytearray(64) for _ in range(200)]
        return False


@pytest.mark.parametrize("name", ["_", "a", "opt", "blob", "tail"])
def test_dict_emptied_during_key_lookup_never_gives_corrupt_bytes(name):
    parser = make_parser(
        ctor("c", 0x43000000, param("flags", "#"), param("a", "int"),
             param("opt", "flags.0?string"), param("blob", "flags.1?bytes"),
             param("tail", "string")))
    value = {}
    key = EvilKey(name, value, parser)
    value[key] = 1
    value.update({"_": "c", "a": 1, "opt": "".join(["x"] * 50),
                  "blob": bytes(bytearray(b"y" * 50)), "tail": "t" * 30})
    key.armed = True
    try:
        data = parser.pack(value)
    except ValueError:
        assert name == "_"  # "_" itself vanished
        return
    assert key.refused >= 1
    out = parser.unpack(data)
    assert parser.pack(out) == data


# ===================================================================
# Truncated and corrupted messages
# ===================================================================


USER_ID, USER_EMPTY_ID, MSG_ID = 0x11111111, 0x22222222, 0x33333333
RICH_CTORS = [
    ctor("user", USER_ID, param("flags", "#"), param("uid", "int"),
         param("first", "string"), param("bot", "flags.0?true"),
         param("about", "flags.1?string"), type="User"),
    ctor("userEmpty", USER_EMPTY_ID, param("uid", "int"), type="User"),
    ctor("message", MSG_ID,
         param("flags", "#"), param("id", "long"), param("text", "string"),
         param("blob", "bytes"), param("score", "double"), param("ok", "Bool"),
         param("author", "User"), param("flags2", "#"),
         param("users", "Vector<User>"), param("tags", "Vector<string>"),
         param("nums", "Vector<long>"), param("grid", "Vector"),
         param("reply", "flags.0?string"), param("marks", "flags.1?Vector<int>"),
         param("pinned", "flags.3?true"), param("fwd", "flags2.0?User"),
         param("raw", "flags2.4?bytes"), param("silent", "flags2.7?true"),
         param("muted", "flags2.9?true"), param("tail", "int")),
]
RICH = make_parser(*RICH_CTORS)


def _rich_value():
    return {
        "_": "message", "id": 2**63 + 5, "text": "h\u00e9llo w\u00f6rld \U0001F600",
        "blob": bytes(range(256)) + b"xyz", "score": -2.5, "ok": True,
        "author": {"_": "user", "uid": 7, "first": "Ann", "bot": True,
                   "about": None},
        "users": [{"_": "user", "uid": 1, "first": "a", "bot": False,
                   "about": "bio"},
                  {"_": "userEmpty", "uid": 2},
                  {"_": "user", "uid": 3, "first": "QQ", "bot": True,
                   "about": ""}],
        "tags": ["x", "yz", "", "\u4e2d\u6587"], "nums": [0, 1, 2**64 - 1],
        "grid": [[], [[], [[]]], []],
        "reply": "re", "marks": [9, 8], "pinned": True,
        "fwd": {"_": "userEmpty", "uid": 4}, "raw": b"\x00\x01\x02",
        "silent": False, "muted": True, "tail": 0xDEADBEEF,
    }


RICH_VALUE = _rich_value()
RICH_DATA = RICH.pack(dict(RICH_VALUE, tail=0xDEADBEEF - 2**32))


def test_rich_message_round_trips():
    assert RICH.unpack(RICH_DATA) == RICH_VALUE
    assert RICH.unpack(RICH_DATA + b"\x01\x02\x03\x04\x05") == RICH_VALUE


def test_every_proper_prefix_of_a_rich_message_fails():
    returned = []
    for cut in range(len(RICH_DATA)):
        try:
            result = RICH.unpack(RICH_DATA[:cut])
            returned.append((cut, result))
        except RuntimeError as exc:
            match = re.fullmatch(r"Parse error at position (\d+)", str(exc))
            assert match, (cut, str(exc))
            assert int(match.group(1)) <= cut + 3, (cut, str(exc))
        except ValueError as exc:
            # Only a cut inside a vector's id word can say so.
            assert str(exc) == "Invalid vector ID: 0x00000000", (cut, str(exc))
    assert returned == []


FUZZ = make_parser(*RICH_CTORS, *[
    ctor("node", NODE_ID, param("next", "Node"), type="Node"),
    ctor("leaf", LEAF_ID, type="Node"),
    ctor("box", BOX_ID, param("items", "Vector<Box>"), type="Box"),
    ctor("boxLeaf", BOX_LEAF_ID, type="Box"),
    ctor("vv", 0x17, param("x", "Vector<Vector<string>>")),
    ctor("vh", 0x19, param("x", "Vector<Holder>")),
    ctor("vd", 0x12, param("x", "Vector<double>")),
    ctor("holder", HOLDER_ID, param("strs", "Vector<string>"), type="Holder"),
])
FUZZ_IDS = [USER_ID, USER_EMPTY_ID, MSG_ID, NODE_ID, LEAF_ID, BOX_ID,
            BOX_LEAF_ID, 0x17, 0x19, 0x12, HOLDER_ID, VEC]
HOSTILE_WORDS = [0, 1, 2, 3, 255, 0x7FFFFFFF, 0xFFFFFFFF, 0x80000000,
                 0xFFFFFFFE, 0x00FFFFFE, VEC]
FUZZ_SETTINGS = settings(max_examples=300, deadline=None,
                         suppress_health_check=[HealthCheck.too_slow])


def _check_unpack(parser, data):
    """unpack ends in a dict or an orderly exception, and is repeatable."""
    try:
        result = parser.unpack(data)
    except RuntimeError as exc:
        match = re.fullmatch(r"Parse error at position (\d+)", str(exc))
        assert match, str(exc)
        assert int(match.group(1)) <= len(data) + 3, (str(exc), len(data))
        return
    except (ValueError, UnicodeDecodeError, RecursionError):
        return
    assert type(result) is dict and type(result["_"]) is str
    # Nothing depends on memory outside the input.
    assert repr(parser.unpack(data)) == repr(result)


FUZZ_PIECES = st.one_of(
    st.sampled_from(FUZZ_IDS).map(u32),
    st.sampled_from(HOSTILE_WORDS).map(u32),
    st.binary(min_size=4, max_size=4),
    st.binary(max_size=12).map(tl_bytes),
    st.sampled_from([b"\xfe\xff\xff\xff", b"\xff", b"\xfe\x10\x00\x00",
                     b"\x03\xc3\x28\xe2", b"\x02\xed\xa0"]),
)


@FUZZ_SETTINGS
@given(st.binary(max_size=256))
def test_random_bytes_never_crash(data):
    _check_unpack(FUZZ, data)


@FUZZ_SETTINGS
@given(st.lists(FUZZ_PIECES, max_size=40), st.binary(max_size=3))
def test_random_word_sequences_never_crash(pieces, tail):
    _check_unpack(FUZZ, b"".join(pieces) + tail)


@FUZZ_SETTINGS
@given(st.lists(st.integers(0, 8 * len(RICH_DATA) - 1), min_size=1, max_size=4))
def test_bit_flipped_messages_never_crash(bits):
    data = bytearray(RICH_DATA)
    for bit in bits:
        data[bit // 8] ^= 1 << (bit % 8)
    _check_unpack(FUZZ, bytes(data))


@FUZZ_SETTINGS
@given(st.lists(st.tuples(st.integers(0, len(RICH_DATA) // 4 - 1),
                          st.sampled_from(HOSTILE_WORDS)), min_size=1, max_size=3),
       st.integers(0, len(RICH_DATA)))
def test_messages_with_hostile_words_never_crash(replacements, cut):
    data = bytearray(RICH_DATA)
    for index, word in replacements:
        data[4 * index:4 * index + 4] = u32(word)
    _check_unpack(FUZZ, bytes(data[:cut]))


def test_seeded_random_mutations_never_crash():
    rnd = random.Random(20240611)
    bases = [RICH_DATA, FUZZ.pack({"_": "vh", "x": [
        {"_": "holder", "strs": ["a", "bcd" * 90]}] * 3}),
        FUZZ.pack(_boxes(21)[0]), FUZZ.pack(_objects(20)[0])]
    words = HOSTILE_WORDS + FUZZ_IDS
    for _ in range(4000):
        data = bytearray(rnd.choice(bases))
        for _ in range(rnd.randint(1, 4)):
            op = rnd.randrange(4)
            if op == 0 and data:
                bit = rnd.randrange(8 * len(data))
                data[bit // 8] ^= 1 << (bit % 8)
            elif op == 1 and len(data) >= 4:
                k = rnd.randrange(len(data) // 4)
                data[4 * k:4 * k + 4] = u32(rnd.choice(words))
            elif op == 2:
                k = rnd.randrange(len(data) + 1)
                data[k:k] = rnd.randbytes(rnd.randrange(1, 9))
            elif len(data) > 4:
                data = data[:rnd.randrange(len(data))]
        _check_unpack(FUZZ, bytes(data))


# ===================================================================
# No leaks on failing calls
# ===================================================================

def _retained_after(fn, rounds):
    """Bytes still allocated after `rounds` calls of `fn` (after a warm-up)."""
    for _ in range(50):
        fn()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            fn()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    return after - before


def _failing(call, arg, error):
    def fn():
        try:
            call(arg)
        except error:
            return
        raise AssertionError("call did not fail")
    return fn


def _failing_inputs():
    marker = tl_bytes(b"QQ")
    assert RICH_DATA.count(marker) == 1
    last_vec = RICH_DATA.rfind(u32(VEC))
    yield "truncated", RICH, RICH_DATA[: len(RICH_DATA) // 2], RuntimeError
    yield "truncated-in-vector", RICH, RICH_DATA[: last_vec + 10], RuntimeError
    yield "bad-utf8", RICH, RICH_DATA.replace(marker, b"\x02\xff\xfe\x00"), UnicodeDecodeError
    yield "unknown-id", RICH, RICH_DATA.replace(u32(USER_EMPTY_ID), u32(0xBADBAD), 1), ValueError
    yield "bad-vector-id", RICH, RICH_DATA[:last_vec] + u32(0) + RICH_DATA[last_vec + 4:], ValueError
    yield "hostile-count", RICH, (RICH_DATA[:last_vec + 4] + u32(0x7FFFFFFF)
                                  + RICH_DATA[last_vec + 8:]), RuntimeError
    yield "too-deep", DEPTH, u32(NODE_ID) * 300, RecursionError
    yield "bad-bit", _bad_bit_parser("flags.40?int"), u32(OUTER_ID, 1, BAD_ID), ValueError


@pytest.mark.parametrize("name, parser, data, error", list(_failing_inputs()),
                         ids=[case[0] for case in _failing_inputs()])
def test_failing_unpack_does_not_leak(name, parser, data, error):
    refs = sys.getrefcount(data)
    rounds = 200 if error is RecursionError else 3000
    retained = _retained_after(_failing(parser.unpack, data, error), rounds)
    assert retained < 16 << 10, retained
    assert sys.getrefcount(data) == refs


def _failing_values():
    def rich(**changes):
        value = _rich_value()
        value.update(changes)
        return value

    bad_user = rich()
    bad_user["users"][2]["first"] = 5
    yield "type-error-deep", RICH, bad_user, TypeError
    yield "unknown-nested", RICH, rich(fwd={"_": "nope"}), ValueError
    yield "bytes-none", RICH, rich(blob=None), TypeError
    yield "int-overflow-last", RICH, rich(), OverflowError  # tail 0xDEADBEEF
    yield "cyclic", DEPTH, _cyclic_values()[1], RecursionError
    yield "bad-bit-nested", _bad_bit_parser("flags2.33?long"), {
        "_": "outer", "n": 1, "inner": {"_": "bad", "weird_field": 1}}, ValueError


def _objects_in(value):
    """Every container and payload reachable from `value`."""
    found, stack = [], [value]
    while stack:
        item = stack.pop()
        if any(item is seen for seen in found):
            continue
        found.append(item)
        if isinstance(item, dict):
            stack.extend(item.values())
        elif isinstance(item, list):
            stack.extend(item)
    return [o for o in found if isinstance(o, (dict, list, str, bytes))
            and sys.getrefcount(o) < 100]  # skip shared constants


@pytest.mark.parametrize("name, parser, value, error", list(_failing_values()),
                         ids=[case[0] for case in _failing_values()])
def test_failing_pack_does_not_leak(name, parser, value, error):
    watched = _objects_in(value)
    refs = [sys.getrefcount(o) for o in watched]
    rounds = 200 if error is RecursionError else 3000
    retained = _retained_after(_failing(parser.pack, value, error), rounds)
    assert retained < 16 << 10, retained
    assert [sys.getrefcount(o) for o in watched] == refs


# ------------------------------------------------ code that reaches a schema or a half-made value

def test_compile_cannot_reenter_itself():
    compiler = TLSchemaCompiler()

    class Id:
        def __int__(self):
            compiler.compile({"constructors": []})
            return 1

    with pytest.raises(RuntimeError, match="while the same compiler is compiling"):
        compiler.compile({"constructors": [{"predicate": "a", "id": Id()}]})
    compiler.compile(schema(ctor("b", 2)))  # usable again afterwards


@pytest.mark.parametrize("during", ["idle", "pack"])
def test_parser_schema_cannot_be_replaced(during):
    # The compiler is reachable through the garbage collector's referents.
    parser = make_parser(ctor("a", 1, param("x", "int")))
    compiler = next(o for o in gc.get_referents(parser) if isinstance(o, TLSchemaCompiler))

    class X:
        def __int__(self):
            compiler.compile({"constructors": []})
            return 1

    with pytest.raises(RuntimeError, match="belongs to a TLParser"):
        if during == "idle":
            compiler.compile(schema(ctor("a", 1)))
        else:
            parser.pack({"_": "a", "x": X()})
    assert parser.unpack(parser.pack({"_": "a", "x": 5})) == {"_": "a", "x": 5}


@pytest.mark.parametrize("which", ["params", "constructors"])
def test_list_emptied_during_compile(which):
    data = {"constructors": []}
    params = []

    class Key:  # looked up as "name", then empties a list mid-compile
        def __hash__(self):
            return hash("name")

        def __eq__(self, other):
            (params if which == "params" else data["constructors"]).clear()
            return False

    params += [{Key(): 0, "name": "a", "type": "int"}, {"name": "b", "type": "int"}]
    data["constructors"] += [{"predicate": "x", "id": 1, "params": params},
                             {"predicate": "y", "id": 2}]
    with pytest.raises(RuntimeError, match="list changed size during compile"):
        TLSchemaCompiler().compile(data)


def test_parser_refuses_work_until_constructed():
    refused = []

    class Id:
        def __int__(self):
            for o in gc.get_objects():
                if type(o) is TLParser and id(o) not in existing:
                    with pytest.raises(RuntimeError, match="not ready"):
                        o.pack({"_": "a"})
                    refused.append(o)
            return 2

    existing = {id(o) for o in gc.get_objects() if type(o) is TLParser}
    parser = TLParser({"constructors": [{"predicate": "a", "id": 1},
                                        {"predicate": "b", "id": Id()}]})
    assert refused == [parser]
    assert parser.unpack(parser.pack({"_": "a"})) == {"_": "a"}


@COLLECTOR_RUNS_INSIDE_CALLS
def test_vector_being_read_is_hidden_from_finalizers():
    n = 400  # more elements than the interpreter keeps spare dicts for
    parser = make_parser(ctor("box", 1, param("v", "Vector<Item>")),
                         ctor("item", 2, param("x", "int"), type="Item"))
    data = u32(1, 0x1CB5C415, n) + u32(2, 7) * n
    found, fired = [], []

    class Bomb:  # cyclic garbage whose finalizer looks for the list being filled
        def __init__(self):
            self.me = self

        def __del__(self):
            fired.append(1)
            found.extend(o for o in gc.get_objects() if type(o) is list and len(o) == n)
            if not found and len(fired) < 20:
                Bomb()

    old = gc.get_threshold()
    Bomb()
    gc.set_threshold(1)
    try:
        result = parser.unpack(data)
    finally:
        gc.set_threshold(*old)
    assert len(fired) >= 10 and not found  # collections ran while it was filled
    assert result["v"] == [{"_": "item", "x": 7}] * n
