"""The standard wire profile: exact bytes in both directions.

Every expected byte string here is written out by hand from the profile's
rules: signed int and long, unsigned #, int128/int256 in two's complement,
boxed Bool words, true taking no bytes, # fields as flags words, boxed and
bare vectors, boxed and bare objects.
"""

import pytest

from Mivex.tl import TLParser
from conftest import ctor, make_standard, method, param, schema

VEC = "15c4b51c"
YES = "b5757299"  # 0x997275b5
NO = "379779bc"  # 0xbc799737
ID = "01000000"  # id of the one-field constructor "v"


def hx(text):
    return bytes.fromhex(text)


def one(kind, *more):
    return make_standard(ctor("v", 1, param("x", kind)), *more)


def both_ways(parser, value, wire, back=None):
    data = parser.pack(value)
    assert data == hx(wire)
    out = parser.unpack(data)
    assert out == (value if back is None else back)
    return out


# ---------------------------------------------------------------- the switch


@pytest.mark.parametrize("flag, expected", [
    (True, True), (False, False), (1, True), (0, False), ("", False),
    ("x", True), ([0], True), (None, False),
], ids=["True", "False", "1", "0", "empty-str", "str", "list", "None"])
def test_standard_is_taken_by_truth(flag, expected):
    p = TLParser(schema(ctor("v", 1, param("x", "Bool"))), standard=flag)
    assert p.standard is expected
    assert p.pack({"_": "v", "x": True}) == hx(ID + (YES if expected else "01000000"))


def test_standard_defaults_to_false_and_is_read_only():
    p = TLParser(schema(ctor("v", 1)))
    assert p.standard is False
    with pytest.raises(AttributeError):
        p.standard = True
    assert p.standard is False


def test_standard_is_keyword_only():
    with pytest.raises(TypeError):
        TLParser(schema(ctor("v", 1)), True)


# ---------------------------------------------------------------- integers


@pytest.mark.parametrize("value, wire", [
    (0, "00000000"), (1, "01000000"), (0x12345678, "78563412"),
    (-1, "ffffffff"), (-2, "feffffff"), (2**31 - 1, "ffffff7f"),
    (-(2**31), "00000080"), (-0x12345678, "88a9cbed"),
], ids=["0", "1", "order", "-1", "-2", "max", "min", "neg-order"])
def test_int_is_signed_both_ways(value, wire):
    out = both_ways(one("int"), {"_": "v", "x": value}, ID + wire)
    assert type(out["x"]) is int


@pytest.mark.parametrize("value, wire", [
    (0, "0000000000000000"), (0x0102030405060708, "0807060504030201"),
    (-1, "ffffffffffffffff"), (-2, "feffffffffffffff"),
    (2**63 - 1, "ffffffffffffff7f"), (-(2**63), "0000000000000080"),
    (2**32, "0000000001000000"), (-(2**32), "00000000ffffffff"),
], ids=["0", "order", "-1", "-2", "max", "min", "2^32", "-2^32"])
def test_long_is_signed_both_ways(value, wire):
    both_ways(one("long"), {"_": "v", "x": value}, ID + wire)


INT128 = [
    (0, "00" * 16),
    (1, "01" + "00" * 15),
    (-1, "ff" * 16),
    (-2, "fe" + "ff" * 15),
    (2**127 - 1, "ff" * 15 + "7f"),
    (-(2**127), "00" * 15 + "80"),
    (0x0102030405060708090A0B0C0D0E0F10, "100f0e0d0c0b0a090807060504030201"),
    (-0x0102030405060708090A0B0C0D0E0F10, "f0f0f1f2f3f4f5f6f7f8f9fafbfcfdfe"),
    (2**64, "0000000000000000" "0100000000000000"),
    (-(2**64), "0000000000000000" "ffffffffffffffff"),
    (2**63, "0000000000000080" "0000000000000000"),
]
INT256 = [
    (0, "00" * 32),
    (-1, "ff" * 32),
    (2**255 - 1, "ff" * 31 + "7f"),
    (-(2**255), "00" * 31 + "80"),
    (int.from_bytes(bytes(range(1, 33)), "big"),
     "201f1e1d1c1b1a191817161514131211100f0e0d0c0b0a090807060504030201"),
    (2**128, "00" * 16 + "01" + "00" * 15),
    (-(2**128), "00" * 16 + "ff" * 16),
    (2**127, "00" * 15 + "80" + "00" * 16),
]
INT_IDS = ["0", "1", "-1", "-2", "max", "min", "all-bytes", "-all-bytes", "2^64",
           "-2^64", "2^63"]


@pytest.mark.parametrize("value, wire", INT128, ids=INT_IDS)
def test_int128_twos_complement(value, wire):
    assert len(hx(wire)) == 16
    both_ways(one("int128"), {"_": "v", "x": value}, ID + wire)


@pytest.mark.parametrize("value, wire", INT256,
                         ids=["0", "-1", "max", "min", "all-bytes", "2^128", "-2^128",
                              "2^127"])
def test_int256_twos_complement(value, wire):
    assert len(hx(wire)) == 32
    both_ways(one("int256"), {"_": "v", "x": value}, ID + wire)


def test_hash_elements_are_unsigned():
    p = one("Vector<#>")
    both_ways(p, {"_": "v", "x": [0, 1, 2**31, 2**32 - 1]},
              ID + VEC + "04000000 00000000 01000000 00000080 ffffffff")


@pytest.mark.parametrize("kind, wire", [
    ("int", "00000000"), ("long", "00" * 8), ("int128", "00" * 16),
    ("int256", "00" * 32), ("double", "00" * 8), ("string", "00000000"),
    ("bytes", "00000000"), ("Bool", NO), ("Vector<int>", VEC + "00000000"),
    ("vector<long>", "00000000"),
], ids=["int", "long", "int128", "int256", "double", "string", "bytes", "Bool",
        "Vector", "vector"])
def test_missing_plain_fields_take_defaults(kind, wire):
    p = one(kind)
    assert p.pack({"_": "v"}) == hx(ID + wire)


def test_double_string_bytes_as_in_default_profile():
    p = make_standard(ctor("v", 1, param("d", "double"), param("s", "string"),
                           param("b", "bytes")))
    both_ways(p, {"_": "v", "d": -2.0, "s": "\u00e9", "b": b"abcd"},
              ID + "00000000000000c0 02c3a900 0461626364000000")


# ---------------------------------------------------------------- Bool


@pytest.mark.parametrize("value, word", [
    (True, YES), (False, NO), (1, YES), (0, NO), ("x", YES), ("", NO),
    (None, NO), ([0], YES), ([], NO),
], ids=["True", "False", "1", "0", "str", "empty-str", "None", "list", "empty-list"])
def test_bool_field_is_boxed_word_by_truth(value, word):
    p = one("Bool")
    assert p.pack({"_": "v", "x": value}) == hx(ID + word)
    assert p.unpack(hx(ID + word))["x"] is bool(value)


@pytest.mark.parametrize("wire, shown", [
    ("00000000", "0x00000000"), ("01000000", "0x00000001"),
    ("997275b5", "0xb5757299"), ("b5757298", "0x987275b5"),
    ("ffffffff", "0xffffffff"), ("15c4b51c", "0x1cb5c415"),
], ids=["0", "1", "swapped", "off-by-one", "ones", "vector-id"])
def test_bad_bool_word(wire, shown):
    for kind, data in (("Bool", ID + wire),
                       ("Vector<Bool>", ID + VEC + "02000000" + YES + wire),
                       ("vector<Bool>", ID + "01000000" + wire)):
        with pytest.raises(ValueError) as excinfo:
            one(kind).unpack(hx(data))
        assert type(excinfo.value) is ValueError
        assert str(excinfo.value) == "Invalid Bool ID: " + shown, kind


def test_conditional_bool_is_written_in_full():
    p = make_standard(ctor("v", 1, param("flags", "#"), param("b", "flags.0?Bool"),
                           param("n", "int")))
    both_ways(p, {"_": "v", "b": False, "n": 7}, ID + "01000000" + NO + "07000000")
    both_ways(p, {"_": "v", "b": True, "n": 7}, ID + "01000000" + YES + "07000000")
    both_ways(p, {"_": "v", "b": None, "n": 7}, ID + "00000000 07000000")
    assert p.pack({"_": "v", "n": 7}) == hx(ID + "00000000 07000000")
    assert p.unpack(hx(ID + "01000000" + NO + "07000000"))["b"] is False


@pytest.mark.parametrize("kind, wire", [
    ("Vector<Bool>", VEC + "03000000" + YES + NO + YES),
    ("vector<Bool>", "03000000" + YES + NO + YES),
], ids=["boxed", "bare"])
def test_vector_of_bool(kind, wire):
    both_ways(one(kind), {"_": "v", "x": [True, False, True]}, ID + wire)


# ---------------------------------------------------------------- true and flags


def test_plain_true_takes_no_bytes_and_reads_true():
    p = make_standard(ctor("v", 1, param("a", "int"), param("t", "true"),
                           param("b", "int")))
    for given in (True, False, None):
        assert p.pack({"_": "v", "a": 1, "t": given, "b": 2}) == hx(ID + "01000000 02000000")
    assert p.unpack(hx(ID + "01000000 02000000")) == {"_": "v", "a": 1, "t": True, "b": 2}


@pytest.mark.parametrize("given, word, back", [
    (True, "04000000", True), (False, "00000000", False), (None, "00000000", False),
    (1, "00000000", False), ("yes", "00000000", False),
], ids=["True", "False", "None", "1", "str"])
def test_true_flag_set_only_by_true(given, word, back):
    p = make_standard(ctor("v", 1, param("mask", "#"), param("t", "mask.2?true")))
    assert p.pack({"_": "v", "t": given}) == hx(ID + word)
    assert p.unpack(hx(ID + word)) == {"_": "v", "t": back}


def test_flags_word_can_have_any_name():
    p = make_standard(ctor("v", 1, param("opts", "#"), param("a", "opts.0?int"),
                           param("t", "opts.5?true"), param("s", "opts.31?string")))
    both_ways(p, {"_": "v", "a": -1, "t": True, "s": "ab"},
              ID + "21000080 ffffffff 02616200")
    both_ways(p, {"_": "v", "a": None, "t": False, "s": None}, ID + "00000000")


def test_many_flags_words():
    p = make_standard(ctor(
        "v", 1, param("w1", "#"), param("a", "w1.0?int"), param("w2", "#"),
        param("w3", "#"), param("b", "w3.31?long"), param("c", "w2.1?true"),
        param("d", "w1.3?Bool"), param("w4", "#"), param("e", "w4.7?int"),
        param("f", "w2.2?int")))
    value = {"_": "v", "a": 5, "b": -1, "c": True, "d": False, "e": None, "f": 9}
    both_ways(p, value,
              ID + "09000000 05000000 06000000 00000080 ffffffffffffffff" + NO
              + "00000000 09000000")


def test_flags_word_value_given_is_ignored_and_left_out():
    p = make_standard(ctor("v", 1, param("flags", "#"), param("a", "flags.1?int")))
    assert p.pack({"_": "v", "flags": 0xFFFF, "a": 3}) == hx(ID + "02000000 03000000")
    assert p.pack({"_": "v", "flags": 0xFFFF}) == hx(ID + "00000000")
    assert p.unpack(hx(ID + "02000000 03000000")) == {"_": "v", "a": 3}


def test_unused_hash_field_is_a_zero_word():
    p = make_standard(ctor("v", 1, param("n", "#"), param("x", "int")))
    assert p.pack({"_": "v", "n": 12, "x": 1}) == hx(ID + "00000000 01000000")
    assert p.unpack(hx(ID + "00000000 01000000")) == {"_": "v", "x": 1}


@pytest.mark.parametrize("name", ["flags", "flags2"])
@pytest.mark.parametrize("value, wire", [
    (-5, "fbffffff 01000000"), (0, "00000000 01000000"),
    (2**31 - 1, "ffffff7f 01000000"),
], ids=["-5", "0", "max"])
def test_field_named_flags_of_type_int_is_plain(name, value, wire):
    p = make_standard(ctor("v", 1, param(name, "int"), param("x", "int")))
    both_ways(p, {"_": "v", name: value, "x": 1}, ID + wire)


def test_all_32_bits_of_a_word():
    p = make_standard(ctor("v", 1, param("f", "#"),
                           *[param("t%d" % i, "f.%d?true" % i) for i in range(32)]))
    value = {"_": "v", **{"t%d" % i: True for i in range(32)}}
    both_ways(p, value, ID + "ffffffff")
    both_ways(p, dict(value, t31=False, t0=False), ID + "feffff7f")


def test_flags_int_beside_a_hash_word():
    p = make_standard(ctor("v", 1, param("flags", "int"), param("f2", "#"),
                           param("a", "f2.0?int")))
    both_ways(p, {"_": "v", "flags": 3, "a": 4}, ID + "03000000 01000000 04000000")


@pytest.mark.parametrize("t, x, wire", [
    (True, 5, "01000000 05000000"), (False, None, "00000000"),
], ids=["both-set", "both-clear"])
def test_fields_sharing_a_bit(t, x, wire):
    p = make_standard(ctor("v", 1, param("flags", "#"), param("t", "flags.0?true"),
                           param("x", "flags.0?int")))
    both_ways(p, {"_": "v", "t": t, "x": x}, ID + wire)


def test_conditional_values_of_every_kind():
    p = make_standard(
        ctor("point", 2, param("x", "int"), type="Point"),
        ctor("v", 1, param("f", "#"), param("a", "f.0?long"), param("b", "f.1?int128"),
             param("c", "f.2?Vector<int>"), param("d", "f.3?vector<int>"),
             param("e", "f.4?Point"), param("g", "f.5?%Point"), param("h", "f.6?string")))
    value = {"_": "v", "a": -1, "b": -1, "c": [-1], "d": [2],
             "e": {"_": "point", "x": 3}, "g": {"_": "point", "x": 4}, "h": ""}
    both_ways(p, value,
              ID + "7f000000 ffffffffffffffff" + "ff" * 16 + VEC
              + "01000000 ffffffff 01000000 02000000 02000000 03000000 04000000 00000000")
    empty = {"_": "v", "a": None, "b": None, "c": None, "d": None, "e": None,
             "g": None, "h": None}
    both_ways(p, empty, ID + "00000000")


# ---------------------------------------------------------------- vectors


@pytest.mark.parametrize("kind, value, wire", [
    ("Vector<int>", [1, -1], VEC + "02000000 01000000 ffffffff"),
    ("vector<int>", [1, -1], "02000000 01000000 ffffffff"),
    ("Vector<int>", [], VEC + "00000000"),
    ("vector<int>", [], "00000000"),
    ("Vector<long>", [-2], VEC + "01000000 feffffffffffffff"),
    ("Vector<int128>", [-1, 1], VEC + "02000000" + "ff" * 16 + "01" + "00" * 15),
    ("vector<int256>", [2**255 - 1], "01000000" + "ff" * 31 + "7f"),
    ("Vector<string>", ["ab", ""], VEC + "02000000 02616200 00000000"),
    ("vector<bytes>", [b"abc"], "01000000 03616263"),
    ("Vector<double>", [1.5], VEC + "01000000 000000000000f83f"),
    ("Vector<Vector<int>>", [[1], [], [2, -3]],
     VEC + "03000000" + VEC + "01000000 01000000" + VEC + "00000000" + VEC
     + "02000000 02000000 fdffffff"),
    ("vector<vector<int>>", [[1], [], [2, 3]],
     "03000000 01000000 01000000 00000000 02000000 02000000 03000000"),
    ("Vector<vector<int>>", [[7], []], VEC + "02000000 01000000 07000000 00000000"),
    ("vector<Vector<int>>", [[7]], "01000000" + VEC + "01000000 07000000"),
    ("Vector<Vector<Vector<long>>>", [[[1]], []],
     VEC + "02000000" + VEC + "01000000" + VEC + "01000000 0100000000000000" + VEC
     + "00000000"),
    ("Vector<Vector<Bool>>", [[False]], VEC + "01000000" + VEC + "01000000" + NO),
    ("Vector<vector<string>>", [["a"]], VEC + "01000000 01000000 01610000"),
], ids=["boxed", "bare", "boxed-empty", "bare-empty", "long", "int128", "int256",
        "string", "bytes", "double", "boxed-in-boxed", "bare-in-bare", "bare-in-boxed",
        "boxed-in-bare", "three-levels", "bools", "strings-in-bare"])
def test_vectors(kind, value, wire):
    both_ways(one(kind), {"_": "v", "x": value}, ID + wire)


def test_vector_element_types_are_checked():
    with pytest.raises(TypeError):
        one("Vector<Vector<int>>").pack({"_": "v", "x": [1]})
    with pytest.raises(TypeError):
        one("Vector<int>").pack({"_": "v", "x": [[1]]})


def test_tuple_and_generator_as_vector():
    p = one("vector<int>")
    assert p.pack({"_": "v", "x": (1, 2)}) == hx(ID + "02000000 01000000 02000000")
    assert p.pack({"_": "v", "x": (i for i in [3])}) == hx(ID + "01000000 03000000")


# ---------------------------------------------------------------- objects

SHAPES = [
    ctor("point", 0x10, param("x", "int"), param("y", "int"), type="Point"),
    ctor("circle", 0x20, param("r", "int"), type="Shape"),
    ctor("square", 0x21, param("side", "long"), type="Shape"),
    ctor("geo.point", 0x30, param("lat", "double"), type="geo.Point"),
    ctor("empty", 0x40, type="Empty"),
]
PT = {"_": "point", "x": 1, "y": -1}
PT_BOXED = "10000000 01000000 ffffffff"
PT_BARE = "01000000 ffffffff"
GEO = {"_": "geo.point", "lat": 1.5}


@pytest.mark.parametrize("kind, value, wire", [
    ("Shape", {"_": "circle", "r": 2}, "20000000 02000000"),
    ("Shape", {"_": "square", "side": -1}, "21000000 ffffffffffffffff"),
    ("Point", PT, PT_BOXED),
    ("%Point", PT, PT_BARE),
    ("point", PT, PT_BARE),
    ("geo.Point", GEO, "30000000 000000000000f83f"),
    ("geo.point", GEO, "000000000000f83f"),
    ("%geo.Point", GEO, "000000000000f83f"),
    ("Empty", {"_": "empty"}, "40000000"),
    ("Vector<Shape>", [{"_": "circle", "r": 1}, {"_": "square", "side": 2}],
     VEC + "02000000 20000000 01000000 21000000 0200000000000000"),
    ("Vector<%Point>", [PT, PT], VEC + "02000000" + PT_BARE + PT_BARE),
    ("vector<point>", [PT], "01000000" + PT_BARE),
    ("vector<Point>", [PT], "01000000" + PT_BOXED),
    ("Vector<geo.point>", [GEO], VEC + "01000000 000000000000f83f"),
    ("vector<vector<%Point>>", [[PT], []], "02000000 01000000" + PT_BARE + "00000000"),
], ids=["circle", "square", "boxed", "percent", "lowercase", "dotted-boxed",
        "dotted-bare", "dotted-percent", "empty-boxed", "vector-boxed",
        "vector-percent", "bare-vector-lowercase", "bare-vector-boxed",
        "dotted-element", "nested-bare"])
def test_objects(kind, value, wire):
    both_ways(one(kind, *SHAPES), {"_": "v", "x": value}, ID + wire)


@pytest.mark.parametrize("kind", ["%Point", "point"])
def test_bare_object_name_may_be_left_out(kind):
    p = one(kind, *SHAPES)
    data = p.pack({"_": "v", "x": {"x": 1, "y": -1}})
    assert data == hx(ID + PT_BARE)
    assert p.unpack(data) == {"_": "v", "x": PT}
    assert p.pack({"_": "v", "x": {"y": 2}}) == hx(ID + "00000000 02000000")


def test_bare_object_with_its_own_flags():
    p = make_standard(
        ctor("opt", 0x50, param("flags", "#"), param("n", "flags.0?int"),
             param("t", "flags.1?true"), param("b", "Bool"), type="Opt"),
        ctor("v", 1, param("x", "%Opt"), param("y", "vector<opt>")))
    value = {"_": "v", "x": {"_": "opt", "n": 4, "t": True, "b": True},
             "y": [{"_": "opt", "n": None, "t": False, "b": False}]}
    both_ways(p, value, ID + "03000000 04000000" + YES + "01000000 00000000" + NO)


def test_methods_do_not_make_a_bare_type_ambiguous():
    p = make_standard(*SHAPES, ctor("v", 1, param("x", "%Point")),
                      methods=[method("getPoint", 0x60, type="Point")])
    both_ways(p, {"_": "v", "x": PT}, ID + PT_BARE)


# ---------------------------------------------------------------- methods, Object, !X

ANY = [
    ctor("user", 0x44444444, param("id", "int"), type="User"),
    ctor("wrap", 0x70, param("layer", "int"), param("query", "!X"), type="X",
         key="method"),
    ctor("box", 0x71, param("o", "Object"), type="Box"),
    ctor("hold", 0x72, param("t", "Thing"), type="Hold"),
]
GET = method("getUser", 0x55555555, param("id", "long"), type="User")


@pytest.mark.parametrize("value, wire", [
    ({"_": "wrap", "layer": 3, "query": {"_": "getUser", "id": -1}},
     "70000000 03000000 55555555 ffffffffffffffff"),
    ({"_": "wrap", "layer": 3, "query": {"_": "user", "id": -1}},
     "70000000 03000000 44444444 ffffffff"),
    ({"_": "wrap", "layer": 1, "query": {"_": "wrap", "layer": 2,
                                         "query": {"_": "getUser", "id": 0}}},
     "70000000 01000000 70000000 02000000 55555555 0000000000000000"),
    ({"_": "box", "o": {"_": "getUser", "id": 2}}, "71000000 55555555 0200000000000000"),
    ({"_": "box", "o": {"_": "user", "id": 2}}, "71000000 44444444 02000000"),
    ({"_": "box", "o": {"_": "box", "o": {"_": "user", "id": 2}}},
     "71000000 71000000 44444444 02000000"),
    ({"_": "hold", "t": {"_": "user", "id": 5}}, "72000000 44444444 05000000"),
    ({"_": "getUser", "id": 9}, "55555555 0900000000000000"),
], ids=["method-in-!X", "ctor-in-!X", "nested-!X", "method-in-Object", "ctor-in-Object",
        "nested-Object", "ctor-in-unknown-type", "top-level-method"])
def test_methods_and_open_types(value, wire):
    both_ways(make_standard(*ANY, methods=[GET]), value, wire)


# ---------------------------------------------------------------- built-in names

DECLARED = [
    ctor("boolTrue", 0x997275B5, type="Bool"),
    ctor("boolFalse", 0xBC799737, type="Bool"),
    ctor("true", 0x3FEDD339, type="True"),
    ctor("vector", 0x1CB5C415, type="Vector t"),
    ctor("int", 0x0A0B0C0D, type="Int"),
    ctor("string", 0x0A0B0C0E, type="String"),
    ctor("bytes", 0x0A0B0C0F, type="Bytes"),
    ctor("v", 1, param("flags", "#"), param("b", "Bool"), param("t", "true"),
         param("c", "flags.0?Bool"), param("f", "flags.1?true"), param("vb", "Vector<Bool>"),
         param("w", "vector<int>"), param("n", "int"), param("s", "string"),
         param("y", "bytes"), param("o", "Object")),
]


def test_declared_built_in_names_keep_their_meaning():
    p = make_standard(*DECLARED)
    value = {"_": "v", "b": True, "t": True, "c": False, "f": True, "vb": [False, True],
             "w": [-1], "n": 2, "s": "a", "y": b"b", "o": {"_": "boolTrue"}}
    out = both_ways(p, value,
                    ID + "03000000" + YES + NO + VEC + "02000000" + NO + YES
                    + "01000000 ffffffff 02000000 01610000 01620000 b5757299")
    assert out["b"] is True and out["c"] is False and out["vb"][0] is False


def test_declared_true_type_is_an_object():
    p = make_standard(*DECLARED[:4], ctor("w", 2, param("f", "#"), param("a", "True"),
                                          param("b", "f.0?True"), param("c", "f.1?true"),
                                          param("d", "Vector<True>")))
    true = {"_": "true"}
    both_ways(p, {"_": "w", "a": true, "b": true, "c": True, "d": [true]},
              "02000000 03000000 39d3ed3f 39d3ed3f" + VEC + "01000000 39d3ed3f")


def test_percent_vector_is_bare():
    both_ways(one("%Vector<int>"), {"_": "v", "x": [-1]}, ID + "01000000 ffffffff")


@pytest.mark.parametrize("wire, name", [
    (YES, "boolTrue"), (NO, "boolFalse"), ("39d3ed3f", "true"),
], ids=["boolTrue", "boolFalse", "true"])
def test_declared_bool_words_are_objects_at_top_level(wire, name):
    p = make_standard(*DECLARED)
    assert p.unpack(hx(wire)) == {"_": name}
    assert p.pack({"_": name}) == hx(wire)


def test_bool_words_unknown_at_top_level_without_declaration():
    p = one("Bool")
    with pytest.raises(ValueError) as excinfo:
        p.unpack(hx(YES))
    assert str(excinfo.value) == "Unknown constructor ID: 0x997275b5"


# ---------------------------------------------------------------- describe


def test_describe_reports_standard_kinds():
    p = make_standard(*SHAPES, ctor(
        "v", 1, param("m", "#"), param("a", "int"), param("b", "long"),
        param("c", "int128"), param("d", "int256"), param("e", "double"),
        param("f", "string"), param("g", "bytes"), param("h", "Bool"),
        param("i", "true"), param("j", "m.0?Bool"), param("k", "m.1?true"),
        param("l", "Vector<#>"), param("n", "vector<point>"), param("o", "Shape"),
        param("q", "Object")))
    fields = {f["name"]: f for f in p.describe()[-1]["fields"]}
    kinds = {name: f["type"] for name, f in fields.items()}
    assert kinds["m"] == {"kind": "#"} and fields["m"]["role"] == "word"
    for name, kind in zip("abcdefghi", ["int", "long", "int128", "int256", "double",
                                        "string", "bytes", "Bool", "true"]):
        assert kinds[name] == {"kind": kind}, name
    assert (fields["j"]["role"], fields["j"]["word"], fields["j"]["bit"]) == ("cond", "m", 0)
    assert (fields["k"]["role"], fields["k"]["word"], fields["k"]["bit"]) == ("bit", "m", 1)
    assert kinds["l"] == {"kind": "vector", "element": {"kind": "#"}}
    assert kinds["n"] == {"kind": "vector", "bare": True, "element": {
        "kind": "object", "type": "Point", "bare": True, "constructor": "point"}}
    assert kinds["o"] == {"kind": "object", "type": "Shape"}
    assert kinds["q"]["kind"] == "object"


# ---------------------------------------------------------------- default profile


SAME = [
    ctor("v", 1, param("flags", "#"), param("n", "int"), param("b", "Bool"),
         param("c", "flags.0?Bool"), param("vv", "Vector<Vector<int>>")),
    ctor("w", 2, param("flags", "int"), param("x", "flags.1?int"), param("l", "long")),
]


@pytest.mark.parametrize("value, default_wire, back", [
    ({"_": "v", "n": -1, "b": True, "c": True, "vv": [1, 2]},
     ID + "01000000 ffffffff 01000000" + VEC + "02000000 01000000 02000000",
     {"_": "v", "n": 2**32 - 1, "b": True, "c": True, "vv": [1, 2]}),
    ({"_": "v", "n": 5, "b": False, "c": None, "vv": []},
     ID + "00000000 05000000 00000000" + VEC + "00000000",
     {"_": "v", "n": 5, "b": False, "c": False, "vv": []}),
    ({"_": "w", "flags": 99, "x": 3, "l": 2**64 - 1},
     "02000000 02000000 03000000 ffffffffffffffff",
     {"_": "w", "x": 3, "l": 2**64 - 1}),
], ids=["bool-and-negative", "bit-clear", "flags-int-is-a-word"])
def test_default_profile_unchanged(value, default_wire, back):
    p = TLParser(schema(*SAME))
    assert p.standard is False
    both_ways(p, value, default_wire, back)


def test_same_schema_in_standard_profile():
    p = make_standard(*SAME[:1])
    both_ways(p, {"_": "v", "n": -1, "b": True, "c": True, "vv": [[1], [2]]},
              ID + "01000000 ffffffff" + YES + YES + VEC + "02000000" + VEC
              + "01000000 01000000" + VEC + "01000000 02000000")
