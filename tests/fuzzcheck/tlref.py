"""A slow, obviously-correct Python model of the codec, used as the fuzzers'
oracle: it encodes well-typed values and strictly decodes wire bytes for any
schema given as the parsed JSON form TLParser takes.

Only the success paths are modelled in detail. ``decode`` raises ``RefError``
for any input the codec must refuse (short data, unknown ids, bad vector ids,
invalid UTF-8, nesting deeper than the codec's bound, flag bits outside
0-31); which exception the codec picks for such input is not modelled.
"""

import struct

VECTOR_ID = 0x1CB5C415
MAX_DEPTH = 256

INT, LONG, DOUBLE, STRING, BYTES, BOOL, VECTOR, OBJECT = range(8)


class RefError(Exception):
    """The model refuses this input or value."""


def classify(type_text):
    clean = type_text.split("?")[1] if "?" in type_text else type_text
    if clean in ("int", "#"):
        return INT
    if clean == "long":
        return LONG
    if clean == "double":
        return DOUBLE
    if clean == "string":
        return STRING
    if clean in ("bytes", "byte"):
        return BYTES
    if clean in ("Bool", "true"):
        return BOOL
    if clean.startswith("Vector"):
        return VECTOR
    return OBJECT


def element_text(type_text):
    return type_text.replace("Vector<", "").replace(">", "")


class Field:
    def __init__(self, name, type_text):
        self.name = name
        self.text = type_text
        self.kind = classify(type_text)
        self.conditional = "?" in type_text
        self.bit = 0
        self.word = 0
        spec = type_text.split("?")[0]
        if self.conditional and "." in spec:
            flags_name, bit = spec.split(".")
            self.bit = int(bit)
            self.word = 1 if flags_name == "flags2" else 0
        self.role = name if name in ("flags", "flags2") else None


class Ctor:
    def __init__(self, entry):
        name = entry.get("predicate", entry.get("method", entry.get("type", "")))
        self.name = name
        ident = int(entry.get("id", 0))
        self.id = ident & 0xFFFFFFFF
        self.fields = [Field(p["name"], p["type"]) for p in entry.get("params", [])]
        self.bad_bit = any(f.conditional and not 0 <= f.bit <= 31 for f in self.fields)


class Schema:
    """Lookup tables of a schema; later entries own shared ids and names."""

    def __init__(self, schema_dict):
        entries = list(schema_dict.get("constructors", [])) + list(
            schema_dict.get("methods", []))
        self.by_id = {}
        self.by_name = {}
        for entry in entries:
            c = Ctor(entry)
            self.by_id[c.id] = c
            self.by_name[c.name] = c


# ---------------------------------------------------------------- encoding


def _text_bytes(raw):
    n = len(raw)
    if n > 0xFFFFFF:
        raise RefError("too long")
    head = bytes([n]) if n <= 253 else b"\xfe" + n.to_bytes(3, "little")
    out = head + raw
    return out + b"\x00" * (-len(out) % 4)


class _Out(list):
    # False once the reader would not see what the writer wrote.
    defined = True


def encode(schema, value):
    """(wire bytes, the value unpack must give back) for a well-typed value.

    Values follow the codec's value model: ints in range, floats, str,
    bytes-likes, anything for Bool, lists/tuples, dicts with "_". The value
    given back is None when reading would not mirror writing: a conditional
    field written before its flags word, or a shared bit set by one field
    while another has no value.
    """
    out = _Out()
    back = _enc_object(schema, value, out, 1)
    return b"".join(out), back if out.defined else None


def _enc_object(schema, value, out, depth):
    if depth > MAX_DEPTH:
        raise RefError("too deep")
    c = schema.by_name.get(value.get("_"))
    if c is None:
        raise RefError("unknown constructor")
    if c.bad_bit:
        raise RefError("bad flag bit")
    words = [0, 0]
    for f in c.fields:
        if f.role or not f.conditional or f.name not in value:
            continue
        v = value[f.name]
        if (v is True) if f.kind == BOOL else (v is not None):
            words[f.word] |= 1 << f.bit
    out.append(struct.pack("<I", c.id))
    back = {"_": c.name}
    seen = [0, 0]  # the words as the reader knows them at each field
    for f in c.fields:
        if f.role:
            second = f.role == "flags2"
            seen[second] = words[second]
            out.append(struct.pack("<I", words[second]))
            continue
        if f.conditional:
            written = bool(words[f.word] >> f.bit & 1)
            read = bool(seen[f.word] >> f.bit & 1)
            if f.kind == BOOL:
                back[f.name] = read
                continue
            if not written or value.get(f.name) is None:
                if read:
                    out.defined = False
                back[f.name] = None
                continue
            if not read:
                out.defined = False
            v = value[f.name]
        elif f.name in value:
            v = value[f.name]
        else:
            v = _default(f.kind)
        back[f.name] = _enc_value(schema, v, f.kind, f.text, out, depth)
    return back


def _default(kind):
    if kind == OBJECT:
        raise RefError("object field cannot default")
    return {INT: 0, LONG: 0, DOUBLE: 0.0, STRING: "", BYTES: b"", BOOL: False,
            VECTOR: []}[kind]


def _enc_value(schema, v, kind, text, out, depth):
    if kind == INT:
        n = int(v)
        if not -(2**31) <= n < 2**31:
            raise RefError("int32 range")
        out.append(struct.pack("<I", n & 0xFFFFFFFF))
        return n & 0xFFFFFFFF
    if kind == LONG:
        n = int(v)
        if not 0 <= n < 2**64:
            raise RefError("uint64 range")
        out.append(struct.pack("<Q", n))
        return n
    if kind == DOUBLE:
        x = float(v)
        out.append(struct.pack("<d", x))
        return x
    if kind == STRING:
        out.append(_text_bytes(v.encode("utf-8")))
        return v
    if kind == BYTES:
        raw = bytes(v)
        out.append(_text_bytes(raw))
        return raw
    if kind == BOOL:
        out.append(struct.pack("<I", 1 if v else 0))
        return bool(v)
    if kind == VECTOR:
        if depth + 1 > MAX_DEPTH:
            raise RefError("too deep")
        items = list(v)
        etext = element_text(text)
        ekind = classify(etext)
        out.append(struct.pack("<Ii", VECTOR_ID, len(items)))
        return [_enc_value(schema, x, ekind, etext, out, depth + 1) for x in items]
    return _enc_object(schema, v, out, depth + 1)


# ---------------------------------------------------------------- decoding


class _Reader:
    def __init__(self, data, pos=0):
        self.data = data
        self.pos = pos
        self.base = pos  # padding counts from the object's start
        self.canonical = True

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


def decode(schema, data):
    """(value, canonical bytes) for input the codec must accept.

    The canonical bytes are what packing the value (with 32-bit ints shown
    signed, see ``packable``) must produce: unused flag bits dropped, Bool
    words as 0/1, byte strings in their shortest form with zero padding.
    They are None when an object's name belongs to a later entry, since
    packing then writes that entry instead.
    """
    value, canonical, _ = decode_from(schema, data)
    return value, canonical


def decode_from(schema, data, pos=0):
    """``decode`` of the object at ``pos``, and the end: just past the
    object, its padding included as far as the input goes."""
    r = _Reader(data, pos)
    out = []
    value = _dec_object(schema, r, out, 1)
    return value, b"".join(out) if r.canonical else None, min(r.pos, len(data))


def _dec_object(schema, r, out, depth):
    if depth > MAX_DEPTH:
        raise RefError("too deep")
    c = schema.by_id.get(r.u32())
    if c is None:
        raise RefError("unknown id")
    if c.bad_bit:
        raise RefError("bad flag bit")
    if schema.by_name[c.name] is not c:
        # Re-packing looks the name up and finds another entry.
        r.canonical = False
    out.append(struct.pack("<I", c.id))
    words = [0, 0]
    value = {"_": c.name}
    flag_slots = []
    used = [0, 0]
    for f in c.fields:
        if f.conditional and not f.role:
            used[f.word] |= 1 << f.bit
    for f in c.fields:
        if f.role:
            words[f.role == "flags2"] = r.u32()
            flag_slots.append((len(out), f.role == "flags2"))
            out.append(None)
            continue
        if f.conditional:
            present = bool(words[f.word] >> f.bit & 1)
            if f.kind == BOOL:
                value[f.name] = present
                continue
            if not present:
                value[f.name] = None
                continue
        value[f.name] = _dec_value(schema, r, f.kind, f.text, out, depth)
    for slot, second in flag_slots:
        out[slot] = struct.pack("<I", words[second] & used[second])
    return value


def _dec_value(schema, r, kind, text, out, depth):
    if kind == INT:
        n = r.u32()
        out.append(struct.pack("<I", n))
        return n
    if kind == LONG:
        raw = r.take(8)
        out.append(raw)
        return struct.unpack("<Q", raw)[0]
    if kind == DOUBLE:
        raw = r.take(8)
        out.append(raw)
        return struct.unpack("<d", raw)[0]
    if kind == STRING:
        raw = r.raw()
        try:
            text_value = raw.decode("utf-8")
        except UnicodeDecodeError:
            raise RefError("utf-8") from None
        out.append(_text_bytes(raw))
        return text_value
    if kind == BYTES:
        raw = r.raw()
        out.append(_text_bytes(raw))
        return raw
    if kind == BOOL:
        b = r.u32() != 0
        out.append(struct.pack("<I", int(b)))
        return b
    if kind == VECTOR:
        if depth + 1 > MAX_DEPTH:
            raise RefError("too deep")
        if r.u32() != VECTOR_ID:
            raise RefError("vector id")
        count = struct.unpack("<i", r.take(4))[0]
        if count < 0:
            raise RefError("negative count")
        etext = element_text(text)
        ekind = classify(etext)
        out.append(struct.pack("<Ii", VECTOR_ID, count))
        return [_dec_value(schema, r, ekind, etext, out, depth + 1)
                for _ in range(count)]
    return _dec_object(schema, r, out, depth + 1)


# ---------------------------------------------------------------- helpers


def packable(schema, value):
    """An unpacked value made fit for pack: 32-bit ints back to signed."""
    c = schema.by_name[value["_"]]
    fixed = dict(value)
    for f in c.fields:
        if f.role or f.name not in fixed or fixed[f.name] is None:
            continue
        if f.conditional and f.kind == BOOL:
            continue
        fixed[f.name] = _packable_value(schema, fixed[f.name], f.kind, f.text)
    return fixed


def _packable_value(schema, v, kind, text):
    if kind == INT:
        return v - 2**32 if v >= 2**31 else v
    if kind == VECTOR:
        etext = element_text(text)
        ekind = classify(etext)
        return [_packable_value(schema, x, ekind, etext) for x in v]
    if kind == OBJECT:
        return packable(schema, v)
    return v


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
