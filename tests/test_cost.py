"""Hostile inputs fail with their documented exception at a bounded cost.

Each case runs once under tracemalloc: its peak must stay under MAX_PEAK,
however much the input claims, and its time under a bound that only catches
pathological cost (hangs, quadratic blow-ups, work following a claimed
size), not speed; the suite also runs under AddressSanitizer.
"""

import gc
import random
import re
import sys
import time
import tracemalloc
from pathlib import Path

import pytest

from Mivex.tl import TLParser
from conftest import ctor, param, schema, tl_bytes, u32

MAX_PEAK = 1 << 20  # bytes of traced memory one hostile call may take
# Catch blow-ups, not slowness: generous for sanitizer builds and busy machines.
CALL_SECONDS = 5.0         # one hostile call
BULK_CALL_SECONDS = 2e-3   # mean per call over thousands of small inputs

VEC = 0x1CB5C415
VI_ID, HOLD_ID, ITEM_ID, DEEP_ID, OPT_ID = 0x10, 0x11, 0x12, 0x13, 0x14
PHOTOS_ID, STRS_ID = 0x15, 0x16
BYTES_ID, TEXT_ID, NODE_ID, LEAF_ID = 0x20, 0x21, 0x4E4F4445, 0x4C454146
USER_ID, EMPTY_ID, PHOTO_ID, MSG_ID = 0x11111111, 0x22222222, 0x33333333, 0x44444444

PARSE_ERROR = r"^Parse error at position (\d+)$"
TOO_DEEP = r"^TL value nested deeper than 256 levels"
TOO_LONG = r"^byte string of \d+ bytes is too long"

ENTRIES = [
    ctor("vi", VI_ID, param("x", "Vector<int>")),
    ctor("hold", HOLD_ID, param("n", "int"), param("s", "string"),
         param("items", "Vector<Item>")),
    ctor("item", ITEM_ID, param("v", "Vector<long>"), type="Item"),
    # A bare Vector holds vectors at every level.
    ctor("deep", DEEP_ID, param("x", "Vector")),
    ctor("opt", OPT_ID, param("flags", "#"), param("a", "flags.0?int"),
         param("marks", "flags.1?Vector<double>")),
    ctor("photos", PHOTOS_ID, param("x", "Vector<Photo>")),
    ctor("strs", STRS_ID, param("x", "Vector<string>")),
    ctor("blob", BYTES_ID, param("x", "bytes")),
    ctor("text", TEXT_ID, param("x", "string")),
    ctor("node", NODE_ID, param("next", "Node"), type="Node"),
    ctor("leaf", LEAF_ID, type="Node"),
    ctor("user", USER_ID, param("flags", "#"), param("flags2", "#"),
         param("uid", "int"), param("first", "string"), param("bot", "flags.0?true"),
         param("about", "flags.1?string"), param("photo", "flags2.3?Photo"),
         type="User"),
    ctor("userEmpty", EMPTY_ID, param("uid", "int"), type="User"),
    ctor("photo", PHOTO_ID, param("id", "long"), param("data", "bytes"),
         param("sizes", "Vector<int>"), type="Photo"),
    ctor("message", MSG_ID,
         param("flags", "#"), param("id", "long"), param("text", "string"),
         param("blob", "bytes"), param("score", "double"), param("ok", "Bool"),
         param("author", "User"), param("flags2", "#"),
         param("users", "Vector<User>"), param("tags", "Vector<string>"),
         param("nums", "Vector<long>"), param("ratios", "Vector<double>"),
         param("oks", "Vector<Bool>"), param("blobs", "Vector<bytes>"),
         param("grid", "Vector"), param("reply", "flags.0?string"),
         param("marks", "flags.1?Vector<int>"), param("pinned", "flags.3?true"),
         param("fwd", "flags2.0?User"), param("raw", "flags2.4?bytes"),
         param("silent", "flags2.7?true"), param("tail", "int")),
]
TEXT = schema(*ENTRIES)
PARSER = TLParser(TEXT)


def cost(call, arg):
    """Outcome (result or exception), peak traced bytes and seconds of one
    call on a parser with no buffer yet."""
    method = getattr(TLParser(TEXT), call)
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        start = time.perf_counter()
        try:
            outcome = method(arg)
        except Exception as exc:  # noqa: BLE001 - the caller checks it
            outcome = exc
        seconds = time.perf_counter() - start
        peak = tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()
    return outcome, peak, seconds


def check(call, arg, error, pattern):
    outcome, peak, seconds = cost(call, arg)
    assert type(outcome) is error, outcome
    assert re.search(pattern, str(outcome)), str(outcome)
    assert peak < MAX_PEAK, peak
    assert seconds < CALL_SECONDS, seconds
    return outcome


# ---------------------------------------------------------------- unpack

def _count_inputs():
    """Inputs ending with a vector count (left as -1), by where the vector is."""
    yield "field", u32(VI_ID, VEC, -1)
    yield "after-fields", u32(HOLD_ID, 5) + tl_bytes(b"abc") + u32(VEC, -1)
    yield "in-element", u32(HOLD_ID, 5) + tl_bytes(b"") + u32(VEC, 2, ITEM_ID, VEC, -1)
    yield "inner-vector", u32(DEEP_ID, VEC, 3, VEC, 0, VEC, -1)
    yield "conditional", u32(OPT_ID, 3, 9, VEC, -1)
    yield "message-users", (u32(MSG_ID, 0) + (1).to_bytes(8, "little") + tl_bytes(b"t")
                            + tl_bytes(b"") + bytes(8) + u32(1, EMPTY_ID, 7, 0, VEC, -1))


COUNT_INPUTS = list(_count_inputs())


@pytest.mark.parametrize("count", [0x7FFFFFFF, 0xFFFFFFFF], ids=["7fffffff", "ffffffff"])
@pytest.mark.parametrize("tail", [0, 64], ids=["no-tail", "tail64"])
@pytest.mark.parametrize("name, data", COUNT_INPUTS, ids=[c[0] for c in COUNT_INPUTS])
def test_huge_vector_count(name, data, count, tail):
    at = len(data)
    data = data[:-4] + u32(count) + bytes(tail)
    exc = check("unpack", data, RuntimeError, PARSE_ERROR)
    assert str(exc) == "Parse error at position %d" % at


@pytest.mark.parametrize("deep, shallow", [
    (u32(NODE_ID) * 100_000, u32(NODE_ID) * 3 + u32(LEAF_ID)),
    (u32(DEEP_ID) + u32(VEC, 1) * 100_000, u32(DEEP_ID) + u32(VEC, 1) * 3 + u32(VEC, 0)),
], ids=["objects", "vectors"])
def test_input_nested_100000_levels(deep, shallow):
    assert type(PARSER.unpack(shallow)) is dict  # the pattern is well formed
    check("unpack", deep, RecursionError, TOO_DEEP)


@pytest.mark.parametrize("ctor_id", [BYTES_ID, TEXT_ID], ids=["bytes", "string"])
def test_byte_string_claiming_16_mib(ctor_id):
    data = u32(ctor_id) + b"\xfe\xff\xff\xff" + bytes(8)
    assert len(data) == 16
    exc = check("unpack", data, RuntimeError, PARSE_ERROR)
    assert str(exc) == "Parse error at position 8"


def rich_message():
    users = []
    for i in range(60):
        if i % 5 == 4:
            users.append({"_": "userEmpty", "uid": i})
            continue
        users.append({
            "_": "user", "uid": 1000 + i, "first": "n\u00e4me %d" % i, "bot": i % 2 == 0,
            "about": "about \u4e2d %d" % i if i % 3 else None,
            "photo": {"_": "photo", "id": 2**63 + i, "data": bytes([i]) * (i * 3),
                      "sizes": list(range(i % 7))} if i % 4 else None})
    return {
        "_": "message", "id": 2**64 - 1, "text": "h\u00e9llo \U0001F600 " * 40,
        "blob": bytes(range(256)) * 4, "score": -2.5, "ok": True,
        "author": users[0], "users": users,
        "tags": ["", "x", "\u00e9" * 127, "y" * 300], "nums": [0, 1, 2**64 - 1],
        "ratios": [0.5, -1e300], "oks": [True, False, True],
        "blobs": [b"", b"\x00", bytes(254), bytes(1000)],
        "grid": [[], [[], [[]]], []], "reply": "re", "marks": [9, 8],
        "pinned": True, "fwd": {"_": "userEmpty", "uid": 4}, "raw": b"\x01\x02\x03",
        "silent": False, "tail": 0x5EADBEEF,
    }


RICH = rich_message()
RICH_DATA = PARSER.pack(RICH)


def test_rich_message_is_about_10_kib_and_round_trips():
    assert 8 << 10 <= len(RICH_DATA) <= 16 << 10
    assert PARSER.unpack(RICH_DATA) == RICH


def _outcome(parser, data):
    try:
        return parser.unpack(data)
    except Exception as exc:  # noqa: BLE001 - the caller checks it
        return exc


TRUNCATIONS = [RICH_DATA[:cut] for cut in range(len(RICH_DATA))]


def test_every_truncation_of_a_rich_message_fails_at_bounded_cost():
    parser = TLParser(TEXT)
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        start = time.perf_counter()
        returned = [cut for cut, data in enumerate(TRUNCATIONS)
                    if not isinstance(_outcome(parser, data), Exception)]
        seconds = time.perf_counter() - start
        peak = tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()
    assert returned == []
    assert peak < MAX_PEAK, peak
    assert seconds < BULK_CALL_SECONDS * len(TRUNCATIONS), seconds


def test_every_truncation_of_a_rich_message_is_a_parse_error():
    wrong = []
    for cut, data in enumerate(TRUNCATIONS):
        exc = _outcome(PARSER, data)
        if type(exc) is RuntimeError:
            # Where reading stopped: at most the padding of a last byte string past the cut.
            at = re.fullmatch(PARSE_ERROR, str(exc))
            if at and int(at.group(1)) <= cut + 3:
                continue
        elif type(exc) is ValueError and str(exc) == "Invalid vector ID: 0x00000000":
            continue  # a cut inside a vector's id word reads as 0
        wrong.append((cut, exc))
    assert wrong == [], "%d of %d cuts, e.g. %r" % (len(wrong), len(TRUNCATIONS), wrong[:3])


@pytest.mark.parametrize("value, cut", [
    # The cut leaves 8 of the 12 payload bytes; the next element's id is read from them.
    ({"_": "photos", "x": [{"_": "photo", "id": 1, "data": b"A" * 12, "sizes": []},
                           {"_": "photo", "id": 2, "data": b"", "sizes": []}]}, 33),
    # The next element is read at "\x01\xc3": a 1-byte string of half a character.
    ({"_": "strs", "x": ["\x01\u00e9" * 4, "x"]}, 17),
], ids=["id-from-payload", "text-from-payload"])
def test_short_byte_string_inside_a_vector_is_a_parse_error(value, cut):
    data = PARSER.pack(value)
    with pytest.raises(RuntimeError) as info:
        PARSER.unpack(data[:cut])
    assert re.fullmatch(PARSE_ERROR, str(info.value))


HOSTILE_WORDS = [0, 1, 2, 3, 0xFF, 0x7FFFFFFF, 0xFFFFFFFF, 0x80000000, 0xFFFFFFFE,
                 VEC] + [e["id"] for e in ENTRIES]
KNOWN_IDS = [e["id"] for e in ENTRIES]
DOCUMENTED_VALUE_ERRORS = re.compile(
    r"^(Unknown constructor ID|Invalid vector ID): 0x[0-9a-f]{8}$")


def _random_inputs(count, seed=20240611):
    """`count` inputs of 0 to 64 bytes: half pure noise, half a known
    constructor id followed by noise sprinkled with words that matter."""
    rnd = random.Random(seed)
    for i in range(count):
        data = bytearray(rnd.randbytes(rnd.randrange(65)))
        if i % 2 and len(data) >= 4:
            data[:4] = u32(rnd.choice(KNOWN_IDS))
            for k in range(4, len(data) - 3, 4):
                if rnd.random() < 0.3:
                    data[k:k + 4] = u32(rnd.choice(HOSTILE_WORDS))
        yield bytes(data)


def test_random_small_inputs():
    inputs = list(_random_inputs(100_000))
    parser = TLParser(TEXT)
    kinds, wrong = {}, []
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        start = time.perf_counter()
        for data in inputs:
            out = _outcome(parser, data)
            if type(out) is dict:
                kind = "dict" if type(out["_"]) is str else None
            elif type(out) is RuntimeError:
                at = re.fullmatch(PARSE_ERROR, str(out))
                kind = "parse" if at and int(at.group(1)) <= len(data) + 3 else None
            elif type(out) is ValueError:
                kind = "value" if DOCUMENTED_VALUE_ERRORS.match(str(out)) else None
            elif type(out) is UnicodeDecodeError:
                kind = "utf-8"
            else:
                kind = None
            if kind is None:
                wrong.append((data, out))
            kinds[kind] = kinds.get(kind, 0) + 1
        seconds = time.perf_counter() - start
        peak = tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()
    assert wrong == []
    # The inputs reach every outcome, decoded objects included.
    assert all(kinds.get(k, 0) >= 100 for k in ("dict", "parse", "value", "utf-8")), kinds
    assert peak < MAX_PEAK, peak
    assert seconds < BULK_CALL_SECONDS * len(inputs), seconds


# ---------------------------------------------------------------- pack

def _nested_objects(depth):
    value = {"_": "leaf"}
    for _ in range(depth - 1):
        value = {"_": "node", "next": value}
    return value


def _nested_lists(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return {"_": "deep", "x": value}


def _self_list():
    items = []
    items.append(items)
    return {"_": "deep", "x": items}


def _self_dict():
    node = {"_": "node"}
    node["next"] = node
    return node


@pytest.mark.parametrize("make", [_nested_objects, _nested_lists],
                         ids=["objects", "lists"])
def test_deep_value(make):
    check("pack", make(100_000), RecursionError, TOO_DEEP)


@pytest.mark.parametrize("make", [_self_list, _self_dict], ids=["list", "dict"])
def test_self_referencing_value(make):
    check("pack", make(), RecursionError, TOO_DEEP)


@pytest.mark.parametrize("ctor_name, make", [
    ("blob", lambda: bytes(17 << 20)),
    ("blob", lambda: bytearray(17 << 20)),
    ("text", lambda: "a" * (17 << 20)),
], ids=["bytes", "bytearray", "ascii-text"])
def test_17_mib_value_is_refused_without_copying(ctor_name, make):
    check("pack", {"_": ctor_name, "x": make()}, ValueError, TOO_LONG)


def test_17_mib_of_non_ascii_text_costs_one_encoding_at_most():
    # Its UTF-8 form is only known once encoded: one copy of that size is
    # the most the refusal may take.
    value = "\u00e9" * (17 << 19)
    outcome, peak, seconds = cost("pack", {"_": "text", "x": value})
    assert type(outcome) is ValueError and re.search(TOO_LONG, str(outcome))
    assert peak < (17 << 20) + MAX_PEAK, peak
    assert seconds < CALL_SECONDS, seconds


class Boom(Exception):
    pass


def _raising_generator(n):
    for i in range(n):
        if i == n // 2:
            raise Boom("half way")
        yield i & 0xFF


class RaisingInt:
    def __int__(self):
        raise Boom("half way")


N = 100_000
ITEM = {"_": "item", "v": [1, 2]}


@pytest.mark.parametrize("ctor_name, key, make", [
    ("vi", "x", lambda: _raising_generator(N // 4)),
    ("vi", "x", lambda: iter([7] * (N // 4) + [RaisingInt()])),
    ("vi", "x", lambda: [7] * (N // 2) + [RaisingInt()] + [7] * (N // 2)),
    ("hold", "items", lambda: [ITEM] * (N // 16) + [{"_": "item", "v": [RaisingInt()]}]),
], ids=["generator", "iterator-element", "list-element", "object-element"])
def test_vector_failing_half_way(ctor_name, key, make):
    # Vectors take any iterable; what comes before the failure may be
    # materialised or written, nothing more.
    check("pack", {"_": ctor_name, key: make()}, Boom, "^half way$")


def test_figures_script_reports_the_exception_raised(capsys):
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
    from benchmarks import hostile

    assert hostile.main(["--runs", "1", "--random", "10", "--only", "claiming 16 MiB"]) == 0
    rows = [line for line in capsys.readouterr().out.splitlines() if line.startswith("| unpack")]
    assert len(rows) == 1 and "| RuntimeError (Parse error) |" in rows[0], rows
