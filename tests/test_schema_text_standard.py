"""Mivex.schema on schemas written for standard TL, and its fast path."""

import dataclasses
import sys
import warnings
import zlib
from pathlib import Path

import pytest

from Mivex.schema import (
    IdMismatchWarning, TLSchemaSyntaxError, UnknownTypeWarning, crc_id, normalise,
    parse_declarations, parse_tl, tl_to_json,
)
from Mivex.tl import TLParser

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from benchmarks.schema_text import generate  # noqa: E402


def params(text):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UnknownTypeWarning)
        (entry,) = parse_tl(text)["constructors"]
    return [(p["name"], p["type"]) for p in entry["params"]]


@pytest.mark.parametrize("text, expected", [
    # Older schemas: a plain number called flags.
    ("user id:int flags:int = User;", [("id", "int"), ("flags", "int")]),
    ("user flags2:int flags:# x:flags.3?long = User;",
     [("flags2", "int"), ("flags", "#"), ("x", "flags.3?long")]),
    # A condition may name any '#' field declared before it.
    ("shape mask:# extra:# a:mask.0?true b:extra.31?Vector<int> c:mask.7?%Point = Shape;",
     [("mask", "#"), ("extra", "#"), ("a", "mask.0?true"), ("b", "extra.31?Vector<int>"),
      ("c", "mask.7?%Point")]),
    ("f flags:# flags2:# x:flags2.0?int = F;",
     [("flags", "#"), ("flags2", "#"), ("x", "flags2.0?int")]),
])
def test_flags_words_of_standard_schemas(text, expected):
    assert params(text) == expected


@pytest.mark.parametrize("decl, by_hand", [
    ("wrap {X:Type} layer:int query:!X = X;", "wrap X:Type layer:int query:!X = X"),
    ("a x:%Vector<int> y:vector<point> = A;", "a x:%Vector int y:vector point = A"),
    ("a x:%Point y:Vector<%geo.Point> z:geo.point = A;",
     "a x:%Point y:Vector %geo.Point z:geo.point = A"),
    ("a id:int flags:int = A;", "a id:int flags:int = A"),
    ("a extra:# b:extra.0?true c:extra.5?bytes d:extra.6?%bytes = A;",
     "a extra:# c:extra.5?string d:extra.6?%bytes = A"),
    ("a x:int128 y:int256 z:Object w:Vector<int128> = A;",
     "a x:int128 y:int256 z:Object w:Vector int128 = A"),
])
def test_ids_of_new_constructs(decl, by_hand):
    expected = zlib.crc32(by_hand.encode())
    assert normalise(decl) == by_hand and crc_id(decl) == expected
    # The fast path and the token reader (blanks it does not take) agree.
    for text in (decl, decl.replace(" ", "\f")):
        (record,) = parse_declarations(text)
        assert (record.normalised, record.computed_id) == (by_hand, expected)


def records(text):
    return [dataclasses.asdict(d) for d in parse_declarations(text)]


def outcome(call, text):
    try:
        return call(text)
    except TLSchemaSyntaxError as exc:
        return str(exc)


# "\f" is a blank to the token reader but not to the fast path, and no line
# break, so each text below goes through both with the same lines and columns.
@pytest.mark.parametrize("text", [
    generate(300, seed=7),
    "a#1f flags:# x:flags.0?int y:flags.1?true z:Vector<int> = A;\n"
    "  geo.point x:double\r\n y:double = geo.Point;\r---functions---\n"
    "f {X:Type} q:!X = X; v {t:Type} x:t = V t; m x:bytes = Vector<A>;",
    "a x:Vector<int>> = A;",                 # not a type, however it looks
    "a x:Vector<%int> = Vector<%A>;",        # no marker in a result
    "a x:Foo<Bar<%Baz>,!Q> = A;",
    "a x:flags.0?int = A;",
    "a flags:# x:flags.32?int = A;",
    "a flags:# flags:# = A;",
    "a\n flags:int x:int\n y:flags.0?int = A;",
    "a {X:Type} x:!Y = A;",
    "a x:" + "Vector<" * 65 + "int" + ">" * 65 + " = A;",
    "a = A;\nb = B;\nc#1 = C;\nd#1 = D;",
])
def test_fast_path_agrees_with_the_token_reader(text):
    slow = text.replace(" ", "\f")
    assert outcome(records, text) == outcome(records, slow)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert outcome(parse_tl, text) == outcome(parse_tl, slow)


def test_generated_benchmark_schema_parses_cleanly():
    text = generate(600, seed=3)
    with warnings.catch_warnings():
        warnings.simplefilter("error")      # no id mismatch, no unknown type
        schema = parse_tl(text)
    types = [p["type"] for e in schema["constructors"] + schema["methods"] for p in e["params"]]
    # The mix the benchmark promises is there.
    for needle in ("flags.", "%", "vector<", "Vector<", "geo.", "int128", "!X"):
        assert any(needle in t for t in types), needle
    assert any(e["type"] == "X" for e in schema["methods"])


def test_default_profile_writes_a_kept_marker_as_before():
    # '%Point' reads as an object with its id in the default profile, as
    # 'Point' did before the marker was kept.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", IdMismatchWarning)
        kept = tl_to_json("point#11 x:int = Point;\n"
                          "box#22 flags:# a:%Point b:Vector<%Point> c:flags.0?%Point = Box;")
        plain = tl_to_json("point#11 x:int = Point;\n"
                           "box#22 flags:# a:Point b:Vector<Point> c:flags.0?Point = Box;")
    assert '"%Point"' in kept
    value = {"_": "box", "a": {"_": "point", "x": 1}, "b": [{"_": "point", "x": 2}],
             "c": {"_": "point", "x": 3}}
    packed = TLParser(kept).pack(value)
    assert packed == TLParser(plain).pack(value)
    assert packed[:12] == bytes.fromhex("22000000 01000000 11000000")
    assert TLParser(kept).unpack(packed) == value
