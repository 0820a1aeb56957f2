"""The standard profile's checks: constructor types on pack and unpack, bare
objects, flag bits shared by fields, integer ranges, and the schemas it
refuses at construction."""

import pytest

from Mivex.tl import TLParser
from conftest import BOOL_FALSE, BOOL_TRUE, ctor, make_standard, method, param, schema, u32

USER_ID, GET_ID, HOLDER_ID = 0x44444444, 0x55555555, 0x01


def raises(exc, call, *args, **kwargs):
    with pytest.raises(exc) as excinfo:
        call(*args, **kwargs)
    assert type(excinfo.value) is exc
    return str(excinfo.value)


CHECKED = make_standard(
    ctor("point", 0x10, param("x", "int"), type="Point"),
    ctor("circle", 0x20, param("r", "int"), type="Shape"),
    ctor("square", 0x21, type="Shape"),
    ctor("user", USER_ID, param("id", "int"), type="User"),
    ctor("holder", HOLDER_ID, param("flags", "#"), param("s", "flags.0?Shape"),
         param("p", "flags.1?%Point"), param("q", "flags.2?point"),
         param("vs", "flags.3?Vector<Shape>"), param("bp", "flags.4?vector<%Point>"),
         param("t", "flags.5?Thing"), param("o", "flags.6?Object"),
         param("ms", "flags.7?Maybe")),
    ctor("must", 0x02, param("s", "Shape"), param("p", "%Point")),
    methods=[method("getUser", GET_ID, param("id", "int"), type="User"),
             method("getMaybe", 0x66, type="Maybe")],
)
USER = {"_": "user", "id": 1}
GET = {"_": "getUser", "id": 1}
OF_USER = "Expected a constructor of type 'Shape', got 'user' of type 'User'"
OF_GET = "Expected a constructor of type 'Shape', got method 'getUser'"


# ---------------------------------------------------------------- pack


@pytest.mark.parametrize("fields, message", [
    ({"s": USER}, OF_USER),
    ({"s": GET}, OF_GET),
    ({"vs": [{"_": "circle", "r": 1}, USER]}, OF_USER),
    ({"vs": [GET]}, OF_GET),
], ids=["ctor", "method", "vector-ctor", "vector-method"])
def test_pack_refuses_constructor_of_another_type(fields, message):
    assert raises(TypeError, CHECKED.pack, {"_": "holder", **fields}) == message


@pytest.mark.parametrize("fields, name", [
    ({"t": GET}, "getUser"), ({"ms": {"_": "getMaybe"}}, "getMaybe"),
    ({"vs": [{"_": "getMaybe"}]}, "getMaybe"),
], ids=["open-type", "method-only-type", "vector"])
def test_pack_refuses_method_where_only_constructors_go(fields, name):
    # An open type takes any constructor; the message need not name it.
    message = raises(TypeError, CHECKED.pack, {"_": "holder", **fields})
    assert message.startswith("Expected a constructor") and "method %r" % name in message


@pytest.mark.parametrize("fields", [
    {"t": USER}, {"t": {"_": "circle", "r": 1}}, {"o": GET}, {"o": USER},
    {"ms": {"_": "point", "x": 1}},
], ids=["open-ctor", "open-other-ctor", "object-method", "object-ctor",
        "method-only-type-ctor"])
def test_open_types_take_constructors(fields):
    data = CHECKED.pack({"_": "holder", **fields})
    out = CHECKED.unpack(data)
    (name, value), = fields.items()
    assert out[name] == value


@pytest.mark.parametrize("fields, message", [
    ({"p": {"_": "circle", "r": 1}}, "Expected 'point' (a bare 'Point'), got 'circle'"),
    ({"q": {"_": "user", "id": 2}}, "Expected 'point' (a bare 'Point'), got 'user'"),
    ({"q": {"_": "getUser", "id": 2}}, "Expected 'point' (a bare 'Point'), got 'getUser'"),
    ({"bp": [{"x": 1}, {"_": "square"}]}, "Expected 'point' (a bare 'Point'), got 'square'"),
], ids=["percent", "lowercase", "method", "vector"])
def test_bare_object_of_another_name(fields, message):
    assert raises(ValueError, CHECKED.pack, {"_": "holder", **fields}) == message


@pytest.mark.parametrize("value, exc, message", [
    ({"_": "must", "p": {"x": 1}}, ValueError, "Object must have '_' field"),
    ({"_": "must", "s": {"_": "square"}}, ValueError,
     "Object field missing: a bare 'point' must be given"),
    ({"_": "must", "s": {"_": "nope"}, "p": {}}, ValueError, "Unknown constructor: nope"),
    ({"_": "must", "s": {"r": 1}, "p": {}}, ValueError, "Object must have '_' field"),
], ids=["boxed-missing", "bare-missing", "unknown", "boxed-without-name"])
def test_missing_or_unknown_objects(value, exc, message):
    assert raises(exc, CHECKED.pack, value) == message


# ---------------------------------------------------------------- unpack


def holder(bit, *words):
    return u32(HOLDER_ID, 1 << bit, *words)


@pytest.mark.parametrize("data, message", [
    (holder(0, USER_ID, 7),
     "Constructor ID 0x44444444 is 'user' of type 'User', where type 'Shape' was expected"),
    (holder(3, 0x1CB5C415, 2, 0x21, USER_ID, 7),
     "Constructor ID 0x44444444 is 'user' of type 'User', where type 'Shape' was expected"),
    (holder(5, 0x20, 1) + u32(0x10, 0),
     None),
    (holder(0, 0x12345678), "Unknown constructor ID: 0x12345678"),
], ids=["field", "vector-element", "open-type-ok", "unknown"])
def test_unpack_refuses_constructor_of_another_type(data, message):
    if message is None:
        assert CHECKED.unpack(data)["t"] == {"_": "circle", "r": 1}
        return
    assert raises(ValueError, CHECKED.unpack, data) == message


@pytest.mark.parametrize("data, name, expected", [
    (holder(0, GET_ID, 7), "getUser", "'Shape'"),
    (holder(3, 0x1CB5C415, 1, GET_ID, 7), "getUser", "'Shape'"),
    (holder(5, GET_ID, 7), "getUser", "constructor"),
    (holder(7, 0x66), "getMaybe", "constructor"),
], ids=["typed", "vector", "open-type", "method-only-type"])
def test_unpack_refuses_method_in_typed_field(data, name, expected):
    message = raises(ValueError, CHECKED.unpack, data)
    assert "method %r" % name in message and expected in message, message


def test_unpack_takes_methods_in_object_and_at_top_level():
    assert CHECKED.unpack(holder(6, GET_ID, 7))["o"] == {"_": "getUser", "id": 7}
    assert CHECKED.unpack(u32(GET_ID, 0xFFFFFFFF)) == {"_": "getUser", "id": -1}


# ---------------------------------------------------------------- shared bits

SHARED = make_standard(ctor("v", 1, param("flags", "#"), param("t", "flags.0?true"),
                            param("x", "flags.0?int"), param("y", "flags.1?int"),
                            param("z", "flags.1?string")))


@pytest.mark.parametrize("fields, names", [
    ({"t": True}, ("t", "x")),
    ({"t": True, "x": None}, ("t", "x")),
    ({"x": 5}, ("t", "x")),
    ({"t": False, "x": 5}, ("t", "x")),
    ({"t": 1, "x": 5}, ("t", "x")),
    ({"y": 1}, ("y", "z")),
    ({"z": "", "y": None}, ("y", "z")),
], ids=["true-alone", "true-none", "value-alone", "false-value", "one-value",
        "values-first", "values-second"])
def test_fields_sharing_a_bit_must_agree(fields, names):
    message = raises(ValueError, SHARED.pack, {"_": "v", **fields})
    for name in names:
        assert "'%s'" % name in message, message


def test_fields_sharing_a_bit_that_agree():
    value = {"_": "v", "t": True, "x": -1, "y": 2, "z": "a"}
    data = SHARED.pack(value)
    assert data == u32(1, 3, -1, 2) + b"\x01a\x00\x00"
    assert SHARED.unpack(data) == value


# ---------------------------------------------------------------- ranges

RANGES = {
    "int": "int out of range: must be from -2147483648 to 2147483647",
    "long": "long out of range: must be from -9223372036854775808 to 9223372036854775807",
    "#": "# out of range: must be from 0 to 4294967295",
    "int128": "int128 out of range: must be from -2**127 to 2**127-1",
    "int256": "int256 out of range: must be from -2**255 to 2**255-1",
}
OUT_OF_RANGE = {
    "int": [2**31, -(2**31) - 1, 2**32, 2**63, -(2**64), 2**200],
    "long": [2**63, -(2**63) - 1, 2**64, -(2**64), 2**200],
    "#": [-1, 2**32, -(2**31), 2**64, 2**200],
    "int128": [2**127, -(2**127) - 1, 2**128, 2**300, -(2**300)],
    "int256": [2**255, -(2**255) - 1, 2**256, 2**600],
}
RANGE_CASES = [(k, v) for k, vs in OUT_OF_RANGE.items() for v in vs]


def _placements(kind):
    if kind != "#":  # "#" fields are flags words; the kind shows in vectors only
        yield kind, lambda v: v
        yield "f.0?" + kind, lambda v: v
        yield "vector<%s>" % kind, lambda v: [0, v]
    yield "Vector<%s>" % kind, lambda v: [v]
    yield "Vector<vector<%s>>" % kind, lambda v: [[], [v]]


@pytest.mark.parametrize("kind, value", RANGE_CASES,
                         ids=["%s-%d" % (k, i) for i, (k, _) in enumerate(RANGE_CASES)])
def test_out_of_range(kind, value):
    for text, shape in _placements(kind):
        p = make_standard(ctor("v", 1, param("f", "#"), param("x", text)))
        message = raises(OverflowError, p.pack, {"_": "v", "x": shape(value)})
        assert message == RANGES[kind], text


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


@pytest.mark.parametrize("kind, value, wire", [
    ("int", True, "01000000"),
    ("int", IntLike(-2), "feffffff"),
    ("long", IntLike(-(2**63)), "0000000000000080"),
    ("int", IntLike(2**31), None),
    ("long", IntLike(2**63), None),
], ids=["bool", "int-like", "long-like", "int-like-range", "long-like-range"])
def test_integer_conversions(kind, value, wire):
    p = make_standard(ctor("v", 1, param("x", kind)))
    if wire is None:
        assert raises(OverflowError, p.pack, {"_": "v", "x": value}) == RANGES[kind]
    else:
        assert p.pack({"_": "v", "x": value}) == u32(1) + bytes.fromhex(wire)


@pytest.mark.parametrize("kind", ["int", "long", "int128", "int256", "Vector<#>"])
@pytest.mark.parametrize("value", ["1", None, b"1", 1j], ids=["str", "none", "bytes",
                                                            "complex"])
def test_non_integers_refused(kind, value):
    p = make_standard(ctor("v", 1, param("x", kind)))
    given = [value] if kind.startswith("Vector") else value
    with pytest.raises(TypeError):
        p.pack({"_": "v", "x": given})


def test_bool_conversion_error_propagates():
    class Boom(Exception):
        pass

    class Bad:
        def __bool__(self):
            raise Boom

    p = make_standard(ctor("v", 1, param("x", "Bool")))
    with pytest.raises(Boom):
        p.pack({"_": "v", "x": Bad()})
    with pytest.raises(Boom):
        make_standard(ctor("v", 1, param("x", "Vector<Bool>"))).pack({"_": "v", "x": [Bad()]})
    assert p.pack({"_": "v", "x": True}) == u32(1, BOOL_TRUE)


# ---------------------------------------------------------------- refused schemas

POINT = ctor("point", 0x10, param("x", "int"), type="Point")
EMPTY = ctor("empty", 0x11, type="Empty")
SHAPES = [ctor("circle", 0x20, param("r", "int"), type="Shape"),
          ctor("square", 0x21, type="Shape")]
GETRES = method("getRes", 0x30, type="Res")


@pytest.mark.parametrize("params", [
    [param("x", "flags.0?int")],
    [param("x", "f.0?int"), param("f", "#")],
    [param("f", "int"), param("x", "f.0?int")],
    [param("flags", "int"), param("x", "flags.0?int")],
    [param("f", "#"), param("x", "f.32?int")],
    [param("f", "#"), param("x", "f.99?true")],
    [param("f", "#"), param("x", "f?int")],
    [param("f", "#"), param("x", "f.0?#")],
    [param("x", "%Shape")],
    [param("x", "Vector<%Shape>")],
    [param("x", "%Nothing")],
    [param("x", "%Res")],
    [param("x", "nothing")],
    [param("x", "vector<nothing>")],
    [param("x", "geo.nothing")],
    [param("x", "getRes")],
    [param("x", "Vector<true>")],
    [param("x", "vector<true>")],
    [param("x", "Vector<empty>")],
    [param("x", "vector<%Empty>")],
    [param("x", "Vector<Vector<true>>")],
    [param("x", "Vector<int")],
    [param("x", "Vector<>")],
    [param("x", "int>")],
    [param("x", "")],
    [param("x", "Vector<int>>")],
    [param("x", "%")],
    [param("x", "empty")],
    [param("x", "%Empty")],
    [param("f", "#"), param("x", "f.0?empty")],
    [param("x", "vector<vector<%Empty>>")],
], ids=["no-word", "word-after", "word-is-int", "flags-int", "bit-32", "bit-99",
        "no-dot", "conditional-word", "ambiguous", "ambiguous-element", "percent-nothing",
        "percent-method-type", "lowercase-nothing", "element-nothing", "dotted-nothing",
        "lowercase-method", "boxed-true", "bare-true", "boxed-empty", "bare-empty",
        "nested-true", "unclosed", "empty-argument", "stray-close", "empty-text",
        "extra-close", "lone-percent", "bare-empty-field", "percent-empty-field",
        "conditional-empty", "empty-deep-element"])
def test_schema_refused_at_construction(params):
    text = schema(POINT, EMPTY, *SHAPES, ctor("a", 1, *params), methods=[GETRES])
    message = raises(ValueError, TLParser, text, standard=True)
    assert message.startswith("field 'x' of 'a': "), message


def test_refusal_names_method_entries_too():
    text = schema(methods=[method("m", 1, param("x", "flags.0?int"))])
    assert raises(ValueError, TLParser, text, standard=True).startswith(
        "field 'x' of 'm': ")


def test_unreadable_type_text_is_quoted():
    text = schema(ctor("a", 1, param("x", "Vector<int")))
    message = raises(ValueError, TLParser, text, standard=True)
    assert "cannot read type 'Vector<int'" in message


def test_conditional_word_message():
    text = schema(ctor("a", 1, param("f", "#"), param("x", "f.0?#")))
    assert raises(ValueError, TLParser, text, standard=True) == (
        "field 'x' of 'a': a flags word cannot itself be conditional")


@pytest.mark.parametrize("text", [
    "Thing", "Vector<Thing>", "Vector<Vector<Vector<int>>>", "f.0?true",
    "f.31?Vector<%Point>", "%Point", "point", "Object", "!X", "vector<vector<int>>",
    "int128", "Vector<#>",
])
def test_schema_accepted(text):
    p = make_standard(POINT, ctor("a", 1, param("f", "#"), param("x", text)))
    assert p.describe()[-1]["fields"][1]["name"] == "x"


# ---------------------------------------------------------------- shared guarantees

NOTED = make_standard(
    ctor("point", 0x10, param("f", "#"), param("a", "f.0?int"), param("b", "Bool"),
         type="Point"),
    ctor("v", 1, param("x", "vector<point>"), param("y", "%Point"), param("z", "int128"),
         param("s", "Vector<Point>")),
)
NOTED_OK = {"_": "v", "x": [], "y": {}, "s": []}


@pytest.mark.parametrize("fields, exc, note", [
    ({"x": [{}, {"a": 2**31}]}, OverflowError, "v.x[1].a"),
    ({"y": {"_": "v"}}, ValueError, "v.y"),
    ({"z": 2**127}, OverflowError, "v.z"),
    ({"s": [{"_": "point"}, {"_": "v"}]}, TypeError, "v.s[1]"),
], ids=["bare-element", "bare-name", "int128", "typed-element"])
def test_pack_failure_notes_the_path(fields, exc, note):
    with pytest.raises(exc) as excinfo:
        NOTED.pack({**NOTED_OK, **fields})
    assert excinfo.value.__notes__ == ["while packing " + note]


@pytest.mark.parametrize("data, exc, note", [
    (u32(1, 2, 0, BOOL_TRUE, 1, 5, 7), ValueError, "v.x[1].b at byte 24"),
    (u32(1, 0, 0, 5), ValueError, "v.y.b at byte 12"),
    (u32(1, 1, 1), RuntimeError, "v.x[0].a at byte 12"),
    (u32(1, 0, 0, BOOL_TRUE, 0, 0, 0, 0, 0x1CB5C415, 1, 1), ValueError, "v.s[0] at byte 40"),
], ids=["bool-in-bare-vector", "bool-in-bare", "cut-in-bare", "id-in-typed-vector"])
def test_unpack_failure_notes_the_path(data, exc, note):
    with pytest.raises(exc) as excinfo:
        NOTED.unpack(data)
    assert excinfo.value.__notes__ == ["while unpacking " + note]


@pytest.mark.parametrize("inner", ["pack", "unpack"])
@pytest.mark.parametrize("where", ["Bool", "int128", "bare-vector"])
def test_nested_call_on_busy_parser_is_refused(where, inner):
    seen = []

    def hook():
        try:
            NOTED.pack(NOTED_OK) if inner == "pack" else NOTED.unpack(u32(1, 0, 0, BOOL_TRUE))
            seen.append("returned")
        except RuntimeError:
            seen.append("refused")

    class Hooked:
        def __bool__(self):
            hook()
            return True

        def __int__(self):
            hook()
            return -1

        def __iter__(self):
            hook()
            return iter([])

    plain = {"Bool": {"y": {"b": True}}, "int128": {"z": -1}, "bare-vector": {"x": []}}[where]
    hooked = {"Bool": {"y": {"b": Hooked()}}, "int128": {"z": Hooked()},
              "bare-vector": {"x": Hooked()}}[where]
    # The outer call goes on as if the hook had done nothing.
    assert NOTED.pack({**NOTED_OK, **hooked}) == NOTED.pack({**NOTED_OK, **plain})
    assert seen == ["refused"]


def test_byte_string_limit_holds():
    p = make_standard(ctor("v", 1, param("x", "vector<bytes>")))
    message = raises(ValueError, p.pack, {"_": "v", "x": [b"", bytes(0x1000000)]})
    assert "16777216" in message and "16777215" in message
    assert len(p.pack({"_": "v", "x": [bytes(0xFFFFFF)]})) == 4 + 4 + 4 + 0xFFFFFF + 1


def test_any_mapping_stands_for_an_object():
    from types import MappingProxyType as Proxy
    value = Proxy({"_": "v", "x": [Proxy({"b": True})], "y": Proxy({"a": 2}),
                   "s": (Proxy({"_": "point"}),)})
    assert NOTED.pack(value) == (u32(1, 1, 0, BOOL_TRUE, 1, 2, BOOL_FALSE) + bytes(16)
                                 + u32(0x1CB5C415, 1, 0x10, 0, BOOL_FALSE))


# ---------------------------------------------------------------- names read in full

@pytest.mark.parametrize("text", [
    "int\x00<garbage", "int\x00", "Vector<int>\x00>>>", "point\x00xyz", "%Point\x00junk",
    "Shape\x00Other", "f.0?long\x00!",
], ids=["int-garbage", "int-nul", "vector-extra", "bare-junk", "percent-junk",
        "boxed-junk", "conditional-junk"])
def test_text_after_a_nul_is_not_ignored(text):
    sch = schema(POINT, *SHAPES, ctor("a", 1, param("f", "#"), param("x", text)))
    assert raises(ValueError, TLParser, sch, standard=True).startswith("field 'x' of 'a': ")


def test_result_types_differing_after_a_nul_are_different_types():
    p = make_standard(ctor("p", 5, param("a", "int"), type="P"),
                      ctor("q", 6, param("b", "int"), type="P\x00X"),
                      ctor("v", 1, param("x", "P")))
    with pytest.raises(TypeError):
        p.pack({"_": "v", "x": {"_": "q", "b": 1}})
    with pytest.raises(ValueError):
        p.unpack(u32(1, 6, 1))


@pytest.mark.parametrize("text", ["p\u00e9", "p$", "p-q", "vector<p\u00e9>", "%P\u00e9",
                                  "geo.p\u00e9"])
def test_refusal_quotes_the_whole_name(text):
    # Whether such a name can be read or not, the message must not name a
    # shorter type that the schema never wrote.
    sch = schema(ctor("p\u00e9", 5, param("a", "int"), type="P\u00e9"),
                 ctor("a", 1, param("x", text)))
    try:
        p = TLParser(sch, standard=True)
    except ValueError as exc:
        message = str(exc)
        assert "'p'" not in message and "'%P'" not in message and "'geo.p'" not in message
        assert text.replace("vector<", "").rstrip(">") in message or text in message
        return
    # Names beyond ASCII are names: the bare constructor is found.
    assert text in ("p\u00e9", "vector<p\u00e9>", "%P\u00e9")
    assert p.describe()[1]["fields"][0]["type"]["kind"] in ("object", "vector")


@pytest.mark.parametrize("text", ["1", "9abc", "_x", "p.", ".", "p._", "a..b", "!9", "%_"])
def test_names_must_start_each_part_with_a_letter(text):
    sch = schema(POINT, ctor("a", 1, param("x", text)))
    assert raises(ValueError, TLParser, sch, standard=True) == f"field 'x' of 'a': cannot read type '{text}'"


def test_describe_names_open_types_as_written():
    p = make_standard(POINT, ctor("a", 1, param("x", "Unknown.Thing"), param("y", "Point")))
    x, y = p.describe()[1]["fields"]
    assert x["type"] == {"kind": "object", "type": "Unknown.Thing"}
    assert y["type"] == {"kind": "object", "type": "Point"}
