"""The standard profile on untrusted input: a rich message cut at every
offset, hostile vector counts, and nesting past the depth bound."""

import gc
import re
import tracemalloc

import pytest

from conftest import ctor, make_standard, method, param, tl_bytes, u32

VEC = 0x1CB5C415
DEPTH_LIMIT = 256


def hx(text):
    return bytes.fromhex(text)


def outcome(parser, data):
    try:
        return parser.unpack(data)
    except Exception as exc:  # noqa: BLE001 - the test inspects it
        return exc


# ===================================================================
# A rich message, written out by hand as segments
# ===================================================================
#
# ("w", hex)               a fixed-size item: a number, a Bool, an id, a flags word
# ("s", payload)           a byte string with its length prefix and padding
# ("v", boxed, elements)   a vector; each element a list of segments

def W(text):
    return ("w", hx(text))


def S(payload):
    return ("s", payload if isinstance(payload, bytes) else payload.encode("utf-8"))


def V(boxed, *elements):
    return ("v", boxed, elements)


YES, NO = W("b5757299"), W("379779bc")

RICH_SCHEMA = [
    ctor("user", 0x11111111, param("flags", "#"), param("id", "long"),
         param("first", "string"), param("bot", "flags.0?true"),
         param("about", "flags.1?string"), param("verified", "flags.2?Bool"), type="User"),
    ctor("userEmpty", 0x22222222, param("id", "int"), type="User"),
    ctor("point", 0x33333333, param("x", "int"), param("y", "int"), type="Point"),
    ctor("message", 0x44444444,
         param("m", "#"), param("id", "long"), param("big", "int128"),
         param("huge", "int256"), param("text", "string"), param("blob", "bytes"),
         param("score", "double"), param("ok", "Bool"), param("author", "User"),
         param("pinned", "m.0?true"), param("silent", "m.1?Bool"),
         param("reply", "m.2?string"), param("users", "Vector<User>"),
         param("pts", "vector<%Point>"), param("grid", "Vector<vector<int>>"),
         param("bools", "vector<Bool>"), param("m2", "#"), param("fwd", "m2.0?User"),
         param("where", "m2.3?point"), param("tags", "m2.5?Vector<string>"),
         param("any", "Object"), param("tail", "int")),
]
RICH_METHODS = [method("getUser", 0x55555555, param("id", "int"), type="User")]
RICH = make_standard(*RICH_SCHEMA, methods=RICH_METHODS)
BLOB = bytes(range(256)) + b"xyz"
HUGE = int.from_bytes(bytes(range(1, 33)), "big")

RICH_VALUE = {
    "_": "message", "id": -5, "big": -(2**127), "huge": HUGE, "text": "h\u00e9llo",
    "blob": BLOB, "score": -2.5, "ok": True,
    "author": {"_": "user", "id": 7, "first": "Ann", "bot": True, "about": "bio",
               "verified": False},
    "pinned": True, "silent": False, "reply": "re",
    "users": [{"_": "userEmpty", "id": -1},
              {"_": "user", "id": 2**63 - 1, "first": "", "bot": False, "about": None,
               "verified": True}],
    "pts": [{"_": "point", "x": 1, "y": 2}, {"_": "point", "x": -1, "y": 0}],
    "grid": [[1, 2], [], [3]], "bools": [True, False, False],
    "fwd": {"_": "userEmpty", "id": 9}, "where": {"_": "point", "x": 5, "y": 6},
    "tags": ["a", "", "\u4e2d"], "any": {"_": "getUser", "id": 3},
    "tail": -559038737,
}
RICH_SEGMENTS = [
    W("44444444"), W("07000000"), W("fbffffffffffffff"), W("00" * 15 + "80"),
    W("201f1e1d1c1b1a191817161514131211100f0e0d0c0b0a090807060504030201"),
    S("h\u00e9llo"), S(BLOB), W("00000000000004c0"), YES,
    # author
    W("11111111"), W("07000000"), W("0700000000000000"), S("Ann"), S("bio"), NO,
    # silent, reply
    NO, S("re"),
    V(True, [W("22222222"), W("ffffffff")],
      [W("11111111"), W("04000000"), W("ffffffffffffff7f"), S(""), YES]),
    V(False, [W("01000000"), W("02000000")], [W("ffffffff"), W("00000000")]),
    V(True, [V(False, [W("01000000")], [W("02000000")])], [V(False)],
      [V(False, [W("03000000")])]),
    V(False, [YES], [NO], [NO]),
    W("29000000"), W("22222222"), W("09000000"), W("05000000"), W("06000000"),
    V(True, [S("a")], [S("")], [S("\u4e2d")]),
    W("55555555"), W("03000000"), W("efbeadde"),
]


def flatten(segments):
    """The bytes, the flat items (start, end, kind, header, payload length) and
    the vectors (end of count, end, index of the enclosing vector)."""
    out, items, vectors = bytearray(), [], []

    def walk(segs, parent=None):
        for seg in segs:
            start = len(out)
            if seg[0] == "w":
                out.extend(seg[1])
                items.append((start, len(out), "w", 0, 0))
            elif seg[0] == "s":
                enc = tl_bytes(seg[1])
                out.extend(enc)
                header = 1 if len(seg[1]) <= 253 else 4
                items.append((start, len(out), "s", header, len(seg[1])))
            else:
                _, boxed, elements = seg
                if boxed:
                    out.extend(u32(VEC))
                    items.append((start, len(out), "vid", 0, 0))
                count_at = len(out)
                out.extend(u32(len(elements)))
                items.append((count_at, len(out), "w", 0, 0))
                entry = [len(out), None, parent]
                vectors.append(entry)
                for element in elements:
                    walk(element, len(vectors) - 1)
                entry[1] = len(out)

    walk(segments)
    return bytes(out), items, [tuple(v) for v in vectors]


RICH_DATA, RICH_ITEMS, RICH_VECTORS = flatten(RICH_SEGMENTS)


def test_rich_message_exact_bytes():
    assert RICH.pack(RICH_VALUE) == RICH_DATA
    assert RICH.unpack(RICH_DATA) == RICH_VALUE
    assert RICH.unpack(RICH_DATA + b"\x01\x02\x03\x04\x05") == RICH_VALUE


def expected_for_cut(cut):
    """The outcomes allowed for RICH_DATA[:cut]: parse error positions, and
    whether the vector-id error is the answer."""
    index = next(i for i, it in enumerate(RICH_ITEMS) if it[0] <= cut < it[1])
    start, end, kind, header, length = RICH_ITEMS[index]
    if kind == "s" and cut >= start + header + length:
        # Cut inside the padding: the string is read, the next item has nothing.
        start, end, kind, header, length = RICH_ITEMS[index + 1]
        cut = start
    if kind == "vid":
        positions, vector_id = set(), True
    elif kind == "s":
        positions = {start if cut == start else start + header if cut >= start + header
                     else start + 1}
        vector_id = False
    else:
        positions, vector_id = {start}, False
    # A count is refused where it ends when the rest of the input cannot hold
    # its elements and those still owed to the vectors around it.
    positions |= {count_end for i, (count_end, _, _) in enumerate(RICH_VECTORS)
                  if count_end <= cut and _open_around(i, cut)}
    return positions, vector_id


def _open_around(i, cut):
    while i is not None:
        _, end, parent = RICH_VECTORS[i]
        if cut < end:
            return True
        i = parent
    return False


@pytest.mark.parametrize("cut", range(len(RICH_DATA)))
def test_every_cut_of_rich_message(cut):
    positions, vector_id = expected_for_cut(cut)
    exc = outcome(RICH, RICH_DATA[:cut])
    assert isinstance(exc, Exception), exc
    if isinstance(exc, ValueError) and vector_id:
        assert str(exc) == "Invalid vector ID: 0x00000000"
        return
    assert type(exc) is RuntimeError, (type(exc), str(exc))
    match = re.fullmatch(r"Parse error at position (\d+)", str(exc).split("\n")[0])
    assert match, str(exc)
    assert int(match.group(1)) in positions, (int(match.group(1)), positions)


def _bool_word_starts():
    return [it[0] for it, seg in zip(RICH_ITEMS, _flat_segments())
            if seg in (YES, NO)]


def _flat_segments():
    flat = []

    def walk(segs):
        for seg in segs:
            if seg[0] == "v":
                if seg[1]:
                    flat.append(None)
                flat.append(None)
                for element in seg[2]:
                    walk(element)
            else:
                flat.append(seg)

    walk(RICH_SEGMENTS)
    return flat


@pytest.mark.parametrize("inside", [0, 1, 2, 3])
def test_cut_inside_a_bool_word_is_a_short_read(inside):
    starts = _bool_word_starts()
    assert len(starts) == 7
    for start in starts:
        exc = outcome(RICH, RICH_DATA[:start + inside])
        assert type(exc) is RuntimeError, (start, inside, exc)
        assert not str(exc).startswith("Invalid Bool ID")


# ===================================================================
# Hostile vector counts
# ===================================================================

COUNT_TYPES = [
    "vector<int>", "vector<long>", "vector<int128>", "vector<int256>", "vector<double>",
    "vector<string>", "vector<bytes>", "vector<Bool>", "vector<#>", "vector<%Point>",
    "vector<named>", "vector<opt>", "vector<Point>", "vector<Object>",
    "vector<vector<int>>", "vector<Vector<int>>", "Vector<vector<Bool>>",
    "Vector<int128>", "Vector<%Named>",
]
COUNTS = make_standard(
    ctor("point", 0x10, param("x", "int"), type="Point"),
    ctor("named", 0x11, param("s", "string"), type="Named"),
    ctor("opt", 0x12, param("f", "#"), param("a", "f.0?int"), type="Opt"),
    *[ctor("c%d" % i, 0x100 + i, param("x", kind)) for i, kind in enumerate(COUNT_TYPES)],
)


def cid(text):
    """Id of the constructor whose one field has type `text`."""
    return 0x100 + COUNT_TYPES.index(text)


@pytest.mark.parametrize("count", [0x7FFFFFFF, 0xFFFFFFFF, 0x80000000, 0x10000000],
                         ids=lambda c: "%08x" % c)
@pytest.mark.parametrize("kind", range(len(COUNT_TYPES)), ids=COUNT_TYPES)
@pytest.mark.parametrize("tail", [0, 3, 40], ids=lambda n: "tail%d" % n)
def test_hostile_count_is_a_parse_error_at_the_count(kind, count, tail):
    boxed = COUNT_TYPES[kind].startswith("V")
    head = u32(0x100 + kind, VEC) if boxed else u32(0x100 + kind)
    data = head + u32(count) + b"\x00" * tail
    exc = outcome(COUNTS, data)
    assert type(exc) is RuntimeError, exc
    assert str(exc) == "Parse error at position %d" % (len(head) + 4)


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
    yield "bare-ints", u32(cid("vector<int>"), 0x7FFFFFFF)
    yield "bare-negative", u32(cid("vector<bytes>"), 0xFFFFFFFF) + b"\x00" * 64
    # Many outer elements, each inner count claiming the most it can.
    yield "inner-counts", u32(cid("vector<vector<int>>"), 4000) + u32(0x7FFFFFFF) * 4000
    yield "inner-boxed", u32(cid("vector<Vector<int>>"), 4000) + u32(VEC, 0x7FFFFFFF) * 4000
    yield "bare-objects", u32(cid("vector<named>"), 1 << 14) + b"\x01" * (1 << 14)
    yield "int128s", u32(cid("Vector<int128>"), VEC, 1 << 12) + b"\x00" * (1 << 14)
    yield "long-strings", u32(cid("vector<string>"), 4096) + b"\xfe\xff\xff\xff" * 4096


@pytest.mark.parametrize("name, data", list(_claiming_inputs()),
                         ids=[n for n, _ in _claiming_inputs()])
def test_memory_follows_input_size_not_claimed_counts(name, data):
    peak, result = _peak_of(lambda: outcome(COUNTS, data))
    assert isinstance(result, (RuntimeError, ValueError)), result
    assert peak <= 64 * len(data) + (256 << 10), (name, peak, len(data))


@pytest.mark.parametrize("kind, element, value", [
    ("vector<int>", u32(7), 7), ("vector<Bool>", u32(0x997275B5), True),
    ("vector<%Point>", u32(3), {"_": "point", "x": 3}),
    ("vector<named>", tl_bytes(b"ab"), {"_": "named", "s": "ab"}),
    ("vector<opt>", u32(0), {"_": "opt", "a": None}),
], ids=["int", "Bool", "bare-point", "bare-named", "bare-opt"])
def test_count_the_input_holds_is_read(kind, element, value):
    n = 1 << 12
    data = u32(cid(kind), n) + element * n
    assert COUNTS.unpack(data) == {"_": "c%d" % COUNT_TYPES.index(kind), "x": [value] * n}


# ===================================================================
# Depth
# ===================================================================

DEPTH = make_standard(
    # Bare objects inside bare objects, each level its flags word.
    ctor("node", 0x20, param("f", "#"), param("next", "f.0?%Node"), type="Node"),
    # Bare objects inside bare vectors.
    ctor("tree", 0x21, param("kids", "vector<tree>"), type="Tree"),
    # A bare object holding itself, which no input can end.
    ctor("loop", 0x22, param("next", "%Loop"), type="Loop"),
    ctor("loops", 0x23, param("x", "vector<loop>")),
)


def _nodes(depth):
    """A boxed node and depth - 1 bare nodes below it."""
    value = {"_": "node", "next": None}
    for _ in range(depth - 1):
        value = {"_": "node", "next": value}
    return value, u32(0x20) + u32(1) * (depth - 1) + u32(0)


def _trees(depth):
    """Trees and bare vectors alternating, `depth` levels in all (odd)."""
    value, data = {"_": "tree", "kids": []}, u32(0)
    for _ in range((depth - 1) // 2):
        value, data = {"_": "tree", "kids": [value]}, u32(1) + data
    return value, u32(0x21) + data


ROUTES = {"bare-objects": _nodes, "bare-vectors": _trees}


@pytest.mark.parametrize("route", list(ROUTES))
def test_nesting_at_the_bound(route):
    value, data = ROUTES[route](DEPTH_LIMIT - 1)
    assert DEPTH.pack(value) == data
    assert DEPTH.unpack(data) == value


@pytest.mark.parametrize("route", list(ROUTES))
def test_nesting_past_the_bound_raises_recursion_error(route):
    value, data = ROUTES[route](DEPTH_LIMIT + 2)
    with pytest.raises(RecursionError):
        DEPTH.pack(value)
    with pytest.raises(RecursionError):
        DEPTH.unpack(data)
    value, data = ROUTES[route](3)
    assert DEPTH.unpack(data) == value


def test_node_levels_count_like_boxed_objects():
    value, data = _nodes(DEPTH_LIMIT)
    assert DEPTH.unpack(data) == value
    value, data = _nodes(DEPTH_LIMIT + 1)
    with pytest.raises(RecursionError):
        DEPTH.unpack(data)


@pytest.mark.parametrize("data", [
    u32(0x20) + u32(1) * 100_000,
    u32(0x21) + u32(1) * 100_000,
    u32(0x22),
    u32(0x23, 1) + b"\x00" * 4,
    u32(0x23, 3) + b"\x00" * 12,
], ids=["nodes", "trees", "loop", "loop-in-vector", "loops-in-vector"])
def test_hostile_deep_input_raises_recursion_error(data):
    with pytest.raises(RecursionError):
        DEPTH.unpack(data)


def test_loop_vector_with_hostile_count():
    exc = outcome(DEPTH, u32(0x23, 0x7FFFFFFF))
    assert type(exc) is RuntimeError and str(exc) == "Parse error at position 8"
    assert DEPTH.unpack(u32(0x23, 0)) == {"_": "loops", "x": []}


def test_cyclic_bare_value_raises_recursion_error():
    node = {"_": "node"}
    node["next"] = node
    with pytest.raises(RecursionError):
        DEPTH.pack(node)
    kids = []
    tree = {"_": "tree", "kids": kids}
    kids.append(tree)
    with pytest.raises(RecursionError):
        DEPTH.pack(tree)


def _deep_vectors(levels, boxed):
    text = ("Vector<" if boxed else "vector<") * levels + "int" + ">" * levels
    parser = make_standard(ctor("v", 1, param("x", text)))
    value = [5]
    for _ in range(levels - 1):
        value = [value]
    head = u32(VEC, 1) if boxed else u32(1)
    return parser, {"_": "v", "x": value}, u32(1) + head * levels + u32(5)


@pytest.mark.parametrize("boxed", [False, True], ids=["bare", "boxed"])
def test_deep_vector_types(boxed):
    parser, value, data = _deep_vectors(DEPTH_LIMIT - 1, boxed)
    assert parser.pack(value) == data
    assert parser.unpack(data) == value
    parser, value, data = _deep_vectors(DEPTH_LIMIT, boxed)
    with pytest.raises(RecursionError):
        parser.pack(value)
    with pytest.raises(RecursionError):
        parser.unpack(data)


def test_very_deep_vector_type_compiles_and_bounds_input():
    parser, value, data = _deep_vectors(100_000, False)
    with pytest.raises(RecursionError):
        parser.unpack(data)
    assert parser.unpack(u32(1, 0)) == {"_": "v", "x": []}
    assert parser.pack({"_": "v"}) == u32(1, 0)
