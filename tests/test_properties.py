"""Property-based round trips over generated schemas and values.

Every generated schema mixes the scalar kinds, vectors of them, vectors of
vectors, nested object types and conditional fields on both flags words
(with presence-only flags). Packed bytes are compared with an encoder written
here with `struct`; unpacked values with the value given, normalised.
"""

import functools
import struct
from dataclasses import dataclass, field

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from Mivex.tl import TLParser
from conftest import ctor, make_parser, param, schema, tl_bytes, u32

VEC = 0x1CB5C415
SCALARS = ("int", "long", "double", "string", "bytes", "Bool")
DEFAULTS = {"int": 0, "long": 0, "double": 0.0, "string": "", "bytes": b"",
            "Bool": False}
OMITTED = object()

SETTINGS = settings(
    max_examples=120, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


# ------------------------------------------------------------ wire helpers

# ------------------------------------------------------------ schema model
#
# A field's kind is a tuple:
#   ("s", kind)     a scalar kind of SCALARS
#   ("v", elem)     Vector<elem>, elem a scalar or an object kind
#   ("nest",)       a bare Vector: vectors of vectors at every level
#   ("o", t)        an object of generated type t
#   ("true",)       a presence-only conditional flag


@dataclass
class Field:
    name: str
    kind: tuple
    cond: tuple = None  # (flags word 0 or 1, bit) for a conditional field
    text: str = ""      # the type text in the schema


@dataclass
class Ctor:
    name: str
    id: int
    type_index: int
    fields: list
    is_method: bool = False


@dataclass
class Schema:
    ctors: list
    by_type: list = field(default_factory=list)

    def json(self):
        entries = [c for c in self.ctors if not c.is_method]
        methods = [c for c in self.ctors if c.is_method]

        def entry(c, key):
            return ctor(c.name, c.id, *[param(f.name, f.text) for f in c.fields],
                        type="T%d" % c.type_index, key=key)

        return schema(*[entry(c, "predicate") for c in entries],
                      methods=[entry(c, "method") for c in methods])

    def by_name(self, name):
        return next(c for c in self.ctors if c.name == name)


def kind_text(kind):
    tag = kind[0]
    if tag == "s":
        return kind[1]
    if tag == "v":
        return "Vector<%s>" % kind_text(kind[1])
    if tag == "nest":
        return "Vector"
    if tag == "o":
        return "T%d" % kind[1]
    raise AssertionError(kind)


def kinds_for(type_index, type_count):
    options = [st.sampled_from([("s", k) for k in SCALARS]),
               st.sampled_from([("v", ("s", k)) for k in SCALARS]),
               st.just(("nest",))]
    inner = list(range(type_index + 1, type_count))
    if inner:  # only deeper types, so values stay finite
        options.append(st.sampled_from([("o", t) for t in inner]))
        options.append(st.sampled_from([("v", ("o", t)) for t in inner]))
    return st.one_of(options)


@st.composite
def field_lists(draw, type_index, type_count):
    count = draw(st.integers(0, 6))
    used_bits = [set(), set()]  # bits are distinct within each flags word
    fields = []
    for i in range(count):
        name = ("f%d" if draw(st.booleans()) else "f\u00e9%d") % i
        kind = draw(kinds_for(type_index, type_count))
        word = draw(st.sampled_from([None, None, 0, 1]))
        if word is None:
            fields.append(Field(name, kind, None, kind_text(kind)))
            continue
        bit = draw(st.sampled_from(sorted(set(range(32)) - used_bits[word])))
        used_bits[word].add(bit)
        prefix = "%s.%d?" % ("flags" if word == 0 else "flags2", bit)
        # A conditional Bool, like "true", is carried by its bit alone.
        if kind == ("s", "Bool") or draw(st.integers(0, 3)) == 0:
            flag_type = draw(st.sampled_from(["true", "Bool"]))
            fields.append(Field(name, ("true",), (word, bit), prefix + flag_type))
        else:
            fields.append(Field(name, kind, (word, bit), prefix + kind_text(kind)))
    # Each flags word stands somewhere before the first field that uses it;
    # sometimes one is present although no field uses it.
    for word, flags_name in ((0, "flags"), (1, "flags2")):
        users = [i for i, f in enumerate(fields) if f.cond and f.cond[0] == word]
        if users or draw(st.integers(0, 4)) == 0:
            limit = users[0] if users else len(fields)
            at = draw(st.integers(0, limit))
            flags_type = draw(st.sampled_from(["#", "int"]))
            fields.insert(at, Field(flags_name, ("flags",), None, flags_type))
    return fields


@st.composite
def schemas(draw):
    type_count = draw(st.integers(1, 3))
    per_type = [draw(st.integers(1, 2)) for _ in range(type_count)]
    ids = draw(st.lists(st.integers(0, 2**32 - 1), min_size=sum(per_type),
                        max_size=sum(per_type), unique=True))
    ctors, by_type, k = [], [], 0
    for t in range(type_count):
        by_type.append([])
        for _ in range(per_type[t]):
            name = ("c%d" if draw(st.booleans()) else "c\u00e9%d") % k
            c = Ctor(name, ids[k], t, draw(field_lists(t, type_count)),
                     is_method=draw(st.integers(0, 3)) == 0)
            ctors.append(c)
            by_type[t].append(c)
            k += 1
    return Schema(ctors, by_type)


# ------------------------------------------------------------ values
# Each strategy gives (value given to pack, value expected from unpack).

def _bytes_like(payload, how):
    return {"bytes": payload, "bytearray": bytearray(payload),
            "memoryview": memoryview(payload)}[how]


def _repeated(piece, length):
    return (piece * (length // len(piece) + 1))[:length]


# Long values from few choices (so that failures shrink fast), with lengths
# around the switch between the short and the long length prefix.
LONG_LENGTHS = st.one_of(st.integers(250, 258), st.integers(259, 700))
LONG_BYTES = st.tuples(st.binary(min_size=1, max_size=8), LONG_LENGTHS).map(
    lambda p: _repeated(*p))
LONG_TEXT = st.tuples(st.text(min_size=1, max_size=4), LONG_LENGTHS).map(
    lambda p: _repeated(*p))

SCALAR_VALUES = {
    "int": st.integers(-2**31, 2**31 - 1).map(lambda v: (v, v & 0xFFFFFFFF)),
    "long": st.integers(0, 2**64 - 1).map(lambda v: (v, v)),
    "double": st.one_of(
        st.floats().map(lambda v: (v, v)),
        st.integers(-2**53, 2**53).map(lambda v: (v, float(v)))),
    "string": st.one_of(st.text(max_size=12), LONG_TEXT).map(lambda v: (v, v)),
    "bytes": st.tuples(
        st.one_of(st.binary(max_size=12), LONG_BYTES),
        st.sampled_from(["bytes", "bytes", "bytearray", "memoryview"]),
    ).map(lambda p: (_bytes_like(*p), p[0])),
    # Any value stands for a Bool by its truth.
    "Bool": st.one_of(st.booleans(), st.sampled_from([0, 1, 7, None, "", "x", [], [0]]))
    .map(lambda v: (v, bool(v))),
}

NESTED_LISTS = st.recursive(st.just(()), lambda inner: st.lists(inner, max_size=3)
                            .map(tuple), max_leaves=8)


def _as_lists(nested):
    return [_as_lists(x) for x in nested]


def kind_values(sch, kind):
    tag = kind[0]
    if tag == "s":
        return SCALAR_VALUES[kind[1]]
    if tag == "nest":
        return NESTED_LISTS.map(lambda t: (_as_lists(t), _as_lists(t)))
    if tag == "o":
        return st.sampled_from(sch.by_type[kind[1]]).flatmap(
            lambda c: object_values(sch, c))
    if tag == "v":
        return st.tuples(st.lists(kind_values(sch, kind[1]), max_size=4),
                         st.booleans()).map(
            lambda p: ((tuple if p[1] else list)(i for i, _ in p[0]),
                       [e for _, e in p[0]]))
    raise AssertionError(kind)


@st.composite
def object_values(draw, sch, c):
    given_value, expected = {"_": c.name}, {"_": c.name}
    for f in c.fields:
        if f.kind == ("flags",):
            if draw(st.integers(0, 3)) == 0:  # ignored: the word is computed
                given_value[f.name] = draw(st.integers(-5, 2**40))
            continue
        if f.kind == ("true",):
            choice = draw(st.sampled_from([OMITTED, True, False, None, 1]))
            if choice is not OMITTED:
                given_value[f.name] = choice
            expected[f.name] = choice is True
            continue
        if f.cond:
            mode = draw(st.sampled_from(["omit", "none", "value", "value"]))
            if mode == "value":
                given_value[f.name], expected[f.name] = draw(kind_values(sch, f.kind))
            else:
                if mode == "none":
                    given_value[f.name] = None
                expected[f.name] = None
            continue
        if f.kind[0] != "o" and draw(st.integers(0, 4)) == 0:
            expected[f.name] = DEFAULTS[f.kind[1]] if f.kind[0] == "s" else []
            continue
        given_value[f.name], expected[f.name] = draw(kind_values(sch, f.kind))
    if draw(st.integers(0, 4)) == 0:
        given_value["zz_unknown"] = "ignored"
    return given_value, expected


@st.composite
def cases(draw):
    sch = draw(schemas())
    top = draw(st.sampled_from(sch.ctors))
    given_value, expected = draw(object_values(sch, top))
    return sch, top, given_value, expected


# ------------------------------------------------------------ reference

def encode_kind(sch, kind, value):
    tag = kind[0]
    if tag == "s":
        k = kind[1]
        if k in ("int", "Bool"):
            return u32(int(value))
        if k == "long":
            return struct.pack("<Q", value)
        if k == "double":
            return struct.pack("<d", value)
        if k == "string":
            return tl_bytes(value.encode("utf-8"))
        return tl_bytes(value)
    if tag == "nest":
        return u32(VEC, len(value)) + b"".join(
            encode_kind(sch, kind, v) for v in value)
    if tag == "v":
        return u32(VEC, len(value)) + b"".join(
            encode_kind(sch, kind[1], v) for v in value)
    if tag == "o":
        return encode_object(sch, value)
    raise AssertionError(kind)


def encode_object(sch, value):
    """Bytes of an expected (normalised) value, built independently."""
    c = sch.by_name(value["_"])
    words = [0, 0]
    for f in c.fields:
        if f.cond is None:
            continue
        present = value[f.name] is True if f.kind == ("true",) else value[f.name] is not None
        if present:
            words[f.cond[0]] |= 1 << f.cond[1]
    out = u32(c.id)
    for f in c.fields:
        if f.kind == ("flags",):
            out += u32(words[0] if f.name == "flags" else words[1])
        elif f.kind == ("true",):
            continue
        elif f.cond is not None and value[f.name] is None:
            continue
        else:
            out += encode_kind(sch, f.kind, value[f.name])
    return out


def canon(value):
    """Comparable form: keeps types apart (True vs 1) and floats by bits."""
    if isinstance(value, dict):
        return ("dict", [(k, canon(v)) for k, v in value.items()])
    if isinstance(value, list):
        return ("list", [canon(v) for v in value])
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    return (type(value).__name__, value)


def signed(sch, kind, value):
    """The unpacked value made packable again: 32-bit ints back to signed."""
    tag = kind[0]
    if tag == "s" and kind[1] == "int":
        return value - 2**32 if value >= 2**31 else value
    if tag == "v":
        return [signed(sch, kind[1], v) for v in value]
    if tag == "o":
        c = sch.by_name(value["_"])
        out = dict(value)
        for f in c.fields:
            if f.name in out and out[f.name] is not None and f.kind not in (
                    ("flags",), ("true",)):
                out[f.name] = signed(sch, f.kind, out[f.name])
        return out
    return value


# ------------------------------------------------------------ properties

@functools.lru_cache(maxsize=256)
def parser_for(schema_json):
    return TLParser(schema_json)


@SETTINGS
@given(cases())
def test_pack_matches_independent_encoder(case):
    sch, top, given_value, expected = case
    parser = parser_for(sch.json())
    assert parser.pack(given_value) == encode_object(sch, expected)


@SETTINGS
@given(cases())
def test_unpack_of_pack_gives_normalised_value(case):
    sch, top, given_value, expected = case
    parser = parser_for(sch.json())
    out = parser.unpack(parser.pack(given_value))
    assert canon(out) == canon(expected)


@SETTINGS
@given(cases())
def test_pack_of_unpack_reproduces_bytes(case):
    sch, top, given_value, expected = case
    parser = parser_for(sch.json())
    data = parser.pack(given_value)
    again = parser.pack(signed(sch, ("o", top.type_index), parser.unpack(data)))
    assert again == data


# ------------------------------------------------------------ text

TEXT_ID = 0x54455854
TEXT = make_parser(ctor("t", TEXT_ID, param("s", "string"),
                        param("many", "Vector<string>"), param("n", "int")))


@settings(max_examples=200, deadline=None)
@given(st.one_of(st.text(), st.text(min_size=60, max_size=100),
                 st.integers(250, 258).map(lambda n: "\u00e9" * (n // 2) + "a" * (n % 2))),
       st.lists(st.text(max_size=300), max_size=3))
def test_text_is_its_utf8_encoding(text, many):
    data = TEXT.pack({"_": "t", "s": text, "many": many, "n": 1})
    expected = (u32(TEXT_ID) + tl_bytes(text.encode("utf-8")) + u32(VEC, len(many))
                + b"".join(tl_bytes(m.encode("utf-8")) for m in many) + u32(1))
    assert data == expected
    assert TEXT.unpack(data) == {"_": "t", "s": text, "many": many, "n": 1}


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=300), st.booleans())
def test_text_payload_decodes_as_strict_utf8(payload, long_form):
    if long_form:  # the long form is accepted for any length
        encoded = b"\xfe" + len(payload).to_bytes(3, "little") + payload
        encoded += b"\x00" * (-len(encoded) % 4)
    else:
        encoded = tl_bytes(payload)
    data = u32(TEXT_ID) + encoded + u32(VEC, 0, 1)
    try:
        text = payload.decode("utf-8")
    except UnicodeDecodeError:
        with pytest.raises(UnicodeDecodeError):
            TEXT.unpack(data)
    else:
        assert TEXT.unpack(data) == {"_": "t", "s": text, "many": [], "n": 1}


@settings(max_examples=50, deadline=None)
@given(st.text(max_size=5), st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF),
       st.text(max_size=5))
def test_text_with_lone_surrogate_is_refused(before, surrogate, after):
    with pytest.raises(UnicodeEncodeError):
        TEXT.pack({"_": "t", "s": before + surrogate + after})
    with pytest.raises(UnicodeEncodeError):
        TEXT.pack({"_": "t", "many": ["ok", before + surrogate + after]})
