"""Schemas whose generated types are checked, and the script that writes them.

`python tests/typing/schemas.py` rewrites the modules in tests/typing/generated/;
`python tests/typing/schemas.py --big FILE` writes the module for a schema of
2,500 declarations (for .ci/typecheck) and prints how long generation took.
"""

import argparse
import pathlib
import time
from typing import Any

Schema = dict[str, list[dict[str, Any]]]


def _entry(key: str, name: str, id: int, fields: str, type: str) -> dict[str, Any]:
    params = [dict(zip(("name", "type"), f.split(":", 1))) for f in fields.split()]
    return {key: name, "id": id, "params": params, "type": type}


def _ctor(name: str, id: int, fields: str, type: str) -> dict[str, Any]:
    return _entry("predicate", name, id, fields, type)


def _method(name: str, id: int, fields: str, type: str) -> dict[str, Any]:
    return _entry("method", name, id, fields, type)


# Both profiles read this schema; the generated modules differ where they do.
RICH: Schema = {
    "constructors": [
        _ctor("point", 1, "x:int y:int", "Point"),
        _ctor("geo.point", 2, "lat:double long:double", "geo.Point"),
        _ctor("geoPoint", 3, "at:geo.Point", "GeoThing"),
        # Shape: many constructors, a recursive one, a shared bit.
        _ctor("shapeEmpty", 10, "", "Shape"),
        _ctor("shapeCircle", 11, "center:Point radius:double", "Shape"),
        _ctor("shapeSquare", 12,
              "flags:# corner:Point side:double rotated:flags.0?true angle:flags.0?double",
              "Shape"),
        _ctor("shapePolygon", 13, "points:Vector<Point> closed:Bool", "Shape"),
        _ctor("shapeGroup", 14, "name:string items:Vector<Shape>", "Shape"),
        _ctor("shapeText", 15, "text:string at:%Point", "Shape"),
        _ctor("shapePath", 16, "segments:Vector<Vector<Point>>", "Shape"),
        _ctor("shapeImage", 17, "data:bytes size:long", "Shape"),
        # Two flags words, bits shared within each.
        _ctor("user", 20,
              "flags:# flags2:# id:long name:string bot:flags.0?true username:flags.1?string "
              "about:flags.1?string photo:flags2.0?Photo premium:flags2.3?true "
              "verified:flags2.3?Bool", "User"),
        _ctor("userEmpty", 21, "id:long", "User"),
        _ctor("photo", 30, "id:long sizes:Vector<Vector<int>>", "Photo"),
        # Bare and boxed objects: bare only in the standard profile.
        _ctor("segment", 40, "a:%Point b:point c:Point ends:vector<%Point>", "Segment"),
        # Field names a class body cannot hold.
        _ctor("keywords", 50, "class:int from:string int:long __secret:bytes match:string",
              "Keywords"),
        _ctor("true", 51, "", "True"),
        _ctor("literal", 52, "value:string", "Literal"),
        _ctor("wide", 60, "small:int128 big:int256 any:Object counts:Vector<int128> "
              "votes:Vector<Bool>", "Wide"),
        _ctor("legacy", 61, "id:int flags:int", "Legacy"),
    ],
    "methods": [
        _method("users.get", 100, "ids:Vector<long>", "Vector<User>"),
        _method("invokeWith", 101, "flags:# query:!X first:flags.0?Bool", "X"),
    ],
}

GENERATED = {"rich_default.py": (RICH, False), "rich_standard.py": (RICH, True)}


def big(n: int = 2500) -> Schema:
    """A schema of n declarations: types of up to 5 constructors with flags,
    vectors and object fields, and a method for every 10th declaration.

    Type k refers to types k // 2 and k // 3, so references nest about as
    deep as in real schemas (a dozen levels), not in one long chain.
    """
    ctors: list[dict[str, Any]] = []
    methods: list[dict[str, Any]] = []
    for i in range(n):
        k = i // 5
        if i % 10 == 9:
            methods.append(_method(f"ns{i % 7}.get{i}", 100000 + i,
                                   f"flags:# ids:Vector<long> q:flags.0?Type{k // 2}",
                                   f"Vector<Type{k}>"))
            continue
        fields = ("flags:# id:long name:string on:flags.0?true note:flags.1?string "
                  "tags:Vector<string> rows:Vector<Vector<double>> data:bytes")
        if k:
            fields += f" ref:Type{k // 2} refs:flags.2?Vector<Type{k // 3}>"
        ctors.append(_ctor(f"ns{i % 7}.item{i}", 100000 + i, fields, f"Type{k}"))
    return {"constructors": ctors, "methods": methods}


def main() -> None:
    from Mivex._typed import typed_module

    ap = argparse.ArgumentParser()
    ap.add_argument("--big", metavar="FILE", help="write the 2,500-declaration module here")
    args = ap.parse_args()
    if args.big:
        schema = big()
        start = time.perf_counter()
        text = typed_module(schema)
        took = time.perf_counter() - start
        pathlib.Path(args.big).write_text(text)
        print(f"generated {len(text):,} characters for {len(schema['constructors'])} "
              f"constructors and {len(schema['methods'])} methods in {took * 1000:.0f} ms")
        return
    here = pathlib.Path(__file__).parent / "generated"
    for name, (schema, standard) in GENERATED.items():
        (here / name).write_text(typed_module(schema, standard=standard))


if __name__ == "__main__":
    main()
