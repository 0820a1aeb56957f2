"""The libraries measured, each turned into a pack and an unpack call on the
same logical value of a shape.

Every library is a :class:`Lib`; ``Lib.prepare(shape)`` returns a
:class:`Case` holding the two timed calls (a callable and its arguments, so
the timing loop adds no wrapper of its own), the encoded bytes and the
value the unpack call must give back.  Which form of the value a library
gets is stated in ``shapes.py``: dict-based serializers take and return the
tagged dict Mivex takes; schema-typed ones take the plain form.
"""

from __future__ import annotations

import importlib
import io
import marshal
import pickle
from dataclasses import dataclass
from typing import Any, Callable, Optional

from .shapes import Ctor, Shape, ctor_for_type


@dataclass
class Op:
    fn: Callable
    args: tuple

    def __call__(self):
        return self.fn(*self.args)


@dataclass
class Case:
    lib: "Lib"
    shape: Shape
    pack: Optional[Op]
    unpack: Optional[Op]
    encoded: bytes
    expected: Any                       # what decoding `encoded` must give
    decode: Callable[[bytes], Any]      # full decode (checks pack-only cases)
    same_wire: bool = False             # must produce Mivex's exact bytes
    # What the checks read from a call's result, for calls that do not
    # return the bytes (pack_into) or the value alone (unpack_from).
    packed: Optional[Callable[[Any], bytes]] = None
    unpacked: Optional[Callable[[Any], Any]] = None


class Lib:
    key = ""
    label = ""
    module = ""      # module whose absence makes the library unavailable
    note = ""

    def available(self) -> Optional[str]:
        """None if usable, else the reason it is not."""
        if self.module:
            try:
                importlib.import_module(self.module)
            except ImportError:
                return f"not installed ({self.version_name()})"
        return None

    def supports(self, shape: Shape) -> bool:
        return True

    def version_name(self) -> str:
        """The distribution that provides the library."""
        return {"google.protobuf": "protobuf"}.get(self.module, self.module)

    def version(self) -> str:
        if not self.module:
            return ""
        from importlib import metadata
        dist = self.version_name()
        try:
            return metadata.version(dist)
        except metadata.PackageNotFoundError:
            return getattr(importlib.import_module(self.module), "__version__", "?")

    def prepare(self, shape: Shape) -> Case:
        raise NotImplementedError


def _dict_case(lib, shape, pack_fn, pack_args, unpack_fn):
    """A self-describing serializer: the tagged value in, the same value out."""
    encoded = pack_fn(*pack_args)
    return Case(lib, shape, Op(pack_fn, pack_args), Op(unpack_fn, (encoded,)),
                encoded, shape.value, unpack_fn)


# ---------------------------------------------------------------------------
# Mivex, the C reference codec and the pure-Python codec: one wire format
# ---------------------------------------------------------------------------


class MivexLib(Lib):
    key = "mivex"
    label = "Mivex"
    module = "Mivex.tl"

    def version(self) -> str:
        from importlib import metadata
        try:
            return metadata.version("Mivex")
        except metadata.PackageNotFoundError:
            return "?"

    def prepare(self, shape):
        from Mivex.tl import TLParser
        p = TLParser(shape.schema_json)
        encoded = p.pack(shape.value)
        return Case(self, shape, Op(p.pack, (shape.value,)), Op(p.unpack, (encoded,)),
                    encoded, shape.tl_expected, p.unpack)


class MivexStandardLib(MivexLib):
    """The same codec in its standard wire profile (boxed Bool, signed ints)."""
    key = "mivex_standard"
    label = "Mivex (standard)"
    options = {"standard": True}

    def prepare(self, shape):
        from Mivex.tl import TLParser
        p = TLParser(shape.schema_json, **self.options)
        encoded = p.pack(shape.value)
        return Case(self, shape, Op(p.pack, (shape.value,)), Op(p.unpack, (encoded,)),
                    encoded, shape.tl_expected, p.unpack)


class MivexStrictLib(MivexStandardLib):
    """The default profile with strict packing."""
    key = "mivex_strict"
    label = "Mivex (strict)"
    options = {"strict": True}


class MivexBuffersLib(Lib):
    """``pack_into`` a reused bytearray and ``unpack_from`` the bytes: what a
    program that writes frames into one buffer, or reads them out of one,
    calls instead of ``pack``/``unpack``."""
    key = "mivex_buffers"
    label = "Mivex pack_into / unpack_from"
    module = "Mivex.tl"
    note = ("pack_into(value, buf) into one bytearray reused by every call (after the first "
            "call it already has the right size) and unpack_from(data) on the same bytes as "
            "unpack, returning (object, end)")

    def prepare(self, shape):
        from Mivex.tl import TLParser
        p = TLParser(shape.schema_json)
        encoded = p.pack(shape.value)
        buf = bytearray()
        end = len(encoded)

        def packed(result):
            if result is not None:
                raise TypeError(f"pack_into returned {type(result).__name__}, not None")
            return bytes(buf)

        def unpacked(result):
            obj, stop = result
            if stop != end:
                raise ValueError(f"unpack_from ended at {stop}, the data ends at {end}")
            return obj

        return Case(self, shape, Op(p.pack_into, (shape.value, buf)), Op(p.unpack_from, (encoded,)),
                    encoded, shape.tl_expected, p.unpack, same_wire=True,
                    packed=packed, unpacked=unpacked)


STREAM_SHAPE = 5   # its vector's 1,000 flat objects, stored back to back


def _stream(shape: Shape):
    """The parser, the objects of shape 5's vector packed one by one, and
    what unpacking each gives."""
    from Mivex.tl import TLParser
    p = TLParser(shape.schema_json)
    (items,) = [v for k, v in shape.value.items() if k != "_"]
    (want,) = [v for k, v in shape.tl_expected.items() if k != "_"]
    return p, [p.pack(x) for x in items], want


class MivexIterLib(Lib):
    key = "mivex_iter"
    label = "Mivex iter_unpack (1,000 objects back to back)"
    module = "Mivex.tl"
    note = ("shape 5 only: its 1,000 users packed one after another into one bytes object; "
            "unpack is list(iter_unpack(data)); compare with the one-call-per-object row")

    def supports(self, shape):
        return shape.number == STREAM_SHAPE

    def prepare(self, shape):
        p, parts, want = _stream(shape)
        data = b"".join(parts)
        iter_unpack = p.iter_unpack

        def unpack_all(b):
            return list(iter_unpack(b))

        return Case(self, shape, None, Op(unpack_all, (data,)), data, want, unpack_all)


class MivexEachLib(Lib):
    key = "mivex_each"
    label = "Mivex unpack, one call per object (1,000)"
    module = "Mivex.tl"
    note = ("shape 5 only: the same 1,000 users as separate bytes objects; unpack is "
            "list(map(unpack, parts))")

    def supports(self, shape):
        return shape.number == STREAM_SHAPE

    def prepare(self, shape):
        p, parts, want = _stream(shape)
        unpack = p.unpack

        def unpack_each(ps):
            return list(map(unpack, ps))

        return Case(self, shape, None, Op(unpack_each, (parts,)), b"".join(parts), want,
                    lambda b: unpack_each(parts))


class FloorLib(Lib):
    key = "floor"
    label = "C reference (per shape)"
    note = ("hand-written C for each shape, the same bytes and values as Mivex: one dict lookup "
            "and exact type check per field, one output allocation; result objects built from "
            "bounds-checked reads. It is a reference point, not a lower bound: Mivex's unpack "
            "is faster than it, since it copies a prepared dict instead of building one key by key")
    _module = None
    _error: Optional[str] = None

    def available(self):
        if FloorLib._module is None and FloorLib._error is None:
            from . import floor
            try:
                FloorLib._module = floor.load()
            except floor.FloorUnavailable as e:
                FloorLib._error = str(e).splitlines()[0]
        return FloorLib._error

    def prepare(self, shape):
        m = FloorLib._module
        pack = getattr(m, f"pack{shape.number}")
        unpack = getattr(m, f"unpack{shape.number}")
        encoded = pack(shape.value)
        return Case(self, shape, Op(pack, (shape.value,)), Op(unpack, (encoded,)),
                    encoded, shape.tl_expected, unpack, same_wire=True)


class PurePythonLib(Lib):
    key = "purepy"
    label = "pure Python (struct)"
    note = "schema-driven codec of the same wire format in pure Python"

    def prepare(self, shape):
        from .purepy import PurePythonTL
        q = PurePythonTL(shape.schema_json)
        encoded = q.pack(shape.value)
        return Case(self, shape, Op(q.pack, (shape.value,)), Op(q.unpack, (encoded,)),
                    encoded, shape.tl_expected, q.unpack, same_wire=True)


# ---------------------------------------------------------------------------
# Self-describing serializers on the tagged dict
# ---------------------------------------------------------------------------


class MsgpackLib(Lib):
    key = "msgpack"
    label = "msgpack packb/unpackb"
    module = "msgpack"

    def prepare(self, shape):
        import msgpack
        return _dict_case(self, shape, msgpack.packb, (shape.value,), msgpack.unpackb)


class MsgpackPackerLib(Lib):
    key = "msgpack-packer"
    label = "msgpack Packer (reused)"
    module = "msgpack"
    note = "pack only; unpacking is the packb/unpackb row"

    def prepare(self, shape):
        import msgpack
        packer = msgpack.Packer()
        encoded = packer.pack(shape.value)
        return Case(self, shape, Op(packer.pack, (shape.value,)), None, encoded,
                    shape.value, msgpack.unpackb)


class Cbor2Lib(Lib):
    key = "cbor2"
    label = "cbor2"
    module = "cbor2"

    def prepare(self, shape):
        import cbor2
        return _dict_case(self, shape, cbor2.dumps, (shape.value,), cbor2.loads)


class MsgspecLib(Lib):
    key = "msgspec"
    label = "msgspec msgpack (dicts)"
    module = "msgspec"

    def prepare(self, shape):
        import msgspec
        enc = msgspec.msgpack.Encoder()
        dec = msgspec.msgpack.Decoder()
        return _dict_case(self, shape, enc.encode, (shape.value,), dec.decode)


class OrjsonLib(Lib):
    key = "orjson"
    label = "orjson (JSON)"
    module = "orjson"
    note = "shapes without bytes only"

    def supports(self, shape):
        return not shape.has_bytes

    def prepare(self, shape):
        import orjson
        return _dict_case(self, shape, orjson.dumps, (shape.value,), orjson.loads)


class PickleLib(Lib):
    key = "pickle"
    label = f"pickle (protocol {pickle.HIGHEST_PROTOCOL})"

    def prepare(self, shape):
        return _dict_case(self, shape, pickle.dumps, (shape.value, pickle.HIGHEST_PROTOCOL),
                          pickle.loads)


class MarshalLib(Lib):
    key = "marshal"
    label = "marshal"

    def prepare(self, shape):
        return _dict_case(self, shape, marshal.dumps, (shape.value,), marshal.loads)


# ---------------------------------------------------------------------------
# Schema-typed serializers: schemas derived from the TL schema
# ---------------------------------------------------------------------------


def _top(shape: Shape) -> Ctor:
    return shape.ctors[shape.top]


def _proto_classes(shape: Shape) -> dict[str, type]:
    """Message classes for the shape's TL types, built from a descriptor."""
    from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

    F = descriptor_pb2.FieldDescriptorProto
    scalar = {"int": F.TYPE_INT32, "long": F.TYPE_INT64, "double": F.TYPE_DOUBLE,
              "string": F.TYPE_STRING, "bytes": F.TYPE_BYTES, "bool": F.TYPE_BOOL}
    package = f"mivexbench.shape{shape.number}"
    fdp = descriptor_pb2.FileDescriptorProto(
        name=f"mivexbench_shape{shape.number}.proto", package=package, syntax="proto3")
    for c in shape.ctors.values():
        msg = fdp.message_type.add(name=c.type)
        number = 0
        for p in c.params:
            if p.kind == "flags":
                continue
            number += 1
            f = msg.field.add(name=p.name, number=number, label=F.LABEL_OPTIONAL)
            kind = p.elem_kind if p.kind == "vector" else p.kind
            if p.kind == "vector":
                f.label = F.LABEL_REPEATED
            if kind == "object":
                f.type = F.TYPE_MESSAGE
                f.type_name = f".{package}.{p.type_name}"
            else:
                f.type = scalar[kind]
            if p.conditional and p.kind != "bool":
                # proto3 "optional": presence tracked by a synthetic oneof.
                f.proto3_optional = True
                f.oneof_index = len(msg.oneof_decl)
                msg.oneof_decl.add(name="_" + p.name)
    pool = descriptor_pool.DescriptorPool()
    pool.Add(fdp)
    return {c.type: message_factory.GetMessageClass(
        pool.FindMessageTypeByName(f"{package}.{c.type}")) for c in shape.ctors.values()}


def _proto_to_dict(shape: Shape, ctor: Ctor) -> Callable:
    """Message -> plain dict, field by field, as a user would write it."""
    specs = []
    for p in ctor.params:
        if p.kind == "flags":
            continue
        sub = None
        if p.kind == "object" or p.elem_kind == "object":
            sub = _proto_to_dict(shape, ctor_for_type(shape.ctors, p.type_name))
        specs.append((p.name, sub, p.kind == "vector", p.conditional and p.kind != "bool"))

    def to_dict(m):
        d = {}
        for name, sub, repeated, optional in specs:
            if optional and not m.HasField(name):
                d[name] = None
                continue
            v = getattr(m, name)
            if sub is not None:
                v = [sub(x) for x in v] if repeated else sub(v)
            elif repeated:
                v = list(v)
            d[name] = v
        return d

    return to_dict


class ProtobufLib(Lib):
    key = "protobuf"
    label = "protobuf (message objects)"
    module = "google.protobuf"
    note = ("SerializeToString of a prebuilt message / Msg.FromString, a new message per call "
            "(ParseFromString into one reused message keeps every earlier parse in the "
            "message's upb arena until the message dies: 300 parses of shape 7 held 300 MiB "
            "and took 20 times as long); fields stay in C until read")

    def prepare(self, shape):
        classes = _proto_classes(shape)
        cls = classes[_top(shape).type]
        msg = cls(**shape.plain)
        encoded = msg.SerializeToString()
        return Case(self, shape, Op(msg.SerializeToString, ()), Op(cls.FromString, (encoded,)),
                    encoded, msg, cls.FromString)


class ProtobufDictLib(Lib):
    key = "protobuf-dict"
    label = "protobuf (via dicts)"
    module = "google.protobuf"
    note = "Msg(**dict).SerializeToString() / FromString then field-by-field to dict"

    def prepare(self, shape):
        classes = _proto_classes(shape)
        cls = classes[_top(shape).type]
        to_dict = _proto_to_dict(shape, _top(shape))

        def pack(d):
            return cls(**d).SerializeToString()

        def unpack(b):
            return to_dict(cls.FromString(b))

        encoded = pack(shape.plain)
        return Case(self, shape, Op(pack, (shape.plain,)), Op(unpack, (encoded,)),
                    encoded, shape.plain_expected, unpack)


def _avro_schema(shape: Shape) -> dict:
    prim = {"int": "int", "long": "long", "double": "double", "string": "string",
            "bytes": "bytes", "bool": "boolean"}
    defined: set[str] = set()

    def record(c: Ctor):
        defined.add(c.type)
        fields = []
        for p in c.params:
            if p.kind == "flags":
                continue
            kind = p.elem_kind if p.kind == "vector" else p.kind
            if kind == "object":
                t = p.type_name if p.type_name in defined else record(ctor_for_type(shape.ctors, p.type_name))
            else:
                t = prim[kind]
            if p.kind == "vector":
                t = {"type": "array", "items": t}
            entry = {"name": p.name, "type": t}
            if p.conditional and p.kind == "bool":
                entry["default"] = False
            elif p.conditional:
                entry = {"name": p.name, "type": ["null", t], "default": None}
            fields.append(entry)
        return {"type": "record", "name": c.type, "namespace": f"mivexbench.shape{shape.number}",
                "fields": fields}

    return record(_top(shape))


class FastavroLib(Lib):
    key = "fastavro"
    label = "fastavro (schemaless)"
    module = "fastavro"
    note = "schemaless_writer into a reused BytesIO / schemaless_reader"

    def prepare(self, shape):
        import fastavro
        schema = fastavro.parse_schema(_avro_schema(shape))
        writer, reader = fastavro.schemaless_writer, fastavro.schemaless_reader
        buf = io.BytesIO()
        BytesIO = io.BytesIO

        def pack(d):
            buf.seek(0)
            buf.truncate()
            writer(buf, schema, d)
            return buf.getvalue()

        def unpack(b):
            return reader(BytesIO(b), schema)

        encoded = pack(shape.plain)
        return Case(self, shape, Op(pack, (shape.plain,)), Op(unpack, (encoded,)),
                    encoded, shape.plain_expected, unpack)


def _struct_types(shape: Shape) -> dict[str, type]:
    import msgspec
    prim = {"int": int, "long": int, "double": float, "string": str, "bytes": bytes, "bool": bool}
    built: dict[str, type] = {}

    def build(c: Ctor):
        if c.type in built:
            return built[c.type]
        fields = []
        for p in c.params:
            if p.kind == "flags":
                continue
            kind = p.elem_kind if p.kind == "vector" else p.kind
            t = build(ctor_for_type(shape.ctors, p.type_name)) if kind == "object" else prim[kind]
            if p.kind == "vector":
                t = list[t]
            if p.conditional and p.kind == "bool":
                fields.append((p.name, bool, False))
            elif p.conditional:
                fields.append((p.name, Optional[t], None))
            else:
                fields.append((p.name, t))
        built[c.type] = msgspec.defstruct(c.type, fields, kw_only=True)
        return built[c.type]

    build(_top(shape))
    return built


class MsgspecStructLib(Lib):
    key = "msgspec-struct"
    label = "msgspec msgpack (Struct)"
    module = "msgspec"
    note = "typed Struct objects in and out, not dicts"

    def prepare(self, shape):
        import msgspec
        top = _struct_types(shape)[_top(shape).type]
        obj = msgspec.convert(shape.plain, top)
        enc = msgspec.msgpack.Encoder()
        dec = msgspec.msgpack.Decoder(top)
        encoded = enc.encode(obj)
        return Case(self, shape, Op(enc.encode, (obj,)), Op(dec.decode, (encoded,)),
                    encoded, obj, dec.decode)


ALL_LIBS: list[Lib] = [
    MivexLib(), MivexStandardLib(), MivexStrictLib(), MivexBuffersLib(), MivexIterLib(),
    MivexEachLib(), FloorLib(), PurePythonLib(),
    MsgpackLib(), MsgpackPackerLib(), MsgspecLib(), Cbor2Lib(), OrjsonLib(),
    PickleLib(), MarshalLib(),
    ProtobufLib(), ProtobufDictLib(), FastavroLib(), MsgspecStructLib(),
]

# The peers the pack/unpack targets compare against, and the wider set of
# peers that return the same Python values as Mivex (for shapes 6 and 7).
CORE_PEERS = ["msgpack", "msgpack-packer", "pickle", "marshal", "msgspec", "cbor2"]
SAME_VALUE_PEERS = CORE_PEERS + ["orjson", "protobuf-dict", "fastavro"]
# Every other serializer: the typed ones return their own objects, not dicts.
TYPED_PEERS = ["protobuf", "msgspec-struct"]
ALL_PEERS = SAME_VALUE_PEERS + TYPED_PEERS
# Mivex's own variants: other profiles, options and methods of the same codec.
MIVEX_VARIANTS = ["mivex_standard", "mivex_strict", "mivex_buffers", "mivex_iter", "mivex_each"]


def select(keys: Optional[list[str]]) -> list[Lib]:
    """Libraries chosen by key; a key also selects its variants ("msgpack"
    selects "msgpack-packer").  Mivex is always included: every ratio is
    relative to it."""
    if not keys:
        return list(ALL_LIBS)
    known = {lib.key for lib in ALL_LIBS}
    for k in keys:
        if not any(lib.key == k or lib.key.startswith(k + "-") for lib in ALL_LIBS):
            raise SystemExit(f"unknown library {k!r}; known: {', '.join(sorted(known))}")
    return [lib for lib in ALL_LIBS
            if lib.key == "mivex" or any(lib.key == k or lib.key.startswith(k + "-") for k in keys)]
