"""Hostile inputs fail with their documented exception at a bounded cost.

Each case runs once under tracemalloc: its peak must stay under MAX_PEAK,
however much the input claims, and its time under a bound that only catches
pathological cost (hangs, quadratic blow-ups, work following a claimed
size), not speed; the suite also runs under AddressSanitizer.  The schema
and inputs are hostile_inputs.py's; ``python -m benchmarks.hostile`` prints
the same figures for them.
"""

import gc
import json
import re
import time
import tracemalloc

import pytest
from conftest import tl_bytes, u32
from hostile_inputs import (
    HOSTILE_SCHEMAS, BYTES_ID, DEEP_ID, EMPTY_ID, HOLD_ID, ITEM_ID, LEAF_ID, MSG_ID, NODE_ID, OPT_ID,
    SCHEMA as TEXT, TEXT_ID, VEC, VI_ID, Boom, RaisingInt, nested_lists, nested_objects,
    raising_generator, random_inputs, rich_message, self_dict, self_list)
from Mivex.tl import TLParser

MAX_PEAK = 1 << 20  # bytes of traced memory one hostile call may take
# Catch blow-ups, not slowness: generous for sanitizer builds and busy machines.
CALL_SECONDS = 5.0         # one hostile call
BULK_CALL_SECONDS = 2e-3   # mean per call over thousands of small inputs

PARSE_ERROR = r"^Parse error at position (\d+)$"
TOO_DEEP = r"^TL value nested deeper than 256 levels"
TOO_LONG = r"^byte string of \d+ bytes is too long"

PARSER = TLParser(TEXT)


def measured(work):
    """What `work()` returns, the peak traced bytes above what was in use
    before it, and its seconds."""
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        start = time.perf_counter()
        result = work()
        seconds = time.perf_counter() - start
        peak = tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()
    return result, peak, seconds


def cost(call, arg):
    """Outcome (result or exception), peak traced bytes and seconds of one
    call on a parser with no buffer yet."""
    method = getattr(TLParser(TEXT), call)

    def once():
        try:
            return method(arg)
        except Exception as exc:  # noqa: BLE001 - the caller checks it
            return exc

    return measured(once)


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
    returned, peak, seconds = measured(
        lambda: [cut for cut, data in enumerate(TRUNCATIONS)
                 if not isinstance(_outcome(parser, data), Exception)])
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


DOCUMENTED_VALUE_ERRORS = re.compile(
    r"^(Unknown constructor ID|Invalid vector ID): 0x[0-9a-f]{8}$")


def test_random_small_inputs():
    inputs = random_inputs(100_000)
    parser = TLParser(TEXT)
    kinds, wrong = {}, []

    def classify_all():
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

    _, peak, seconds = measured(classify_all)
    assert wrong == []
    # The inputs reach every outcome, decoded objects included.
    assert all(kinds.get(k, 0) >= 100 for k in ("dict", "parse", "value", "utf-8")), kinds
    assert peak < MAX_PEAK, peak
    assert seconds < BULK_CALL_SECONDS * len(inputs), seconds


# ---------------------------------------------------------------- pack

@pytest.mark.parametrize("make", [nested_objects, nested_lists],
                         ids=["objects", "lists"])
def test_deep_value(make):
    check("pack", make(100_000), RecursionError, TOO_DEEP)


@pytest.mark.parametrize("make", [self_list, self_dict], ids=["list", "dict"])
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


N = 100_000
ITEM = {"_": "item", "v": [1, 2]}


@pytest.mark.parametrize("ctor_name, key, make", [
    ("vi", "x", lambda: raising_generator(N // 4)),
    ("vi", "x", lambda: iter([7] * (N // 4) + [RaisingInt()])),
    ("vi", "x", lambda: [7] * (N // 2) + [RaisingInt()] + [7] * (N // 2)),
    ("hold", "items", lambda: [ITEM] * (N // 16) + [{"_": "item", "v": [RaisingInt()]}]),
], ids=["generator", "iterator-element", "list-element", "object-element"])
def test_vector_failing_half_way(ctor_name, key, make):
    # Vectors take any iterable; what comes before the failure may be
    # materialised or written, nothing more.
    check("pack", {"_": ctor_name, key: make()}, Boom, "^half way$")


# ---------------------------------------------------------------- schemas

# Sizes at which work growing with the square of the text took seconds to
# minutes; compile time and memory must stay in proportion to the text.
SCHEMA_SIZES = {
    "one constructor, {n:,} fields": 40_000,
    "{n:,} constructors of 50 types": 20_000,
    "{n:,} constructors of 50 types, standard profile": 20_000,
    "vector type text forming {n:,} levels": 40_000,
    "vector type nested {n:,} deep": 40_000,
    "vector type nested {n:,} deep, standard profile": 40_000,
    "names of {n:,} characters": 4_000_000,
    "JSON nested {n:,} deep": 100_000,
    "{n:,} flags words, standard profile": 20_000,
}
# Traced bytes per byte of schema text: json.loads' objects, the compiled
# records and the copies of names and type texts.
SCHEMA_PEAK_PER_BYTE = 16


@pytest.mark.parametrize("name, build, standard, error", HOSTILE_SCHEMAS,
                         ids=[h[0].replace("{n:,} ", "").replace(" ", "-") for h in HOSTILE_SCHEMAS])
def test_hostile_schema_compiles_in_proportion(name, build, standard, error):
    assert set(SCHEMA_SIZES) == {h[0] for h in HOSTILE_SCHEMAS}
    text = build(SCHEMA_SIZES[name])

    def compile_once():
        try:
            return TLParser(text, standard=standard)
        except Exception as exc:  # noqa: BLE001 - checked below
            return exc

    outcome, peak, seconds = measured(compile_once)
    if error is None:
        assert isinstance(outcome, TLParser), outcome
        # The compiled schema answers for what it was given.
        assert len(outcome.describe()) == len(json.loads(text)["constructors"])
    else:
        assert type(outcome) is error, outcome
    assert peak < SCHEMA_PEAK_PER_BYTE * len(text) + MAX_PEAK, (peak, len(text))
    assert seconds < CALL_SECONDS, seconds
