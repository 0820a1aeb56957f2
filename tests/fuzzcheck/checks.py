"""What each fuzz target checks, as plain functions of the input bytes.

The atheris scripts in fuzz/ and tests/test_fuzz_regressions.py both
call these, so a saved crashing input replays through exactly the same check
without atheris installed. Inputs are turned into schemas and values by
``Draw``, a small deterministic reader of the fuzzer's bytes (atheris'
FuzzedDataProvider is not used, so replay does not depend on its version).

A check raises ``Finding`` for a disagreement with the model in tlref.py and
lets any exception of an undocumented type escape; both end a fuzz run.
"""

import json
import struct
import sys

from Mivex.tl import TLParser

from . import tlref

# The model recurses about three Python frames per nesting level.
sys.setrecursionlimit(max(sys.getrecursionlimit(), 10000))


class Finding(AssertionError):
    pass


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
                  RecursionError, json.JSONDecodeError, UnicodeEncodeError)


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
    try:
        p = TLParser(garbled)
    except Exception as e:  # noqa: BLE001
        if not isinstance(e, COMPILE_ERRORS):
            raise Finding(f"compile raised undocumented {type(e).__name__}: {e}") from e
        return
    _unpack_checked(p, d.rest())


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
NAMES_C = [n.get("predicate") or n.get("method") for n in
           FIXED_SCHEMA["constructors"] + FIXED_SCHEMA["methods"]]
JUNK_NAMES = ["", None, 5, b"prim", StrSub("prim"), "nope", "pr\udc80im", "Prim",
              "prim\x00"]


def junk(d, depth):
    r = d.below(10)
    if depth > 6 or r < 4:
        return d.choice(SCALARS)
    if r < 7:
        return junk_object(d, depth + 1)
    n = d.below(5)
    items = [junk(d, depth + 1) for _ in range(n)]
    shape = d.below(5)
    if shape == 0:
        return tuple(items)
    if shape == 1:
        return (x for x in items)
    if shape == 2:
        return ListSub(items)
    return items


def junk_object(d, depth):
    name = d.choice(NAMES_C) if d.chance(4, 5) else d.choice(JUNK_NAMES)
    value = {} if d.chance(1, 12) else {"_": name}
    c = FIXED.by_name.get(name) if isinstance(name, str) else None
    fields = c.fields if c else []
    for f in fields:
        r = d.below(4)
        if r == 0:
            continue
        if r == 1 and not f.role:
            value[f.name] = gen_value(d, FIXED, f.kind, f.text, depth + 3)
        else:
            value[f.name] = junk(d, depth)
    if d.chance(1, 5):
        value[d.choice(["zz", 1, None, "_x"])] = junk(d, depth)
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


def check_pack(data):
    """Arbitrary values against the fixed schema: pack raises only documented
    errors, and whatever it returns unpacks and re-packs to the same bytes."""
    d = Draw(data)
    p = fixed_parser()
    if d.chance(1, 16):
        value = deep_chain(250 + d.below(12))
    else:
        value = junk_object(d, 0) if d.chance(7, 8) else junk(d, 0)
    try:
        out = p.pack(value)
    except Exception as e:  # noqa: BLE001
        if not pack_error_ok(e):
            raise Finding(f"pack raised undocumented {type(e).__name__}: {e}") from e
        return
    back, err = _unpack_checked(p, out)
    if err is not None:
        raise Finding(f"packed bytes {out.hex()} do not unpack: {err!r}")
    want, canonical = tlref.decode(FIXED, out)
    if not tlref.same(back, want) or canonical != out:
        raise Finding(f"pack output {out.hex()} is not what the model reads back")
    if p.pack(tlref.packable(FIXED, back)) != out:
        raise Finding(f"re-pack of {back!r} differs from {out.hex()}")


CHECKS = {"unpack": check_unpack, "schema": check_schema, "pack": check_pack}
