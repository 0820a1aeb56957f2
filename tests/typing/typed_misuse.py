"""Values the generated types must reject; never run.

Each line marked `# E: CODE` must draw exactly that mypy error, and pyright
an error on the same line; no other line may draw any (.ci/typecheck checks).
"""

from generated import rich_default as d
from generated import rich_standard as s

# A misspelled field, a value of the wrong type, a constructor that is not one.
u1: d.User_In = {"_": "user", "nmae": "Ada"}  # E: typeddict-unknown-key
u2: d.User_In = {"_": "user", "id": "7"}  # E: typeddict-item
u3: d.User_In = {"_": "usr", "id": 7}  # E: typeddict-item
# Against a union mypy names no key, but still refuses.
u0: d.UserIn = {"_": "user", "nmae": "Ada"}  # E: assignment
# Flags words are computed, never given.
u4: d.User_In = {"_": "user", "flags": 1}  # E: typeddict-unknown-key
# pack needs object fields; the others it fills in.
c1: d.ShapeCircleIn = {"_": "shapeCircle", "radius": 1.0}  # E: typeddict-item
# An object field takes only constructors of its type.
c2: d.ShapeCircleIn = {"_": "shapeCircle", "center": {"_": "userEmpty"}}  # E: typeddict-item
g1: d.ShapeGroupIn = {"_": "shapeGroup", "items": [{"_": "shapeEmpty"}, "circle"]}  # E: list-item
# The default profile reads Vector<Vector<int>> as ints, the standard one as lists.
p1: d.PhotoIn = {"_": "photo", "sizes": [[1, 2]]}  # E: list-item
p2: s.PhotoIn = {"_": "photo", "sizes": [[1], 2]}  # E: list-item
m1: d.UsersGetIn = {"_": "users.get", "ids": ["1"]}  # E: list-item
# A bare object may leave "_" out in the standard profile only, and be no other constructor.
t1: d.ShapeTextIn = {"_": "shapeText", "at": {"x": 1}}  # E: typeddict-item
t2: s.ShapeTextIn = {"_": "shapeText", "at": {"_": "geo.point"}}  # E: typeddict-item
# Fields only the functional syntax can name.
k1: d.KeywordsIn = {"_": "keywords", "class": "x"}  # E: typeddict-item
k2: d.KeywordsIn = {"_": "keywords", "__secret": "x"}  # E: typeddict-item
# int128 is an int in the standard profile, an object in the default one.
w1: s.WideIn = {"_": "wide", "small": "1", "any": {}}  # E: typeddict-item
w2: d.WideIn = {"_": "wide", "small": 1, "big": {}, "any": {}}  # E: typeddict-item
# A flags field of type int is a plain field in the standard profile only.
l1: d.LegacyIn = {"_": "legacy", "flags": 3}  # E: typeddict-unknown-key


def read(user: d.User_, square: d.ShapeSquare, legacy: s.Legacy) -> None:
    name: str = user["username"]  # E: assignment
    user["flags"]  # E: typeddict-item
    square["radius"]  # E: typeddict-item
    count: int = legacy["flags"]
    bits: list[int] = s.Photo(_="photo", id=1, sizes=[[1]])["sizes"]  # E: assignment
    print(name, count, bits)
