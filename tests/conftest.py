"""Schema-building helpers shared by the test modules.

Import them with ``from conftest import param, ctor, schema, make_parser, OMIT``;
``u32`` and ``tl_bytes`` build expected wire bytes independently of the module.
"""

import json
import struct

from Mivex.tl import TLParser

# Pass as ``type=OMIT`` to leave the "type" key out of an entry.
OMIT = object()


def param(name, type):
    """One entry of a constructor's "params"."""
    return {"name": name, "type": type}


def ctor(name, id, *params, type=None, key="predicate"):
    """One constructor (or, with ``key="method"``, method) entry.

    The result type defaults to the name; ``type=OMIT`` leaves the key out.
    """
    entry = {key: name, "id": id, "params": list(params)}
    if type is not OMIT:
        entry["type"] = type or name
    return entry


def schema(*constructors, methods=()):
    """JSON text of a schema holding the given entries."""
    return json.dumps({"constructors": list(constructors), "methods": list(methods)})


def make_parser(*constructors, methods=()):
    return TLParser(schema(*constructors, methods=methods))


def u32(*words):
    """Little-endian 32-bit words (negative numbers as two's complement)."""
    return struct.pack("<%dI" % len(words), *(w & 0xFFFFFFFF for w in words))


def tl_bytes(payload):
    """A byte string in wire form: short or long length prefix, zero padding."""
    payload = bytes(payload)
    if len(payload) <= 253:
        out = bytes([len(payload)]) + payload
    else:
        out = b"\xfe" + len(payload).to_bytes(3, "little") + payload
    return out + b"\x00" * (-len(out) % 4)


# ------------------------------------------------------- standard profile

# The boxed Bool words of the standard profile.
BOOL_TRUE = 0x997275B5
BOOL_FALSE = 0xBC799737


def make_standard(*constructors, methods=()):
    """A parser of the standard profile for the given entries."""
    return TLParser(schema(*constructors, methods=methods), standard=True)


def method(name, id, *params, type=None):
    """One method entry."""
    return ctor(name, id, *params, type=type, key="method")
