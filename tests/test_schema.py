"""Compiling JSON schemas: accepted input, every refusal, and what stays referenced."""

import ctypes
import gc
import itertools
import json
import struct
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import Mivex.tl as tl
from Mivex.tl import TLParser, TLSchemaCompiler
from conftest import OMIT, ctor, make_parser, param, schema

NONE_GET = "'NoneType' object has no attribute 'get'"
NONE_EXTEND = "'NoneType' object has no attribute 'extend'"
NONE_ENCODE = "'NoneType' object has no attribute 'encode'"
NONE_NOT_ITERABLE = "'NoneType' object is not iterable"
NONE_NOT_SUBSCRIPTABLE = "'NoneType' object is not subscriptable"
NONE_NO_LEN = "object of type 'NoneType' has no len()"
ID_TOO_LARGE = "value too large to convert to uint32_t"
BIT_TOO_LARGE = "value too large to convert to int"
TOO_MANY_DOTS = "too many values to unpack (expected 2)"


def interpreter_error(func):
    """The exception the interpreter itself raises for ``func()``."""
    try:
        func()
    except Exception as exc:  # noqa: BLE001 - we want whatever it is
        return type(exc), str(exc)
    raise AssertionError("expected the call to fail")


class StrSub(str):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


@pytest.fixture(params=["compile", "parser"])
def build(request):
    """Compile through the compiler directly, or through parser construction.

    The parser passes its argument on to ``compile`` and must propagate every
    failure unchanged.
    """
    if request.param == "compile":
        return lambda data: TLSchemaCompiler().compile(data)
    return TLParser


def raises_exactly(build, data, exc_type, message):
    with pytest.raises(Exception) as excinfo:
        build(data)
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == message
    return excinfo.value


def assert_compiles(text):
    assert TLSchemaCompiler().compile(text) is None
    assert type(TLParser(text)) is TLParser


def with_params(*params):
    return schema(ctor("c", 1, *params))


# ---------------------------------------------------------------- accepted

ACCEPTED = {
    "empty-object": "{}",
    "empty-lists": schema(),
    "str-subclass": StrSub(schema(ctor("a", 1))),
    "methods-only": schema(methods=[ctor("m", 2, param("x", "int"), key="method")]),
    "methods-empty-object": json.dumps({"methods": {}}),
    "entry-empty": schema({}),
    "entry-type-only": schema({"type": "T", "id": 3}),
    "entry-no-type": schema(ctor("a", 1, type=OMIT)),
    "entry-type-null": schema(ctor("a", 1) | {"type": None}),
    "entry-no-params": schema({"predicate": "a", "id": 1}),
    "predicate-and-method": schema(ctor("p", 1) | {"method": "m"}),
    # Only the name finally chosen is checked.
    "predicate-over-bad-method": schema(ctor("p", 1) | {"method": 1}),
    "predicate-over-null-method": schema(ctor("p", 1) | {"method": None}),
    "method-with-null-type": schema({"method": "m", "type": None, "id": 1}),
    "same-id-twice": schema(ctor("a", 1), ctor("b", 1)),
    "same-name-twice": schema(ctor("a", 1), methods=[ctor("a", 2, key="method")]),
    "unicode-names": schema(ctor("ä", 1, param("ñ", "int"))),
    "all-kinds": with_params(
        param("flags", "#"), param("flags2", "#"), param("i", "int"),
        param("l", "long"), param("d", "double"), param("s", "string"),
        param("b", "bytes"), param("b1", "byte"), param("t", "Bool"),
        param("v", "Vector<long>"), param("o", "User"), param("e", ""),
        param("q", "flags.0?true"), param("r", "flags2.5?string"),
    ),
}


@pytest.mark.parametrize("text", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_accepted(text):
    assert_compiles(text)


@pytest.mark.parametrize(
    "type_text",
    [
        "flags.40?int", "flags.-1?int", "flags.2147483647?int",
        "flags.-2147483648?int", "flags. 3 ?int", "extra.7?int", "x?int",
        "?", "a?b?c", "a.b.c", "x?a.b.c", "flags2.0?Vector<int>",
    ],
)
def test_accepted_parameter_types(type_text):
    assert_compiles(with_params(param("x", type_text)))


@pytest.mark.parametrize(
    "id_value",
    [-1, "-1", 4294967295, -4294967297, "42", " 7 ", 3.9, -1.5, True, 0],
    ids=lambda v: repr(v),
)
def test_accepted_ids(id_value):
    assert_compiles(schema(ctor("a", id_value)))


def test_missing_id_accepted():
    entry = ctor("a", 0)
    del entry["id"]
    assert_compiles(schema(entry))


def test_compile_twice_on_one_compiler():
    compiler = TLSchemaCompiler()
    assert compiler.compile(schema(ctor("a", 1), ctor("b", 2))) is None
    assert compiler.compile(schema(ctor("a", 3))) is None
    with pytest.raises(KeyError):
        compiler.compile(with_params({"name": "x"}))
    assert compiler.compile("{}") is None


# ---------------------------------------------------------------- top level


TOP_LEVEL_ERRORS = {
    "array": (json.dumps([]), TypeError, "Expected dict, got list"),
    "number": (json.dumps(5), TypeError, "Expected dict, got int"),
    "string": (json.dumps("x"), TypeError, "Expected dict, got str"),
    "null": ("null", AttributeError, NONE_GET),
    "constructors-str": (json.dumps({"constructors": "x"}), TypeError, "Expected list, got str"),
    "constructors-obj": (json.dumps({"constructors": {}}), TypeError, "Expected list, got dict"),
    "constructors-null": (json.dumps({"constructors": None}), AttributeError, NONE_EXTEND),
    "methods-null": (json.dumps({"methods": None}), TypeError, NONE_NOT_ITERABLE),
    "methods-number": (json.dumps({"methods": 5}), *interpreter_error(lambda: [].extend(5))),
    "methods-obj": (json.dumps({"methods": {"m": ctor("m", 1)}}), TypeError, "Expected dict, got str"),
    "methods-str": (json.dumps({"methods": "ab"}), TypeError, "Expected dict, got str"),
    "entry-list": (schema([]), TypeError, "Expected dict, got list"),
    "entry-number": (schema(1), TypeError, "Expected dict, got int"),
    "entry-str": (schema("a"), TypeError, "Expected dict, got str"),
    "entry-null": (schema(None), AttributeError, NONE_GET),
    "method-null": (schema(methods=[None]), AttributeError, NONE_GET),
    # Earlier checks win.
    "constructors-before-methods": (
        json.dumps({"constructors": "x", "methods": None}), TypeError, "Expected list, got str"),
    "constructors-null-before-methods": (
        json.dumps({"constructors": None, "methods": 5}), AttributeError, NONE_EXTEND),
    "methods-before-entries": (
        json.dumps({"constructors": [1], "methods": None}), TypeError, NONE_NOT_ITERABLE),
    "first-entry-first": (schema(None, 1), AttributeError, NONE_GET),
    "after-good-entry": (schema(ctor("a", 1), 1), TypeError, "Expected dict, got int"),
    "constructors-before-methods-entries": (
        schema(ctor("a", 1, {"name": "x"}), methods=[None]), KeyError, "'type'"),
}


@pytest.mark.parametrize("text, exc_type, message", TOP_LEVEL_ERRORS.values(),
                         ids=TOP_LEVEL_ERRORS.keys())
def test_top_level_errors(build, text, exc_type, message):
    raises_exactly(build, text, exc_type, message)


@pytest.mark.parametrize(
    "data, exc_type, message",
    [
        (b"{}", TypeError, "Expected dict, got bytes"),
        (bytearray(b"{}"), TypeError, "Expected dict, got bytearray"),
        (None, AttributeError, NONE_GET),
        (DictSub(), TypeError, "Expected dict, got DictSub"),
        (StrSub(json.dumps([])), TypeError, "Expected dict, got list"),
    ],
    ids=["bytes", "bytearray", "None", "dict-subclass", "str-subclass-array"],
)
def test_non_text_input(build, data, exc_type, message):
    raises_exactly(build, data, exc_type, message)


@pytest.mark.parametrize("text", ["{", "", "{'constructors': []}", "[1,]"],
                         ids=["unclosed", "empty", "single-quotes", "trailing-comma"])
def test_invalid_json_propagates_json_error(build, text):
    with pytest.raises(json.JSONDecodeError) as expected:
        json.loads(text)
    raises_exactly(build, text, json.JSONDecodeError, str(expected.value))


def test_json_module_looked_up_at_each_compile(monkeypatch):
    seen = []

    class FakeJson:
        @staticmethod
        def loads(text):
            seen.append(text)
            return {"constructors": "not a list"}

    text = schema(ctor("a", 1))
    assert TLSchemaCompiler().compile(text) is None
    monkeypatch.setattr(tl, "json", FakeJson)
    with pytest.raises(TypeError, match="^Expected list, got str$"):
        TLSchemaCompiler().compile(text)
    assert seen == [text]


# ---------------------------------------------------------------- a dict given to compile


def test_dict_methods_extend_constructors_in_place(build):
    a, m = ctor("a", 1), ctor("m", 2, key="method")
    data = {"constructors": [a], "methods": [m]}
    constructors = data["constructors"]
    build(data)
    assert data["constructors"] is constructors
    assert constructors == [a, m]
    assert data["methods"] == [m]


def test_dict_without_constructors_is_left_alone(build):
    m = ctor("m", 2, key="method")
    data = {"methods": [m]}
    build(data)
    assert data == {"methods": [m]}


def test_dict_extended_before_entries_fail(build):
    a = ctor("a", 1)
    data = {"constructors": [a], "methods": [None]}
    raises_exactly(build, data, AttributeError, NONE_GET)
    assert data["constructors"] == [a, None]


@pytest.mark.parametrize(
    "make_methods",
    [lambda: (ctor("m", 2),), lambda: (e for e in [ctor("m", 2)]),
     lambda: ListSub([ctor("m", 2)])],
    ids=["tuple", "generator", "list-subclass"],
)
def test_dict_methods_any_iterable(build, make_methods):
    data = {"constructors": [], "methods": make_methods()}
    build(data)
    assert data["constructors"] == [ctor("m", 2)]


@pytest.mark.parametrize(
    "data, message",
    [
        ({"constructors": ()}, "Expected list, got tuple"),
        ({"constructors": ListSub()}, "Expected list, got ListSub"),
        ({"constructors": [DictSub(ctor("a", 1))]}, "Expected dict, got DictSub"),
        ({"constructors": [ctor(StrSub("a"), 1, type="T")]}, "Expected str, got StrSub"),
        ({"constructors": [ctor("a", 1, type=StrSub("T"))]}, "Expected str, got StrSub"),
        ({"constructors": [ctor("a", 1) | {"params": ()}]}, "Expected list, got tuple"),
        ({"constructors": [ctor("a", 1) | {"params": ListSub()}]}, "Expected list, got ListSub"),
        ({"constructors": [ctor("a", 1, DictSub(param("x", "int")))]}, "Expected dict, got DictSub"),
        ({"constructors": [ctor("a", 1, param(StrSub("x"), "int"))]}, "Expected str, got StrSub"),
        ({"constructors": [ctor("a", 1, param("x", StrSub("int")))]}, "Expected str, got StrSub"),
    ],
    ids=["constructors-tuple", "constructors-subclass", "entry-subclass", "name-subclass",
         "type-subclass", "params-tuple", "params-subclass", "param-subclass",
         "param-name-subclass", "param-type-subclass"],
)
def test_dict_exact_types_required(build, data, message):
    raises_exactly(build, data, TypeError, message)


# ---------------------------------------------------------------- entries


def entry(**fields):
    """An entry holding exactly the given keys."""
    return fields


ENTRY_ERRORS = {
    "predicate-int": (entry(predicate=1), TypeError, "Expected str, got int"),
    "method-int": (entry(method=1.5), TypeError, "Expected str, got float"),
    "type-as-name-int": (entry(type=[]), TypeError, "Expected str, got list"),
    "type-int": (entry(predicate="a", type=1), TypeError, "Expected str, got int"),
    "params-dict": (entry(predicate="a", params={}), TypeError, "Expected list, got dict"),
    "params-str": (entry(predicate="a", params="x"), TypeError, "Expected list, got str"),
    "predicate-null": (entry(predicate=None, type="T"), AttributeError, NONE_ENCODE),
    "method-null": (entry(method=None, type="T"), AttributeError, NONE_ENCODE),
    "type-only-null": (entry(type=None), AttributeError, NONE_ENCODE),
    "id-text": (entry(predicate="a", id="x"), *interpreter_error(lambda: int("x"))),
    "id-empty-text": (entry(predicate="a", id=""), *interpreter_error(lambda: int(""))),
    "id-hex-text": (entry(predicate="a", id="0x10"), *interpreter_error(lambda: int("0x10"))),
    "id-null": (entry(predicate="a", id=None), *interpreter_error(lambda: int(None))),
    "id-list": (entry(predicate="a", id=[]), *interpreter_error(lambda: int([]))),
    "id-object": (entry(predicate="a", id={}), *interpreter_error(lambda: int({}))),
    "id-nan": (entry(predicate="a", id=float("nan")), *interpreter_error(lambda: int(float("nan")))),
    "id-inf": (entry(predicate="a", id=float("inf")), *interpreter_error(lambda: int(float("inf")))),
    "id-2**32": (entry(predicate="a", id=4294967296), OverflowError, ID_TOO_LARGE),
    "id-2**32-text": (entry(predicate="a", id="4294967296"), OverflowError, ID_TOO_LARGE),
    "id-large-float": (entry(predicate="a", id=1e10), OverflowError, ID_TOO_LARGE),
    "params-null": (entry(predicate="a", params=None), TypeError, NONE_NO_LEN),
    # Order of checking: name, type, params, null name, id, null params.
    "name-before-type": (entry(predicate=1, type=2.5, params="x"), TypeError, "Expected str, got int"),
    "type-before-params": (entry(predicate="a", type=2.5, params="x"), TypeError,
                           "Expected str, got float"),
    "type-before-null-name": (entry(predicate=None, type=1), TypeError, "Expected str, got int"),
    "params-before-null-name": (entry(predicate=None, params="x"), TypeError,
                                "Expected list, got str"),
    "null-name-before-id": (entry(predicate=None, id="x"), AttributeError, NONE_ENCODE),
    "params-before-id": (entry(predicate="a", id="x", params="x"), TypeError,
                         "Expected list, got str"),
    "id-before-null-params": (entry(predicate="a", id=4294967296, params=None), OverflowError,
                              ID_TOO_LARGE),
    "null-params-after-good-id": (entry(predicate="a", params=None, id=-1), TypeError, NONE_NO_LEN),
}


@pytest.mark.parametrize("data, exc_type, message", ENTRY_ERRORS.values(), ids=ENTRY_ERRORS.keys())
def test_entry_errors(build, data, exc_type, message):
    raises_exactly(build, schema(data), exc_type, message)


def test_id_error_in_method_entry(build):
    raises_exactly(build, schema(methods=[ctor("m", 4294967296, key="method")]),
                   OverflowError, ID_TOO_LARGE)


PARAM_ERRORS = {
    "param-int": ([1], TypeError, "Expected dict, got int"),
    "param-list": ([[]], TypeError, "Expected dict, got list"),
    "param-null": ([None], TypeError, NONE_NOT_SUBSCRIPTABLE),
    "no-name": ([{"type": "int"}], KeyError, "'name'"),
    "empty": ([{}], KeyError, "'name'"),
    "no-type": ([{"name": "x"}], KeyError, "'type'"),
    "name-int": ([param(1, "int")], TypeError, "Expected str, got int"),
    "type-int": ([param("x", 1)], TypeError, "Expected str, got int"),
    "name-null": ([param(None, "int")], AttributeError, NONE_ENCODE),
    "type-null": ([param("x", None)], TypeError, NONE_NOT_ITERABLE),
    "two-dots": ([param("x", "a.b.c?int")], ValueError, TOO_MANY_DOTS),
    "three-dots": ([param("x", "flags.a.b.c?int")], ValueError, TOO_MANY_DOTS),
    "bit-word": ([param("x", "flags.x?int")], *interpreter_error(lambda: int("x"))),
    "bit-empty": ([param("x", "flags.?int")], *interpreter_error(lambda: int(""))),
    "bit-float": ([param("x", "flags.1.5?int")], ValueError, TOO_MANY_DOTS),
    "bit-2**31": ([param("x", "flags.2147483648?int")], OverflowError, BIT_TOO_LARGE),
    "bit--2**31-1": ([param("x", "flags2.-2147483649?int")], OverflowError, BIT_TOO_LARGE),
    # Order of checking within a parameter, and across parameters.
    "name-type-before-missing-type": ([{"name": 1}], TypeError, "Expected str, got int"),
    "type-type-before-null-name": ([param(None, 1)], TypeError, "Expected str, got int"),
    "null-name-before-null-type": ([param(None, None)], AttributeError, NONE_ENCODE),
    "first-param-first": ([param("x", "a.b.c?int"), None], ValueError, TOO_MANY_DOTS),
    "after-good-params": ([param("x", "int"), param("y", "flags.1?int"), {"name": "z"}],
                          KeyError, "'type'"),
}


@pytest.mark.parametrize("params, exc_type, message", PARAM_ERRORS.values(), ids=PARAM_ERRORS.keys())
def test_param_errors(build, params, exc_type, message):
    exc = raises_exactly(build, with_params(*params), exc_type, message)
    if exc_type is KeyError:
        assert exc.args == (message.strip("'"),)


ENCODE_ERROR = interpreter_error(lambda: "\ud800".encode("utf-8"))


@pytest.mark.parametrize(
    "data",
    [
        schema(ctor("\ud800", 1, type="T")),
        schema(ctor("a", 1, type="\ud800")),
        with_params(param("\ud800", "int")),
        with_params(param("x", "\ud800")),
    ],
    ids=["name", "type", "param-name", "param-type"],
)
def test_unencodable_text(build, data):
    raises_exactly(build, data, *ENCODE_ERROR)


# ---------------------------------------------------------------- references and leaks


_fresh_ids = itertools.count()


def fresh(text):
    # A string object nobody else holds, with a text no other string has.
    return "".join([text, "-fresh-", str(next(_fresh_ids))])


# Field names are interned, and CPython 3.12 keeps every interned string for
# the life of the process with a fixed (immortal) count: there, counts of
# field names say nothing, and these tests cannot watch them.
COUNTS_OF_INTERNED_NAMES = pytest.mark.skipif(
    sys.version_info[:2] == (3, 12), reason="interned strings are immortal on 3.12")


@COUNTS_OF_INTERNED_NAMES
def test_field_names_held_while_compiled():
    name = fresh("field")
    other = fresh("other")
    data = {"constructors": [ctor("a", 1, param(name, "int"), param(name, "flags.0?long"))],
            "methods": [ctor("m", 2, param(other, "string"), key="method")]}
    base, base_other = sys.getrefcount(name), sys.getrefcount(other)
    parser = TLParser(data)
    # Each field keeps the very string object of its parameter, not a copy,
    # and each constructor's decoding template holds each distinct name once.
    assert sys.getrefcount(name) == base + 2 + 1
    assert sys.getrefcount(other) == base_other + 1 + 1
    del parser
    gc.collect()
    assert sys.getrefcount(name) == base
    assert sys.getrefcount(other) == base_other


def failing_schema(names):
    first, second, third = names
    return {"constructors": [
        ctor("a", 1, param(first, "int")),
        ctor("b", 2, param(second, "int"), {"name": third}),
        ctor("c", 3, param(first, "int")),
    ]}


@COUNTS_OF_INTERNED_NAMES
def test_failed_parser_releases_field_names():
    names = [fresh("n") for _ in range(3)]
    data = failing_schema(names)
    before = [sys.getrefcount(n) for n in names]
    for _ in range(50):
        try:
            TLParser(data)
        except KeyError:
            pass
        else:
            pytest.fail("construction should fail")
    gc.collect()
    assert [sys.getrefcount(n) for n in names] == before


@COUNTS_OF_INTERNED_NAMES
def test_failed_compile_keeps_partial_schema_until_released():
    names = [fresh("n") for _ in range(3)]
    data = failing_schema(names)
    before = [sys.getrefcount(n) for n in names]
    compiler = TLSchemaCompiler()
    with pytest.raises(KeyError):
        compiler.compile(data)
    # Nothing is rolled back: the first record (its field and its decoding
    # template) and the failing record's fields, the failing one included,
    # stay until the compiler goes.
    assert [sys.getrefcount(n) for n in names] == [before[0] + 2, before[1] + 1,
                                                   before[2] + 1]
    del compiler
    assert [sys.getrefcount(n) for n in names] == before


@COUNTS_OF_INTERNED_NAMES
def test_second_compile_leaks_nothing():
    first, second = fresh("first"), fresh("second")
    one_data = {"constructors": [ctor("a", 1, param(first, "int"))]}
    two_data = {"constructors": [ctor("a", 2, param(second, "int"))]}
    before = sys.getrefcount(first), sys.getrefcount(second)
    compiler = TLSchemaCompiler()
    compiler.compile(one_data)
    compiler.compile(two_data)
    assert sys.getrefcount(second) == before[1] + 2  # field and template
    del compiler
    assert (sys.getrefcount(first), sys.getrefcount(second)) == before


def _heap_in_use():
    try:
        libc = ctypes.CDLL(None)
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        pytest.skip("mallinfo2 is not available")

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
            "fsmblks", "uordblks", "fordblks", "keepcost")]

    mallinfo2.restype = MallInfo2

    def in_use():
        gc.collect()
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


@pytest.mark.parametrize("fails", [True, False], ids=["failing", "succeeding"])
def test_native_memory_released(fails):
    # Long names make every native text copy large, so a leak of even one
    # copy per construction is far above the tolerance.
    in_use = _heap_in_use()
    big = "n" * 4096
    params = [param(f"{big}{i}", f"flags.{i}?Vector<{big}>") for i in range(8)]
    entries = [ctor(big + "a", 1, *params, type=big), ctor(big + "b", 2, *params)]
    if fails:
        entries.append(ctor(big + "c", 3, param(big, "int"), {"name": big}))
    text = schema(*entries)

    def construct(times):
        for _ in range(times):
            try:
                TLParser(text)
            except KeyError:
                assert fails
            else:
                assert not fails

    def growth(times):
        start = in_use()
        construct(times)
        return in_use() - start

    construct(20)
    # A leak grows the heap in every round; the interpreter's own one-off
    # allocations show up in one round at most.
    rounds = [growth(300) for _ in range(3)]
    assert min(rounds) < 8 * 1024, f"native heap grew by {rounds} bytes"


# ---------------------------------------------------------------- seen through the codec
# The record each entry becomes is only visible through pack and unpack.

def word(value):
    return struct.pack("<I", value)


@pytest.mark.parametrize(
    "data, name",
    [
        (entry(predicate="p", method="m", type="T", id=5), "p"),
        (entry(method="m", type="T", id=5), "m"),
        (entry(type="T", id=5), "T"),
        (entry(id=5), ""),
    ],
    ids=["predicate", "method", "type", "nothing"],
)
def test_entry_name(data, name):
    parser = TLParser(schema(data))
    assert parser.unpack(word(5)) == {"_": name}
    if name:
        assert parser.pack({"_": name}) == word(5)


@pytest.mark.parametrize(
    "id_value, expected",
    [(-1, 0xFFFFFFFF), ("-1", 0xFFFFFFFF), (4294967295, 0xFFFFFFFF),
     (-4294967297, 0xFFFFFFFF), ("42", 42), (" 7 ", 7), (3.9, 3), (-1.5, 0xFFFFFFFF),
     (True, 1), (OMIT, 0)],
    ids=["-1", "-1-text", "2**32-1", "-2**32-1", "text", "text-spaces", "float",
         "negative-float", "true", "missing"],
)
def test_entry_id(id_value, expected):
    data = ctor("a", id_value)
    if id_value is OMIT:
        del data["id"]
    parser = make_parser(data)
    assert parser.pack({"_": "a"}) == word(expected)
    assert parser.unpack(word(expected)) == {"_": "a"}


def test_later_entry_owns_shared_id():
    parser = make_parser(ctor("first", 7), ctor("second", 7))
    assert parser.unpack(word(7)) == {"_": "second"}
    # The earlier entry is still found by its name.
    assert parser.pack({"_": "first"}) == word(7)


def test_method_owns_name_shared_with_constructor():
    parser = make_parser(ctor("same", 1), methods=[ctor("same", 2, key="method")])
    assert parser.pack({"_": "same"}) == word(2)
    # The constructor is still found by its id.
    assert parser.unpack(word(1)) == {"_": "same"}


def test_methods_only_schema():
    parser = make_parser(methods=[ctor("m", 9, param("x", "int"), key="method")])
    assert parser.pack({"_": "m", "x": 3}) == word(9) + word(3)


@pytest.mark.parametrize(
    "type_text, value, encoded",
    [
        ("int", 5, word(5)),
        ("#", 5, word(5)),
        ("long", 5, struct.pack("<Q", 5)),
        ("double", 1.5, bytes.fromhex("000000000000f83f")),
        ("string", "ab", bytes.fromhex("02616200")),
        ("bytes", b"ab", bytes.fromhex("02616200")),
        ("byte", b"ab", bytes.fromhex("02616200")),
        ("Bool", True, word(1)),
        ("true", True, word(1)),
        ("Vector<int>", [1, 2], bytes.fromhex("15c4b51c02000000") + word(1) + word(2)),
        ("vector<int>", {"_": "inner"}, word(0x11)),
        ("bool", {"_": "inner"}, word(0x11)),
        ("Int", {"_": "inner"}, word(0x11)),
        ("", {"_": "inner"}, word(0x11)),
    ],
    ids=["int", "hash", "long", "double", "string", "bytes", "byte", "Bool", "true",
         "Vector", "vector-lower", "bool-lower", "Int", "empty"],
)
def test_field_kind_from_type_text(type_text, value, encoded):
    parser = make_parser(ctor("outer", 1, param("v", type_text)), ctor("inner", 0x11))
    assert parser.pack({"_": "outer", "v": value}) == word(1) + encoded


def test_conditional_fields_from_type_text():
    parser = make_parser(ctor(
        "c", 1,
        param("flags", "#"), param("flags2", "#"),
        param("a", "flags.3?int"), param("b", "flags2.5?string"),
        param("c", "extra.7?int"), param("d", "flags.0?true"),
    ))
    value = {"_": "c", "a": 1, "b": "x", "c": 2, "d": True}
    packed = parser.pack(value)
    assert packed == (word(1) + word((1 << 3) | (1 << 7) | 1) + word(1 << 5)
                      + word(1) + bytes.fromhex("01780000") + word(2))
    assert parser.unpack(packed) == value


# ---------------------------------------------------------------- the compiled view


def test_describe_reports_the_compiled_rules():
    p = make_parser(
        ctor("item", 0xF0000001,
             param("flags", "#"), param("flags2", "int"),
             param("n", "flags.3?int"), param("on", "flags2.31?true"),
             param("grid", "Vector<Vector<long>>"), param("loop", "Vector"),
             param("who", "User"), param("x", "a?string")),
        methods=[ctor("get", 5, param("id", "long"), key="method")])
    item, get = p.describe()
    assert (item["name"], item["id"], item["kind"]) == ("item", 0xF0000001, "constructor")
    assert (get["name"], get["kind"]) == ("get", "method")
    fields = {f["name"]: f for f in item["fields"]}
    assert [f["name"] for f in item["fields"]] == list(fields)
    assert {n: (f["role"], f["word"], f["bit"]) for n, f in fields.items()} == {
        "flags": ("word", None, None), "flags2": ("word", None, None),
        "n": ("cond", "flags", 3), "on": ("bit", "flags2", 31),
        "grid": ("plain", None, None), "loop": ("plain", None, None),
        "who": ("plain", None, None), "x": ("cond", "flags", 0),
    }
    # Every "Vector<" and ">" comes off at once, so the elements are longs.
    assert fields["grid"]["type"] == {"kind": "vector", "element": {"kind": "long"}}
    assert fields["who"]["type"] == {"kind": "object"}
    # A text that derives to itself: vectors of vectors all the way down.
    inner = fields["loop"]["type"]["element"]
    assert inner["kind"] == "vector" and inner["element"] is inner


def test_describe_takes_no_arguments():
    p = make_parser()
    assert p.describe() == []
    with pytest.raises(TypeError, match=r"describe\(\) takes exactly 0 positional arguments \(1 given\)"):
        p.describe(1)


# ---------------------------------------------------------------- vector element chains


def chain_of(text, levels=40):
    """The element kinds of the vectors nested under a field of type `text`,
    level by level, as the codec's compiled view reports them."""
    node = make_parser(ctor("v", 1, param("x", text))).describe()[0]["fields"][0]["type"]
    kinds = []
    while node["kind"] == "vector" and len(kinds) < levels:
        node = node["element"]
        kinds.append(node["kind"])
    return kinds


def kind_by_name(text):
    """The kind of a type text, read from the piece after the first "?"."""
    piece = text.split("?")[1] if "?" in text else text
    named = {"int": "int", "#": "int", "long": "long", "double": "double",
             "string": "string", "bytes": "bytes", "byte": "bytes",
             "Bool": "Bool", "true": "Bool"}
    return named.get(piece, "vector" if piece.startswith("Vector") else "object")


def chain_by_replacing(text, levels=40):
    """The same, by the rule written out directly: each level drops every
    "Vector<" and ">" from the text once more (str.replace)."""
    kinds = []
    while kind_by_name(text) == "vector" and len(kinds) < levels:
        text = text.replace("Vector<", "").replace(">", "")
        kinds.append(kind_by_name(text))
    return kinds


PIECES = ["Vector", "<", ">", "V", "ector", "ector<", "Vec", "tor<", "int", "long", "?", "x"]


@given(st.booleans(), st.lists(st.sampled_from(PIECES), max_size=30).map("".join))
@settings(max_examples=500, deadline=None)
def test_vector_element_chain_follows_the_rule(prefixed, text):
    text = "Vector" + text if prefixed else text
    assert chain_of(text) == chain_by_replacing(text)


@pytest.mark.parametrize("k", [1, 2, 7, 300])
def test_vector_chain_formed_one_level_at_a_time(k):
    # Each level forms one new "Vector<" where the last one was removed.
    text = "Vector" * k + "<" * k + "int"
    assert chain_of(text, levels=k + 5) == ["vector"] * (k - 1) + ["int"]


def test_repeated_field_names_share_one_value():
    p = make_parser(ctor("r", 1, *(param(n, "int") for n in ["a", "b", "a", "b", "a"])))
    data = p.pack({"_": "r", "a": 1, "b": 2})
    assert data == struct.pack("<6I", 1, 1, 2, 1, 2, 1)
    assert p.unpack(data) == {"_": "r", "a": 1, "b": 2}
