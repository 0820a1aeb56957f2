"""A slow Python model of the standard TL wire profile, the fuzzers' oracle
for parsers made with ``standard=True``. Written from the profile's rules
with ``struct``, without the extension.

Rules modelled: signed int/long/int128/int256, ``#`` as unsigned 32-bit,
boxed Bool words, ``true`` taking no bytes, every ``#`` field a flags word
that conditions ``NAME.N?T`` name, boxed ``Vector<T>`` and bare
``vector<T>`` with elements of their full type, boxed objects checked
against their field's result type, bare objects (``%T``, lowercase names,
dotted names whose last part is lowercase), ``Object`` and ``!X`` taking
any entry, methods included. Only schemas the profile accepts are modelled
(the generators make no others); ``decode`` raises ``RefError`` for every
input the codec must refuse, without modelling which exception it picks.
"""

import struct

VECTOR_ID = 0x1CB5C415
BOOL_TRUE = 0x997275B5
BOOL_FALSE = 0xBC799737
MAX_DEPTH = 256

SCALAR_SIZES = {"int": 4, "long": 8, "int128": 16, "int256": 32, "double": 8, "#": 4}
RANGES = {"int": 32, "long": 64, "int128": 128, "int256": 256}


class RefError(Exception):
    """The model refuses this input or value."""


# ---------------------------------------------------------------- types
# A type is a tuple:
#   ("s", name)        int long int128 int256 double string bytes Bool # true
#   ("v", boxed, elem)
#   ("bare", ctor name)
#   ("boxed", type name)   only constructors of that type, or any if none
#   ("any",)               Object and !X: constructors and methods


def _bare_name(name):
    last = name.rsplit(".", 1)[-1]
    return last[:1].islower()


def parse_type(text, schema):
    if text in ("int", "long", "int128", "int256", "double", "string", "bytes",
                "Bool", "true", "#"):
        return ("s", text)
    for head, boxed in (("Vector<", True), ("vector<", False)):
        if text.startswith(head) and text.endswith(">"):
            return ("v", boxed, parse_type(text[len(head):-1], schema))
    if text in ("Object",) or text.startswith("!"):
        return ("any",)
    if text.startswith("%"):
        makers = schema.makers.get(text[1:], [])
        if len(makers) != 1:
            raise RefError("ambiguous or empty %T")
        return ("bare", makers[0].name)
    if _bare_name(text):
        if text not in schema.by_name or schema.by_name[text].is_method:
            raise RefError("lowercase type naming no constructor")
        return ("bare", text)
    return ("boxed", text)


class Field:
    def __init__(self, name, text):
        self.name = name
        self.text = text
        self.word = None
        self.bit = 0
        spec, sep, rest = text.partition("?")
        if sep:
            word, _, bit = spec.partition(".")
            self.word = word
            self.bit = int(bit)
            text = rest
        self.type_text = text
        self.type = None


class Entry:
    def __init__(self, raw, is_method):
        self.name = raw.get("predicate", raw.get("method", raw.get("type", "")))
        self.id = int(raw.get("id", 0)) & 0xFFFFFFFF
        self.result = raw.get("type", self.name)
        self.is_method = is_method
        self.fields = [Field(p["name"], p["type"]) for p in raw.get("params", [])]


class Schema:
    def __init__(self, schema_dict):
        self.entries = [Entry(e, False) for e in schema_dict.get("constructors", [])]
        self.entries += [Entry(e, True) for e in schema_dict.get("methods", [])]
        self.by_id = {}
        self.by_name = {}
        for e in self.entries:
            self.by_id[e.id] = e
            self.by_name[e.name] = e
        self.makers = {}
        for e in self.entries:
            if not e.is_method and self.by_name[e.name] is e:
                self.makers.setdefault(e.result, []).append(e)
        for e in self.entries:
            words = set()
            for f in e.fields:
                f.type = parse_type(f.type_text, self)
                if f.word is not None:
                    if f.word not in words or not 0 <= f.bit <= 31:
                        raise RefError("bad condition")
                    if f.type == ("s", "#"):
                        raise RefError("conditional word")
                elif f.type == ("s", "#"):
                    words.add(f.name)

    def accepts(self, typ, entry):
        """Whether a boxed value of ``entry`` may stand where ``typ`` is."""
        if typ[0] == "any":
            return True
        if entry.is_method:
            return False  # only Object and !X take methods
        return not self.makers.get(typ[1]) or entry.result == typ[1]


def is_word(f):
    return f.word is None and f.type == ("s", "#")


def is_flag(f):
    return f.word is not None and f.type == ("s", "true")


# ---------------------------------------------------------------- encoding


def _text_bytes(raw):
    n = len(raw)
    if n > 0xFFFFFF:
        raise RefError("too long")
    head = bytes([n]) if n <= 253 else b"\xfe" + n.to_bytes(3, "little")
    out = head + raw
    return out + b"\x00" * (-len(out) % 4)


DEFAULTS = {"int": 0, "long": 0, "int128": 0, "int256": 0, "double": 0.0,
            "string": "", "bytes": b"", "Bool": False}


def encode(schema, value):
    """(wire bytes, the value unpack must give back) for a well-typed value.

    Values: ints in range (bool counts as int), floats or ints for double,
    str, bytes-likes, bools for Bool, lists/tuples for vectors, dicts for
    objects. Raises RefError where pack must refuse.
    """
    out = []
    back = _enc_object(schema, value, None, out, 1)
    return b"".join(out), back


def _enc_object(schema, value, typ, out, depth):
    if depth > MAX_DEPTH:
        raise RefError("too deep")
    if not isinstance(value, dict):
        raise RefError("not a dict")
    if typ is not None and typ[0] == "bare":
        e = schema.by_name[typ[1]]
        if "_" in value and value["_"] != e.name:
            raise RefError("bare object of another constructor")
    else:
        e = schema.by_name.get(value.get("_"))
        if e is None:
            raise RefError("unknown constructor")
        if typ is not None and not schema.accepts(typ, e):
            raise RefError("constructor of another type")
        out.append(struct.pack("<I", e.id))
    words = {f.name: 0 for f in e.fields if is_word(f)}
    said = {}  # (word, bit) -> whether a field set it
    for f in e.fields:
        if f.word is None:
            continue
        v = value.get(f.name)
        present = v is True if is_flag(f) else v is not None
        key = (f.word, f.bit)
        if key in said and said[key] != present:
            raise RefError("fields sharing a bit disagree")
        said[key] = present
        if present:
            words[f.word] |= 1 << f.bit
    back = {"_": e.name}
    for f in e.fields:
        if is_word(f):
            out.append(struct.pack("<I", words[f.name]))
            continue
        if f.type == ("s", "true"):
            back[f.name] = is_flag(f) and value.get(f.name) is True or f.word is None
            continue
        if f.word is not None:
            v = value.get(f.name)
            if v is None:
                back[f.name] = None
                continue
        elif f.name in value:
            v = value[f.name]
        elif f.type[0] == "s":
            v = DEFAULTS[f.type[1]]
        elif f.type[0] == "v":
            v = []
        else:
            raise RefError("missing object field")
        back[f.name] = _enc_value(schema, v, f.type, out, depth)
    return back


def _enc_value(schema, v, typ, out, depth):
    tag = typ[0]
    if tag == "s":
        k = typ[1]
        if k in RANGES:
            n = int(v)
            bits = RANGES[k]
            if not -(2 ** (bits - 1)) <= n < 2 ** (bits - 1):
                raise RefError("range")
            out.append(n.to_bytes(bits // 8, "little", signed=True))
            return n
        if k == "#":
            n = int(v)
            if not 0 <= n < 2**32:
                raise RefError("range")
            out.append(struct.pack("<I", n))
            return n
        if k == "double":
            x = float(v)
            out.append(struct.pack("<d", x))
            return x
        if k == "string":
            out.append(_text_bytes(v.encode("utf-8")))
            return v
        if k == "bytes":
            raw = bytes(v)
            out.append(_text_bytes(raw))
            return raw
        if k == "Bool":
            out.append(struct.pack("<I", BOOL_TRUE if v else BOOL_FALSE))
            return bool(v)
        raise AssertionError(k)
    if tag == "v":
        if depth + 1 > MAX_DEPTH:
            raise RefError("too deep")
        items = list(v)
        if typ[1]:
            out.append(struct.pack("<I", VECTOR_ID))
        out.append(struct.pack("<i", len(items)))
        return [_enc_value(schema, x, typ[2], out, depth + 1) for x in items]
    return _enc_object(schema, v, typ, out, depth + 1)


# ---------------------------------------------------------------- decoding


class _Reader:
    def __init__(self, data, pos=0):
        self.data = data
        self.pos = pos
        self.base = pos  # padding counts from the object's start

    def take(self, n):
        if self.pos + n > len(self.data):
            raise RefError("short")
        chunk = bytes(self.data[self.pos:self.pos + n])
        self.pos += n
        return chunk

    def u32(self):
        return struct.unpack("<I", self.take(4))[0]

    def raw(self):
        first = self.take(1)[0]
        n = int.from_bytes(self.take(3), "little") if first == 254 else first
        payload = self.take(n)
        # Padding is skipped unread, and may run past the end of the input.
        self.pos += -(self.pos - self.base) % 4
        return payload


def decode(schema, data, pos=0):
    """(value, canonical bytes, end) for input the codec must accept from
    ``pos``: the canonical bytes are what packing the value must give
    (unused flag bits dropped, byte strings in their shortest form with
    zero padding); end is just past the object, its padding included as far
    as the input goes."""
    r = _Reader(data, pos)
    out = []
    value = _dec_object(schema, r, None, out, 1)
    return value, b"".join(out), min(r.pos, len(data))


def _dec_object(schema, r, typ, out, depth):
    if depth > MAX_DEPTH:
        raise RefError("too deep")
    if typ is not None and typ[0] == "bare":
        e = schema.by_name[typ[1]]
    else:
        e = schema.by_id.get(r.u32())
        if e is None:
            raise RefError("unknown id")
        if typ is not None and not schema.accepts(typ, e):
            raise RefError("constructor of another type")
        out.append(struct.pack("<I", e.id))
    words = {}
    used = {}
    for f in e.fields:
        if f.word is not None:
            used[f.word] = used.get(f.word, 0) | 1 << f.bit
    slots = []
    value = {"_": e.name}
    for f in e.fields:
        if is_word(f):
            words[f.name] = r.u32()
            slots.append((len(out), f.name))
            out.append(None)
            continue
        if f.word is not None:
            present = bool(words[f.word] >> f.bit & 1)
            if f.type == ("s", "true"):
                value[f.name] = present
                continue
            if not present:
                value[f.name] = None
                continue
        elif f.type == ("s", "true"):
            value[f.name] = True
            continue
        value[f.name] = _dec_value(schema, r, f.type, out, depth)
    for slot, name in slots:
        out[slot] = struct.pack("<I", words[name] & used.get(name, 0))
    return value


def _dec_value(schema, r, typ, out, depth):
    tag = typ[0]
    if tag == "s":
        k = typ[1]
        if k in RANGES:
            raw = r.take(RANGES[k] // 8)
            out.append(raw)
            return int.from_bytes(raw, "little", signed=True)
        if k == "#":
            raw = r.take(4)
            out.append(raw)
            return struct.unpack("<I", raw)[0]
        if k == "double":
            raw = r.take(8)
            out.append(raw)
            return struct.unpack("<d", raw)[0]
        if k in ("string", "bytes"):
            raw = r.raw()
            out.append(_text_bytes(raw))
            if k == "bytes":
                return raw
            try:
                return raw.decode("utf-8")
            except UnicodeDecodeError:
                raise RefError("utf-8") from None
        if k == "Bool":
            word = r.u32()
            if word not in (BOOL_TRUE, BOOL_FALSE):
                raise RefError("bool word")
            out.append(struct.pack("<I", word))
            return word == BOOL_TRUE
        raise AssertionError(k)
    if tag == "v":
        if depth + 1 > MAX_DEPTH:
            raise RefError("too deep")
        if typ[1]:
            if r.u32() != VECTOR_ID:
                raise RefError("vector id")
            out.append(struct.pack("<I", VECTOR_ID))
        count = struct.unpack("<i", r.take(4))[0]
        if count < 0:
            raise RefError("negative count")
        out.append(struct.pack("<i", count))
        return [_dec_value(schema, r, typ[2], out, depth + 1) for _ in range(count)]
    return _dec_object(schema, r, typ, out, depth + 1)


def same(a, b):
    """Equality that also tells float bit patterns and exact types apart."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b
