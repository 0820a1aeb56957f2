"""The "mix": a large generated schema and one value for each of its entries,
built the way an application gets its messages.

The schema has about 2,400 entries (two thirds constructors, one third
methods) with the field proportions of a large real-world schema: mostly
small objects, a long tail up to 30 fields, a third of the fields
conditional, objects nested up to four levels.  Each value is generated,
written with ``json.dumps`` and read back with ``json.loads``, one value at
a time: its keys equal the field names without being the same objects, and
its text mixes Latin, Cyrillic, CJK and emoji, from empty to about 700
bytes.  Byte strings travel through JSON as base64 and are made ``bytes``
again after loading.

Everything comes from a fixed seed: every process (the valgrind workers
included) sees the same schema and the same values.
"""

from __future__ import annotations

import base64
import json
import random
import sys
from dataclasses import dataclass
from typing import Any, Optional

from .shapes import Ctor, compile_schema, complete

SEED = 20240918
CONSTRUCTORS = 1600
METHODS = 800
MAX_FIELDS = 30
MAX_LEVEL = 3  # a type of level L holds objects of lower levels only: 4 levels at most

# Kinds of the fields that are not `true` flags, by weight (percent of all
# fields); `true` flags make up the remaining 14%.
KIND_WEIGHTS = {
    "int": 27, "long": 9, "string": 14, "bytes": 2, "Bool": 1, "double": 1,
    "vector-prim": 2, "vector-obj": 8, "object": 22,
}
PRIMITIVE_ELEMENTS = ("int", "long", "string")
TRUE_SHARE_OF_CONDITIONAL = 0.45
CONDITIONAL_IN_FLAGGED = 0.57
OBJECT_BOOST = 1.45

WORDS = {
    "ascii": ("the a new update for all of your team and in at on by with we release "
              "notes today photo video file message group channel user account time "
              "next week open close reply share like first last draft saved sent "
              "status online offline ready done call voice hello thanks see you soon").split(),
    "latin": ("café naïve déjà vu résumé façade über straße señor niño año "
              "garçon élève crème brûlée smörgåsbord fjörd łódź żółw "
              "ação coração são paulo où été très bien").split(),
    "cyrillic": ("привет мир сообщение данные время город новости сегодня завтра "
                 "файл фото видео группа канал ответ пользователь готово спасибо "
                 "до встречи хорошо добрый день").split(),
    "cjk": ("你好 世界 消息 数据 时间 城市 新闻 今天 明天 文件 照片 视频 "
            "こんにちは ありがとう 東京 ニュース 写真 動画 안녕하세요 감사합니다 서울 사진").split(),
    "emoji": ("😀 😂 🎉 👍 ❤️ 🔥 🚀 🌍 ✨ 🙏 😎 🤔 📷 🎵 ✅ 👋🏽").split(),
}
# Share of strings by script; "emoji" strings mix Latin words and emoji.
SCRIPTS = [("ascii", 45), ("latin", 15), ("cyrillic", 15), ("cjk", 15), ("emoji", 10)]
# Byte lengths of the strings: (low, high, weight).
STRING_SIZES = [(0, 0, 12), (1, 16, 45), (17, 64, 25), (65, 256, 12), (257, 700, 6)]

FIELD_NAMES = (
    "id owner_id author_id target_id group_id item_id parent_id reply_to_id thread_id "
    "access_key file_hash random_id date edit_date until_date expires created updated "
    "version count total offset limit width height duration size position score rank "
    "level views shares replies ratings sequence epoch serial unread_count top_id "
    "title text caption message name first_name last_name username label description "
    "about slug url address lang_code country_code zone symbol mime_type file_name "
    "query hash_text token data payload thumb bytes_value secret checksum "
    "photo video document media entity entities sender target group user users groups "
    "items results messages panel layout settings options poll answers votes "
    "location geo venue contact invite link preview action button color "
    "is_private is_default has_more silent pinned muted verified automated deleted "
    "partial flagged suspect paid archived hidden closed locked "
).split()


@dataclass
class Field:
    name: str
    type: str              # as written in the schema, condition included


@dataclass
class Entry:
    name: str
    id: int
    type: str
    method: bool
    fields: list[Field]
    level: int


# ---------------------------------------------------------------------------
# Schema
# ---------------------------------------------------------------------------


def _pick(rng: random.Random, weighted):
    total = sum(w for *_, w in weighted)
    x = rng.random() * total
    for item in weighted:
        x -= item[-1]
        if x < 0:
            return item
    return weighted[-1]


def _field_count(rng: random.Random) -> int:
    # Mostly small objects and a long tail: the mean is about 3.
    r = rng.random()
    if r < 0.16:
        return 0
    if r < 0.88:
        return rng.choice([1, 1, 2, 2, 2, 3, 3, 4, 4, 5])
    if r < 0.975:
        return rng.randrange(6, 13)
    return rng.randrange(13, MAX_FIELDS + 1)


def _flag_words(rng: random.Random, n: int) -> int:
    """0, 1 or 2 flag words for an entry of n fields: big entries have them."""
    chance = [0.0, 0.06, 0.17, 0.33, 0.48, 0.62][n] if n < 6 else 0.9
    if rng.random() >= chance:
        return 0
    return 2 if n >= 8 and rng.random() < 0.15 else 1


def _types(rng: random.Random) -> list[tuple[str, int, int]]:
    """(type name, level, constructor count) covering CONSTRUCTORS."""
    out, left, i = [], CONSTRUCTORS, 0
    while left:
        size = _pick(rng, [(1, 70), (2, 18), (3, 6), (4, 3), (rng.randrange(5, 16), 3)])[0]
        size = min(size, left)
        level = _pick(rng, [(0, 34), (1, 30), (2, 22), (3, 14)])[0]
        out.append((f"Ent{i}", level, size))
        left -= size
        i += 1
    return out


def _make_fields(rng: random.Random, n: int, words: int, level: int,
                 by_level: dict[int, list[str]]) -> list[Field]:
    names = rng.sample(FIELD_NAMES, n)
    # In entries with flag words about two thirds of the fields are
    # conditional: a third of all fields overall.
    conditional = [words > 0 and rng.random() < CONDITIONAL_IN_FLAGGED for _ in range(n)]
    if words and not any(conditional):
        conditional[rng.randrange(n)] = True
    bits = {"flags": 0, "flags2": 0}
    second_from = n // 2 if words == 2 else n + 1
    fields: list[Field] = []
    if words:
        fields.append(Field("flags", "#"))
    for i, (name, cond) in enumerate(zip(names, conditional)):
        if i == second_from:
            fields.append(Field("flags2", "#"))
        if cond and rng.random() < TRUE_SHARE_OF_CONDITIONAL:
            text = "true"
        else:
            text = _field_type(rng, level, by_level)
        if cond:
            word = "flags2" if i >= second_from else "flags"
            bits[word] += 1 + (rng.random() < 0.15)  # unused bits, as schemas grow
            text = f"{word}.{bits[word] - 1}?{text}"
        fields.append(Field(name, text))
    return fields


def _field_type(rng: random.Random, level: int, by_level: dict[int, list[str]]) -> str:
    kinds = list(KIND_WEIGHTS.items())
    if level == 0:
        kinds = [(k, w) for k, w in kinds if k not in ("object", "vector-obj")]
    else:
        # Leaf types hold no objects; the others make up for them.
        kinds = [(k, w * OBJECT_BOOST if k in ("object", "vector-obj") else w) for k, w in kinds]
    kind = _pick(rng, kinds)[0]
    if kind in ("object", "vector-obj"):
        # Mostly the level just below, sometimes further down.
        target = level - 1 if rng.random() < 0.55 else rng.randrange(level)
        tname = rng.choice(by_level[target])
        return tname if kind == "object" else f"Vector<{tname}>"
    if kind == "vector-prim":
        return f"Vector<{rng.choice(PRIMITIVE_ELEMENTS + ('int', 'long'))}>"
    return kind


def build_schema(seed: int = SEED) -> tuple[dict, list[Entry]]:
    rng = random.Random(seed)
    types = _types(rng)
    by_level: dict[int, list[str]] = {}
    for tname, level, _ in types:
        by_level.setdefault(level, []).append(tname)
    ids: set[int] = set()

    def new_id() -> int:
        while True:
            x = rng.getrandbits(32)
            if x not in ids and x != 0x1CB5C415:
                ids.add(x)
                return x

    entries: list[Entry] = []
    k = 0
    for tname, level, size in types:
        for _ in range(size):
            n = _field_count(rng)
            # Leaf objects are the small ones: no type of level 0 has over 12 fields.
            if level == 0:
                n = min(n, 12)
            words = _flag_words(rng, n)
            entries.append(Entry(f"ent{k}", new_id(), tname, False,
                                 _make_fields(rng, n, words, level, by_level), level))
            k += 1
    for _ in range(METHODS):
        n = _field_count(rng)
        words = _flag_words(rng, n)
        result = rng.choice([t for t, _, _ in types])
        # A method's arguments nest like a level-3 constructor's: 4 levels at most.
        entries.append(Entry(f"ent{k}", new_id(), result, True,
                             _make_fields(rng, n, words, MAX_LEVEL, by_level), MAX_LEVEL))
        k += 1
    rng.shuffle(entries)

    def form(e: Entry) -> dict:
        return {("method" if e.method else "predicate"): e.name, "id": str(e.id),
                "type": e.type, "params": [{"name": f.name, "type": f.type} for f in e.fields]}

    schema = {"constructors": [form(e) for e in entries if not e.method],
              "methods": [form(e) for e in entries if e.method]}
    return schema, entries


# ---------------------------------------------------------------------------
# Values
# ---------------------------------------------------------------------------


def _text(rng: random.Random) -> str:
    low, high, _ = _pick(rng, STRING_SIZES)
    size = rng.randint(low, high)
    script = _pick(rng, SCRIPTS)[0]
    parts, used = [], 0
    while True:
        if script == "emoji":
            word = rng.choice(WORDS["emoji"] if rng.random() < 0.3 else WORDS["ascii"])
        elif script in ("latin", "cyrillic", "cjk") and rng.random() < 0.2:
            word = rng.choice(WORDS["ascii"])  # mixed-script text, as people write
        else:
            word = rng.choice(WORDS[script])
        n = len(word.encode()) + 1
        if used + n > size:
            break
        parts.append(word)
        used += n
    text = " ".join(parts)
    return text + "." * (size - len(text.encode()))


def _int(rng: random.Random) -> int:
    # Not negative: TLParser.unpack reads int words as unsigned, so only
    # these round-trip to equal values.
    r = rng.random()
    if r < 0.4:
        return rng.randrange(0, 100)
    if r < 0.7:
        return rng.randrange(0, 100_000)
    if r < 0.9:
        return 1_600_000_000 + rng.randrange(150_000_000)
    return rng.randrange(0, 2**31)


def _long(rng: random.Random) -> int:
    r = rng.random()
    if r < 0.5:
        return rng.randrange(10**6, 10**12)
    if r < 0.9:
        return rng.getrandbits(63)
    return rng.randrange(0, 1000)


def _prim(rng: random.Random, kind: str) -> Any:
    if kind == "int":
        return _int(rng)
    if kind == "long":
        return _long(rng)
    if kind == "double":
        return round(rng.uniform(-1000, 1000), rng.choice([1, 2, 6, 15]))
    if kind == "string":
        return _text(rng)
    if kind == "bytes":
        return rng.randbytes(_pick(rng, [(8, 30), (16, 25), (32, 25), (rng.randrange(0, 600), 20)])[0])
    if kind == "bool":
        return rng.random() < 0.5
    raise ValueError(kind)


class Generator:
    def __init__(self, schema: dict, seed: int = SEED):
        self.ctors = compile_schema(schema)
        self.by_type: dict[str, list[str]] = {}
        for e in schema["constructors"]:
            self.by_type.setdefault(e["type"], []).append(e["predicate"])
        self.rng = random.Random(seed)

    def value(self, name: str) -> dict:
        rng = self.rng
        c = self.ctors[name]
        out: dict = {"_": name}
        for p in c.params:
            if p.kind == "flags":
                continue  # computed by the codec, never given
            if p.conditional:
                r = rng.random()
                if p.is_true:
                    if r < 0.4:
                        out[p.name] = True
                    elif r < 0.5:
                        out[p.name] = False
                    continue
                if r < 0.45:
                    continue
                if r < 0.5:
                    out[p.name] = None
                    continue
            out[p.name] = self._field(p)
        return out

    def _field(self, p) -> Any:
        rng = self.rng
        if p.kind == "object":
            return self.value(rng.choice(self.by_type[p.type_name]))
        if p.kind == "vector":
            if p.elem_kind == "object":
                n = _pick(rng, [(0, 25), (1, 30), (2, 20), (3, 15), (rng.randrange(4, 9), 10)])[0]
                return [self.value(rng.choice(self.by_type[p.type_name])) for _ in range(n)]
            n = _pick(rng, [(0, 30), (rng.randrange(1, 5), 50), (rng.randrange(5, 40), 20)])[0]
            return [_prim(rng, p.elem_kind) for _ in range(n)]
        return _prim(rng, p.kind)


# ---------------------------------------------------------------------------
# Through JSON, as an application receives them
# ---------------------------------------------------------------------------


def _walk_bytes(ctors: dict[str, Ctor], obj: dict, convert) -> dict:
    """A copy of obj with every bytes field passed through convert."""
    c = ctors[obj["_"]]
    out = dict(obj)
    for p in c.params:
        v = out.get(p.name)
        if v is None:
            continue
        if p.kind == "bytes":
            out[p.name] = convert(v)
        elif p.kind == "object":
            out[p.name] = _walk_bytes(ctors, v, convert)
        elif p.kind == "vector" and p.elem_kind == "object":
            out[p.name] = [_walk_bytes(ctors, x, convert) for x in v]
    return out


def to_json(ctors: dict[str, Ctor], value: dict) -> str:
    return json.dumps(_walk_bytes(ctors, value, lambda b: base64.b64encode(b).decode()),
                      ensure_ascii=False)


def from_json(ctors: dict[str, Ctor], text: str) -> dict:
    """A fresh value: new dicts, keys and strings, bytes made bytes again."""
    return _fix_bytes(ctors, json.loads(text))


def _fix_bytes(ctors: dict[str, Ctor], obj: dict) -> dict:
    # In place: the dicts are fresh from json.loads.
    for p in ctors[obj["_"]].params:
        v = obj.get(p.name)
        if v is None:
            continue
        if p.kind == "bytes":
            obj[p.name] = base64.b64decode(v)
        elif p.kind == "object":
            _fix_bytes(ctors, v)
        elif p.kind == "vector" and p.elem_kind == "object":
            for x in v:
                _fix_bytes(ctors, x)
    return obj


def ascii_only(value: Any) -> Any:
    """The same value with every string replaced by ASCII of the same UTF-8 length."""
    if isinstance(value, dict):
        return {k: ascii_only(v) if k != "_" else v for k, v in value.items()}
    if isinstance(value, list):
        return [ascii_only(v) for v in value]
    if isinstance(value, str):
        n = len(value.encode())
        return ("lorem ipsum dolor sit amet " * (n // 27 + 1))[:n]
    return value


def interned_keys(value: Any) -> Any:
    """The same value with every key interned (as literals in source code are)."""
    if isinstance(value, dict):
        return {sys.intern(k): interned_keys(v) for k, v in value.items()}
    if isinstance(value, list):
        return [interned_keys(v) for v in value]
    return value


# ---------------------------------------------------------------------------
# The mix
# ---------------------------------------------------------------------------


@dataclass
class Mix:
    schema: dict
    entries: list[Entry]
    ctors: dict[str, Ctor]
    texts: list[str]          # one JSON text per entry, multilingual
    ascii_texts: list[str]    # the same values with ASCII text of the same lengths

    @property
    def schema_json(self) -> str:
        return json.dumps(self.schema)

    def values(self, ascii: bool = False) -> list[dict]:
        """Fresh values, as json.loads gives them (one call per value)."""
        ctors = self.ctors
        return [from_json(ctors, t) for t in (self.ascii_texts if ascii else self.texts)]

    def expected(self, value: dict, standard: bool = False) -> dict:
        """What TLParser.unpack gives back for value (in the standard
        profile when ``standard``)."""
        return complete(self.ctors, value, standard)

    def to_file(self, path) -> None:
        with open(path, "w", encoding="utf-8") as f:
            json.dump({"seed": SEED, "schema": self.schema, "texts": self.texts,
                       "ascii_texts": self.ascii_texts,
                       "entries": [[e.name, e.level] for e in self.entries]}, f)

    @classmethod
    def from_file(cls, path) -> "Mix":
        with open(path, encoding="utf-8") as f:
            d = json.load(f)
        schema = d["schema"]
        entries = _entries(schema, d["entries"])
        return cls(schema, entries, compile_schema(schema), d["texts"], d["ascii_texts"])


def _entries(schema: dict, order: list[list]) -> list[Entry]:
    """Entries in the order of their values, from [name, level] pairs."""
    by_name = {}
    for key, method in (("constructors", False), ("methods", True)):
        for e in schema[key]:
            by_name[e["method"] if method else e["predicate"]] = (e, method)
    out = []
    for name, level in order:
        e, method = by_name[name]
        out.append(Entry(name, int(e["id"]), e["type"], method,
                         [Field(p["name"], p["type"]) for p in e["params"]], level))
    return out


_CACHE: Optional[Mix] = None


def build(seed: int = SEED) -> Mix:
    """The mix (cached in the process: generating it takes about a second)."""
    global _CACHE
    if _CACHE is not None and seed == SEED:
        return _CACHE
    schema, entries = build_schema(seed)
    gen = Generator(schema, seed + 1)
    ctors = gen.ctors
    texts, ascii_texts = [], []
    for e in entries:
        value = gen.value(e.name)
        texts.append(to_json(ctors, value))
        ascii_texts.append(to_json(ctors, ascii_only(value)))
    mix = Mix(schema, entries, ctors, texts, ascii_texts)
    if seed == SEED:
        _CACHE = mix
    return mix
