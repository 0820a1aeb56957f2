"""The corpus: seven message shapes, each one TL schema plus one logical value.

Every library measures the same value.  Two forms of it exist:

* the *tagged* form is what ``TLParser.pack`` takes: dicts carrying the
  constructor name under ``"_"``.  Self-describing serializers (msgpack,
  CBOR, pickle, marshal, JSON, msgspec on dicts) encode exactly this dict, and
  must give it back.
* the *plain* form drops the ``"_"`` keys.  Schema-typed serializers
  (protobuf, Avro, msgspec ``Struct``) learn the type from their schema, as
  TL learns it from the constructor id, so they carry no tag.

``TLParser.unpack`` returns every field of an object: an absent conditional
field comes back as ``None`` and an unset ``true`` flag as ``False``.
:func:`Shape.tl_expected` is that complete form of the value; the typed
peers return the complete plain form, :func:`Shape.plain_expected`.

Values are generated from a fixed seed, so every run (and every process of
the instruction-count mode) sees the same bytes.
"""

from __future__ import annotations

import functools
import json
import random
import re
from dataclasses import dataclass
from typing import Any, Callable

# ---------------------------------------------------------------------------
# Schema model shared by the value helpers and the typed peers
# ---------------------------------------------------------------------------

_COND = re.compile(r"^(flags2?)\.(\d+)\?(.+)$")
PRIMITIVES = {
    "int": "int", "#": "int", "long": "long", "double": "double",
    "string": "string", "bytes": "bytes", "byte": "bytes",
    "Bool": "bool", "true": "bool",
}


@dataclass(frozen=True)
class Param:
    name: str
    kind: str            # int long double string bytes bool vector object flags
    flag_word: str = ""  # "flags"/"flags2" for a conditional field
    bit: int = -1
    is_true: bool = False  # presence-only field (type "true")
    elem_kind: str = ""    # vectors: kind of the elements
    type_name: str = ""    # objects (and vectors of objects): the TL type

    @property
    def conditional(self) -> bool:
        return bool(self.flag_word)


@dataclass(frozen=True)
class Ctor:
    name: str
    id: int
    type: str
    params: tuple[Param, ...]


def _classify(type_text: str) -> tuple[str, str, str]:
    """(kind, elem_kind, type_name) of a parameter type without its condition."""
    if type_text in PRIMITIVES:
        return PRIMITIVES[type_text], "", ""
    if type_text.startswith("Vector"):
        elem = type_text.replace("Vector<", "").replace(">", "")
        kind, _, name = _classify(elem)
        return "vector", kind, name
    return "object", "", type_text


def compile_schema(schema: dict) -> dict[str, Ctor]:
    """Constructor records by name, in the order of the schema."""
    out: dict[str, Ctor] = {}
    for entry in list(schema.get("constructors", [])) + list(schema.get("methods", [])):
        params = []
        for p in entry["params"]:
            text = p["type"]
            if p["name"] in ("flags", "flags2"):
                params.append(Param(p["name"], "flags"))
                continue
            m = _COND.match(text)
            word, bit = "", -1
            if m:
                word, bit, text = m.group(1), int(m.group(2)), m.group(3)
            kind, elem, tname = _classify(text)
            params.append(Param(p["name"], kind, word, bit, text == "true", elem, tname))
        name = entry.get("predicate") or entry.get("method") or entry["type"]
        out[name] = Ctor(name, int(entry["id"]) & 0xFFFFFFFF, entry["type"], tuple(params))
    return out


def ctor_for_type(ctors: dict[str, Ctor], type_name: str) -> Ctor:
    for c in ctors.values():
        if c.type == type_name:
            return c
    raise KeyError(type_name)


def _ctor(name: str, cid: int, type_: str, *params: tuple[str, str]) -> dict:
    return {"predicate": name, "id": str(cid), "type": type_,
            "params": [{"name": n, "type": t} for n, t in params]}


# ---------------------------------------------------------------------------
# Schemas
# ---------------------------------------------------------------------------
# Constructor ids are arbitrary 32-bit words, some above 2**31 so that the
# unsigned range is exercised.

USER = _ctor(
    "benchUser", 0x3C1F7A52, "BenchUser",
    ("id", "long"), ("access_hash", "long"), ("date", "int"), ("version", "int"),
    ("rating", "double"), ("verified", "Bool"), ("first_name", "string"),
    ("lang_code", "string"),
)
DOCUMENT = _ctor(
    "benchDocument", 0x9A6E02D4, "BenchDocument",
    ("id", "long"), ("caption", "string"), ("data", "bytes"),
)
CHANNEL_POST = _ctor(
    "benchChannelPost", 0x5D83A1F7, "BenchChannelPost",
    ("flags", "#"),
    ("out", "flags.0?true"), ("mentioned", "flags.1?true"), ("pinned", "flags.2?true"),
    ("views", "flags.3?int"), ("reply_to_id", "flags.4?long"),
    ("post_author", "flags.5?string"), ("edit_date", "flags.6?int"),
    ("grouped_id", "flags.7?long"), ("rating", "flags.8?double"),
    ("via_bot_id", "flags.9?long"),
)
PHOTO = _ctor(
    "benchPhoto", 0x1E4C9B36, "BenchPhoto",
    ("photo_id", "long"), ("dc_id", "int"), ("w", "int"), ("h", "int"), ("aspect", "double"),
)
PEER = _ctor(
    "benchPeer", 0xC27F5E08, "BenchPeer",
    ("user_id", "long"), ("access_hash", "long"), ("username", "string"),
    ("photo", "BenchPhoto"), ("premium", "Bool"),
)
MESSAGE = _ctor(
    "benchMessage", 0x7B30D9C5, "BenchMessage",
    ("id", "long"), ("date", "int"), ("message", "string"), ("sender", "BenchPeer"),
    ("silent", "Bool"), ("views", "int"),
)
USER_LIST = _ctor("benchUserList", 0xE5A1C3B9, "BenchUserList", ("users", "Vector<BenchUser>"))
ID_LIST = _ctor("benchIdList", 0x4F2D8E61, "BenchIdList", ("ids", "Vector<long>"))
FILE_PART = _ctor("benchFilePart", 0xB8E6F41A, "BenchFilePart", ("data", "bytes"))

# ---------------------------------------------------------------------------
# Values
# ---------------------------------------------------------------------------

SEED = 20240407
FIRST_NAMES = [
    "Ada", "Grace", "Alan", "Edsger", "Barbara", "Donald", "Frances", "Ken",
    "Margaret", "Niklaus", "Radia", "Tim", "Sophie", "Linus", "Guido", "Bjarne",
    "José", "Zoë", "Łukasz", "Søren", "Anna-Maria", "Mei", "Kwame", "Yusuf",
]
LANG_CODES = ["en", "de", "fr", "es", "pt-br", "ru", "ja", "it", "nl", "zh-hans"]
WORDS = (
    "the release adds faster startup smaller packets and a cleaner protocol "
    "layer for every client while the team keeps the old paths working "
    "until each device has moved over café naïve déjà vu résumé façade "
    "measurements show lower latency on mobile networks and less memory on "
    "servers that keep many sessions open at once"
).split()


def _user(rng: random.Random) -> dict:
    return {
        "_": "benchUser",
        "id": rng.randrange(10**8, 10**11),
        "access_hash": rng.getrandbits(63),
        "date": 1_700_000_000 + rng.randrange(40_000_000),
        "version": rng.randrange(1, 600),
        "rating": rng.random() * 5.0,
        "verified": rng.random() < 0.3,
        "first_name": rng.choice(FIRST_NAMES),
        "lang_code": rng.choice(LANG_CODES),
    }


def _text(rng: random.Random, size: int) -> str:
    """Prose of exactly ``size`` bytes of UTF-8, mostly ASCII."""
    parts: list[str] = []
    used = 0
    sentence_start = True
    while True:
        word = rng.choice(WORDS)
        if sentence_start:
            word = word.capitalize()
        sentence_start = rng.random() < 0.1
        if sentence_start:
            word += "."
        piece = word + " "
        n = len(piece.encode())
        if used + n > size:
            break
        parts.append(piece)
        used += n
    return "".join(parts) + "." * (size - used)


def value_1() -> dict:
    return {
        "_": "benchUser",
        "id": 5_083_261_337,
        "access_hash": 0x6F3A2B9C41D07E15,
        "date": 1_715_012_345,
        "version": 12,
        "rating": 4.734,
        "verified": True,
        "first_name": "Ada",
        "lang_code": "en",
    }


def value_2() -> dict:
    rng = random.Random(SEED + 2)
    return {
        "_": "benchDocument",
        "id": 8_821_004_517_306_112_345,
        "caption": _text(rng, 2048),
        "data": rng.randbytes(4096),
    }


def value_3() -> dict:
    # Five of the ten conditional fields are present, two of them
    # presence-only; the absent ones are simply not in the dict.
    return {
        "_": "benchChannelPost",
        "out": True,
        "pinned": True,
        "views": 48_213,
        "post_author": "Editorial team",
        "grouped_id": 13_734_882_016_551_228,
    }


def value_4() -> dict:
    return {
        "_": "benchMessage",
        "id": 90_412,
        "date": 1_715_020_001,
        "message": "See you at the station at 8, platform 4.",
        "sender": {
            "_": "benchPeer",
            "user_id": 7_351_220_981,
            "access_hash": 0x2C6B8E0F13A5D947,
            "username": "grace_h",
            "photo": {
                "_": "benchPhoto",
                "photo_id": 0x0DF1C2B3A4958677,
                "dc_id": 4,
                "w": 640,
                "h": 480,
                "aspect": 1.3333333333333333,
            },
            "premium": False,
        },
        "silent": False,
        "views": 3,
    }


def value_5() -> dict:
    rng = random.Random(SEED + 5)
    return {"_": "benchUserList", "users": [_user(rng) for _ in range(1000)]}


def value_6() -> dict:
    # Half look like user ids (up to 40 bits), half like 63-bit hashes.
    rng = random.Random(SEED + 6)
    ids = [rng.getrandbits(63) if i & 1 else rng.randrange(1, 1 << 40)
           for i in range(100_000)]
    return {"_": "benchIdList", "ids": ids}


def value_7() -> dict:
    rng = random.Random(SEED + 7)
    return {"_": "benchFilePart", "data": rng.randbytes(1 << 20)}


# ---------------------------------------------------------------------------
# Shapes
# ---------------------------------------------------------------------------


@dataclass
class Shape:
    number: int
    label: str
    title: str
    constructors: list[dict]
    top: str
    build: Callable[[], dict]
    has_bytes: bool

    @property
    def schema(self) -> dict:
        return {"constructors": self.constructors, "methods": []}

    @property
    def schema_json(self) -> str:
        return json.dumps(self.schema)

    @functools.cached_property
    def ctors(self) -> dict[str, Ctor]:
        return compile_schema(self.schema)

    @functools.cached_property
    def value(self) -> dict:
        """The tagged value given to Mivex and to the dict-based peers."""
        return self.build()

    @functools.cached_property
    def tl_expected(self) -> dict:
        """What ``TLParser.unpack`` must return for :attr:`value`."""
        return complete(self.ctors, self.value)

    @functools.cached_property
    def plain(self) -> dict:
        """:attr:`value` without ``"_"`` tags, for the schema-typed peers."""
        return untag(self.value)

    @functools.cached_property
    def plain_expected(self) -> dict:
        """:attr:`tl_expected` without tags: what typed peers return."""
        return untag(self.tl_expected)


def complete(ctors: dict[str, Ctor], obj: dict, standard: bool = False) -> dict:
    """The complete form of a tagged value, as the TL reader produces it.

    A conditional ``Bool`` is carried by its flag bit alone in the default
    profile (absent reads as False); in the standard profile it is present
    whenever it is not None, and absent reads as None."""
    c = ctors[obj["_"]]
    out = {"_": obj["_"]}
    for p in c.params:
        if p.kind == "flags":
            continue
        v = obj.get(p.name)
        if p.conditional:
            if p.kind == "bool" and standard and not p.is_true:
                out[p.name] = None if v is None else bool(v)
                continue
            if p.kind == "bool":
                out[p.name] = v is True
                continue
            if v is None:
                out[p.name] = None
                continue
        if p.kind == "object":
            v = complete(ctors, v, standard)
        elif p.kind == "vector" and p.elem_kind == "object":
            v = [complete(ctors, x, standard) for x in v]
        elif p.kind == "vector":
            v = list(v)
        out[p.name] = v
    return out


def untag(v: Any) -> Any:
    if isinstance(v, dict):
        return {k: untag(x) for k, x in v.items() if k != "_"}
    if isinstance(v, list):
        return [untag(x) for x in v]
    return v


SHAPES: dict[int, Shape] = {
    s.number: s
    for s in [
        Shape(1, "flat", "small flat object (8 fields)", [USER], "benchUser", value_1, False),
        Shape(2, "blobs", "2 KiB text + 4 KiB bytes", [DOCUMENT], "benchDocument", value_2, True),
        Shape(3, "flags", "flags word, 10 conditional fields, 5 present",
              [CHANNEL_POST], "benchChannelPost", value_3, False),
        Shape(4, "nested", "3 levels of nested objects", [PHOTO, PEER, MESSAGE],
              "benchMessage", value_4, False),
        Shape(5, "records", "vector of 1,000 flat objects", [USER, USER_LIST],
              "benchUserList", value_5, False),
        Shape(6, "longs", "vector of 100,000 longs", [ID_LIST], "benchIdList", value_6, False),
        Shape(7, "file", "one 1 MiB byte string", [FILE_PART], "benchFilePart", value_7, True),
    ]
}


def constructor_ids() -> dict[str, int]:
    """Every constructor id of the corpus by name (the floor is built with them)."""
    out = {}
    for s in SHAPES.values():
        for c in s.ctors.values():
            out[c.name] = c.id
    return out
