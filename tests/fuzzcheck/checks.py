"""What each fuzz target checks, as plain functions of the input bytes.

The atheris scripts in fuzz/ and tests/test_fuzz_regressions.py both
call these, so a saved crashing input replays through exactly the same check
without atheris installed. Inputs are turned into schemas and values by
``Draw``, a small deterministic reader of the fuzzer's bytes (atheris'
FuzzedDataProvider is not used, so replay does not depend on its version).

A check raises ``Finding`` for a disagreement with the models in tlref.py
(default profile) and stdref.py (standard profile) and lets any exception
of an undocumented type escape; both end a fuzz run.
"""

import array
import ctypes
import gc
import json
import os
import struct
import sys
import time

from Mivex.tl import TLParser

from . import stdref, tlref

# The model recurses about three Python frames per nesting level.
sys.setrecursionlimit(max(sys.getrecursionlimit(), 10000))


class Finding(AssertionError):
    pass


# Faults reported but not fixed yet: each a test of an exception that would
# otherwise be a Finding. Long campaigns pass them over (counting them), so
# that one known fault does not end every run; FUZZ_PENDING=fail makes them
# findings again. Their inputs wait in tests/fuzz_regressions/*/pending/.
PENDING: dict = {}
pending_seen = dict.fromkeys(PENDING, 0)


def pending(e):
    """Whether ``e`` is a known, reported fault to pass over."""
    if os.environ.get("FUZZ_PENDING") == "fail":
        return False
    for name, test in PENDING.items():
        if test(e):
            if not pending_seen[name]:
                print(f"fuzzcheck: passing over known fault {name}: {e!r}", file=sys.stderr)
            pending_seen[name] += 1
            return True
    return False


# ------------------------------------------------------------ fixed schema

# Every kind, both flags words, conditional objects, vectors of every kind
# (Vector<Vector<int>> has int elements on the wire), a self-referencing
# constructor for depth, a method, and ids with the top bit set.
FIXED_SCHEMA = {
    "constructors": [
        {"predicate": "prim", "id": 0x10000001, "type": "Prim", "params": [
            {"name": "i", "type": "int"},
            {"name": "l", "type": "long"},
            {"name": "d", "type": "double"},
            {"name": "s", "type": "string"},
            {"name": "b", "type": "bytes"},
            {"name": "ok", "type": "Bool"},
        ]},
        {"predicate": "opt", "id": "-1412567295", "type": "Opt", "params": [
            {"name": "flags", "type": "#"},
            {"name": "a", "type": "flags.0?int"},
            {"name": "t", "type": "flags.1?true"},
            {"name": "s", "type": "flags.2?string"},
            {"name": "v", "type": "flags.3?Vector<long>"},
            {"name": "x", "type": "flags.31?bytes"},
            {"name": "mid", "type": "int"},
            {"name": "flags2", "type": "#"},
            {"name": "c", "type": "flags2.0?Bool"},
            {"name": "n", "type": "flags2.5?Prim"},
            {"name": "d", "type": "flags2.31?double"},
            {"name": "vs", "type": "flags2.7?Vector<string>"},
        ]},
        {"predicate": "vecs", "id": 0x10000003, "type": "Vecs", "params": [
            {"name": "vi", "type": "Vector<int>"},
            {"name": "vl", "type": "Vector<long>"},
            {"name": "vd", "type": "Vector<double>"},
            {"name": "vs", "type": "Vector<string>"},
            {"name": "vb", "type": "Vector<bytes>"},
            {"name": "vB", "type": "Vector<Bool>"},
            {"name": "vo", "type": "Vector<Prim>"},
            {"name": "vv", "type": "Vector<Vector<int>>"},
        ]},
        {"predicate": "node", "id": 0x10000004, "type": "Node", "params": [
            {"name": "flags", "type": "#"},
            {"name": "val", "type": "int"},
            {"name": "next", "type": "flags.0?Node"},
            {"name": "kids", "type": "Vector<Node>"},
        ]},
        {"predicate": "top", "id": 0xF0000005, "type": "Top", "params": [
            {"name": "p", "type": "Prim"},
            {"name": "o", "type": "Opt"},
            {"name": "v", "type": "Vecs"},
            {"name": "n", "type": "Node"},
            {"name": "e", "type": "Empty"},
        ]},
        {"predicate": "empty", "id": 0x10000006, "type": "Empty", "params": []},
    ],
    "methods": [
        {"method": "call", "id": 0x10000007, "type": "Top", "params": [
            {"name": "q", "type": "string"},
            {"name": "arg", "type": "Top"},
        ]},
    ],
}

FIXED_TEXT = json.dumps(FIXED_SCHEMA)
FIXED = tlref.Schema(FIXED_SCHEMA)
_parser = None


def fixed_parser():
    global _parser
    if _parser is None:
        _parser = TLParser(FIXED_TEXT)
    return _parser


# ------------------------------------------------------------ fixed schema, standard profile

# Every kind the standard profile has: signed integers of four widths, boxed
# Bool (its words also declared as objects, as real schemas do), plain and
# conditional true, a plain "flags:int", many flags words of any name, a
# shared bit, boxed and bare vectors nested, bare objects by %T, lowercase
# and dotted names, typed fields with two constructors of one type, Object,
# !X, a type no constructor makes, self-reference for depth, methods.
STD_WORDS = 12
STD_SCHEMA = {
    "constructors": [
        {"predicate": "boolFalse", "id": 0xBC799737, "type": "Bool", "params": []},
        {"predicate": "boolTrue", "id": 0x997275B5, "type": "Bool", "params": []},
        {"predicate": "true", "id": 0x3FEDD339, "type": "True", "params": []},
        {"predicate": "prim", "id": 0x20000001, "type": "Prim", "params": [
            {"name": "i", "type": "int"},
            {"name": "l", "type": "long"},
            {"name": "d", "type": "double"},
            {"name": "s", "type": "string"},
            {"name": "b", "type": "bytes"},
            {"name": "ok", "type": "Bool"},
            {"name": "h", "type": "int128"},
            {"name": "w", "type": "int256"},
            {"name": "t", "type": "true"},
            {"name": "flags", "type": "int"},
        ]},
        {"predicate": "alt", "id": "-1", "type": "Prim", "params": [
            {"name": "x", "type": "int"},
        ]},
        {"predicate": "opt", "id": 0xA0000002, "type": "Opt", "params": [
            {"name": "m", "type": "#"},
            {"name": "a", "type": "m.0?int"},
            {"name": "t", "type": "m.1?true"},
            {"name": "b", "type": "m.2?Bool"},
            {"name": "s", "type": "m.3?string"},
            {"name": "v", "type": "m.4?Vector<long>"},
            {"name": "x", "type": "m.31?bytes"},
            {"name": "same", "type": "m.0?long"},
            {"name": "mid", "type": "int"},
            {"name": "w\u00e9", "type": "#"},
            {"name": "c", "type": "w\u00e9.0?Bool"},
            {"name": "n", "type": "w\u00e9.5?Prim"},
            {"name": "big", "type": "w\u00e9.6?int256"},
            {"name": "p", "type": "w\u00e9.7?%Point"},
            {"name": "f", "type": "w\u00e9.31?true"},
        ]},
        {"predicate": "many", "id": 0x20000003, "type": "Many", "params": [
            p for k in range(STD_WORDS) for p in (
                {"name": f"w{k}", "type": "#"},
                {"name": f"c{k}", "type": f"w{k}.{(k * 7) % 32}?int"},
                {"name": f"t{k}", "type": f"w{k}.{(k * 7 + 1) % 32}?true"},
            )
        ]},
        {"predicate": "vecs", "id": 0x20000004, "type": "Vecs", "params": [
            {"name": "vi", "type": "Vector<int>"},
            {"name": "vl", "type": "Vector<long>"},
            {"name": "vd", "type": "Vector<double>"},
            {"name": "vs", "type": "Vector<string>"},
            {"name": "vb", "type": "Vector<bytes>"},
            {"name": "vB", "type": "Vector<Bool>"},
            {"name": "vo", "type": "Vector<Prim>"},
            {"name": "vv", "type": "Vector<Vector<int>>"},
            {"name": "bi", "type": "vector<int>"},
            {"name": "bv", "type": "vector<Vector<long>>"},
            {"name": "vh", "type": "Vector<#>"},
            {"name": "v128", "type": "Vector<int128>"},
            {"name": "b256", "type": "vector<int256>"},
            {"name": "vp", "type": "vector<point>"},
            {"name": "vP", "type": "Vector<%Point>"},
            {"name": "vbb", "type": "vector<vector<Bool>>"},
        ]},
        {"predicate": "point", "id": 0x20000005, "type": "Point", "params": [
            {"name": "x", "type": "int"},
            {"name": "y", "type": "int"},
        ]},
        {"predicate": "geo.pair", "id": 0x20000006, "type": "geo.Pair", "params": [
            {"name": "a", "type": "long"},
            {"name": "b", "type": "Bool"},
            {"name": "s", "type": "string"},
        ]},
        {"predicate": "bare", "id": 0x20000007, "type": "Bare", "params": [
            {"name": "p", "type": "%Point"},
            {"name": "q", "type": "point"},
            {"name": "r", "type": "geo.pair"},
            {"name": "o", "type": "%Opt"},
        ]},
        {"predicate": "node", "id": 0x20000008, "type": "Node", "params": [
            {"name": "flags", "type": "#"},
            {"name": "val", "type": "int"},
            {"name": "next", "type": "flags.0?Node"},
            {"name": "kids", "type": "Vector<Node>"},
            {"name": "link", "type": "flags.1?%Link"},
        ]},
        {"predicate": "link", "id": 0x20000009, "type": "Link", "params": [
            {"name": "f", "type": "#"},
            {"name": "to", "type": "f.0?%Link"},
            {"name": "n", "type": "f.1?Node"},
        ]},
        {"predicate": "top", "id": 0xF000000A, "type": "Top", "params": [
            {"name": "p", "type": "Prim"},
            {"name": "o", "type": "Opt"},
            {"name": "v", "type": "Vecs"},
            {"name": "n", "type": "Node"},
            {"name": "e", "type": "Empty"},
            {"name": "any", "type": "Object"},
            {"name": "bare", "type": "%Bare"},
            {"name": "thing", "type": "Thing"},
            {"name": "m", "type": "Many"},
        ]},
        {"predicate": "empty", "id": 0x2000000B, "type": "Empty", "params": []},
    ],
    "methods": [
        {"method": "call", "id": 0x2000000C, "type": "X", "params": [
            {"name": "q", "type": "string"},
            {"name": "arg", "type": "!X"},
        ]},
        {"method": "getPoint", "id": 0x2000000D, "type": "Point", "params": [
            {"name": "id", "type": "long"},
        ]},
    ],
}

STD_TEXT = json.dumps(STD_SCHEMA)
STD = stdref.Schema(STD_SCHEMA)
_parsers = {}


def parser_of(standard, strict=False):
    """The fixed schema's parser of one profile, made once."""
    key = (standard, strict)
    if key not in _parsers:
        _parsers[key] = TLParser(STD_TEXT if standard else FIXED_TEXT, standard=standard,
                                 strict=strict)
    return _parsers[key]


# ------------------------------------------------------------ exceptions


def unpack_error_ok(e):
    """The exceptions unpack may raise for hostile input, by type and text."""
    msg = str(e)
    if isinstance(e, RecursionError):
        return True
    if type(e) is RuntimeError:
        return msg.startswith("Parse error at position ")
    if type(e) is UnicodeDecodeError:
        return True
    if type(e) is ValueError:
        return msg.startswith(("Unknown constructor ID: 0x", "Invalid vector ID: 0x",
                               "field '"))
    return False


class Boom(Exception):
    """Raised by the fuzzers' own conversion methods; pack passes it on."""


PACK_ERRORS = (TypeError, OverflowError, ValueError, RecursionError, AttributeError,
               Boom)


def pack_error_ok(e):
    return type(e) in PACK_ERRORS or type(e) is UnicodeEncodeError


COMPILE_ERRORS = (TypeError, ValueError, KeyError, AttributeError, OverflowError,
                  RuntimeError, RecursionError, json.JSONDecodeError, UnicodeEncodeError)


def _unpack_checked(parser, data):
    try:
        return parser.unpack(data), None
    except Exception as e:  # noqa: BLE001 - sorted below
        if not unpack_error_ok(e):
            raise Finding(f"unpack raised undocumented {type(e).__name__}: {e}") from e
        return None, e


# ------------------------------------------------------------ input reader


class Draw:
    """Deterministic choices from fuzzer bytes; reads zeros once exhausted."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk + bytes(n - len(chunk))

    def left(self):
        return max(0, len(self.data) - self.pos)

    def below(self, n):
        if n <= 1:
            return 0
        width = (n - 1).bit_length() + 7 >> 3
        return int.from_bytes(self.take(width), "little") % n

    def choice(self, seq):
        return seq[self.below(len(seq))]

    def chance(self, num, den):
        return self.below(den) < num

    def u32(self):
        return struct.unpack("<I", self.take(4))[0]

    def rest(self):
        chunk = self.data[self.pos:]
        self.pos = len(self.data)
        return chunk


# ------------------------------------------------------------ target (a)


def check_unpack(data):
    """Hostile bytes against the fixed schema.

    unpack must raise a documented error exactly when the model refuses the
    input; when it succeeds, its value must equal the model's and re-packing
    it must give the canonical bytes (equal to the input except for unused
    flag bits, non-0/1 Bool words, padding and byte-string prefix forms).
    """
    p = fixed_parser()
    got, err = _unpack_checked(p, data)
    try:
        want, canonical = tlref.decode(FIXED, data)
    except tlref.RefError as e:
        if err is None:
            raise Finding(f"unpack accepted input the model refuses ({e}): {got!r}")
        return
    if err is not None:
        raise Finding(f"unpack refused valid input: {type(err).__name__}: {err}")
    if not tlref.same(got, want):
        raise Finding(f"unpack gave {got!r}, model {want!r}")
    repacked = p.pack(tlref.packable(FIXED, got))
    if repacked != canonical:
        raise Finding(f"re-pack gave {repacked.hex()}, canonical {canonical.hex()}")


# ------------------------------------------------------------ target (b)

NAMES = ["a", "b", "user", "x_1", "\u00e9t\u00e9", "\u65e5", "n", "Vector", "int",
         "long", "msg", "z"]
PRIMS = ["int", "#", "long", "double", "string", "bytes", "byte", "Bool", "true"]


def gen_schema(d):
    """A well-formed schema: unique names and ids, conditional fields after
    their flags word, distinct bits per word; entry 0 has no plain object
    field, so values can always be closed off."""
    n_ctors = 1 + d.below(6)
    names = []
    for i in range(n_ctors):
        names.append(d.choice(NAMES) + str(i))
    ids = set()
    entries = []
    for i, name in enumerate(names):
        while True:
            ident = d.u32() if d.left() else 0x5EED0000 + i
            if ident not in ids:
                break
            ident = (ident + 1) & 0xFFFFFFFF
            if ident not in ids:
                break
        ids.add(ident)
        form = d.below(4)
        id_json = (ident if form == 0 else str(ident) if form == 1
                   else ident - 2**32 if form == 2 and ident >= 2**31
                   else str(ident - 2**32) if ident >= 2**31 else ident)
        params = []
        words = {}
        used_names = set()
        for _ in range(d.below(9)):
            r = d.below(10)
            if r == 0 and "flags" not in words:
                params.append({"name": "flags", "type": "#"})
                words["flags"] = set()
                continue
            if r == 1 and "flags2" not in words:
                params.append({"name": "flags2", "type": "#"})
                words["flags2"] = set()
                continue
            fname = d.choice(NAMES) + "_f"
            while fname in used_names:
                fname += "'"
            used_names.add(fname)
            ftype = gen_type(d, names, allow_object=(i != 0))
            if words and d.chance(1, 2):
                word = d.choice(sorted(words))
                free = [b for b in range(32) if b not in words[word]]
                bit = d.choice(free) if free else 0
                if d.chance(1, 40):
                    bit = d.choice([32, 40, -1, 63])
                words[word].add(bit)
                ftype = f"{word}.{bit}?{gen_type(d, names, allow_object=True)}"
            params.append({"name": fname, "type": ftype})
        key = "method" if d.chance(1, 4) else "predicate"
        entry = {key: name, "id": id_json, "params": params}
        if d.chance(3, 4):
            entry["type"] = "T" + name
        entries.append(entry)
    split = d.below(len(entries) + 1)
    return {"constructors": entries[:split], "methods": entries[split:]}


def gen_type(d, names, allow_object):
    r = d.below(12 if allow_object else 10)
    if r < 6:
        return d.choice(PRIMS)
    if r < 10:
        inner = d.choice(PRIMS[:7] + (names if allow_object else []))
        wrap = "Vector<" * (1 + d.below(2))
        return wrap + inner + ">" * wrap.count("<")
    return d.choice(names)


TEXT_CHARS = "ab\u00e9\u65e5\U0001f600\x00 z"


def gen_value(d, schema, kind, text, depth):
    if kind == tlref.INT:
        r = d.below(6)
        if r == 0:
            return d.choice([-(2**31), 2**31 - 1, -1, 0, 1, True, False])
        return struct.unpack("<i", d.take(4))[0]
    if kind == tlref.LONG:
        if d.chance(1, 3):
            return d.choice([0, 1, 2**63, 2**64 - 1, 2**32])
        return struct.unpack("<Q", d.take(8))[0]
    if kind == tlref.DOUBLE:
        r = d.below(4)
        if r == 0:
            return d.choice([0.0, -0.0, float("inf"), float("-inf"), float("nan"),
                             5e-324, 1.5, 3])
        return struct.unpack("<d", d.take(8))[0]
    if kind == tlref.STRING:
        n = d.choice([0, 1, 3, 4, 7, 63, 84, 253, 254, 300])
        if d.chance(1, 2):
            n = min(n, d.below(8))
        return "".join(d.choice(TEXT_CHARS) for _ in range(n))
    if kind == tlref.BYTES:
        n = d.choice([0, 1, 2, 3, 4, 5, 253, 254, 255, 1000])
        raw = d.take(min(n, 8)) * (n // 8 + 1)
        raw = raw[:n]
        return d.choice([bytes, bytearray, memoryview])(raw)
    if kind == tlref.BOOL:
        return d.choice([True, False, 0, 1, None, "", "x", [], [0], 2.5])
    if kind == tlref.VECTOR:
        etext = tlref.element_text(text)
        ekind = tlref.classify(etext)
        n = 0 if depth > 4 and ekind in (tlref.VECTOR, tlref.OBJECT) else d.below(5)
        items = [gen_value(d, schema, ekind, etext, depth + 1) for _ in range(n)]
        return tuple(items) if d.chance(1, 4) else items
    return gen_object(d, schema, depth + 1)


def gen_object(d, schema, depth, names=None):
    names = names or list(schema.by_name)
    name = names[0] if depth > 4 else d.choice(names)
    c = schema.by_name[name]
    value = {"_": name}
    for f in c.fields:
        if f.role:
            if d.chance(1, 4):
                value[f.name] = d.u32()  # ignored by pack
            continue
        if f.conditional:
            r = d.below(4) if depth <= 4 else 0
            if r == 0:
                continue
            if r == 1:
                value[f.name] = None
                continue
            if f.kind == tlref.BOOL:
                value[f.name] = d.choice([True, True, 1, False])
                continue
        elif f.kind != tlref.OBJECT and d.chance(1, 5):
            continue  # take the default
        value[f.name] = gen_value(d, schema, f.kind, f.text, depth)
    if d.chance(1, 6):
        value["extra key"] = [1, 2]
    return value


def check_schema(data):
    """A generated schema and generated values: pack must give the model's
    bytes, and unpack must give back the model's value; schemas garbled at
    the text level may only fail with documented errors."""
    d = Draw(data)
    if d.below(LARGE_ONE_IN) == LARGE_ONE_IN - 1:
        check_large_schema(d)
        return
    schema_dict = gen_schema(d)
    text = json.dumps(schema_dict)
    if d.chance(1, 8):
        check_garbled_schema(d, text)
        return
    p = TLParser(text)
    schema = tlref.Schema(schema_dict)
    first = (schema_dict["constructors"] + schema_dict["methods"])[0]
    leaf = first.get("predicate", first.get("method"))
    for _ in range(1 + d.below(3)):
        value = gen_object(d, schema, 1, [leaf] + sorted(schema.by_name))
        try:
            want, back = tlref.encode(schema, value)
        except tlref.RefError as e:
            want = e
        try:
            got = p.pack(value)
        except Exception as e:  # noqa: BLE001
            if not pack_error_ok(e):
                raise Finding(f"pack raised undocumented {type(e).__name__}: {e}") from e
            if not isinstance(want, tlref.RefError):
                raise Finding(f"pack refused {value!r}: {type(e).__name__}: {e}") from e
            continue
        if isinstance(want, tlref.RefError):
            raise Finding(f"pack accepted {value!r} that the model refuses ({want})")
        if got != want:
            raise Finding(f"pack of {value!r} gave {got.hex()}, model {want.hex()}")
        unpacked, err = _unpack_checked(p, got)
        if err is not None:
            raise Finding(f"unpack of packed {value!r} failed: {err!r}")
        if back is not None and not tlref.same(unpacked, back):
            raise Finding(f"round trip of {value!r} gave {unpacked!r}, want {back!r}")
        model_back, canonical = tlref.decode(schema, got)
        if not tlref.same(model_back, unpacked) or canonical != got:
            raise Finding(f"model disagrees with itself on {value!r}")


def check_garbled_schema(d, text):
    raw = bytearray(text.encode("utf-8"))
    for _ in range(1 + d.below(4)):
        if not raw:
            break
        i = d.below(len(raw))
        op = d.below(3)
        if op == 0:
            del raw[i:]
        elif op == 1:
            raw[i] = d.choice(b'{}[]",:0-9n.?<>#e')
        else:
            raw[i:i] = d.choice([b'null,', b'"id": 1e999,', b'[', b'"type": 5,',
                                 b'"a.b.c?int"', b'"flags.99999999999?int"'])
    try:
        garbled = raw.decode("utf-8")
    except UnicodeDecodeError:
        return
    standard = d.chance(1, 3)
    try:
        p = TLParser(garbled, standard=standard)
    except Exception as e:  # noqa: BLE001
        if not isinstance(e, COMPILE_ERRORS):
            raise Finding(f"compile raised undocumented {type(e).__name__}: {e}") from e
        return
    if standard:
        _std_unpack_checked(p, d.rest())
    else:
        _unpack_checked(p, d.rest())


# ------------------------------------------------------------ large schemas

# One input in LARGE_ONE_IN of the schema target, by its first byte, is a
# large generated schema (not a zero byte, so inputs from before still
# replay as they did).
LARGE_ONE_IN = 32
# Units (entries, fields, nesting levels or characters) of a large schema:
# 2**k for k up to the shape's cap, small k far likelier than large; the
# caps keep the JSON text within about 1.5 MB.
# Compile time allowed: far above a linear compile's, far below a quadratic
# one's at the larger sizes.
LARGE_SECONDS = 2.0
LARGE_SECONDS_PER_BYTE = 4e-6
# Doubling the units may at most multiply compile time by this (linear
# work doubles it, quadratic work quadruples it), timed from this long on:
# below half a second, caches, a collection or a busy machine can triple a
# time (1.4 MB of JSON once took 0.28 s against 0.09 s for half of it
# under ASan), while a quadratic compile takes seconds at these sizes.
LARGE_RATIO = 3.2
LARGE_RATIO_FROM = 0.5

LARGE_CAPS = {"ctors": 13, "fields": 15, "nested": 17, "words": 14, "names": 15,
              "json_depth": 17, "shared": 14, "type_noise": 14, "dotted": 15}
LARGE_SHAPES = sorted(LARGE_CAPS)


def large_key(d, shape):
    """The input bytes a large schema of this shape is made from."""
    kind = d.below(4)
    extra = d.take(16)
    if shape == "type_noise":
        return kind, extra
    if shape == "names":
        return kind, bytes([extra[0] & 3 == 3])
    return kind, b""


def gen_large(shape, units, key):
    """A large schema (as JSON text) of one shape and size."""
    kind, extra = key
    ctor = lambda name, ident, params, t=None: {  # noqa: E731
        "predicate": name, "id": ident, "type": t or "T" + name, "params": params}
    if shape == "ctors":
        # Many constructors, each naming the previous one's type.
        entries = [ctor("c%d" % i, i + 1, [
            {"name": "a", "type": "int"},
            {"name": "b", "type": ["Tc%d" % (i - 1), "Vector<Tc%d>" % (i - 1),
                                   "%%Tc%d" % (i - 1), "string"][kind] if i else "long"},
        ]) for i in range(units)]
        return json.dumps({"constructors": entries, "methods": []})
    if shape == "fields":
        types = ["int", "Vector<long>", "flags.%d?int", "Tx"][kind]
        params = [{"name": "flags", "type": "#"}] + [
            {"name": "f%d" % i, "type": types % (i % 32) if "%" in types else types}
            for i in range(units)]
        return json.dumps({"constructors": [ctor("a", 1, params), ctor("x", 2, [], "Tx")]})
    if shape == "nested":
        text = [("Vector<" * units) + "int" + (">" * units),
                ("vector<" * units) + "long" + (">" * units),
                ("Vector" * units) + ("<" * units) + "int",
                ("Vector<" * units) + "int"][kind]
        return json.dumps({"constructors": [ctor("a", 1, [{"name": "v", "type": text}])]})
    if shape == "words":
        params = []
        for i in range(units):
            word = ["w%d" % i, "flags", "flags2", "flags"][kind] if kind else "w%d" % i
            params.append({"name": word, "type": "#"})
            params.append({"name": "c%d" % i, "type": "%s.%d?int" % (word, i % 32)})
        return json.dumps({"constructors": [ctor("a", 1, params)]})
    if shape == "names":
        big = ["n" * units, "\u00e9" * units, "a." * units + "b", "N" * units][kind]
        entry = ctor(big, 1, [{"name": big, "type": "int"},
                              {"name": "o", "type": big}], "T" + big)
        if extra[0]:
            entry["id"] = "1" * min(units, 4000)  # int() refuses longer digit strings
        return json.dumps({"constructors": [entry, ctor("b", 2, [], big)]})
    if shape == "json_depth":
        return ["[" * units + "]" * units, '{"constructors": ' + "[" * units,
                '{"constructors": [{"predicate": "a", "id": 1, "params": '
                + "[" * units + "]" * units + "}]}",
                json.dumps({"constructors": [ctor("a", 1, [{"name": "x", "type": "int"}])]})
                [:-1] + ', "x": ' + '{"a": ' * units + "1" + "}" * units + "}"][kind]
    if shape == "shared":
        same = [ctor("a", i % 7, [{"name": "x", "type": "int"}]) if kind == 0 else
                ctor("a%d" % i, 5, [{"name": "x", "type": "Ta%d" % (i + 1)}]) if kind == 1 else
                ctor("a%d" % (i % 3), i, [{"name": "x", "type": "flags.0?true"}])
                for i in range(units)]
        return json.dumps({"constructors": same[: units // 2], "methods": [
            dict(e, method=e.pop("predicate")) for e in same[units // 2:]]})
    if shape == "type_noise":
        alphabet = "Vector<>vector%!#.0123abcTX_ " + "?" * (kind == 0)
        noise = "".join(alphabet[(extra[i % 16] + i * 7 + (i >> 4)) % len(alphabet)]
                        for i in range(units))
        return json.dumps({"constructors": [ctor("a", 1, [{"name": "v", "type": noise}]),
                                            ctor("b", 2, [{"name": noise, "type": "int"}])]})
    if shape == "dotted":
        name = "".join("p%d." % i for i in range(units)) + "x"
        boxed = name[:-1] + "X"
        return json.dumps({"constructors": [
            {"predicate": name, "id": 1, "type": boxed,
             "params": [{"name": "x", "type": "int"}]},
            ctor("u", 2, [{"name": "a", "type": name}, {"name": "b", "type": "%" + boxed},
                          {"name": "c", "type": "Vector<%s>" % [name, boxed][kind % 2]}])]})
    raise AssertionError(shape)


def _compile_seconds(text, standard):
    """(seconds, parser or None)."""
    start = time.perf_counter()
    try:
        p = TLParser(text, standard=standard)
    except Exception as e:  # noqa: BLE001
        if not isinstance(e, COMPILE_ERRORS):
            raise Finding(f"compile raised undocumented {type(e).__name__}: {e}") from e
        p = None
    return time.perf_counter() - start, p


def _best_of(n, text, standard):
    gc.collect()
    was = gc.isenabled()
    gc.disable()
    try:
        return min(_compile_seconds(text, standard)[0] for _ in range(n))
    finally:
        if was:
            gc.enable()


# The large schemas this process has checked. Mutations of a large input
# mostly keep the bytes it is made from, and its compile is the same every
# time, so each is checked once per process; a fresh process (a replay)
# checks it again.
large_done = set()


def check_large_schema(d):
    """A large generated schema compiles, or fails with a documented error,
    in both profiles, in time bounded by its size and growing about
    linearly with it."""
    shape = d.choice(LARGE_SHAPES)
    cap = LARGE_CAPS[shape] + 1
    units = 1 << min(d.below(cap), d.below(cap), d.below(cap))
    key = large_key(d, shape)
    tail = d.take(64)
    if (shape, units, key) in large_done:
        return
    large_done.add((shape, units, key))
    text = gen_large(shape, units, key)
    for standard in (False, True):
        seconds, p = _compile_seconds(text, standard)
        if p is not None:
            # Hostile bytes against what compiled; deep bare chains included.
            (_std_unpack_checked if standard else _unpack_checked)(p, tail)
        bound = LARGE_SECONDS + LARGE_SECONDS_PER_BYTE * len(text)
        if seconds > bound and _best_of(2, text, standard) > bound:
            raise Finding(f"compiling a {len(text)}-byte '{shape}' schema (standard="
                          f"{standard}) took {seconds:.2f} s, bound {bound:.2f} s")
        if seconds >= LARGE_RATIO_FROM and units >= 4:
            half = gen_large(shape, units // 2, key)
            big, small = _best_of(2, text, standard), _best_of(2, half, standard)
            if big > LARGE_RATIO * small:
                big, small = _best_of(3, text, standard), _best_of(3, half, standard)
            if big > LARGE_RATIO * max(small, LARGE_RATIO_FROM / LARGE_RATIO):
                raise Finding(f"compile time of a '{shape}' schema grows faster than its "
                              f"size (standard={standard}): {len(half)} bytes {small:.3f} s, "
                              f"{len(text)} bytes {big:.3f} s")


# ------------------------------------------------------------ target (c)


class IntLike:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v

    def __float__(self):
        if isinstance(self.v, int) and not isinstance(self.v, bool):
            return float(self.v)
        raise Boom("float")

    def __index__(self):
        if isinstance(self.v, int):
            return self.v
        raise Boom("index")


class IntSub(int):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


class Raising:
    """Every conversion raises."""

    def __int__(self):
        raise Boom("int")

    def __float__(self):
        raise Boom("float")

    def __bool__(self):
        raise Boom("bool")

    def __iter__(self):
        raise Boom("iter")

    def __len__(self):
        raise Boom("len")


class Mapping:
    def __init__(self, items):
        self.items = items

    def get(self, key, default=None):
        return self.items.get(key, default)

    def __contains__(self, key):
        return key in self.items

    def __getitem__(self, key):
        return self.items[key]

    def __iter__(self):
        return iter(self.items)


SCALARS = [0, 1, -1, 2**31, -(2**31) - 1, 2**32, 2**63, 2**64 - 1, 2**64, -(2**64),
           10**30, True, False, None, 0.0, -0.0, 3.9, -3.9, float("nan"),
           float("inf"), 1e308, "", "abc", "123", "\ud800", "\u00e9", b"", b"ab",
           bytearray(b"xyz"), memoryview(b"abcd"), memoryview(b"abcdef")[::2],
           memoryview(bytes(range(16))).cast("I"), object(), Raising(), IntLike(7),
           IntLike("x"), IntLike(IntSub(6)), IntLike(2**40), IntSub(5),
           StrSub("s"), [], (), {}, set(), frozenset({1}), range(3), 1j]
JUNK_NAMES = ["", None, 5, b"prim", StrSub("prim"), "nope", "pr\udc80im", "Prim",
              "prim\x00"]


class World:
    """The fixed schema of one profile as the pack target sees it: entry
    names, fields, and a generator of well-typed field values."""

    def __init__(self, standard):
        self.standard = standard
        model = STD if standard else FIXED
        self.model = model
        self.names = [e.get("predicate") or e.get("method") for e in
                      (STD_SCHEMA if standard else FIXED_SCHEMA)["constructors"]
                      + (STD_SCHEMA if standard else FIXED_SCHEMA)["methods"]]

    def fields(self, name):
        c = self.model.by_name.get(name) if isinstance(name, str) else None
        return c.fields if c else []

    def computed(self, f):
        return stdref.is_word(f) if self.standard else bool(f.role)

    def good_value(self, d, f, depth):
        if self.standard:
            return gen_std_value(d, self.model, f.type, depth)
        return gen_value(d, self.model, f.kind, f.text, depth)


WORLDS = {False: World(False), True: World(True)}


def junk(d, depth, world=WORLDS[False]):
    r = d.below(10)
    if depth > 6 or r < 4:
        return d.choice(SCALARS)
    if r < 7:
        return junk_object(d, depth + 1, world)
    n = d.below(5)
    items = [junk(d, depth + 1, world) for _ in range(n)]
    shape = d.below(5)
    if shape == 0:
        return tuple(items)
    if shape == 1:
        return (x for x in items)
    if shape == 2:
        return ListSub(items)
    return items


def junk_object(d, depth, world=WORLDS[False]):
    name = d.choice(world.names) if d.chance(4, 5) else d.choice(JUNK_NAMES)
    value = {} if d.chance(1, 12) else {"_": name}
    for f in world.fields(name):
        r = d.below(4)
        if r == 0:
            continue
        if r == 1 and not world.computed(f):
            value[f.name] = world.good_value(d, f, depth + 3)
        else:
            value[f.name] = junk(d, depth, world)
    if d.chance(1, 5):
        value[d.choice(["zz", 1, None, "_x"])] = junk(d, depth, world)
    shape = d.below(12)
    if shape == 0:
        return DictSub(value)
    if shape == 1:
        return Mapping(value)
    return value


def deep_chain(levels):
    value = {"_": "node", "val": levels}
    for i in range(levels - 1):
        value = {"_": "node", "val": i, "next": value}
    return value


STRICT_ERRORS = (TypeError, ValueError, OverflowError, RuntimeError)


def check_pack(data):
    """Arbitrary values against the fixed schema of either profile, by a
    lenient or a strict parser: pack raises only documented errors (strict
    a narrower set), whatever strict packs the lenient parser packs to the
    same bytes, and whatever pack returns unpacks to the model's value and
    packs back unchanged, strict included.

    The first byte picks profile and strictness; 0 is the default profile,
    lenient, so that inputs saved before the byte existed replay with a zero
    byte in front."""
    d = Draw(data)
    mode = d.below(4)
    standard, strict = mode >= 2, mode % 2 == 1
    world = WORLDS[standard]
    p = parser_of(standard, strict) if standard or strict else fixed_parser()
    if d.below(64) == 63:  # not on zeros: short inputs read zeros
        value = deep_chain(250 + d.below(12))
    else:
        value = junk_object(d, 0, world) if d.chance(7, 8) else junk(d, 0, world)
    try:
        out = p.pack(value)
    except Exception as e:  # noqa: BLE001
        if not pack_error_ok(e):
            raise Finding(f"pack raised undocumented {type(e).__name__}: {e}") from e
        if strict and not isinstance(e, STRICT_ERRORS) and not pending(e):
            raise Finding(f"strict pack raised {type(e).__name__}: {e}") from e
        return
    if strict:
        lenient = parser_of(standard) if standard else fixed_parser()
        try:
            loose = lenient.pack(value)
        except Exception as e:  # noqa: BLE001
            raise Finding(f"strict packed {out.hex()}, lenient raised {e!r}") from e
        if loose != out:
            raise Finding(f"strict packed {out.hex()}, lenient {loose.hex()}")
    check_packed(standard, out)


def check_packed(standard, out):
    """Packed bytes unpack to what the model reads, and the value unpacked
    packs back to the same bytes, leniently and strictly."""
    p = parser_of(standard) if standard else fixed_parser()
    if standard:
        back, err = _std_unpack_checked(p, out)
    else:
        back, err = _unpack_checked(p, out)
    if err is not None:
        raise Finding(f"packed bytes {out.hex()} do not unpack: {err!r}")
    if standard:
        want, canonical, _ = stdref.decode(STD, out)
        again = back
    else:
        want, canonical = tlref.decode(FIXED, out)
        again = tlref.packable(FIXED, back)
    if not tlref.same(back, want) or canonical != out:
        raise Finding(f"pack output {out.hex()} is not what the model reads back")
    if p.pack(again) != out:
        raise Finding(f"re-pack of {back!r} differs from {out.hex()}")
    if parser_of(standard, strict=True).pack(again) != out:
        raise Finding(f"strict re-pack of {back!r} differs from {out.hex()}")




# ------------------------------------------------------------ standard profile


def std_unpack_error_ok(e):
    if unpack_error_ok(e):
        return True
    msg = str(e)
    if type(e) is ValueError:
        return msg.startswith(("Invalid Bool ID: 0x", "Constructor ID 0x"))
    return False


def _std_unpack_checked(parser, data):
    try:
        return parser.unpack(data), None
    except Exception as e:  # noqa: BLE001 - sorted below
        if not std_unpack_error_ok(e):
            raise Finding(f"unpack raised undocumented {type(e).__name__}: {e}") from e
        return None, e


def check_std_unpack(data):
    """Hostile bytes against the fixed schema in the standard profile: as
    check_unpack, against the standard profile's model; what unpack
    returns must also pack back under strict."""
    compare_std_unpack(parser_of(True), parser_of(True, strict=True), STD, data)


def compare_std_unpack(p, strict, schema, data):
    got, err = _std_unpack_checked(p, data)
    try:
        want, canonical, _ = stdref.decode(schema, data)
    except stdref.RefError as e:
        if err is None:
            raise Finding(f"unpack accepted input the model refuses ({e}): {got!r}")
        return
    if err is not None:
        raise Finding(f"unpack refused valid input: {type(err).__name__}: {err}")
    if not stdref.same(got, want):
        raise Finding(f"unpack gave {got!r}, model {want!r}")
    repacked = p.pack(got)
    if repacked != canonical:
        raise Finding(f"re-pack gave {repacked.hex()}, canonical {canonical.hex()}")
    if strict.pack(got) != canonical:
        raise Finding(f"strict re-pack of {got!r} differs")


def _std_int(d, bits):
    r = d.below(4)
    if r == 0:
        return d.choice([0, 1, -1, 2 ** (bits - 1) - 1, -(2 ** (bits - 1))])
    return int.from_bytes(d.take(bits // 8), "little", signed=True)


def gen_std_value(d, schema, typ, depth, clean=False):
    """A well-typed value of a standard-profile type (stdref's form)."""
    d.budget = getattr(d, "budget", STD_BUDGET) - 1
    tag = typ[0]
    if tag == "s":
        k = typ[1]
        if k in stdref.RANGES:
            return _std_int(d, stdref.RANGES[k])
        if k == "#":
            return d.u32()
        if k in ("Bool", "true"):
            return d.chance(1, 2)
        if k in ("double", "string", "bytes"):
            return gen_value(d, None, {"double": tlref.DOUBLE, "string": tlref.STRING,
                                       "bytes": tlref.BYTES}[k], k, depth)
        raise AssertionError(k)
    if tag == "v":
        n = 0 if depth > 5 or d.budget < 0 else d.below(4)
        items = [gen_std_value(d, schema, typ[2], depth + 1, clean) for _ in range(n)]
        return tuple(items) if d.chance(1, 4) else items
    if tag == "bare":
        value = gen_std_object(d, schema, schema.by_name[typ[1]], depth + 1, clean)
        if d.chance(1, 2):
            del value["_"]
        return value
    options = [e for e in schema.entries
               if schema.by_name[e.name] is e and schema.accepts(typ, e)]
    if depth > 5 or d.budget < 0:
        # Close off with entries whose values can end.
        options = [e for e in options if e.name in closable(schema)] or options
    return gen_std_object(d, schema, d.choice(options), depth + 1, clean)


def closable(schema):
    """Names of the entries that have a finite value once conditional
    fields are left out and vectors left empty."""
    if getattr(schema, "closable", None) is None:
        done = set()
        while True:
            grown = False
            for e in schema.entries:
                if e.name in done or schema.by_name[e.name] is not e:
                    continue
                if all(f.word is not None or f.type[0] in ("s", "v")
                       or _closes(schema, f.type, done) for f in e.fields):
                    done.add(e.name)
                    grown = True
            if not grown:
                break
        schema.closable = done
    return schema.closable


def _closes(schema, typ, done):
    if typ[0] == "bare":
        return typ[1] in done
    return any(schema.by_name[n] is not None and schema.accepts(typ, schema.by_name[n])
               for n in done)


# Values generated per top-level value before they are closed off, which
# keeps messages of wide schemas small.
STD_BUDGET = 300


def _open(d, depth):
    return depth <= 6 and getattr(d, "budget", STD_BUDGET) >= 0


def gen_std_object(d, schema, e, depth, clean=False):
    """A value of entry ``e``; a ``clean`` one is what strict takes: no
    flags word given, no plain field left out."""
    value = {"_": e.name}
    shared = {}
    for f in e.fields:
        if stdref.is_word(f):
            if not clean and d.chance(1, 4):
                value[f.name] = d.u32()  # ignored by pack
            continue
        if f.type == ("s", "true"):
            if f.word is not None:
                key = (f.word, f.bit)
                on = shared.get(key, d.chance(1, 2) if _open(d, depth) else False)
                shared[key] = on
                if on or d.chance(1, 2):
                    value[f.name] = on
            elif clean or d.chance(1, 3):
                value[f.name] = True
            continue
        if f.word is not None:
            key = (f.word, f.bit)
            on = shared.get(key, d.chance(1, 2) if _open(d, depth) else False)
            shared[key] = on
            if on:
                value[f.name] = gen_std_value(d, schema, f.type, depth, clean)
            elif d.chance(1, 2):
                value[f.name] = None
            continue
        if not clean and f.type[0] in ("s", "v") and d.chance(1, 6):
            continue  # take the default
        value[f.name] = gen_std_value(d, schema, f.type, depth, clean)
    return value



# ------------------------------------------------------------ generated, standard

STD_SCALARS = ["int", "long", "int128", "int256", "double", "string", "bytes", "Bool"]
STD_WORD_NAMES = ["flags", "flags2", "mask", "w\u00e9", "m"]
RESERVED_IDS = (stdref.VECTOR_ID, stdref.BOOL_TRUE, stdref.BOOL_FALSE)


def gen_std_schema(d):
    """A schema the standard profile accepts, as (json dict, entry levels).

    Entries sit on levels; a plain object field names an entry of a deeper
    level, while conditional fields and vector elements may name any level
    (their values can always end). Bare references need an entry whose
    bytes are never empty, where they can repeat."""
    levels = 1 + d.below(4)
    plan = [(1 + d.below(2), d.below(2)) for _ in range(levels)]
    ids = set()
    entries = []  # (level, json entry), deepest level first
    k = 0
    for level in reversed(range(levels)):
        ctors, methods = plan[level]
        for j in range(ctors + methods):
            is_method = j >= ctors
            ident = d.u32()
            while ident in ids or ident in RESERVED_IDS:
                ident = (ident + 0x9E3779B9) & 0xFFFFFFFF
            ids.add(ident)
            if is_method:
                name = d.choice(["m%d", "m_\u00e9%d", "ns.get%d"]) % k
            else:
                name = d.choice(["c%d", "c_%d", "ns.c%d", "a.b.c%d"]) % k
            entry = {"method" if is_method else "predicate": name,
                     "id": ident if d.chance(1, 2) else str(ident - 2**32 * (ident >> 31)),
                     "type": ("R%d" if is_method else "T%d") % level, "params": []}
            entries.append((level, entry))
            k += 1
    for level, entry in entries:
        entry["params"] = gen_std_fields(d, entries, level)
    ordered = [e for _, e in entries]
    ctors = [e for e in ordered if "predicate" in e]
    methods = [e for e in ordered if "method" in e]
    return {"constructors": ctors, "methods": methods}


def _nonempty(entry):
    """Whether an entry's bare bytes are never empty, as far as its own
    plain scalar fields and words tell."""
    return any(p["type"] in ("int", "long", "int128", "int256", "double", "string",
                             "bytes", "Bool", "#") or p["type"].startswith(("Vector<", "vector<"))
               for p in entry["params"])


def gen_std_type(d, entries, level, plain, depth=0):
    """A type text; ``plain`` types only name deeper levels."""
    r = d.below(10)
    if r < 4:
        return d.choice(STD_SCALARS)
    if r < 6 and depth < 3:
        head = "Vector<" if d.chance(1, 2) else "vector<"
        if d.chance(1, 6):
            return head + "#>"
        return head + gen_std_type(d, entries, level, False, depth + 1) + ">"
    ok = [(lv, e) for lv, e in entries if lv > level or not plain]
    ctors = [(lv, e) for lv, e in ok if "predicate" in e]
    if not ctors:
        return d.choice(STD_SCALARS)
    r = d.below(6)
    if r == 0:
        return "Object"
    if r == 1:
        return "U%d" % d.below(3)  # a type no constructor makes
    lv, e = d.choice(ctors)
    if r == 2:
        return e["type"]
    # Bare: only entries whose bytes are known not to be empty, and only
    # deeper ones, so no bare type can hold itself.
    bare = [(lv, e) for lv, e in ctors if lv > level and _nonempty(e)]
    if not bare:
        return e["type"]
    lv, e = d.choice(bare)
    makers = [x for x_lv, x in entries if "predicate" in x and x["type"] == e["type"]]
    if r == 3 and len(makers) == 1:
        return "%" + e["type"]
    return e["predicate"]


def gen_std_fields(d, entries, level):
    many = d.chance(1, 10)
    words = []
    names = list(STD_WORD_NAMES)
    for _ in range(d.below(40) if many else d.below(4)):
        word = names.pop(d.below(len(names))) if names else "w%d" % len(words)
        words.append(word)
    used = {w: [] for w in words}
    fields = []
    for i in range(d.below(24) if many else d.below(7)):
        name = d.choice(["f%d", "f\u00e9%d", "x_%d"]) % i
        word = d.choice(words) if words and d.chance(1, 2) else None
        if word is None:
            text = gen_std_type(d, entries, level, True) if d.chance(7, 8) else "true"
            fields.append({"name": name, "type": text})
            continue
        if used[word] and d.chance(1, 6):
            bit = d.choice(used[word])  # a shared bit
        else:
            free = [b for b in range(32) if b not in used[word]]
            bit = d.choice(free) if free else 0
        used[word].append(bit)
        text = "true" if d.chance(1, 4) else gen_std_type(d, entries, level, False)
        fields.append({"name": name, "type": "%s.%d?%s" % (word, bit, text)})
    # Each word somewhere before the first field that names it.
    for word in words:
        first = next((i for i, f in enumerate(fields)
                      if f["type"].startswith(word + ".")), len(fields))
        fields.insert(d.below(first + 1), {"name": word, "type": "#"})
    if "flags" not in words and d.chance(1, 4):
        fields.insert(d.below(len(fields) + 1), {"name": "flags", "type": "int"})
    return fields


# Changes that make a schema one the standard profile must refuse, with
# ValueError, at construction.
def _refusals(d, entry):
    params = entry["params"]
    word = next((p["name"] for p in params if p["type"] == "#"), None)
    options = [
        lambda: params.insert(0, {"name": "z", "type": "nowhere.0?int"}),
        lambda: params.insert(0, {"name": "z", "type": "int?int"}),
        lambda: params.insert(0, {"name": "z", "type": "%NoSuchType"}),
        lambda: params.insert(0, {"name": "z", "type": "nosuchctor"}),
        lambda: params.insert(0, {"name": "z", "type": "Vector<true>"}),
        lambda: params.insert(0, {"name": "z", "type": "vector<vector<true>>"}),
    ]
    if word is not None:
        at = next(i for i, p in enumerate(params) if p["name"] == word)
        options += [
            lambda: params.insert(at + 1, {"name": "z", "type": "%s.%d?int" % (
                word, d.choice([32, 33, 64, -1, 2**32]))}),
            lambda: params.insert(at + 1, {"name": "z", "type": "%s.0?#" % word}),
            lambda: params.insert(at, {"name": "z", "type": "%s.1?int" % word}),
        ]
    d.choice(options)()


def check_std_schema(data):
    """A generated standard-profile schema and values: pack (lenient and
    strict) must give the model's bytes, unpack the model's value, and any
    prefix of a message must unpack as the model says; schemas broken by one
    rule are refused with ValueError."""
    d = Draw(data)
    schema_dict = gen_std_schema(d)
    if d.chance(1, 10):
        all_entries = schema_dict["constructors"] + schema_dict["methods"]
        _refusals(d, d.choice(all_entries))
        try:
            TLParser(json.dumps(schema_dict), standard=True)
        except ValueError:
            return
        except Exception as e:  # noqa: BLE001
            raise Finding(f"refused schema raised {type(e).__name__}: {e}") from e
        raise Finding(f"standard profile accepted a schema it must refuse: {schema_dict!r}")
    text = json.dumps(schema_dict)
    schema = stdref.Schema(schema_dict)
    p = TLParser(text, standard=True)
    strict = TLParser(text, standard=True, strict=True)
    entries = [e for e in schema.entries if schema.by_name[e.name] is e]
    for _ in range(1 + d.below(3)):
        clean = d.chance(1, 2)
        d.budget = STD_BUDGET
        value = gen_std_object(d, schema, d.choice(entries), 1, clean)
        try:
            want, back = stdref.encode(schema, value)
        except stdref.RefError as e:
            want = e
        try:
            got = p.pack(value)
        except Exception as e:  # noqa: BLE001
            if not pack_error_ok(e):
                raise Finding(f"pack raised undocumented {type(e).__name__}: {e}") from e
            if not isinstance(want, stdref.RefError):
                raise Finding(f"pack refused {value!r}: {type(e).__name__}: {e}") from e
            continue
        if isinstance(want, stdref.RefError):
            raise Finding(f"pack accepted {value!r} that the model refuses ({want})")
        if got != want:
            raise Finding(f"pack of {value!r} gave {got.hex()}, model {want.hex()}")
        try:
            tight = strict.pack(value)
        except Exception as e:  # noqa: BLE001
            if clean or not isinstance(e, (TypeError, ValueError)):
                raise Finding(f"strict refused {value!r}: {type(e).__name__}: {e}") from e
        else:
            if tight != got:
                raise Finding(f"strict pack of {value!r} gave {tight.hex()}, lenient {got.hex()}")
        unpacked, err = _std_unpack_checked(p, got)
        if err is not None:
            raise Finding(f"unpack of packed {value!r} failed: {err!r}")
        if not stdref.same(unpacked, back):
            raise Finding(f"round trip of {value!r} gave {unpacked!r}, want {back!r}")
        compare_std_unpack(p, strict, schema, got)
        compare_std_unpack(p, strict, schema, got[:d.below(len(got) + 1)])



# ------------------------------------------------------------ streams


def _exact_buffer(kind, raw):
    """``raw`` in a buffer of one kind. The ctypes array's memory ends
    exactly at its last byte, so ASan sees a read even one byte past it."""
    if kind == 0:
        return raw
    if kind == 1:
        return bytearray(raw)
    if kind == 2:
        return memoryview(raw)
    if kind == 3:
        return memoryview(bytearray(raw))
    if kind == 4:
        return array.array("B", raw)
    if kind == 5:
        # Items wider than a byte: offsets and ends still count bytes.
        return memoryview(raw).cast("I") if len(raw) % 4 == 0 else array.array("B", raw)
    return (ctypes.c_char * len(raw)).from_buffer_copy(raw) if raw else bytearray()


def _stream_piece(d, standard, p):
    """(bytes, valid): a packed message, maybe mutated, or raw bytes."""
    r = d.below(8)
    if r == 0:
        return d.take(d.below(24)), False
    if standard:
        value = gen_std_object(d, STD, d.choice(STD.entries), 1)
    else:
        value = gen_object(d, FIXED, 1)
    try:
        msg = p.pack(value)
    except Exception as e:  # noqa: BLE001
        if not pack_error_ok(e):
            raise Finding(f"pack raised undocumented {type(e).__name__}: {e}") from e
        msg = p.pack({"_": "empty"})
    if r < 5:
        return msg, True
    raw = bytearray(msg)
    for _ in range(1 + d.below(3)):
        op = d.below(4)
        i = d.below(len(raw) + 1)
        if op == 0:
            del raw[i:]
        elif op == 1 and raw:
            raw[min(i, len(raw) - 1)] ^= 1 << d.below(8)
        elif op == 2:
            raw[i:i] = d.take(d.below(9))
        elif raw:
            raw[i & ~3:(i & ~3) + 4] = d.take(4)
    return bytes(raw), bytes(raw) == msg


def _model_stream(standard, buf, offset):
    """What the model reads back to back from ``offset``: [(value, end)],
    and whether it stopped at input it refuses."""
    out = []
    pos = offset
    while pos < len(buf):
        try:
            if standard:
                value, _, end = stdref.decode(STD, buf, pos)
            else:
                value, _, end = tlref.decode_from(FIXED, buf, pos)
        except (stdref.RefError, tlref.RefError):
            return out, True
        out.append((value, end))
        pos = end
    return out, False


def _same_error(a, b):
    return type(a) is type(b) and str(a) == str(b)


def check_stream(data):
    """Messages back to back, some valid, some mutated, some raw bytes,
    after a few junk bytes, in a buffer of some kind: iter_unpack from an
    offset must yield what the model reads there, one by one, and then end
    or raise a documented error where the model stops; unpack_from's ends
    chain through the same objects and raise the same error at the same
    place; each valid piece at its own start unpacks to what unpack gives;
    pack_into appending the valid pieces builds the same bytes."""
    d = Draw(data)
    standard = d.chance(1, 2)
    p = parser_of(standard)
    error_ok = std_unpack_error_ok if standard else unpack_error_ok
    lead = d.take(d.below(8))
    pieces = [_stream_piece(d, standard, p) for _ in range(d.below(6))]
    raw = lead + b"".join(piece for piece, _ in pieces)
    offset = len(lead)
    if d.chance(1, 4):
        offset = d.below(len(raw) + 5) - 2
    buf = _exact_buffer(d.below(7), raw)

    # Out of range: both refuse with ValueError, before reading anything.
    if not 0 <= offset <= len(raw):
        for call in (lambda: list(p.iter_unpack(buf, offset)),
                     lambda: p.unpack_from(buf, offset)):
            try:
                call()
            except ValueError as e:
                if "out of range" not in str(e):
                    raise Finding(f"offset {offset}: {e!r}") from e
                continue
            raise Finding(f"offset {offset} of {len(raw)} bytes was read")
        return

    want, stops = _model_stream(standard, raw, offset)
    got = []
    err = None
    it = p.iter_unpack(buf, offset)
    resize_at = d.below(4)
    while True:
        if len(got) == resize_at and isinstance(buf, bytearray):
            try:
                buf.append(0)
            except BufferError:
                pass
            else:
                raise Finding("a bytearray grew under a live iter_unpack")
        try:
            got.append(next(it))
        except StopIteration:
            break
        except Exception as e:  # noqa: BLE001
            if not error_ok(e):
                raise Finding(f"iter_unpack raised undocumented {type(e).__name__}: {e}") from e
            err = e
            break
        if len(got) > len(want):
            raise Finding(f"iter_unpack yielded {got[-1]!r} past the model's {len(want)}")
    if err is not None:
        try:
            extra = next(it)
        except StopIteration:
            pass
        else:
            raise Finding(f"iter_unpack went on after {err!r} with {extra!r}")
    if len(got) != len(want) or (err is not None) != stops:
        raise Finding(f"iter_unpack gave {len(got)} objects, then {err!r}; the model "
                      f"{len(want)}, then {'an error' if stops else 'the end'}")
    pos = offset
    for obj, (value, end) in zip(got, want):
        if not tlref.same(obj, value):
            raise Finding(f"iter_unpack at {pos} gave {obj!r}, model {value!r}")
        back, stop = p.unpack_from(buf, pos)
        if stop != end or not tlref.same(back, value):
            raise Finding(f"unpack_from({pos}) gave {back!r} ending at {stop}, model "
                          f"ending at {end}")
        piece = raw[pos:end]
        if not tlref.same(_std_unpack_checked(p, piece)[0] if standard else
                          _unpack_checked(p, piece)[0], value):
            raise Finding(f"unpack of bytes {pos}:{end} differs from iter_unpack's object")
        pos = end
    if stops:
        try:
            p.unpack_from(buf, pos)
        except Exception as e:  # noqa: BLE001
            if not _same_error(e, err):
                raise Finding(f"unpack_from({pos}) raised {e!r}, iter_unpack {err!r}") from e
        else:
            raise Finding(f"unpack_from({pos}) read what iter_unpack refused: {err!r}")

    # The valid pieces from the lead on, each at its own start.
    if offset == len(lead):
        start = offset
        for k, (piece, valid) in enumerate(pieces):
            if not valid:
                break
            if k >= len(got) or want[k][1] != start + len(piece):
                raise Finding(f"piece {k} at {start} ({piece.hex()}) did not end at its end")
            direct = p.unpack(piece)
            if not tlref.same(direct, got[k]):
                raise Finding(f"piece {k}: unpack gave {direct!r}, iter_unpack {got[k]!r}")
            start += len(piece)
        frame = bytearray(lead)
        for piece, valid in pieces:
            if valid:
                value = p.unpack(piece)
                p.pack_into(value if standard else tlref.packable(FIXED, value), frame, -1)
        if bytes(frame) != lead + b"".join(piece for piece, valid in pieces if valid):
            raise Finding(f"pack_into appending gave {bytes(frame).hex()}")


CHECKS = {"unpack": check_unpack, "schema": check_schema, "pack": check_pack,
          "std_unpack": check_std_unpack, "std_schema": check_std_schema,
          "stream": check_stream}
