"""Use of the types Mivex.schema.typed_module generates, kept as an example that
`mypy --strict` and pyright accept.

It also runs: `python tests/typing/typed_usage.py` packs and unpacks with
the default profile. The modules in generated/ come from schemas.RICH.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from typing import Any, cast

from generated import rich_default as d
from generated import rich_standard as s
from Mivex import TLParser
from schemas import RICH


def pack(parser: TLParser, value: Mapping[str, Any]) -> bytes:
    # pack's parameter type admits no TypedDict (its values are narrower than
    # object), so the generated types reach it as a plain mapping.
    return parser.pack(value)


def describe(shape: d.Shape) -> str:
    # "_" tells the union's members apart.
    if shape["_"] == "shapeCircle":
        return f"circle of radius {shape['radius']} at {shape['center']['x']}"
    if shape["_"] == "shapeGroup":
        return f"{shape['name']}: " + ", ".join(describe(item) for item in shape["items"])
    if shape["_"] == "shapeSquare":
        angle = shape["angle"]
        return "square" + ("" if angle is None else f" turned {angle}")
    return shape["_"]


def handle(user: d.User) -> str:
    if user["_"] == "userEmpty":
        return f"#{user['id']}"
    name = user["username"] or user["name"]  # a conditional field: str | None
    photo = user["photo"]
    sizes = photo["sizes"] if photo is not None else []  # Vector<Vector<int>>: ints here
    return f"{name} bot={user['bot']} sizes={sum(sizes)}"


def main() -> None:
    parser = TLParser(json.dumps(RICH))

    group: d.ShapeGroupIn = {
        "_": "shapeGroup",
        "name": "scene",
        "items": [
            {"_": "shapeCircle", "center": {"_": "point", "x": 1, "y": 2}, "radius": 1.5},
            {"_": "shapeSquare", "corner": {"_": "point"}, "rotated": True, "angle": 45},
            {"_": "shapeImage", "data": bytearray(b"\x89PNG")},
        ],
    }
    shape = cast(d.Shape, parser.unpack(pack(parser, group)))
    assert describe(shape) == "scene: circle of radius 1.5 at 1, square turned 45.0, shapeImage"

    user: d.UserIn = {
        "_": "user",
        "id": 7,
        "name": "Ada",
        "bot": True,
        "username": "ada",
        "about": "math",  # shares its flag bit with username
        "photo": {"_": "photo", "id": 1, "sizes": [3, 4]},
        "verified": None,
    }
    users: list[d.UserIn] = [user, {"_": "userEmpty", "id": 8}]
    out = [handle(cast(d.User, parser.unpack(pack(parser, u)))) for u in users]
    assert out == ["ada bot=True sizes=7", "#8"]

    # Fields that a class body cannot name are still checked.
    words: d.KeywordsIn = {"_": "keywords", "class": 1, "from": "here", "__secret": b""}
    unpacked = cast(d.Keywords, parser.unpack(pack(parser, words)))
    assert unpacked["class"] == 1 and unpacked["int"] == 0

    # A general object (Object, !X) takes any constructor or method.
    call: d.InvokeWithIn = {"_": "invokeWith", "query": {"_": "users.get", "ids": [1, 2]}}
    invoked = cast(d.InvokeWith, parser.unpack(pack(parser, call)))
    assert invoked["first"] is False and invoked["query"]["_"] == "users.get"

    # The standard profile's types: bare objects may leave "_" out, vectors
    # of vectors nest, and flags words are the '#' fields.
    segment: s.SegmentIn = {
        "_": "segment",
        "a": {"x": 1},
        "b": {"_": "point", "y": 2},
        "c": {"_": "point"},
        "ends": [{}, {"x": 3}],
    }
    photo: s.PhotoIn = {"_": "photo", "sizes": [[1, 2], []]}
    legacy: s.LegacyIn = {"_": "legacy", "flags": 3}
    wide: s.WideIn = {"_": "wide", "small": -(2**127), "any": segment, "votes": [True]}
    assert [v["_"] for v in (segment, photo, legacy, wide)] == ["segment", "photo", "legacy", "wide"]


if __name__ == "__main__":
    main()
