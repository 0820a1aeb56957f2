"""Property-based round trips through the standard profile.

Generated schemas mix every scalar kind (int128 and int256 included), boxed
and bare vectors nested to three levels, boxed and bare objects (by %T and by
a lowercase name), Object fields holding constructors or methods, plain and
conditional true, Bool at every position, flags words of any name (up to
three per constructor) and a plain "flags:int". Packed bytes are compared
with an encoder written here with `struct`; unpacked values with the value
given, normalised.
"""

import functools
import struct
from dataclasses import dataclass, field

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from Mivex.tl import TLParser
from conftest import BOOL_FALSE, BOOL_TRUE, ctor, param, schema, tl_bytes, u32

VEC = 0x1CB5C415
SCALARS = ("int", "long", "int128", "int256", "double", "string", "bytes", "Bool")
DEFAULTS = {"int": 0, "long": 0, "int128": 0, "int256": 0, "double": 0.0,
            "string": "", "bytes": b"", "Bool": False}
MIN_SIZE = {"int": 4, "long": 8, "int128": 16, "int256": 32, "double": 8,
            "string": 4, "bytes": 4, "Bool": 4}
WORD_NAMES = ("flags", "flags2", "mask", "w\u00e9")
OMITTED = object()

SETTINGS = settings(
    max_examples=150, deadline=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

# A field's kind is a tuple:
#   ("s", kind)            a scalar of SCALARS
#   ("h",)                 "#", as a vector element only
#   ("v", boxed, elem)     Vector<elem> or vector<elem>
#   ("o", t)               boxed object of generated type t
#   ("b", name, percent)   bare object of constructor `name`, as %T or by name
#   ("any", level)         Object: any entry of a deeper level, methods too
#   ("true",)              plain true
#   ("word",)              a flags word ("#")
#   ("flag",)              a conditional true


@dataclass
class Field:
    name: str
    kind: tuple
    cond: tuple = None  # (word name, bit)
    text: str = ""


@dataclass
class Entry:
    name: str
    id: int
    level: int
    fields: list
    is_method: bool = False


@dataclass
class Schema:
    entries: list = field(default_factory=list)
    by_type: dict = field(default_factory=dict)  # level -> its constructors

    def json(self):
        def item(e, key):
            result = "R%d" % e.level if e.is_method else "T%d" % e.level
            return ctor(e.name, e.id, *[param(f.name, f.text) for f in e.fields],
                        type=result, key=key)

        return schema(*[item(e, "predicate") for e in self.entries if not e.is_method],
                      methods=[item(e, "method") for e in self.entries if e.is_method])

    def by_name(self, name):
        return next(e for e in self.entries if e.name == name)

    def min_size(self, kind):
        tag = kind[0]
        if tag == "s":
            return MIN_SIZE[kind[1]]
        if tag == "b":
            return sum(self.min_size(f.kind) for f in self.by_name(kind[1]).fields
                       if f.cond is None)
        if tag in ("true", "flag"):
            return 0
        return 4


def kind_text(sch, kind):
    tag = kind[0]
    if tag == "s":
        return kind[1]
    if tag == "h":
        return "#"
    if tag == "v":
        return ("Vector<%s>" if kind[1] else "vector<%s>") % kind_text(sch, kind[2])
    if tag == "o":
        return "T%d" % kind[1]
    if tag == "b":
        e = sch.by_name(kind[1])
        return "%%T%d" % e.level if kind[2] else e.name
    if tag == "any":
        return "Object"
    if tag == "true":
        return "true"
    raise AssertionError(kind)


def object_kinds(sch, level):
    """Kinds naming entries of deeper levels, so that values stay finite."""
    deeper = [t for t in sch.by_type if t > level]
    options = []
    if deeper:
        options.append(st.sampled_from([("o", t) for t in deeper]))
        options.append(st.just(("any", level)))
        bare = [(e.name, len(sch.by_type[e.level]) == 1) for t in deeper
                for e in sch.by_type[t] if sch.min_size(("b", e.name, False)) > 0]
        if bare:
            options.append(st.sampled_from(bare).flatmap(
                lambda b: st.sampled_from([("b", b[0], False), ("b", b[0], b[1])])))
    return options


def element_kinds(sch, level, depth):
    options = [st.sampled_from([("s", k) for k in SCALARS]), st.just(("h",))]
    options += object_kinds(sch, level)
    if depth < 3:
        options.append(st.tuples(st.just("v"), st.booleans(),
                                 st.deferred(lambda: element_kinds(sch, level, depth + 1))))
    return st.one_of(options)


def field_kinds(sch, level):
    return st.one_of([st.sampled_from([("s", k) for k in SCALARS]),
                      st.tuples(st.just("v"), st.booleans(), element_kinds(sch, level, 1)),
                      st.just(("true",))] + object_kinds(sch, level))


@st.composite
def field_lists(draw, sch, level):
    words = draw(st.lists(st.sampled_from(WORD_NAMES), max_size=3, unique=True))
    used = {w: set() for w in words}
    fields = []
    for i in range(draw(st.integers(0, 6))):
        name = ("f%d" if draw(st.booleans()) else "f\u00e9%d") % i
        kind = draw(field_kinds(sch, level))
        word = draw(st.sampled_from([None, None] + words))
        if word is None:
            fields.append(Field(name, kind, None, kind_text(sch, kind)))
            continue
        bit = draw(st.sampled_from(sorted(set(range(32)) - used[word])))
        used[word].add(bit)
        if kind == ("true",) or draw(st.integers(0, 4)) == 0:
            kind, text = ("flag",), "true"
        else:
            text = kind_text(sch, kind)
        fields.append(Field(name, kind, (word, bit), "%s.%d?%s" % (word, bit, text)))
    # Each word stands somewhere before the first field that names it.
    for word in words:
        users = [i for i, f in enumerate(fields) if f.cond and f.cond[0] == word]
        at = draw(st.integers(0, users[0] if users else len(fields)))
        fields.insert(at, Field(word, ("word",), None, "#"))
    if "flags" not in words and draw(st.integers(0, 3)) == 0:
        at = draw(st.integers(0, len(fields)))
        fields.insert(at, Field("flags", ("s", "int"), None, "int"))
    return fields


@st.composite
def schemas(draw):
    levels = draw(st.integers(1, 4))
    counts = [(draw(st.integers(1, 2)), draw(st.integers(0, 1))) for _ in range(levels)]
    total = sum(a + b for a, b in counts)
    ids = draw(st.lists(st.integers(0, 2**32 - 1).filter(
        lambda i: i not in (VEC, BOOL_TRUE, BOOL_FALSE)),
        min_size=total, max_size=total, unique=True))
    sch, k = Schema(), 0
    for level in reversed(range(levels)):  # deepest first: bare sizes are known
        ctors, methods = counts[level]
        sch.by_type[level] = []
        for j in range(ctors + methods):
            is_method = j >= ctors
            # A constructor's name may stand as a bare type, whose text is
            # ASCII; a method's never does.
            name = ("%s%d" if draw(st.booleans()) else "%s_\u00e9%d"
                    if is_method else "%s_%d") % ("m" if is_method else "c", k)
            e = Entry(name, ids[k], level, draw(field_lists(sch, level)), is_method)
            sch.entries.append(e)
            if not is_method:
                sch.by_type[level].append(e)
            k += 1
    return sch


# ------------------------------------------------------------ values
# Each strategy gives (value given to pack, value expected from unpack).

def _bytes_like(payload, how):
    return {"bytes": payload, "bytearray": bytearray(payload),
            "memoryview": memoryview(payload)}[how]


LONG = st.tuples(st.binary(min_size=1, max_size=4), st.integers(250, 300)).map(
    lambda p: (p[0] * p[1])[:p[1]])

SCALAR_VALUES = {
    "int": st.integers(-2**31, 2**31 - 1),
    "long": st.integers(-2**63, 2**63 - 1),
    "int128": st.one_of(st.integers(-2**127, 2**127 - 1),
                        st.sampled_from([-2**127, 2**127 - 1, -1, 2**64, -2**64])),
    "int256": st.one_of(st.integers(-2**255, 2**255 - 1),
                        st.sampled_from([-2**255, 2**255 - 1, -1, 2**128])),
    "double": st.one_of(st.floats(), st.integers(-2**53, 2**53).map(float)),
    "string": st.one_of(st.text(max_size=8), LONG.map(lambda b: b.hex())),
}


def scalar_values(k):
    if k == "bytes":
        return st.tuples(st.one_of(st.binary(max_size=8), LONG),
                         st.sampled_from(["bytes", "bytearray", "memoryview"])).map(
            lambda p: (_bytes_like(*p), p[0]))
    if k == "Bool":
        return st.one_of(st.booleans(), st.sampled_from([0, 1, 7, None, "", "x", [], [0]])
                         ).map(lambda v: (v, bool(v)))
    return SCALAR_VALUES[k].map(lambda v: (v, v))


def kind_values(sch, kind):
    tag = kind[0]
    if tag == "s":
        return scalar_values(kind[1])
    if tag == "h":
        return st.integers(0, 2**32 - 1).map(lambda v: (v, v))
    if tag == "v":
        return st.tuples(st.lists(kind_values(sch, kind[2]), max_size=3),
                         st.booleans()).map(
            lambda p: ((tuple if p[1] else list)(g for g, _ in p[0]),
                       [e for _, e in p[0]]))
    if tag == "o":
        return st.sampled_from(sch.by_type[kind[1]]).flatmap(
            lambda e: object_values(sch, e))
    if tag == "b":
        return st.tuples(object_values(sch, sch.by_name(kind[1])), st.booleans()).map(
            lambda p: ({k: v for k, v in p[0][0].items() if k != "_" or p[1]}, p[0][1]))
    if tag == "any":
        return st.sampled_from([e for e in sch.entries if e.level > kind[1]]).flatmap(
            lambda e: object_values(sch, e))
    raise AssertionError(kind)


@st.composite
def object_values(draw, sch, e):
    given_value, expected = {"_": e.name}, {"_": e.name}
    for f in e.fields:
        if f.kind == ("word",):
            if draw(st.integers(0, 3)) == 0:  # ignored: the word is computed
                given_value[f.name] = draw(st.integers(-5, 2**40))
        elif f.kind in (("flag",), ("true",)):
            choice = draw(st.sampled_from([OMITTED, True, False, None, 1]))
            if choice is not OMITTED:
                given_value[f.name] = choice
            expected[f.name] = True if f.kind == ("true",) else choice is True
        elif f.cond:
            mode = draw(st.sampled_from(["omit", "none", "value", "value"]))
            if mode == "value":  # any value but None sets the bit, 0 and "" too
                given_value[f.name], expected[f.name] = draw(
                    kind_values(sch, f.kind).filter(lambda p: p[0] is not None))
            else:
                if mode == "none":
                    given_value[f.name] = None
                expected[f.name] = None
        elif f.kind[0] in ("s", "v") and draw(st.integers(0, 4)) == 0:
            expected[f.name] = DEFAULTS[f.kind[1]] if f.kind[0] == "s" else []
        else:
            given_value[f.name], expected[f.name] = draw(kind_values(sch, f.kind))
    return given_value, expected


@st.composite
def cases(draw):
    sch = draw(schemas())
    top = draw(st.sampled_from(sch.entries))
    given_value, expected = draw(object_values(sch, top))
    return sch, given_value, expected


# ------------------------------------------------------------ reference

def encode_kind(sch, kind, value):
    tag = kind[0]
    if tag == "s":
        k = kind[1]
        if k == "int":
            return struct.pack("<i", value)
        if k == "long":
            return struct.pack("<q", value)
        if k in ("int128", "int256"):
            return value.to_bytes(16 if k == "int128" else 32, "little", signed=True)
        if k == "double":
            return struct.pack("<d", value)
        if k == "string":
            return tl_bytes(value.encode("utf-8"))
        if k == "bytes":
            return tl_bytes(value)
        return u32(BOOL_TRUE if value else BOOL_FALSE)
    if tag == "h":
        return struct.pack("<I", value)
    if tag == "v":
        head = u32(VEC, len(value)) if kind[1] else u32(len(value))
        return head + b"".join(encode_kind(sch, kind[2], v) for v in value)
    if tag in ("o", "any"):
        return encode_object(sch, value, boxed=True)
    if tag == "b":
        return encode_object(sch, value, boxed=False)
    raise AssertionError(kind)


def encode_object(sch, value, boxed=True):
    """Bytes of an expected (normalised) value, built independently."""
    e = sch.by_name(value["_"])
    words = {f.name: 0 for f in e.fields if f.kind == ("word",)}
    for f in e.fields:
        if f.cond is not None:
            present = value[f.name] is True if f.kind == ("flag",) else (
                value[f.name] is not None)
            if present:
                words[f.cond[0]] |= 1 << f.cond[1]
    out = u32(e.id) if boxed else b""
    for f in e.fields:
        if f.kind == ("word",):
            out += u32(words[f.name])
        elif f.kind in (("flag",), ("true",)):
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


# ------------------------------------------------------------ properties

@functools.lru_cache(maxsize=256)
def parser_for(schema_json):
    return TLParser(schema_json, standard=True)


@SETTINGS
@given(cases())
def test_pack_matches_independent_encoder(case):
    sch, given_value, expected = case
    assert parser_for(sch.json()).pack(given_value) == encode_object(sch, expected)


@SETTINGS
@given(cases())
def test_unpack_of_pack_gives_normalised_value(case):
    sch, given_value, expected = case
    parser = parser_for(sch.json())
    assert canon(parser.unpack(parser.pack(given_value))) == canon(expected)


@SETTINGS
@given(cases())
def test_pack_of_unpack_reproduces_bytes(case):
    sch, given_value, _ = case
    parser = parser_for(sch.json())
    data = parser.pack(given_value)
    assert parser.pack(parser.unpack(data)) == data


@settings(max_examples=100, deadline=None, print_blob=True)
@given(cases(), st.data())
def test_every_proper_prefix_fails_in_order(case, data):
    sch, given_value, _ = case
    parser = parser_for(sch.json())
    packed = parser.pack(given_value)
    cut = data.draw(st.integers(0, len(packed) - 1))
    try:
        result = parser.unpack(packed[:cut])
    except RuntimeError as exc:
        assert str(exc).startswith("Parse error at position "), str(exc)
    except ValueError as exc:
        assert str(exc) == "Invalid vector ID: 0x00000000", str(exc)
    else:
        # Only a cut inside the padding of a final byte string may be read.
        assert len(packed) - cut <= 3 and not any(packed[cut:]), cut
        assert canon(result) == canon(parser.unpack(packed))
