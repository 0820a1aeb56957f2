"""Typical use of Mivex, kept as an example that `mypy --strict` accepts.

It also runs: `python tests/typing/usage.py`.
"""

from __future__ import annotations

import json

from Mivex import TLParser, TLSchemaCompiler
from Mivex.types import TLObject, TLObjectLike

SCHEMA = {
    "constructors": [
        {"predicate": "photo", "id": 0x1B, "type": "Photo",
         "params": [{"name": "id", "type": "long"}, {"name": "data", "type": "bytes"}]},
        {"predicate": "user", "id": "-1512289101", "type": "User",
         "params": [{"name": "flags", "type": "#"},
                    {"name": "id", "type": "long"},
                    {"name": "bot", "type": "flags.0?true"},
                    {"name": "username", "type": "flags.1?string"},
                    {"name": "photos", "type": "flags.2?Vector<Photo>"}]},
    ],
}


def username(user: TLObject) -> str | None:
    name = user["username"]
    return name if isinstance(name, str) else None


def photo_sizes(user: TLObject) -> list[int]:
    photos = user["photos"]
    if not isinstance(photos, list):
        return []
    return [len(p["data"]) for p in photos if isinstance(p, dict) and isinstance(p["data"], bytes)]


def decode(parser: TLParser, data: bytes) -> TLObject | None:
    try:
        return parser.unpack(data)
    except RuntimeError:  # the input ended too early
        return None
    except ValueError:  # an id the schema lacks
        return None


def split_stream(parser: TLParser, frame: bytes) -> list[TLObject]:
    """Objects stored back to back, and where the first one ends."""
    first, end = parser.unpack_from(frame)
    assert end > 0 and first["_"]
    return list(parser.iter_unpack(frame))


def append(parser: TLParser, out: bytearray, value: TLObjectLike) -> None:
    parser.pack_into(value, out, -1)


def main() -> None:
    TLSchemaCompiler().compile(SCHEMA)  # check a schema on its own
    parser = TLParser(json.dumps(SCHEMA))

    user: TLObjectLike = {
        "_": "user",
        "id": 7,
        "bot": True,
        "username": "ada",
        "photos": (
            {"_": "photo", "id": 1, "data": b"\x89PNG"},
            {"_": "photo", "id": 2, "data": bytearray(16)},
        ),
    }
    data: bytes = parser.pack(user)
    obj = parser.unpack(data)
    assert obj["_"] == "user" and obj["bot"] is True
    assert username(obj) == "ada" and photo_sizes(obj) == [4, 16]

    out = bytearray()
    append(parser, out, user)
    append(parser, out, user)
    assert split_stream(parser, bytes(out)) == [obj, obj]

    assert decode(parser, data[:6]) is None
    assert decode(parser, b"\0\0\0\0") is None

    try:
        parser.pack({"_": "nobody"})
    except ValueError as e:
        print("refused:", e)
    try:
        parser.pack({"_": "user", "id": -1})
    except OverflowError as e:
        print("refused:", e)


if __name__ == "__main__":
    main()

