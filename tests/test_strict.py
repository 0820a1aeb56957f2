"""Strict packing: TLParser(..., strict=True) refuses what the default would
coerce, fill in or ignore, in both profiles; unpack is unaffected."""

import array
import re
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from Mivex.tl import TLParser
from conftest import ctor, param, schema
from test_properties import cases, parser_for, signed

SCHEMA = schema(
    ctor("item", 0x10, param("flags", "#"), param("i", "int"), param("l", "long"),
         param("d", "double"), param("s", "string"), param("b", "bytes"), param("ok", "Bool"),
         param("v", "Vector<int>"), param("sub", "Sub"), param("on", "flags.0?true"),
         param("opt", "flags.1?string"), type="Item"),
    ctor("sub", 0x11, param("n", "int"), type="Sub"),
)
PROFILES = pytest.mark.parametrize("standard", [False, True], ids=["default", "standard"])


def good():
    return {"_": "item", "i": -3, "l": 5, "d": 1.5, "s": "x", "b": b"y", "ok": True,
            "v": [1, 2], "sub": {"_": "sub", "n": 1}, "on": True, "opt": None}


def strict(standard):
    return TLParser(SCHEMA, standard=standard, strict=True)


def lenient(standard):
    return TLParser(SCHEMA, standard=standard)


def test_the_flags_are_keyword_only_and_read_only():
    p = TLParser(SCHEMA, strict=True)
    assert (p.strict, p.standard, TLParser(SCHEMA).strict) == (True, False, False)
    with pytest.raises(AttributeError):
        p.strict = False
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
        TLParser(SCHEMA, True)


@PROFILES
def test_strict_packs_good_values_as_the_default_does(standard):
    assert strict(standard).pack(good()) == lenient(standard).pack(good())
    # Tuples for vectors, ints for doubles, False and None for flags.
    value = dict(good(), v=(1, 2), d=2, on=False, opt="z")
    assert strict(standard).pack(value) == lenient(standard).pack(value)


REFUSALS = {
    # change to the good value: (exception, message, field named by the note)
    "unknown-key": ({"nmae": "x"}, ValueError, "'item' has no field 'nmae'", "nmae"),
    "flags-word": ({"flags": 1}, ValueError, "'flags' is a flags word of 'item'", "flags"),
    "missing-plain": ({"s": ...}, ValueError, "missing field 's' of 'item'", "s"),
    "missing-object": ({"sub": ...}, ValueError, "missing field 'sub' of 'item'", "sub"),
    "float-for-int": ({"i": 3.7}, TypeError, "Expected int, got float", "i"),
    "bool-for-int": ({"l": True}, TypeError, "Expected int, got bool", "l"),
    "fraction-for-int": ({"i": Fraction(7, 2)}, TypeError, "Expected int, got Fraction", "i"),
    "str-for-double": ({"d": "1.5"}, TypeError, "Expected float or int, got str", "d"),
    "bool-for-double": ({"d": False}, TypeError, "Expected float or int, got bool", "d"),
    "int-for-Bool": ({"ok": 1}, TypeError, "Expected bool, got int", "ok"),
    "none-for-Bool": ({"ok": None}, TypeError, "Expected bool, got NoneType", "ok"),
    "one-for-flag": ({"on": 1}, TypeError, "Expected bool or None, got int", "on"),
    "yes-for-flag": ({"on": "yes"}, TypeError, "Expected bool or None, got str", "on"),
    "bytes-for-str": ({"s": b"x"}, TypeError, "Expected str, got bytes", "s"),
    "none-for-bytes": ({"b": None}, TypeError, "Expected bytes, got NoneType", "b"),
    "str-for-bytes": ({"b": "y"}, TypeError, "Expected bytes, got str", "b"),
    "dict-for-vector": ({"v": {"a": 1}}, TypeError, "Expected list or tuple, got dict", "v"),
    "str-for-vector": ({"v": "ab"}, TypeError, "Expected list or tuple, got str", "v"),
    "generator-for-vector": ({"v": (x for x in [1])}, TypeError,
                             "Expected list or tuple, got generator", "v"),
    "float-element": ({"v": [1, 2.5]}, TypeError, "Expected int, got float", "v[1]"),
    "nested": ({"sub": {"_": "sub", "n": "1"}}, TypeError, "Expected int, got str", "sub.n"),
    "list-for-object": ({"sub": [1]}, TypeError, "Expected dict, got list", "sub"),
    "int-for-object": ({"sub": 5}, TypeError, "Expected dict, got int", "sub"),
}


def changed(change):
    value = good()
    for key, new in change.items():
        if new is ...:
            del value[key]
        else:
            value[key] = new
    return value


@PROFILES
@pytest.mark.parametrize("change, error, message, where", REFUSALS.values(), ids=REFUSALS.keys())
def test_each_refusal_names_the_field(standard, change, error, message, where):
    with pytest.raises(error, match=f"^{re.escape(message)}") as info:
        strict(standard).pack(changed(change))
    assert info.value.__notes__ == [f"while packing item.{where}"]


@PROFILES
@pytest.mark.parametrize("name", [
    "unknown-key", "flags-word", "missing-plain", "float-for-int", "bool-for-int", "int-for-Bool",
    "one-for-flag", "yes-for-flag", "generator-for-vector", "bool-for-double",
])
def test_the_default_profile_takes_what_strict_refuses(standard, name):
    change = REFUSALS[name][0]
    assert lenient(standard).pack(changed(change))


def test_strict_pack_into_refuses_the_same_and_keeps_the_bytearray():
    out = bytearray(b"head")
    with pytest.raises(ValueError, match="has no field 'nmae'"):
        strict(False).pack_into(changed({"nmae": 1}), out, -1)
    assert out == b"head"


def test_unpack_is_unaffected():
    data = lenient(False).pack(good())
    assert strict(False).unpack(data) == lenient(False).unpack(data)


@PROFILES
@pytest.mark.parametrize("value", [[1, 2], "item", 7, None])
def test_a_non_mapping_message_is_refused(standard, value):
    # The default profile asks it for .get and fails with AttributeError.
    with pytest.raises(TypeError, match=f"^Expected dict, got {type(value).__name__}\\b"):
        strict(standard).pack(value)
    with pytest.raises(AttributeError):
        lenient(standard).pack(value)


def test_other_mappings_are_checked_for_unknown_keys():
    class Mapping:
        def __init__(self, d):
            self.d = d

        def get(self, key, default=None):
            return self.d.get(key, default)

        def __contains__(self, key):
            return key in self.d

        def __getitem__(self, key):
            return self.d[key]

        def __len__(self):
            return len(self.d)

        def keys(self):
            return list(self.d)

    p = strict(False)
    assert p.pack(Mapping(good())) == p.pack(good())
    with pytest.raises(ValueError, match="has no field 'extra'"):
        p.pack(Mapping(dict(good(), extra=1)))


# ---------------------------------------------------------------- properties

# Candidate values for the fields of `item`, and what strict makes of each:
# None when it takes the value, else the expected refusal.
INT_KINDS = {"i", "l"}
POOL = [0, -1, 7, True, False, 2.5, 0.0, "t", b"t", bytearray(b"t"), memoryview(b"t"),
        array.array("B", b"t"), [], [1], (1,), {"_": "sub", "n": 1}, None, Fraction(1, 2)]


def strict_verdict(key, value):
    t = type(value)
    if key in INT_KINDS:
        return None if t is int else (TypeError, "Expected int")
    if key == "d":
        return None if t in (int, float) else (TypeError, "Expected float or int")
    if key == "s":
        return None if t is str else (TypeError, "Expected str")
    if key == "b":
        ok = t in (bytes, bytearray, memoryview, array.array)
        return None if ok else (TypeError, "Expected bytes")
    if key == "ok":
        return None if t is bool else (TypeError, "Expected bool")
    if key == "on":
        return None if t is bool or value is None else (TypeError, "Expected bool or None")
    if key == "v":
        return None if t in (list, tuple) else (TypeError, "Expected list or tuple")
    raise AssertionError(key)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(key=st.sampled_from(["i", "l", "d", "s", "b", "ok", "on", "v"]),
       value=st.sampled_from(POOL), standard=st.booleans())
def test_strict_refuses_exactly_the_listed_cases(key, value, standard):
    candidate = dict(good(), **{key: value})
    try:
        default_bytes = lenient(standard).pack(candidate)
    except (TypeError, ValueError, OverflowError, AttributeError):
        return      # refused by both: nothing strict adds
    verdict = strict_verdict(key, value)
    if verdict is None:
        assert strict(standard).pack(candidate) == default_bytes
    else:
        with pytest.raises(verdict[0], match=f"^{verdict[1]}, got"):
            strict(standard).pack(candidate)


@settings(max_examples=80, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(cases())
def test_strict_accepts_what_unpack_returns(case):
    # Default-profile ints come back unsigned; `signed` writes them back in
    # the range pack takes, as for a lenient round trip.
    sch, top, given_value, _ = case
    data = parser_for(sch.json()).pack(given_value)
    p = TLParser(sch.json(), strict=True)
    assert p.pack(signed(sch, ("o", top.type_index), p.unpack(data))) == data
