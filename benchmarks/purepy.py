"""A pure-Python TL codec written with ``struct``: the baseline a user without
Mivex would write.

It is schema-driven: the JSON schema is compiled once into per-constructor
field lists, and ``pack``/``unpack`` walk those lists.  It follows the same
wire format and value model as ``Mivex.tl.TLParser`` (unsigned integers on
reading, ``None`` for absent conditional fields, ``flags`` words computed on
packing), so its bytes and results can be compared with Mivex's directly.
It is straightforward rather than heroic: precompiled ``struct.Struct``
objects, ``unpack_from`` with an offset, one ``bytearray`` for the output.
"""

from __future__ import annotations

import json
import struct

VECTOR_ID = 0x1CB5C415

_I32 = struct.Struct("<i")
_U32 = struct.Struct("<I")
_U64 = struct.Struct("<Q")
_F64 = struct.Struct("<d")
_U32x2 = struct.Struct("<II")

_KINDS = {
    "int": "int", "#": "int", "long": "long", "double": "double",
    "string": "string", "bytes": "bytes", "byte": "bytes", "Bool": "bool", "true": "bool",
}


def _kind(type_text):
    if type_text in _KINDS:
        return _KINDS[type_text], None
    if type_text.startswith("Vector"):
        elem = type_text.replace("Vector<", "").replace(">", "")
        return "vector", _kind(elem)[0]
    return "object", None


class _Field:
    __slots__ = ("name", "kind", "elem", "word", "mask", "is_flags")

    def __init__(self, name, type_text):
        self.name = name
        self.is_flags = name in ("flags", "flags2")
        self.word = -1  # 0 for flags, 1 for flags2, -1 if unconditional
        self.mask = 0
        if "?" in type_text and not self.is_flags:
            cond, type_text = type_text.split("?", 1)
            word, bit = cond.split(".")
            self.word = 0 if word == "flags" else 1
            self.mask = 1 << int(bit)
        self.kind, self.elem = _kind(type_text)


class _Ctor:
    __slots__ = ("name", "id", "fields", "conditional", "id_bytes")

    def __init__(self, entry):
        self.name = entry.get("predicate") or entry.get("method") or entry["type"]
        self.id = int(entry["id"]) & 0xFFFFFFFF
        self.id_bytes = _U32.pack(self.id)
        self.fields = [_Field(p["name"], p["type"]) for p in entry["params"]]
        self.conditional = [f for f in self.fields if f.word >= 0]


class PurePythonTL:
    def __init__(self, schema):
        if isinstance(schema, str):
            schema = json.loads(schema)
        entries = list(schema.get("constructors", [])) + list(schema.get("methods", []))
        self.by_name = {}
        self.by_id = {}
        for entry in entries:
            c = _Ctor(entry)
            self.by_name[c.name] = c
            self.by_id[c.id] = c

    # -- writing -----------------------------------------------------------

    def pack(self, obj):
        out = bytearray()
        self._write_object(out, obj)
        return bytes(out)

    def _write_object(self, out, obj):
        c = self.by_name[obj["_"]]
        words = [0, 0]
        for f in c.conditional:
            v = obj.get(f.name)
            if (v is True) if f.kind == "bool" else (v is not None):
                words[f.word] |= f.mask
        out += c.id_bytes
        for f in c.fields:
            if f.is_flags:
                out += _U32.pack(words[0] if f.name == "flags" else words[1])
                continue
            v = obj.get(f.name)
            if f.word >= 0:
                if f.kind == "bool" or not words[f.word] & f.mask:
                    continue
            elif v is None:
                v = _DEFAULTS.get(f.kind)
            self._write_value(out, f.kind, f.elem, v)

    def _write_value(self, out, kind, elem, v):
        if kind == "int":
            out += _I32.pack(v)
        elif kind == "long":
            out += _U64.pack(v)
        elif kind == "double":
            out += _F64.pack(v)
        elif kind == "bool":
            out += _U32.pack(1 if v else 0)
        elif kind == "string":
            _write_bytes(out, v.encode("utf-8"))
        elif kind == "bytes":
            _write_bytes(out, bytes(v))
        elif kind == "vector":
            v = list(v)
            out += _U32x2.pack(VECTOR_ID, len(v))
            for x in v:
                self._write_value(out, elem, None, x)
        else:
            self._write_object(out, v)

    # -- reading -----------------------------------------------------------

    def unpack(self, data):
        obj, _ = self._read_object(data, 0)
        return obj

    def _read_object(self, data, pos):
        (cid,) = _U32.unpack_from(data, pos)
        c = self.by_id.get(cid)
        if c is None:
            raise ValueError(f"Unknown constructor ID: 0x{cid:08x}")
        pos += 4
        obj = {"_": c.name}
        words = [0, 0]
        for f in c.fields:
            if f.is_flags:
                (w,) = _U32.unpack_from(data, pos)
                pos += 4
                words[0 if f.name == "flags" else 1] = w
                continue
            if f.word >= 0:
                present = bool(words[f.word] & f.mask)
                if f.kind == "bool":
                    obj[f.name] = present
                    continue
                if not present:
                    obj[f.name] = None
                    continue
            obj[f.name], pos = self._read_value(data, pos, f.kind, f.elem)
        return obj, pos

    def _read_value(self, data, pos, kind, elem):
        if kind == "int":
            return _U32.unpack_from(data, pos)[0], pos + 4
        if kind == "long":
            return _U64.unpack_from(data, pos)[0], pos + 8
        if kind == "double":
            return _F64.unpack_from(data, pos)[0], pos + 8
        if kind == "bool":
            return _U32.unpack_from(data, pos)[0] != 0, pos + 4
        if kind == "string":
            raw, pos = _read_bytes(data, pos)
            return raw.decode("utf-8"), pos
        if kind == "bytes":
            return _read_bytes(data, pos)
        if kind == "vector":
            vid, count = _U32x2.unpack_from(data, pos)
            if vid != VECTOR_ID:
                raise ValueError(f"Invalid vector ID: 0x{vid:08x}")
            pos += 8
            if count >= 0x80000000 or count * 4 > len(data) - pos + 3:
                raise ValueError("vector count larger than the data")
            items = []
            append = items.append
            for _ in range(count):
                x, pos = self._read_value(data, pos, elem, None)
                append(x)
            return items, pos
        return self._read_object(data, pos)


_DEFAULTS = {"int": 0, "long": 0, "double": 0.0, "bool": False, "string": "",
             "bytes": b"", "vector": ()}


def _write_bytes(out, raw):
    n = len(raw)
    if n < 254:
        out.append(n)
        out += raw
        pad = -(n + 1) & 3
    else:
        if n > 0xFFFFFF:
            raise ValueError("byte string longer than 16,777,215 bytes")
        out += (0xFE | n << 8).to_bytes(4, "little")
        out += raw
        pad = -n & 3
    out += b"\0" * pad


def _read_bytes(data, pos):
    n = data[pos]
    if n == 0xFE:
        n = int.from_bytes(data[pos + 1:pos + 4], "little")
        start = pos + 4
    else:
        start = pos + 1
    end = start + n
    if end > len(data):
        raise ValueError("byte string runs past the end of the data")
    return data[start:end], (end + 3) & ~3
