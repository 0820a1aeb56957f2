"""TypedDicts for a TL schema, made by Mivex.schema.typed_module; do not edit.

Schema sha256 90b6bf3e9233: 20 constructors, 2 methods.
Profile: standard, for TLParser(schema, standard=True).

NameIn is what TLParser.pack takes for the constructor or method Name;
Name is what TLParser.unpack returns for it, every key present. The
alias Type (TypeIn) is the union of the classes of Type's constructors.
"""

from typing import Literal, Mapping, NotRequired, TypeAlias, TypedDict


# constructor "point" of type "Point"
class PointIn(TypedDict):
    _: Literal["point"]
    x: NotRequired[int]
    y: NotRequired[int]


class PointBareIn(TypedDict):
    _: NotRequired[Literal["point"]]
    x: NotRequired[int]
    y: NotRequired[int]


class Point(TypedDict):
    _: Literal["point"]
    x: int
    y: int


# constructor "geo.point" of type "geo.Point"
class GeoPointIn(TypedDict):
    _: Literal["geo.point"]
    lat: NotRequired[float]
    long: NotRequired[float]


class GeoPoint(TypedDict):
    _: Literal["geo.point"]
    lat: float
    long: float


# constructor "geoPoint" of type "GeoThing"
class GeoPoint_In(TypedDict):
    _: Literal["geoPoint"]
    at: "GeoPointIn"


class GeoPoint_(TypedDict):
    _: Literal["geoPoint"]
    at: "GeoPoint"


# constructor "shapeEmpty" of type "Shape"
class ShapeEmptyIn(TypedDict):
    _: Literal["shapeEmpty"]


class ShapeEmpty(TypedDict):
    _: Literal["shapeEmpty"]


# constructor "shapeCircle" of type "Shape"
class ShapeCircleIn(TypedDict):
    _: Literal["shapeCircle"]
    center: "PointIn"
    radius: NotRequired[float]


class ShapeCircle(TypedDict):
    _: Literal["shapeCircle"]
    center: "Point"
    radius: float


# constructor "shapeSquare" of type "Shape"
class ShapeSquareIn(TypedDict):
    _: Literal["shapeSquare"]
    corner: "PointIn"
    side: NotRequired[float]
    rotated: NotRequired[bool | None]
    angle: NotRequired[float | None]


class ShapeSquare(TypedDict):
    _: Literal["shapeSquare"]
    corner: "Point"
    side: float
    rotated: bool
    angle: float | None


# constructor "shapePolygon" of type "Shape"
class ShapePolygonIn(TypedDict):
    _: Literal["shapePolygon"]
    points: NotRequired["list[PointIn]"]
    closed: NotRequired[bool]


class ShapePolygon(TypedDict):
    _: Literal["shapePolygon"]
    points: "list[Point]"
    closed: bool


# constructor "shapeGroup" of type "Shape"
class ShapeGroupIn(TypedDict):
    _: Literal["shapeGroup"]
    name: NotRequired[str]
    items: NotRequired["list[ShapeIn]"]


class ShapeGroup(TypedDict):
    _: Literal["shapeGroup"]
    name: str
    items: "list[Shape]"


# constructor "shapeText" of type "Shape"
class ShapeTextIn(TypedDict):
    _: Literal["shapeText"]
    text: NotRequired[str]
    at: "PointBareIn"


class ShapeText(TypedDict):
    _: Literal["shapeText"]
    text: str
    at: "Point"


# constructor "shapePath" of type "Shape"
class ShapePathIn(TypedDict):
    _: Literal["shapePath"]
    segments: NotRequired["list[list[PointIn]]"]


class ShapePath(TypedDict):
    _: Literal["shapePath"]
    segments: "list[list[Point]]"


# constructor "shapeImage" of type "Shape"
class ShapeImageIn(TypedDict):
    _: Literal["shapeImage"]
    data: NotRequired[bytes | bytearray | memoryview]
    size: NotRequired[int]


class ShapeImage(TypedDict):
    _: Literal["shapeImage"]
    data: bytes
    size: int


# constructor "user" of type "User"
class User_In(TypedDict):
    _: Literal["user"]
    id: NotRequired[int]
    name: NotRequired[str]
    bot: NotRequired[bool | None]
    username: NotRequired[str | None]
    about: NotRequired[str | None]
    photo: NotRequired["PhotoIn | None"]
    premium: NotRequired[bool | None]
    verified: NotRequired[bool | None]


class User_(TypedDict):
    _: Literal["user"]
    id: int
    name: str
    bot: bool
    username: str | None
    about: str | None
    photo: "Photo | None"
    premium: bool
    verified: bool | None


# constructor "userEmpty" of type "User"
class UserEmptyIn(TypedDict):
    _: Literal["userEmpty"]
    id: NotRequired[int]


class UserEmpty(TypedDict):
    _: Literal["userEmpty"]
    id: int


# constructor "photo" of type "Photo"
class PhotoIn(TypedDict):
    _: Literal["photo"]
    id: NotRequired[int]
    sizes: NotRequired[list[list[int]]]


class Photo(TypedDict):
    _: Literal["photo"]
    id: int
    sizes: list[list[int]]


# constructor "segment" of type "Segment"
class SegmentIn(TypedDict):
    _: Literal["segment"]
    a: "PointBareIn"
    b: "PointBareIn"
    c: "PointIn"
    ends: NotRequired["list[PointBareIn]"]


class Segment(TypedDict):
    _: Literal["segment"]
    a: "Point"
    b: "Point"
    c: "Point"
    ends: "list[Point]"


# constructor "keywords" of type "Keywords"
KeywordsIn = TypedDict(
    "KeywordsIn",
    {
        "_": Literal["keywords"],
        "class": NotRequired[int],
        "from": NotRequired[str],
        "int": NotRequired[int],
        "__secret": NotRequired[bytes | bytearray | memoryview],
        "match": NotRequired[str],
    },
)


Keywords = TypedDict(
    "Keywords",
    {
        "_": Literal["keywords"],
        "class": int,
        "from": str,
        "int": int,
        "__secret": bytes,
        "match": str,
    },
)


# constructor "true" of type "True"
class True_In(TypedDict):
    _: Literal["true"]


class True_(TypedDict):
    _: Literal["true"]


# constructor "literal" of type "Literal"
class Literal_In(TypedDict):
    _: Literal["literal"]
    value: NotRequired[str]


class Literal_(TypedDict):
    _: Literal["literal"]
    value: str


# constructor "wide" of type "Wide"
class WideIn(TypedDict):
    _: Literal["wide"]
    small: NotRequired[int]
    big: NotRequired[int]
    any: Mapping[str, object]
    counts: NotRequired[list[int]]
    votes: NotRequired[list[bool]]


class Wide(TypedDict):
    _: Literal["wide"]
    small: int
    big: int
    any: dict[str, object]
    counts: list[int]
    votes: list[bool]


# constructor "legacy" of type "Legacy"
class LegacyIn(TypedDict):
    _: Literal["legacy"]
    id: NotRequired[int]
    flags: NotRequired[int]


class Legacy(TypedDict):
    _: Literal["legacy"]
    id: int
    flags: int


# method "users.get"
class UsersGetIn(TypedDict):
    _: Literal["users.get"]
    ids: NotRequired[list[int]]


class UsersGet(TypedDict):
    _: Literal["users.get"]
    ids: list[int]


# method "invokeWith"
class InvokeWithIn(TypedDict):
    _: Literal["invokeWith"]
    query: Mapping[str, object]
    first: NotRequired[bool | None]


class InvokeWith(TypedDict):
    _: Literal["invokeWith"]
    query: dict[str, object]
    first: bool | None


# result types
GeoThing: TypeAlias = GeoPoint_
GeoThingIn: TypeAlias = GeoPoint_In
Shape: TypeAlias = (
    ShapeEmpty
    | ShapeCircle
    | ShapeSquare
    | ShapePolygon
    | ShapeGroup
    | ShapeText
    | ShapePath
    | ShapeImage
)
ShapeIn: TypeAlias = (
    ShapeEmptyIn
    | ShapeCircleIn
    | ShapeSquareIn
    | ShapePolygonIn
    | ShapeGroupIn
    | ShapeTextIn
    | ShapePathIn
    | ShapeImageIn
)
User: TypeAlias = User_ | UserEmpty
UserIn: TypeAlias = User_In | UserEmptyIn
