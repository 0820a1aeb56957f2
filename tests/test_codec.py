"""How Python values become TL data and back: conversions, objects, vectors,
schema selection, pack/unpack behaviour and the errors of each."""

import array
import collections
import json
import math
import mmap
import struct
import traceback
import warnings
from fractions import Fraction

import pytest

from Mivex.tl import TLParser
from conftest import ctor, make_parser, param, schema

VEC = "15c4b51c"
ID = "01000000"  # id of the one-field constructor "v" below


def hx(text):
    return bytes.fromhex(text)


def one(kind):
    return make_parser(ctor("v", 1, param("x", kind)))


def pack_one(kind, value):
    return one(kind).pack({"_": "v", "x": value})


def raises(exc, call, *args):
    with pytest.raises(exc) as excinfo:
        call(*args)
    assert type(excinfo.value) is exc
    return str(excinfo.value)


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    def __index__(self):
        return 5


class FloatLike:
    def __float__(self):
        return 2.5


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    pass


class MyBytes(bytes):
    pass


class MyList(list):
    pass


class Boom(Exception):
    pass


class BadInt:
    def __int__(self):
        raise Boom("int")


class BadBool:
    def __bool__(self):
        raise Boom("bool")


class Falsy:
    def __bool__(self):
        return False


MODULE_MESSAGES = {
    "value too large to convert to int32_t",
    "can't convert negative value to uint64_t",
    "an integer is required",
}


def interpreter_float_error(value):
    # math.isnan converts its argument with the interpreter's own float conversion.
    try:
        math.isnan(value)
    except Exception as exc:
        return type(exc), str(exc)
    raise AssertionError("conversion did not fail")


# ---------------------------------------------------------------- int32


@pytest.mark.parametrize(
    "value, wire",
    [
        (True, "01000000"),
        (False, "00000000"),
        (3.9, "03000000"),
        (-3.9, "fdffffff"),
        (2.7, "02000000"),
        (-0.5, "00000000"),
        (IntLike(5), "05000000"),
        (IntLike(-2), "feffffff"),
        (MyInt(7), "07000000"),
        (Fraction(7, 2), "03000000"),
        (MyFloat(9.99), "09000000"),
        (-(2**31), "00000080"),
        (2**31 - 1, "ffffff7f"),
    ],
    ids=["true", "false", "3.9", "-3.9", "2.7", "-0.5", "__int__",
         "__int__-neg", "int-sub", "fraction", "float-sub", "min", "max"],
)
def test_int32_accepts(value, wire):
    assert pack_one("int", value) == hx(ID + wire)


@pytest.mark.parametrize(
    "value",
    ["12", "", None, object(), b"1", [1], IndexOnly(), 1j],
    ids=["digits", "empty-str", "none", "object", "bytes", "list", "index-only",
         "complex"],
)
def test_int32_needs_int(value):
    assert raises(TypeError, pack_one, "int", value) == "an integer is required"


@pytest.mark.parametrize(
    "value",
    [2**31, -(2**31) - 1, 2**32, 2**63 - 1, -(2**63), 3e9, IntLike(2**40)],
    ids=["2^31", "min-1", "2^32", "2^63-1", "-2^63", "float-3e9", "__int__"],
)
def test_int32_range(value):
    assert raises(OverflowError, pack_one, "int", value) == (
        "value too large to convert to int32_t"
    )


@pytest.mark.parametrize(
    "value", [2**64, -(2**64), 2**63, -(2**63) - 1, 2**200],
    ids=["2^64", "-2^64", "2^63", "-2^63-1", "huge"],
)
def test_int32_beyond_64_bits_is_interpreters_error(value):
    message = raises(OverflowError, pack_one, "int", value)
    assert message not in MODULE_MESSAGES


@pytest.mark.parametrize("kind", ["int", "long"])
@pytest.mark.parametrize(
    "result, name", [("x", "str"), (1.5, "float"), (None, "NoneType")],
    ids=["str", "float", "none"],
)
def test_int_returning_non_int(kind, result, name):
    assert raises(TypeError, pack_one, kind, IntLike(result)) == (
        f"__int__ returned non-int (type {name})"
    )


DEPRECATED = (
    "__int__ returned non-int (type MyInt).  The ability to return an instance "
    "of a strict subclass of int is deprecated, and may be removed in a future "
    "version of Python."
)


@pytest.mark.parametrize("kind, wire", [("int", "06000000"), ("long", "0600000000000000")])
def test_int_returning_int_subclass_warns(kind, wire):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        data = pack_one(kind, IntLike(MyInt(6)))
    assert data == hx(ID + wire)
    assert [(w.category, str(w.message)) for w in caught] == [
        (DeprecationWarning, DEPRECATED)
    ]


@pytest.mark.parametrize("kind", ["int", "long"])
def test_int_returning_int_subclass_refused_when_warning_is_error(kind):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        assert raises(DeprecationWarning, pack_one, kind, IntLike(MyInt(6))) == DEPRECATED


@pytest.mark.parametrize("kind", ["int", "long"])
def test_own_conversion_errors_propagate(kind):
    assert raises(Boom, pack_one, kind, BadInt()) == "int"


def test_float_nan_to_int_is_interpreters_error():
    assert raises(ValueError, pack_one, "int", math.nan) == (
        "cannot convert float NaN to integer"
    )


# ---------------------------------------------------------------- uint64


@pytest.mark.parametrize(
    "value, wire",
    [
        (0, "0000000000000000"),
        (2**64 - 1, "ffffffffffffffff"),
        (2**63, "0000000000000080"),
        (True, "0100000000000000"),
        (3.9, "0300000000000000"),
        (IntLike(2**40), "0000000000010000"),
        (MyInt(2**33), "0000000002000000"),
    ],
    ids=["zero", "max", "2^63", "true", "3.9", "__int__", "int-sub"],
)
def test_uint64_accepts(value, wire):
    assert pack_one("long", value) == hx(ID + wire)


@pytest.mark.parametrize(
    "value", [-1, -(2**63), -(2**70), MyInt(-1), IntLike(-5), -3.9],
    ids=["-1", "-2^63", "-2^70", "int-sub", "__int__", "float"],
)
def test_uint64_negative(value):
    assert raises(OverflowError, pack_one, "long", value) == (
        "can't convert negative value to uint64_t"
    )


@pytest.mark.parametrize("value", [2**64, 2**100], ids=["2^64", "2^100"])
def test_uint64_too_large_is_interpreters_error(value):
    assert raises(OverflowError, pack_one, "long", value) not in MODULE_MESSAGES


@pytest.mark.parametrize("value", [None, "1", object(), IndexOnly()],
                         ids=["none", "str", "object", "index-only"])
def test_uint64_needs_int(value):
    assert raises(TypeError, pack_one, "long", value) == "an integer is required"


# ---------------------------------------------------------------- double


@pytest.mark.parametrize(
    "value, expected",
    [
        (1, 1.0),
        (True, 1.0),
        (2**53, 2.0**53),
        (-7, -7.0),
        (MyFloat(0.25), 0.25),
        (FloatLike(), 2.5),
        (IndexOnly(), 5.0),
        (Fraction(1, 4), 0.25),
    ],
    ids=["int", "true", "2^53", "neg", "float-sub", "__float__", "__index__", "fraction"],
)
def test_double_accepts(value, expected):
    assert pack_one("double", value) == hx(ID) + struct.pack("<d", expected)


@pytest.mark.parametrize(
    "value", [None, "1.5", b"1", object(), 2**1024, [1.0]],
    ids=["none", "str", "bytes", "object", "huge-int", "list"],
)
def test_double_refusals_are_interpreters(value):
    exc_type, message = interpreter_float_error(value)
    assert raises(exc_type, pack_one, "double", value) == message


# ---------------------------------------------------------------- string


def test_string_none():
    assert raises(AttributeError, pack_one, "string", None) == (
        "'NoneType' object has no attribute 'encode'"
    )


@pytest.mark.parametrize("value", [b"ab", bytearray(b"ab"), 5, ["a"]],
                         ids=["bytes", "bytearray", "int", "list"])
def test_string_needs_str(value):
    # The UTF-8 encoder's own refusal of a non-str argument.
    assert raises(TypeError, pack_one, "string", value) == (
        "bad argument type for built-in operation"
    )


def test_string_subclass_written_as_text():
    assert pack_one("string", MyStr("ab")) == hx(ID + "02616200")


@pytest.mark.parametrize("text", ["\ud800", "a\udfffb"], ids=["high", "low"])
def test_string_lone_surrogate(text):
    raises(UnicodeEncodeError, pack_one, "string", text)


@pytest.mark.parametrize("wire", ["02c32800", "01ff0000", "03eda080"],
                         ids=["bad-continuation", "ff", "surrogate"])
def test_string_invalid_utf8_read(wire):
    raises(UnicodeDecodeError, one("string").unpack, hx(ID + wire))


# ---------------------------------------------------------------- bytes


def test_bytes_none():
    assert raises(TypeError, pack_one, "bytes", None) == (
        "object of type 'NoneType' has no len()"
    )


@pytest.mark.parametrize(
    "value",
    [b"abcd", MyBytes(b"abcd"), bytearray(b"abcd"), memoryview(b"abcd"),
     memoryview(bytearray(b"xxabcdxx"))[2:6], array.array("b", b"abcd")],
    ids=["bytes", "subclass", "bytearray", "memoryview", "slice", "array"],
)
def test_bytes_like_taken_by_content(value):
    assert pack_one("bytes", value) == hx(ID + "0461626364000000")


@pytest.mark.parametrize(
    "value, name",
    [("abcd", "str"), (5, "int"), ([97], "list"), (1.5, "float"),
     (memoryview(b"abcdefgh")[::2], "memoryview")],
    ids=["str", "int", "list", "float", "strided"],
)
def test_bytes_other_types(value, name):
    assert raises(TypeError, pack_one, "bytes", value) == f"Expected bytes, got {name}"


def released_view():
    view = memoryview(b"abcd")
    view.release()
    return view


def closed_mmap():
    m = mmap.mmap(-1, 4)
    m.close()
    return m


@pytest.mark.parametrize(
    "make, name",
    [(released_view, "memoryview"), (closed_mmap, "mmap.mmap")],
    ids=["released-memoryview", "closed-mmap"],
)
def test_dead_buffers_are_not_bytes(make, name):
    # Whatever the exporter raises is kept as the cause.
    with pytest.raises(TypeError, match=f"^Expected bytes, got {name}") as info:
        pack_one("bytes", make())
    assert type(info.value.__cause__) is ValueError


# ---------------------------------------------------------------- Bool


@pytest.mark.parametrize(
    "value, wire",
    [
        (True, "01000000"),
        (False, "00000000"),
        (None, "00000000"),
        ([], "00000000"),
        ([0], "01000000"),
        ("", "00000000"),
        ("no", "01000000"),
        (0.0, "00000000"),
        (2, "01000000"),
        (-1, "01000000"),
        (Falsy(), "00000000"),
        (object(), "01000000"),
    ],
    ids=["true", "false", "none", "empty-list", "list", "empty-str", "str",
         "zero-float", "two", "minus-one", "falsy", "object"],
)
def test_bool_by_truth(value, wire):
    assert pack_one("Bool", value) == hx(ID + wire)


def test_bool_truth_error_propagates():
    assert raises(Boom, pack_one, "Bool", BadBool()) == "bool"


# ---------------------------------------------------------------- object writer


@pytest.fixture
def pt():
    return make_parser(ctor("pt", 2, param("x", "int")))


@pytest.mark.parametrize(
    "value",
    [{}, {"x": 1}, {"_": None}, {"_": ""}],
    ids=["empty", "no-name", "none", "empty-name"],
)
def test_object_needs_name(pt, value):
    assert raises(ValueError, pt.pack, value) == "Object must have '_' field"


@pytest.mark.parametrize(
    "name, shown",
    [(5, "int"), (b"pt", "bytes"), (MyStr("pt"), "MyStr"), (["pt"], "list")],
    ids=["int", "bytes", "str-sub", "list"],
)
def test_object_name_must_be_str(pt, name, shown):
    assert raises(TypeError, pt.pack, {"_": name}) == f"Expected str, got {shown}"


@pytest.mark.parametrize("name", ["nope", "Pt", "pt ", "p\u00e9"])
def test_unknown_constructor(pt, name):
    assert raises(ValueError, pt.pack, {"_": name}) == f"Unknown constructor: {name}"


def test_unencodable_name(pt):
    raises(UnicodeEncodeError, pt.pack, {"_": "\ud800"})


def test_defaults_for_missing_fields():
    p = make_parser(
        ctor(
            "d", 3,
            param("i", "int"), param("h", "#"), param("l", "long"),
            param("f", "double"), param("s", "string"), param("b", "bytes"),
            param("o", "Bool"), param("v", "Vector<int>"), param("w", "Vector<Foo>"),
        )
    )
    data = p.pack({"_": "d"})
    assert data == hx(
        "03000000"
        "00000000" "00000000" "0000000000000000" "0000000000000000"
        "00000000" "00000000" "00000000" + VEC + "00000000" + VEC + "00000000"
    )
    assert p.unpack(data) == {
        "_": "d", "i": 0, "h": 0, "l": 0, "f": 0.0, "s": "", "b": b"", "o": False,
        "v": [], "w": [],
    }


def test_missing_object_field_cannot_default():
    p = make_parser(ctor("pt", 2, param("x", "int")), ctor("box", 3, param("p", "Pt")))
    assert raises(ValueError, p.pack, {"_": "box"}) == "Object must have '_' field"


@pytest.mark.parametrize(
    "kind, exc, message",
    [
        ("int", TypeError, "an integer is required"),
        ("long", TypeError, "an integer is required"),
        ("string", AttributeError, "'NoneType' object has no attribute 'encode'"),
        ("bytes", TypeError, "object of type 'NoneType' has no len()"),
        ("Foo", AttributeError, "'NoneType' object has no attribute 'get'"),
        ("Vector<int>", TypeError, "'NoneType' object is not iterable"),
    ],
    ids=["int", "long", "string", "bytes", "object", "vector"],
)
def test_none_in_plain_field(kind, exc, message):
    assert raises(exc, pack_one, kind, None) == message


@pytest.fixture
def cond():
    return make_parser(
        ctor(
            "c", 7,
            param("flags", "#"),
            param("a", "flags.0?int"),
            param("flags2", "#"),
            param("b", "flags2.3?string"),
            param("t", "flags2.0?true"),
            param("d", "flags.31?long"),
            param("u", "flags.5?Bool"),
            param("z", "int"),
        )
    )


@pytest.mark.parametrize(
    "given, wire",
    [
        ({}, "00000000 00000000 00000000"),
        ({"a": 5}, "01000000 05000000 00000000 00000000"),
        ({"b": "ab"}, "00000000 08000000 02616200 00000000"),
        ({"t": True}, "00000000 01000000 00000000"),
        ({"d": 2}, "00000080 00000000 0200000000000000 00000000"),
        ({"u": True}, "20000000 00000000 00000000"),
        ({"a": 0, "b": "", "t": True, "d": 0, "u": True, "z": 9},
         "21000080 00000000 09000000 00000000 0000000000000000 09000000"),
    ],
    ids=["none", "flags", "flags2", "true", "bit31", "bool-flag", "all"],
)
def test_conditional_fields(cond, given, wire):
    data = cond.pack({"_": "c", **given})
    assert data == hx("07000000" + wire)
    back = cond.unpack(data)
    expected = {"_": "c", "a": None, "b": None, "t": False, "d": None, "u": False, "z": 0}
    expected.update(given)
    assert back == expected


@pytest.mark.parametrize(
    "kind, value, wire",
    [("int", 0, "04000000 00000000"), ("int", False, "04000000 00000000"),
     ("string", "", "04000000 00000000"), ("bytes", b"", "04000000 00000000"),
     ("Vector<int>", [], "04000000" + VEC + "00000000"), ("int", None, "00000000")],
    ids=["zero", "false", "empty-str", "empty-bytes", "empty-list", "none"],
)
def test_conditional_presence_is_not_none(kind, value, wire):
    p = make_parser(ctor("c", 7, param("flags", "#"), param("a", f"flags.2?{kind}")))
    assert p.pack({"_": "c", "a": value}) == hx("07000000" + wire)


@pytest.mark.parametrize("kind", ["true", "Bool"])
@pytest.mark.parametrize(
    "value, bit",
    [(True, "01"), (False, "00"), (1, "00"), (None, "00"), ("yes", "00"), (MyInt(1), "00")],
    ids=["True", "False", "one", "none", "str", "int-sub"],
)
def test_true_flag_by_identity(kind, value, bit):
    p = make_parser(ctor("c", 7, param("flags", "#"), param("t", f"flags.0?{kind}")))
    assert p.pack({"_": "c", "t": value}) == hx("07000000" + bit + "000000")


def test_shared_bit_writes_only_given_field():
    p = make_parser(
        ctor("c", 7, param("flags", "#"), param("a", "flags.2?int"),
             param("b", "flags.2?string"))
    )
    assert p.pack({"_": "c", "a": 5}) == hx("07000000 04000000 05000000")
    assert p.pack({"_": "c", "b": "x"}) == hx("07000000 04000000 01780000")
    assert p.pack({"_": "c", "a": 5, "b": None}) == hx("07000000 04000000 05000000")
    assert p.pack({"_": "c", "a": 5, "b": "x"}) == hx("07000000 04000000 05000000 01780000")


@pytest.mark.parametrize("stored", [0xFF, "junk", None, 2**80], ids=["int", "str", "none", "huge"])
def test_value_under_flags_ignored(cond, stored):
    data = cond.pack({"_": "c", "flags": stored, "flags2": stored, "a": 1})
    assert data == hx("07000000 01000000 01000000 00000000 00000000")


def test_flags_word_of_any_declared_type():
    # The name makes the flags word; the declared type does not matter.
    p = make_parser(ctor("c", 7, param("flags", "string"), param("a", "flags.1?int")))
    assert p.pack({"_": "c", "flags": "x", "a": 3}) == hx("07000000 02000000 03000000")
    assert p.unpack(hx("07000000 02000000 03000000")) == {"_": "c", "a": 3}


def test_extra_keys_ignored(pt):
    assert pt.pack({"_": "pt", "x": 1, "y": 2, 3: 4, None: 5}) == hx("02000000 01000000")


def fresh(text):
    # Equal to the literal, but another object (as keys decoded from JSON are).
    return "".join(list(text))


# Names of every width of str storage, short and long.
KEY_NAMES = ["a", "id", "date", "x_y_z_1", "first_name", "a_rather_long_name_1",
             "caf\u00e9", "\u0434\u0430\u0442\u0430", "\U0001f600key", "n10", "n11"]


@pytest.mark.parametrize("count", [3, 8, 11])
@pytest.mark.parametrize("order", ["schema", "reversed", "gaps"])
@pytest.mark.parametrize("underscore_field", [False, True])
def test_keys_equal_but_not_the_same_objects(count, order, underscore_field):
    names = KEY_NAMES[:count]
    params = [param(n, "int") for n in names]
    if underscore_field:  # a field named "_" holds the constructor's name
        params.insert(1, param("_", "string"))
    p = make_parser(ctor("r", 9, *params))
    keys = list(names)
    if order == "reversed":
        keys.reverse()
    elif order == "gaps":
        keys = keys[::2]
    literal = {"_": "r", **{k: names.index(k) + 1 for k in keys}}
    decoded = {fresh(k): v for k, v in literal.items()}
    decoded[next(iter(decoded))] = fresh("r")
    expected = p.pack(literal)
    assert p.pack(decoded) == p.pack(json.loads(json.dumps(literal))) == expected
    # Left-out fields are written as 0: every value lands in its own field
    # whatever the keys' identity.
    assert p.unpack(expected) == {"_": "r", **{n: names.index(n) + 1 if n in keys else 0
                                              for n in names}}


class Mapping:
    def __init__(self, data):
        self.data = data

    def get(self, key, default=None):
        return self.data.get(key, default)

    def __contains__(self, key):
        return key in self.data

    def __getitem__(self, key):
        return self.data[key]


class DoublingDict(dict):
    def __getitem__(self, key):
        value = super().__getitem__(key)
        return value * 2 if isinstance(value, int) else value


@pytest.mark.parametrize(
    "make",
    [Mapping, collections.UserDict, collections.OrderedDict, dict],
    ids=["get-contains-getitem", "userdict", "ordereddict", "dict"],
)
def test_mappings_accepted(make):
    p = make_parser(
        ctor("pt", 2, param("x", "int")),
        ctor("box", 3, param("flags", "#"), param("p", "Pt"), param("o", "flags.0?long")),
    )
    value = make({"_": "box", "p": make({"_": "pt", "x": 4}), "o": 6})
    assert p.pack(value) == hx("03000000 01000000 02000000 04000000 0600000000000000")


def test_dict_subclass_fetched_by_subscription(pt):
    assert pt.pack(DoublingDict({"_": "pt", "x": 4})) == hx("02000000 08000000")


@pytest.mark.parametrize(
    "value, shown", [([], "list"), (None, "NoneType"), (5, "int"), ("pt", "str"),
                     (("_", "pt"), "tuple")],
    ids=["list", "none", "int", "str", "tuple"],
)
def test_object_needs_get(pt, value, shown):
    assert raises(AttributeError, pt.pack, value) == (
        f"'{shown}' object has no attribute 'get'"
    )


def test_nested_object_needs_get():
    p = make_parser(ctor("pt", 2, param("x", "int")), ctor("box", 3, param("p", "Pt")))
    assert raises(AttributeError, p.pack, {"_": "box", "p": [1]}) == (
        "'list' object has no attribute 'get'"
    )


# ---------------------------------------------------------------- object reader


@pytest.mark.parametrize(
    "word, shown",
    [("ff000000", "000000ff"), ("ffffffff", "ffffffff"), ("01efcdab", "abcdef01"),
     ("00000000", "00000000"), (VEC, "1cb5c415")],
    ids=["255", "all-ones", "lowercase", "zero", "vector-id"],
)
def test_unknown_id(pt, word, shown):
    assert raises(ValueError, pt.unpack, hx(word + "00000000")) == (
        "Unknown constructor ID: 0x" + shown
    )


def test_unknown_id_nested():
    p = make_parser(ctor("box", 3, param("p", "Pt")))
    assert raises(ValueError, p.unpack, hx("03000000 09000000")) == (
        "Unknown constructor ID: 0x00000009"
    )


def test_conditional_read_against_each_word(cond):
    # flags2 has bit 3 (b) and bit 0 (t); flags has none.
    data = hx("07000000 00000000 09000000 02616200 05000000")
    assert cond.unpack(data) == {
        "_": "c", "a": None, "b": "ab", "t": True, "d": None, "u": False, "z": 5
    }


def test_result_key_order(cond):
    result = cond.unpack(hx("07000000 01000000 00000000 03000000 00000000"))
    assert list(result) == ["_", "a", "b", "t", "d", "u", "z"]
    assert "flags" not in result and "flags2" not in result


def test_conditional_before_its_flags_field():
    p = make_parser(ctor("e", 9, param("a", "flags.0?int"), param("flags", "#"),
                         param("b", "int")))
    data = p.pack({"_": "e", "a": 5, "b": 6})
    assert data == hx("09000000 05000000 01000000 06000000")
    # Read back, "a" is tested against a flags word still 0, so the 5 becomes flags.
    assert p.unpack(data) == {"_": "e", "a": None, "b": 1}


def test_method_name_decoded():
    p = make_parser(ctor("caf\u00e9", 4))
    assert p.unpack(hx("04000000")) == {"_": "caf\u00e9"}
    assert p.pack({"_": "caf\u00e9"}) == hx("04000000")


def test_round_trip_nested():
    p = make_parser(
        ctor("pt", 2, param("x", "int"), param("y", "double")),
        ctor("poly", 3, param("flags", "#"), param("name", "flags.0?string"),
             param("pts", "Vector<Pt>"), param("tags", "flags.1?Vector<string>"),
             param("inner", "flags.2?Poly"), param("big", "long"), param("raw", "bytes")),
    )
    value = {
        "_": "poly", "name": "outer",
        "pts": [{"_": "pt", "x": 1, "y": 0.5}, {"_": "pt", "x": 2**31 - 1, "y": -2.0}],
        "tags": ["a", "\u00e9", ""],
        "inner": {"_": "poly", "name": None, "pts": [], "tags": None, "inner": None,
                  "big": 2**64 - 1, "raw": b"\x00\xff"},
        "big": 1, "raw": bytes(300),
    }
    assert p.unpack(p.pack(value)) == value


# ---------------------------------------------------------------- vectors


@pytest.mark.parametrize(
    "value",
    [(1, 2), (x for x in (1, 2)), range(1, 3), {1: "a", 2: "b"}, iter([1, 2]),
     array.array("i", [1, 2])],
    ids=["tuple", "generator", "range", "dict-keys", "iterator", "array"],
)
def test_vector_from_iterables(value):
    assert pack_one("Vector<int>", value) == hx(ID + VEC + "02000000 01000000 02000000")


def test_vector_of_str_from_text():
    assert pack_one("Vector<string>", "ab") == hx(ID + VEC + "02000000 01610000 01620000")


def test_vector_list_subclass_refused():
    assert raises(TypeError, pack_one, "Vector<int>", MyList([1])) == (
        "Expected list, got MyList"
    )


@pytest.mark.parametrize(
    "value, message",
    [(None, "'NoneType' object is not iterable"), (5, "'int' object is not iterable")],
    ids=["none", "int"],
)
def test_vector_needs_iterable(value, message):
    assert raises(TypeError, pack_one, "Vector<int>", value) == message


def test_nested_vector_elements_are_int():
    assert raises(TypeError, pack_one, "Vector<Vector<int>>", [[1]]) == (
        "an integer is required"
    )
    p = one("Vector<Vector<int>>")
    data = p.pack({"_": "v", "x": [1, 2]})
    assert data == hx(ID + VEC + "02000000 01000000 02000000")
    assert p.unpack(data)["x"] == [1, 2]


def test_conditional_vector_element_kind():
    p = make_parser(ctor("c", 7, param("flags", "#"), param("v", "flags.0?Vector<long>")))
    data = p.pack({"_": "c", "v": [3]})
    assert data == hx("07000000 01000000" + VEC + "01000000 0300000000000000")
    assert p.unpack(data) == {"_": "c", "v": [3]}


def test_bare_element_type_is_object():
    p = make_parser(ctor("pt", 2, param("x", "int")), ctor("v", 1, param("x", "Vector<%Pt>")))
    value = {"_": "v", "x": [{"_": "pt", "x": 8}]}
    data = p.pack(value)
    assert data == hx(ID + VEC + "01000000 02000000 08000000")
    assert p.unpack(data) == value


@pytest.mark.parametrize(
    "kind, value, wire",
    [
        ("Vector<long>", [0, 2**64 - 1], "02000000 0000000000000000 ffffffffffffffff"),
        ("Vector<double>", [0.5, -1.0], "02000000 000000000000e03f 000000000000f0bf"),
        ("Vector<Bool>", [1, None, [], "x"], "04000000 01000000 00000000 00000000 01000000"),
        ("Vector<bytes>", [b"", b"abcde"], "02000000 00000000 0561626364650000"),
        ("Vector<string>", ["\u00e9", ""], "02000000 02c3a900 00000000"),
        ("Vector<int>", [True, 5], "02000000 01000000 05000000"),
        ("Vector<int>", [], "00000000"),
    ],
    ids=["longs", "doubles", "bools", "bytes", "strings", "bool-ints", "empty"],
)
def test_vector_elements(kind, value, wire):
    assert pack_one(kind, value) == hx(ID + VEC + wire)


def test_vector_read_values():
    p = one("Vector<Bool>")
    assert p.unpack(hx(ID + VEC + "03000000 00000000 02000000 01000000"))["x"] == [
        False, True, True
    ]
    assert one("Vector<int>").unpack(hx(ID + VEC + "01000000 ffffffff"))["x"] == [4294967295]


@pytest.mark.parametrize(
    "kind, elements, message",
    [
        ("Vector<int>", [1, "x"], "an integer is required"),
        ("Vector<long>", [1, -1], "can't convert negative value to uint64_t"),
        ("Vector<bytes>", [b"a", None], "object of type 'NoneType' has no len()"),
        ("Vector<Pt>", [{"x": 1}], "Object must have '_' field"),
    ],
    ids=["int", "long", "bytes", "object"],
)
def test_vector_element_errors(kind, elements, message):
    p = make_parser(ctor("pt", 2, param("x", "int")), ctor("v", 1, param("x", kind)))
    with pytest.raises(Exception) as excinfo:
        p.pack({"_": "v", "x": elements})
    assert str(excinfo.value) == message


# ---------------------------------------------------------------- schema selection


def test_name_from_method():
    p = make_parser(ctor("m", 5, param("x", "int"), key="method"))
    assert p.pack({"_": "m", "x": 1}) == hx("05000000 01000000")


def test_predicate_before_method():
    entry = {"predicate": "p", "method": "m", "type": "T", "id": 5, "params": []}
    p = TLParser(schema(entry))
    assert p.unpack(hx("05000000")) == {"_": "p"}
    assert raises(ValueError, p.pack, {"_": "m"}) == "Unknown constructor: m"
    assert raises(ValueError, p.pack, {"_": "T"}) == "Unknown constructor: T"


def test_method_before_type():
    entry = {"method": "m", "type": "T", "id": 5}
    p = TLParser(schema(entry))
    assert p.pack({"_": "m"}) == hx("05000000")
    assert raises(ValueError, p.pack, {"_": "T"}) == "Unknown constructor: T"


def test_entry_with_only_type_and_id():
    p = TLParser(json.dumps({"constructors": [{"type": "T", "id": 6}]}))
    assert p.pack({"_": "T"}) == hx("06000000")
    assert p.unpack(hx("06000000")) == {"_": "T"}


def test_missing_id_is_zero():
    p = TLParser(json.dumps({"constructors": [{"predicate": "z"}]}))
    assert p.pack({"_": "z"}) == hx("00000000")


def test_only_methods():
    p = make_parser(methods=[ctor("m", 8, param("x", "string"), key="method")])
    assert p.pack({"_": "m", "x": "a"}) == hx("08000000 01610000")


def test_methods_come_after_constructors():
    p = make_parser(
        ctor("a", 1, param("x", "int")),
        methods=[ctor("a", 2, key="method"), ctor("m", 1, param("s", "string"), key="method")],
    )
    # The method "a" took the name, the method "m" took id 1.
    assert p.pack({"_": "a", "x": 9}) == hx("02000000")
    assert p.unpack(hx("01000000 01610000")) == {"_": "m", "s": "a"}


def test_later_duplicate_id_wins():
    p = make_parser(ctor("a", 1, param("x", "int")), ctor("b", 1, param("s", "string")))
    assert p.unpack(hx("01000000 01610000")) == {"_": "b", "s": "a"}
    # "a" keeps its name and still packs with its own fields.
    assert p.pack({"_": "a", "x": 3}) == hx("01000000 03000000")


def test_shadowed_name_still_unpacks_by_id():
    p = make_parser(ctor("a", 1, param("x", "int")), ctor("a", 2))
    assert p.pack({"_": "a", "x": 3}) == hx("02000000")
    assert p.unpack(hx("01000000 05000000")) == {"_": "a", "x": 5}
    assert p.unpack(hx("02000000")) == {"_": "a"}


@pytest.mark.parametrize(
    "id, wire",
    [("42", "2a000000"), ("-1", "ffffffff"), (-1, "ffffffff"), (4294967295, "ffffffff"),
     (-2147483648, "00000080"), ("4294967295", "ffffffff"), (-4294967297, "ffffffff"),
     (0x1CB5C415, VEC)],
    ids=["str", "str-neg", "neg", "max", "int-min", "str-max", "wrap", "vector-id"],
)
def test_id_forms(id, wire):
    p = make_parser(ctor("k", id))
    assert p.pack({"_": "k"}) == hx(wire)
    assert p.unpack(hx(wire)) == {"_": "k"}


# ---------------------------------------------------------------- pack and unpack


RICH = ctor("m", 1, param("a", "int"), param("b", "long"), param("s", "string"),
            param("v", "Vector<int>"))
RICH_BYTES = hx(
    "01000000" "05000000" "0600000000000000" "03616263" + VEC + "02000000 07000000 08000000"
)


def test_rich_message_layout():
    p = make_parser(RICH)
    value = {"_": "m", "a": 5, "b": 6, "s": "abc", "v": [7, 8]}
    assert p.pack(value) == RICH_BYTES
    assert p.unpack(RICH_BYTES) == value


@pytest.mark.parametrize(
    "cut, position",
    [(0, 0), (1, 0), (3, 0), (4, 4), (6, 4), (8, 8), (12, 8), (15, 8), (16, 16),
     (17, 17), (18, 17), (24, 24), (27, 24), (28, 28), (32, 28), (35, 32)],
)
def test_parse_error_position(cut, position):
    # With 4 bytes left, a count of 2 cannot fit (4 + at least 1): refused at the count.
    p = make_parser(RICH)
    assert raises(RuntimeError, p.unpack, RICH_BYTES[:cut]) == (
        f"Parse error at position {position}"
    )


@pytest.mark.parametrize("cut", [20, 21, 23])
def test_cut_inside_vector_id(cut):
    assert raises(ValueError, make_parser(RICH).unpack, RICH_BYTES[:cut]) == (
        "Invalid vector ID: 0x00000000"
    )


@pytest.mark.parametrize(
    "kind, wire, position",
    [
        ("bytes", "056162", 5),
        ("bytes", "fe10", 5),
        ("bytes", "fe0a000061", 8),
        ("bytes", "ff", 5),
        ("double", "00000000", 4),
        ("Bool", "01", 4),
        ("Pt", "", 4),
        ("Pt", "020000", 4),
        ("Pt", "02000000", 8),
        ("Pt", "02000000 0100", 8),
    ],
    ids=["short", "long-prefix", "long-payload", "ff", "double", "bool", "obj-none",
         "obj-cut-id", "obj-field", "obj-cut-field"],
)
def test_parse_error_inside_values(kind, wire, position):
    p = make_parser(ctor("pt", 2, param("x", "int")), ctor("v", 1, param("x", kind)))
    assert raises(RuntimeError, p.unpack, hx(ID + wire)) == (
        f"Parse error at position {position}"
    )


def test_parse_error_at_short_flags_word():
    p = make_parser(ctor("c", 7, param("flags", "#"), param("a", "flags.0?int"),
                         param("t", "flags.1?true")))
    assert raises(RuntimeError, p.unpack, hx("07000000 0300")) == "Parse error at position 4"


def test_parse_error_after_string_padding():
    # The string's padding is skipped past the end, so the next read runs short there.
    p = make_parser(ctor("s", 1, param("s", "string"), param("n", "int")))
    assert raises(RuntimeError, p.unpack, hx("01000000 016100")) == (
        "Parse error at position 8"
    )


def test_unknown_id_is_value_error():
    p = make_parser(RICH)
    with pytest.raises(ValueError) as excinfo:
        p.unpack(hx("02000000") + RICH_BYTES[4:])
    assert not isinstance(excinfo.value, RuntimeError)
    assert str(excinfo.value) == "Unknown constructor ID: 0x00000002"


def test_unpack_none():
    assert raises(TypeError, make_parser(RICH).unpack, None) == (
        "object of type 'NoneType' has no len()"
    )


@pytest.mark.parametrize(
    "data, name",
    [(MyBytes(RICH_BYTES), "MyBytes"), (bytearray(RICH_BYTES), "bytearray"),
     (memoryview(RICH_BYTES), "memoryview"), (RICH_BYTES.hex(), "str"), (5, "int")],
    ids=["subclass", "bytearray", "memoryview", "str", "int"],
)
def test_unpack_needs_exact_bytes(data, name):
    assert raises(TypeError, make_parser(RICH).unpack, data) == (
        f"Argument 'data' has incorrect type (expected bytes, got {name})"
    )


def test_keyword_arguments():
    p = make_parser(RICH)
    value = {"_": "m", "a": 5, "b": 6, "s": "abc", "v": [7, 8]}
    assert p.pack(value=value) == RICH_BYTES
    assert p.unpack(data=RICH_BYTES) == value


def test_packs_are_independent(pt):
    first = pt.pack({"_": "pt", "x": 1})
    second = pt.pack({"_": "pt", "x": 2})
    assert first == hx("02000000 01000000")
    assert second == hx("02000000 02000000")
    assert first is not second


def test_failed_pack_leaves_parser_usable(pt):
    raises(TypeError, pt.pack, {"_": "pt", "x": "bad"})
    assert pt.pack({"_": "pt", "x": 3}) == hx("02000000 03000000")
    raises(RuntimeError, pt.unpack, hx("0200"))
    assert pt.unpack(hx("02000000 04000000")) == {"_": "pt", "x": 4}


def test_large_pack_then_small():
    p = make_parser(ctor("big", 1, param("v", "Vector<int>"), param("b", "bytes")),
                    ctor("pt", 2, param("x", "int")))
    values = list(range(-10000, 10000))
    blob = bytes(range(256)) * 400  # 102400 bytes
    data = p.pack({"_": "big", "v": values, "b": blob})
    expected = (
        hx("01000000" + VEC) + struct.pack("<i", len(values))
        + b"".join(struct.pack("<i", n) for n in values)
        + hx("fe009001") + blob
    )
    assert len(data) > 65536
    assert data == expected
    assert p.pack({"_": "pt", "x": 1}) == hx("02000000 01000000")
    back = p.unpack(data)
    assert back["v"] == [n & 0xFFFFFFFF for n in values] and back["b"] == blob
    assert p.unpack(hx("02000000 09000000")) == {"_": "pt", "x": 9}
    # The earlier result is untouched by later calls.
    assert data == expected


# ---------------------------------------------------------------- traceback entries


def entries(exc):
    frames = [frame for frame, _ in traceback.walk_tb(exc.__traceback__)]
    ours = [f for f in frames if f.f_code.co_name.startswith("Mivex.tl.")]
    assert {f.f_code.co_filename for f in ours} <= {"src/Mivex/tl"}
    return [f.f_code.co_name.removeprefix("Mivex.tl.TLParser.") for f in ours]


TRACE_SCHEMA = [
    ctor("pt", 2, param("x", "int"), param("s", "string"), param("b", "bytes")),
    ctor("box", 3, param("flags", "#"), param("v", "Vector<Vector<int>>"),
         param("p", "flags.0?Pt"), param("ps", "Vector<Pt>"), param("ss", "Vector<string>")),
]

W = ["pack", "_write_object", "_write_value"]
R = ["unpack", "_read_object", "_read_value"]


@pytest.mark.parametrize(
    "call, path",
    [
        (lambda p: p.pack({"_": "box", "v": [1, [2]]}),
         W + ["_write_vector", "_write_value"]),
        (lambda p: p.pack({"_": "box", "v": MyList()}), W + ["_write_vector"]),
        (lambda p: p.pack({"_": "box", "ss": ["a", None]}),
         W + ["_write_vector", "_write_value", "_write_string"]),
        (lambda p: p.pack({"_": "box", "p": {"_": "pt", "x": "1"}}),
         W + ["_write_object", "_write_value"]),
        (lambda p: p.pack({"_": "box", "p": {"_": "pt", "b": None}}),
         W + ["_write_object", "_write_value", "_write_bytes"]),
        (lambda p: p.pack({"_": "box", "ps": [{"_": "nope"}]}),
         W + ["_write_vector", "_write_value", "_write_object"]),
        (lambda p: p.pack({"_": "nope"}), ["pack", "_write_object"]),
        (lambda p: p.unpack(hx("03000000 00000000 00000000")), R + ["_read_vector"]),
        (lambda p: p.unpack(hx("09000000")), ["unpack", "_read_object"]),
        (lambda p: p.unpack(hx("03000000 01000000" + VEC + "00000000 02000000 00000000 01ff0000")),
         R + ["_read_object", "_read_value", "_read_string"]),
        (lambda p: p.unpack(hx("0300")), ["unpack"]),
    ],
    ids=["vector-element", "list-subclass", "string-element", "nested-field",
         "nested-bytes", "element-object", "unknown-name", "vector-id", "unknown-id",
         "bad-utf8", "parse-error"],
)
def test_traceback_entries(call, path):
    p = make_parser(*TRACE_SCHEMA)
    with pytest.raises(Exception) as excinfo:
        call(p)
    assert entries(excinfo.value) == path
