"""Mivex.errors: the tuples name every exception bad input can cause, and
each of their members is one that some input does cause."""

import random
import struct

import pytest

from hostile_inputs import NODE_ID, SCHEMA as DEFAULT_SCHEMA, random_inputs, rich_message
from Mivex.errors import PACK_ERRORS, UNPACK_ERRORS
from Mivex.schema import tl_to_json
from Mivex.tl import TLParser

STANDARD_TEXT = """
boolFalse = Bool;
boolTrue = Bool;
point x:int y:int = Point;
user flags:# id:long name:string bot:flags.0?true about:flags.1?string ok:flags.2?Bool = User;
userEmpty id:int = User;
node next:Node = Node;
leaf = Node;
message m:# id:long big:int128 text:string blob:bytes score:double ok:Bool author:User
    pinned:m.0?true users:Vector<User> pts:vector<%Point> grid:Vector<vector<int>>
    tags:m.1?Vector<string> chain:Node any:Object tail:int = Message;
"""
STANDARD_VALUE = {
    "_": "message", "id": -5, "big": -(2**100), "text": "h\u00e9llo \u4e2d", "blob": b"\x00\xff" * 9,
    "score": -2.5, "ok": True,
    "author": {"_": "user", "id": 7, "name": "Ann", "bot": True, "about": "b\u00ef", "ok": False},
    "pinned": True,
    "users": [{"_": "userEmpty", "id": -1}, {"_": "user", "id": 2, "name": "\u00e9\u00e9"}],
    "pts": [{"x": 1, "y": 2}, {"x": -1, "y": 0}], "grid": [[1, 2], [], [3]],
    "tags": ["a", "", "\u00e9t\u00e9"], "chain": {"_": "node", "next": {"_": "leaf"}},
    "any": {"_": "point", "x": 3, "y": 4}, "tail": -7,
}


def _profiles():
    default = TLParser(DEFAULT_SCHEMA)
    standard = TLParser(tl_to_json(STANDARD_TEXT), standard=True)
    node = {d["name"]: d["id"] for d in standard.describe()}["node"]
    return {
        "default": (default, default.pack(rich_message()), struct.pack("<I", NODE_ID) * 300),
        "standard": (standard, standard.pack(STANDARD_VALUE), struct.pack("<I", node) * 300),
    }


PROFILES = _profiles()


def hostile_inputs(parser, rich, deep):
    """Every truncation of a rich message, corrupted copies of it, words
    replaced by other constructors' ids, random bytes, and deep nesting."""
    rnd = random.Random(1234)
    ids = [d["id"] for d in parser.describe()]
    inputs = [rich[:cut] for cut in range(len(rich))]
    for _ in range(3000):
        data = bytearray(rich)
        for _ in range(rnd.randrange(1, 4)):
            data[rnd.randrange(len(data))] = rnd.randrange(256)
        inputs.append(bytes(data))
    words = [i for i in range(0, len(rich) - 3, 4) if struct.unpack_from("<I", rich, i)[0] in ids]
    for _ in range(1000):
        data = bytearray(rich)
        struct.pack_into("<I", data, rnd.choice(words), rnd.choice(ids))
        inputs.append(bytes(data))
    inputs += random_inputs(3000, seed=99)
    inputs += [bytes(struct.pack("<I", rnd.choice(ids))) + rnd.randbytes(rnd.randrange(40))
               for _ in range(3000)]
    inputs.append(deep)
    return inputs


CALLS = {
    "unpack": lambda p, data: p.unpack(data),
    "unpack_from": lambda p, data: p.unpack_from(bytearray(data)),
    "iter_unpack": lambda p, data: list(p.iter_unpack(memoryview(data))),
}


@pytest.mark.parametrize("call", list(CALLS))
@pytest.mark.parametrize("profile", list(PROFILES))
def test_hostile_bytes_raise_only_unpack_errors(profile, call):
    parser, rich, deep = PROFILES[profile]
    run = CALLS[call]
    seen, outside = {}, []
    for data in hostile_inputs(parser, rich, deep):
        try:
            run(parser, data)
        except UNPACK_ERRORS as exc:
            seen.setdefault(type(exc), str(exc))
        except Exception as exc:  # noqa: BLE001 - what the tuple misses
            outside.append((data.hex(), repr(exc)))
    assert outside == []
    # Every member is reached, so the tuple names nothing that cannot happen.
    assert set(UNPACK_ERRORS) <= set(seen), seen


def test_standard_profile_refusals_are_among_them():
    # The standard profile's own refusals of bytes: a Bool word that is
    # neither value and a constructor of another type.
    parser, rich, _ = PROFILES["standard"]
    messages = []
    for data in hostile_inputs(parser, rich, b""):
        try:
            parser.unpack(data)
        except UNPACK_ERRORS as exc:
            messages.append(str(exc))
    for start in ("Invalid Bool ID: 0x", "Constructor ID 0x"):
        assert any(m.startswith(start) for m in messages), start


def plain_values(parser, count, seed):
    """Values made of plain data that mostly fit the schema's shapes, and
    often not quite."""
    rnd = random.Random(seed)
    entries = {d["name"]: [f["name"] for f in d["fields"]] for d in parser.describe()}
    leaves = [None, True, False, 0, -1, 2**31, 2**63, 2**64, -(2**64), 2**200, 1.5,
              float("nan"), "", "x", "\udc80", "\u00e9", b"", b"ab", bytearray(b"z"),
              [], (), {}, [1, 2], ["a"], [b"x"], [[1]], [{"_": "nope"}], {"_": 5}]

    def value(depth):
        r = rnd.random()
        if depth > 3 or r < 0.5:
            return rnd.choice(leaves)
        if r < 0.7:
            return [value(depth + 1) for _ in range(rnd.randrange(3))]
        return obj(depth + 1)

    def obj(depth):
        name = rnd.choice(list(entries) + ["nope"])
        out = {"_": name} if rnd.random() > 0.05 else {}
        for field in entries.get(name, []):
            if rnd.random() < 0.7:
                out[field] = value(depth)
        if rnd.random() < 0.05:
            out["extra"] = 1
        return out

    return [obj(0) if rnd.random() < 0.95 else value(0) for _ in range(count)]


def _deep(depth):
    value = {"_": "leaf"}
    for _ in range(depth):
        value = {"_": "node", "next": value}
    return value


@pytest.mark.parametrize("strict", [False, True], ids=["lenient", "strict"])
@pytest.mark.parametrize("profile", list(PROFILES))
def test_plain_values_raise_only_pack_errors(profile, strict):
    text = DEFAULT_SCHEMA if profile == "default" else tl_to_json(STANDARD_TEXT)
    parser = TLParser(text, standard=profile == "standard", strict=strict)
    seen, outside = {}, []
    surrogate = {"_": "text", "x": "\udc80"} if profile == "default" else \
        {"_": "user", "id": 1, "name": "\udc80"}
    for value in plain_values(parser, 6000, seed=7) + [_deep(300), [1, 2], "user", surrogate]:
        for run in (parser.pack, lambda v: parser.pack_into(v, bytearray())):
            try:
                run(value)
            except PACK_ERRORS as exc:
                seen.setdefault(type(exc), str(exc))
            except Exception as exc:  # noqa: BLE001 - what the tuple misses
                outside.append((repr(value)[:200], repr(exc)))
    assert outside == []
    # Strict refuses a non-mapping object with TypeError, never asking it for .get.
    expected = set(PACK_ERRORS) - ({AttributeError} if strict else set())
    assert expected <= set(seen), seen
    assert strict is (AttributeError not in seen)


@pytest.mark.parametrize("errors", [UNPACK_ERRORS, PACK_ERRORS], ids=["unpack", "pack"])
def test_members_are_built_in_types(errors):
    # Callers need no import from Mivex to name them one by one.
    assert all(t.__module__ == "builtins" and issubclass(t, Exception) for t in errors)
    assert len(set(errors)) == len(errors)
