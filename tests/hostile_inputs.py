"""Hostile inputs shared by tests/test_cost.py and the figures script
``python -m benchmarks.hostile``: a schema with every kind of field, and
builders of values and bytes that claim huge sizes, nest deeply, refer to
themselves or fail half way through.  Both use the same inputs, so the
printed figures and the test's bounds are about the same calls.
"""

from __future__ import annotations

import json
import random
import struct
from typing import Any, Optional

VEC = 0x1CB5C415
VI_ID, HOLD_ID, ITEM_ID, DEEP_ID, OPT_ID = 0x10, 0x11, 0x12, 0x13, 0x14
PHOTOS_ID, STRS_ID = 0x15, 0x16
BYTES_ID, TEXT_ID, NODE_ID, LEAF_ID = 0x20, 0x21, 0x4E4F4445, 0x4C454146
USER_ID, EMPTY_ID, PHOTO_ID, MSG_ID = 0x11111111, 0x22222222, 0x33333333, 0x44444444


def _entry(name: str, id: int, *params: str, type: Optional[str] = None) -> dict:
    fields = [dict(zip(("name", "type"), p.split(":", 1))) for p in params]
    return {"predicate": name, "id": id, "type": type or name, "params": fields}


SCHEMA = json.dumps({"constructors": [
    _entry("vi", VI_ID, "x:Vector<int>"),
    _entry("hold", HOLD_ID, "n:int", "s:string", "items:Vector<Item>"),
    _entry("item", ITEM_ID, "v:Vector<long>", type="Item"),
    # A bare Vector holds vectors at every level.
    _entry("deep", DEEP_ID, "x:Vector"),
    _entry("opt", OPT_ID, "flags:#", "a:flags.0?int", "marks:flags.1?Vector<double>"),
    _entry("photos", PHOTOS_ID, "x:Vector<Photo>"),
    _entry("strs", STRS_ID, "x:Vector<string>"),
    _entry("blob", BYTES_ID, "x:bytes"),
    _entry("text", TEXT_ID, "x:string"),
    _entry("node", NODE_ID, "next:Node", type="Node"),
    _entry("leaf", LEAF_ID, type="Node"),
    _entry("user", USER_ID, "flags:#", "flags2:#", "uid:int", "first:string",
           "bot:flags.0?true", "about:flags.1?string", "photo:flags2.3?Photo", type="User"),
    _entry("userEmpty", EMPTY_ID, "uid:int", type="User"),
    _entry("photo", PHOTO_ID, "id:long", "data:bytes", "sizes:Vector<int>", type="Photo"),
    _entry("message", MSG_ID, "flags:#", "id:long", "text:string", "blob:bytes",
           "score:double", "ok:Bool", "author:User", "flags2:#", "users:Vector<User>",
           "tags:Vector<string>", "nums:Vector<long>", "ratios:Vector<double>",
           "oks:Vector<Bool>", "blobs:Vector<bytes>", "grid:Vector",
           "reply:flags.0?string", "marks:flags.1?Vector<int>", "pinned:flags.3?true",
           "fwd:flags2.0?User", "raw:flags2.4?bytes", "silent:flags2.7?true", "tail:int"),
]})
IDS = [e["id"] for e in json.loads(SCHEMA)["constructors"]]


def u32(*words: int) -> bytes:
    return struct.pack("<%dI" % len(words), *(w & 0xFFFFFFFF for w in words))


def rich_message() -> dict:
    """About 10 KB on the wire, with every kind of field."""
    users: list[dict] = []
    for i in range(60):
        if i % 5 == 4:
            users.append({"_": "userEmpty", "uid": i})
            continue
        users.append({
            "_": "user", "uid": 1000 + i, "first": "n\u00e4me %d" % i, "bot": i % 2 == 0,
            "about": "about \u4e2d %d" % i if i % 3 else None,
            "photo": {"_": "photo", "id": 2**63 + i, "data": bytes([i]) * (i * 3),
                      "sizes": list(range(i % 7))} if i % 4 else None})
    return {
        "_": "message", "id": 2**64 - 1, "text": "h\u00e9llo \U0001F600 " * 40,
        "blob": bytes(range(256)) * 4, "score": -2.5, "ok": True,
        "author": users[0], "users": users,
        "tags": ["", "x", "\u00e9" * 127, "y" * 300], "nums": [0, 1, 2**64 - 1],
        "ratios": [0.5, -1e300], "oks": [True, False, True],
        "blobs": [b"", b"\x00", bytes(254), bytes(1000)],
        "grid": [[], [[], [[]]], []], "reply": "re", "marks": [9, 8],
        "pinned": True, "fwd": {"_": "userEmpty", "uid": 4}, "raw": b"\x01\x02\x03",
        "silent": False, "tail": 0x5EADBEEF,
    }


def random_inputs(count: int, seed: int = 20240611) -> list[bytes]:
    """0 to 64 bytes each: half noise, half a known constructor id followed by
    noise sprinkled with vector ids, huge counts and other ids."""
    rnd = random.Random(seed)
    words = [0, 1, 2, 3, 0xFF, 0x7FFFFFFF, 0xFFFFFFFF, 0x80000000, 0xFFFFFFFE, VEC] + IDS
    out = []
    for i in range(count):
        data = bytearray(rnd.randbytes(rnd.randrange(65)))
        if i % 2 and len(data) >= 4:
            data[:4] = u32(rnd.choice(IDS))
            for k in range(4, len(data) - 3, 4):
                if rnd.random() < 0.3:
                    data[k:k + 4] = u32(rnd.choice(words))
        out.append(bytes(data))
    return out


class Boom(Exception):
    pass


class RaisingInt:
    def __int__(self) -> int:
        raise Boom("half way")


def raising_generator(n: int):
    for i in range(n):
        if i == n // 2:
            raise Boom("half way")
        yield i & 0xFF


def nested_objects(depth: int) -> dict:
    obj: dict = {"_": "leaf"}
    for _ in range(depth - 1):
        obj = {"_": "node", "next": obj}
    return obj


def nested_lists(depth: int) -> dict:
    value: Any = []
    for _ in range(depth - 1):
        value = [value]
    return {"_": "deep", "x": value}


def self_list() -> dict:
    items: list = []
    items.append(items)
    return {"_": "deep", "x": items}


def self_dict() -> dict:
    node: dict = {"_": "node"}
    node["next"] = node
    return node


# ---------------------------------------------------------------- schemas
# Schemas are untrusted input too: each builder makes JSON text whose size
# grows with n, shaped to find work that grows faster than the text.

def _schema(*entries: dict) -> str:
    return json.dumps({"constructors": list(entries)})


def many_fields(n: int) -> str:
    return _schema(_entry("r", 1, *(f"f{i}:int" for i in range(n))))


def many_constructors(n: int) -> str:
    # Fifty result types, each constructor holding the next type.
    return _schema(*(_entry(f"c{i}", i, "a:int", "b:string", f"c:T{(i + 1) % 50}",
                            type=f"T{i % 50}") for i in range(n)))


def vector_text_formed_in_passes(n: int) -> str:
    # Each level of the element chain forms one new "Vector<".
    return _schema(_entry("v", 1, "x:" + "Vector" * n + "<" * n + "int"))


def vector_text_nested(n: int) -> str:
    return _schema(_entry("v", 1, "x:" + "Vector<" * n + "int" + ">" * n))


def huge_names(n: int) -> str:
    return _schema(_entry("n" * n, 1, "f" * n + ":int", type="T" * n))


def deep_json(n: int) -> str:
    return ('{"constructors": [{"predicate": "a", "id": 1, "params": [], "x": '
            + "[" * n + "]" * n + "}]}")


def many_flag_words(n: int) -> str:
    # Standard profile: every "#" field is a flags word.
    return _schema(_entry("w", 1, *(p for i in range(n) for p in (f"f{i}:#", f"x{i}:f{i}.0?int"))))


# (name, size in words, builder, standard profile, exception the compile raises)
HOSTILE_SCHEMAS = [
    ("one constructor, {n:,} fields", many_fields, False, None),
    ("{n:,} constructors of 50 types", many_constructors, False, None),
    ("{n:,} constructors of 50 types, standard profile", many_constructors, True, None),
    ("vector type text forming {n:,} levels", vector_text_formed_in_passes, False, None),
    ("vector type nested {n:,} deep", vector_text_nested, False, None),
    ("vector type nested {n:,} deep, standard profile", vector_text_nested, True, None),
    ("names of {n:,} characters", huge_names, False, None),
    ("JSON nested {n:,} deep", deep_json, False, RecursionError),
    ("{n:,} flags words, standard profile", many_flag_words, True, None),
]
