"""The source of a module of TypedDicts for one schema: see ``typed_module``."""

from __future__ import annotations

import hashlib
import json
import keyword
import re
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, Literal

__all__ = ["typed_module"]

# What the generated module imports; a generated name never takes one of these.
_IMPORTS = ("Literal", "Mapping", "NotRequired", "TypeAlias", "TypedDict")
# Names that generated annotations use: a field so named would shadow one
# inside a class body, so such a class is written in the functional syntax.
_ANNOTATION_NAMES = frozenset(
    _IMPORTS + ("int", "float", "str", "bytes", "bytearray", "memoryview", "bool", "list",
                "dict", "object")
)

# Annotated attributes in class syntax beyond which every class is written
# in the functional syntax (see typed_module).
_CLASS_SYNTAX_LIMIT = 20_000

_SUFFIXES = {"type": ("", "In"), "constructor": ("", "In", "BareIn"), "method": ("", "In")}

_Kind = Literal["int", "float", "str", "bytes", "bool", "list", "obj", "bare", "any", "anylist"]

# Default profile: the kinds the codec reads from a type text.
_DEFAULT_KINDS: dict[str, _Kind] = {
    "int": "int", "#": "int", "long": "int", "double": "float", "string": "str",
    "bytes": "bytes", "byte": "bytes", "Bool": "bool", "true": "bool",
}
# Standard profile: built-in names, which keep their meaning even when the
# schema declares constructors so named.
_STANDARD_KINDS: dict[str, _Kind] = {
    "int": "int", "#": "int", "long": "int", "int128": "int", "int256": "int",
    "double": "float", "string": "str", "bytes": "bytes", "Bool": "bool", "true": "bool",
    "Object": "any",
}

# Text that needs no escape inside double quotes: printable ASCII but " and \.
_PLAIN = re.compile(r'[ !#-\[\]-~]*')
# How the module's text shows that it uses each imported name.
_USES = {"Literal": "Literal[", "Mapping": "Mapping[", "NotRequired": "NotRequired[",
         "TypeAlias": ": TypeAlias", "TypedDict": "TypedDict"}
_TYPE_TEXT = re.compile(r"\s*([!%]?)\s*([^<>,\s]+)\s*")


@dataclass(frozen=True)
class _Ref:
    """A field's value type: a scalar kind, a list, an object type or a general mapping."""

    kind: _Kind
    arg: _Ref | None = None  # the element type of a list
    name: str = ""  # the TL type of "obj", the constructor of "bare"


@dataclass
class _Entry:
    kind: Literal["constructor", "method"]
    name: str
    type: str
    params: list[tuple[str, str]]
    cls: str = ""  # the base class name; inputs add "In"


@dataclass
class _Field:
    name: str
    ref: _Ref
    conditional: bool = False
    bit: bool = False  # a conditional flag carried by its bit alone


@dataclass
class _Model:
    entries: list[_Entry]
    by_type: dict[str, list[_Entry]]  # result type -> its constructors
    by_name: dict[str, _Entry]
    type_names: dict[str, str] = field(default_factory=dict)  # result type -> alias base
    merged: set[str] = field(default_factory=set)  # result types whose only class is the alias
    bare_used: set[str] = field(default_factory=set)  # constructors used as bare objects


# ---------------------------------------------------------------- reading the schema


def _load(schema: str | Mapping[str, Any]) -> Mapping[str, Any]:
    if isinstance(schema, str):
        if schema.lstrip().startswith("{"):
            data = json.loads(schema)
        else:
            # Imported here: Mivex.schema re-exports this module's function.
            from .schema import parse_tl

            data = parse_tl(schema)
    else:
        data = schema
    if not isinstance(data, Mapping):
        raise TypeError(f"a schema is TL text, JSON text or a dict, not {type(data).__name__}")
    return data


def _text(value: object, what: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    return value


def _entries(data: Mapping[str, Any]) -> list[_Entry]:
    by_name: dict[str, _Entry] = {}
    kinds: tuple[tuple[str, Literal["constructor", "method"]], ...] = (
        ("constructors", "constructor"), ("methods", "method"))
    for key, kind in kinds:
        items = data.get(key)
        if items is None:
            items = []
        if not isinstance(items, list):
            raise TypeError(f"schema[{key!r}] must be a list, not {type(items).__name__}")
        for item in items:
            if not isinstance(item, Mapping):
                raise TypeError(f"an entry of schema[{key!r}] must be a dict")
            # The codec's rules: the name is "predicate", else "method", else
            # "type"; a missing or empty type is the name itself.
            name = _text(item.get("predicate", item.get("method", item.get("type", ""))),
                         "an entry's name")
            rtype = _text(item.get("type") or name, f"the type of {name!r}")
            params = []
            seen = set()
            for p in item.get("params") or []:
                if not isinstance(p, Mapping):
                    raise TypeError(f"a field of {name!r} must be a dict")
                pname = _text(p["name"], f"a field name of {name!r}")
                ptype = _text(p["type"], f"the type of {name}.{pname}")
                if pname == "_" or pname in seen:
                    raise ValueError(f"{name!r}: field name {pname!r} is "
                                     + ("repeated" if pname in seen else "reserved for the name"))
                seen.add(pname)
                params.append((pname, ptype))
            # A repeated name belongs to the later entry, as in the codec.
            by_name[name] = _Entry(kind, name, rtype, params)
    return list(by_name.values())


# ---------------------------------------------------------------- type texts


def _split_args(text: str) -> tuple[str, list[str]] | None:
    """``Name<A, B<C>>`` -> ("Name", ["A", "B<C>"]); None when unbalanced."""
    lt = text.find("<")
    if lt < 0:
        return (text.strip(), []) if "<" not in text and ">" not in text else None
    if not text.rstrip().endswith(">"):
        return None
    inner = text.rstrip()[lt + 1:-1]
    args, depth, start = [], 0, 0
    for i, c in enumerate(inner):
        depth += (c == "<") - (c == ">")
        if depth < 0:
            return None
        if c == "," and depth == 0:
            args.append(inner[start:i])
            start = i + 1
    if depth:
        return None
    args.append(inner[start:])
    return text[:lt].strip(), [a.strip() for a in args]


def _default_ref(text: str, model: _Model) -> _Ref:
    """What the default profile's codec makes of a type text (no condition)."""
    kind = _DEFAULT_KINDS.get(text)
    if kind is not None:
        return _Ref(kind)
    if not text.startswith("Vector"):
        name = text[1:] if text.startswith("%") else text
        return _Ref("obj", name=name) if name in model.by_type else _Ref("any")
    # Its elements: the text with every "Vector<" and ">" removed, again and
    # again while that is still a vector (so Vector<Vector<int>> holds ints).
    inner = text.replace("Vector<", "").replace(">", "")
    if inner == text:
        return _Ref("anylist")  # a vector of itself, to any depth
    return _Ref("list", _default_ref(inner, model))


def _standard_ref(text: str, model: _Model) -> _Ref:
    """What the standard profile makes of a type text (no condition)."""
    parts = _split_args(text)
    m = _TYPE_TEXT.fullmatch(parts[0]) if parts else None
    if parts is None or m is None:
        return _Ref("any")
    marker, name = m.groups()
    args = parts[1]
    if marker == "!":
        return _Ref("any")
    if name in ("Vector", "vector") and not marker:
        return _Ref("list", _standard_ref(args[0], model)) if len(args) == 1 else _Ref("anylist")
    full = name + (f"<{','.join(args)}>" if args else "")
    if marker == "%":
        ctors = model.by_type.get(full, [])
        return _Ref("bare", name=ctors[0].name) if len(ctors) == 1 else _Ref("any")
    kind = _STANDARD_KINDS.get(full)
    if kind is not None:
        return _Ref(kind)
    if name.rsplit(".", 1)[-1][:1].islower():
        entry = model.by_name.get(full)
        if entry is not None and entry.kind == "constructor":
            return _Ref("bare", name=full)
        return _Ref("any")
    return _Ref("obj", name=full) if full in model.by_type else _Ref("any")


def _fields(entry: _Entry, model: _Model, standard: bool) -> list[_Field]:
    out = []
    for name, text in entry.params:
        cond, q, body = text.partition("?")
        conditional = bool(q)
        if not conditional:
            body = cond
        if standard:
            if body.strip() == "#" and not conditional:
                continue  # a flags word: computed on pack, left out on unpack
            ref = _standard_ref(body, model)
            bit = conditional and body.strip() == "true"
        else:
            if name in ("flags", "flags2"):
                continue  # the codec computes these whatever their type
            # As the codec reads it: the text between the first "?" and the next.
            ref = _default_ref(body.partition("?")[0], model)
            bit = conditional and ref.kind == "bool"
        out.append(_Field(name, ref, conditional, bit))
        if ref.kind == "bare":
            model.bare_used.add(ref.name)
    return out


# ---------------------------------------------------------------- names


def _pascal(name: str) -> str:
    words = [w for w in re.split(r"[^A-Za-z0-9]+", name) if w]
    out = "".join(w[0].upper() + w[1:] for w in words)
    return out if out[:1].isalpha() else "T" + out


def _assign_names(model: _Model) -> frozenset[str]:
    """Give every entry and result type its class name; all names claimed."""
    taken = set(_IMPORTS)

    def claim(base: str, suffixes: tuple[str, ...]) -> str:
        if keyword.iskeyword(base):  # True, False, None
            base += "_"
        while any(base + s in taken for s in suffixes):
            base += "_"
        taken.update(base + s for s in suffixes)
        return base

    # Result types first: they are what fields name and what unpacked values
    # are cast to. A type whose one constructor has its name is that class.
    for rtype, ctors in model.by_type.items():
        base = _pascal(rtype)
        if len(ctors) == 1 and _pascal(ctors[0].name) == base:
            ctors[0].cls = model.type_names[rtype] = claim(base, _SUFFIXES["constructor"])
            model.merged.add(rtype)
        else:
            model.type_names[rtype] = claim(base, _SUFFIXES["type"])
    for kind in ("constructor", "method"):
        for entry in model.entries:
            if entry.kind == kind and not entry.cls:
                entry.cls = claim(_pascal(entry.name), _SUFFIXES[kind])
    return frozenset(taken)


# ---------------------------------------------------------------- writing


def _quote(value: str) -> str:
    if _PLAIN.fullmatch(value):
        return f'"{value}"'
    # JSON's escapes are Python's, and with ensure_ascii no line break survives.
    return json.dumps(value)


def _annotation(ref: _Ref, model: _Model, out: bool) -> tuple[str, bool]:
    """The annotation text, and whether it names a generated class (a forward reference)."""
    if ref.kind in ("int", "float", "str", "bool"):
        return ref.kind, False
    if ref.kind == "bytes":
        return ("bytes", False) if out else ("bytes | bytearray | memoryview", False)
    if ref.kind == "list":
        assert ref.arg is not None
        inner, forward = _annotation(ref.arg, model, out)
        return f"list[{inner}]", forward
    if ref.kind == "anylist":
        return "list[object]", False
    if ref.kind == "any":
        return ("dict[str, object]", False) if out else ("Mapping[str, object]", False)
    if ref.kind == "obj":
        return model.type_names[ref.name] + ("" if out else "In"), True
    cls = model.by_name[ref.name].cls
    return cls + ("" if out else "BareIn"), True


def _field_line(f: _Field, model: _Model, out: bool) -> str:
    text, forward = _annotation(f.ref, model, out)
    if f.bit:
        text = "bool" if out else "bool | None"
    elif f.conditional:
        text += " | None"
    if forward:
        text = _quote(text)
    if out:
        return text
    # pack defaults a missing plain field, but not an object
    required = not f.conditional and f.ref.kind in ("obj", "bare", "any")
    return text if required else f"NotRequired[{text}]"


def _class_syntax_ok(fields: list[tuple[str, str]], shadowed: frozenset[str]) -> bool:
    # A keyword or a non-identifier cannot be an attribute; "__x" is mangled;
    # a field named like a name the annotations use would shadow it.
    return all(k.isidentifier() and not keyword.iskeyword(k) and not k.startswith("__")
               and k not in shadowed for k, _ in fields)


def _class(name: str, tl_name: str, fields: list[tuple[str, str]], bare: bool,
           functional: bool) -> str:
    tag = f"Literal[{_quote(tl_name)}]"
    items = [("_", f"NotRequired[{tag}]" if bare else tag), *fields]
    if not functional:
        body = "".join(f"    {k}: {v}\n" for k, v in items)
        return f"class {name}(TypedDict):\n{body}"
    body = "".join(f"        {_quote(k)}: {v},\n" for k, v in items)
    return f"{name} = TypedDict(\n    {_quote(name)},\n    {{\n{body}    }},\n)\n"


def _alias(name: str, members: list[str]) -> str:
    line = f"{name}: TypeAlias = {' | '.join(members)}\n"
    if len(line) <= 80:
        return line
    return f"{name}: TypeAlias = (\n    " + "\n    | ".join(members) + "\n)\n"


def _schema_digest(data: Mapping[str, Any]) -> str:
    canon = json.dumps(data, sort_keys=True, separators=(",", ":"), default=str)
    return hashlib.sha256(canon.encode()).hexdigest()[:12]


def typed_module(schema: str | Mapping[str, Any], *, standard: bool = False) -> str:
    """The source of a Python module of TypedDicts for ``schema``.

    ``schema`` is TL schema text, JSON schema text (text starting with
    ``{``) or the parsed dict; ``standard`` picks the profile whose codec
    the types describe. The module imports only from ``typing`` and checks
    with ``mypy --strict``; the same schema and profile give the same text.

    For each constructor and method: ``NameIn``, what ``pack`` accepts
    (fields the codec fills in when missing, and conditional fields, are
    ``NotRequired``), and ``Name``, what ``unpack`` returns (every key
    present, an absent conditional field as None). For each result type of
    a constructor: aliases ``Type`` and ``TypeIn``, the unions of its
    constructors' classes. A constructor used as a bare object (standard
    profile) also has ``NameBareIn``, whose ``"_"`` may be left out. Flags
    words are left out.

    Names: the words of a TL name (split at anything but ASCII letters and
    digits) each get a capital first letter and are joined, so ``geo.point``
    becomes ``GeoPoint``; a name that would not start with a letter gets a
    ``T`` in front. When a result type has a single constructor whose name
    gives the same class name (``user = User``), that class is the type and
    no alias is written. Otherwise names are claimed in order: result types
    (in order of their first constructor), then constructors, then methods,
    each in schema order; a name that is a Python keyword, one of the
    ``typing`` names the module imports, or taken (with its ``In`` and
    ``BareIn`` forms) gets ``_`` appended until it is free. A name used twice
    in the schema describes the later entry, as in the codec.

    Syntax: a class is written as ``class Name(TypedDict)``, or with
    ``TypedDict("Name", {...})`` when a field name is a keyword, not an
    identifier, starts with ``__`` or is a name the annotations use (a
    builtin such as ``int``, an imported ``typing`` name, a generated
    name). A schema whose classes would hold more than 20,000 fields in all
    is written wholly in the functional syntax: pyright stops analysing a
    module whose top level holds about 30,000 annotated attributes.

    Types: ``int``, ``long``, ``#`` (and, standard profile, ``int128``,
    ``int256``) -> ``int``;
    ``double`` -> ``float``; ``string`` -> ``str``; ``bytes`` -> ``bytes``
    (input: also ``bytearray``, ``memoryview``); ``Bool``, ``true`` ->
    ``bool``; vectors -> ``list``; an object type -> its alias; ``Object``,
    ``!X`` and a type no constructor has -> ``Mapping[str, object]`` in,
    ``dict[str, object]`` out. Each profile is followed where they differ:
    the default one reads ``Vector<Vector<int>>`` as a vector of ints, takes
    the fields named ``flags``/``flags2`` as the flags words, carries a
    conditional ``Bool`` by its bit, and treats ``%T``, lowercase names and
    ``vector<T>`` as object types (``%T`` as ``T``); the standard one takes
    the ``#`` fields as the flags words and writes ``%T`` and lowercase names
    bare. Methods are in no union: they are not values of their result type.
    The default codec does not check which constructor an object field holds;
    the types still follow the schema.
    """
    data = _load(schema)
    entries = _entries(data)
    by_type: dict[str, list[_Entry]] = {}
    for e in entries:
        if e.kind == "constructor":
            by_type.setdefault(e.type, []).append(e)
    model = _Model(entries, by_type, {e.name: e for e in entries})
    names = _assign_names(model)
    # Field names that would shadow a name the annotations use.
    shadowed = _ANNOTATION_NAMES | names
    fields = {e.name: _fields(e, model, standard) for e in entries}

    n_ctors = sum(e.kind == "constructor" for e in entries)
    n_methods = len(entries) - n_ctors
    profile = "standard, for TLParser(schema, standard=True)" if standard else "default"
    head = (
        '"""TypedDicts for a TL schema, made by Mivex.schema.typed_module; do not edit.\n\n'
        f"Schema sha256 {_schema_digest(data)}: {n_ctors} constructor{'s' * (n_ctors != 1)}, "
        f"{n_methods} method{'s' * (n_methods != 1)}.\nProfile: {profile}.\n\n"
        "NameIn is what TLParser.pack takes for the constructor or method Name;\n"
        "Name is what TLParser.unpack returns for it, every key present. The\n"
        "alias Type (TypeIn) is the union of the classes of Type's constructors.\n"
        '"""\n'
    )
    # (comment, class name, TL name, fields, bare) for every class, in order.
    specs: list[tuple[str, str, str, list[tuple[str, str]], bool]] = []
    for e in entries:
        what = (f"# constructor {_quote(e.name)} of type {_quote(e.type)}\n"
                if e.kind == "constructor" else f"# method {_quote(e.name)}\n")
        ins = [(f.name, _field_line(f, model, out=False)) for f in fields[e.name]]
        outs = [(f.name, _field_line(f, model, out=True)) for f in fields[e.name]]
        specs.append((what, e.cls + "In", e.name, ins, False))
        if e.name in model.bare_used:
            specs.append(("", e.cls + "BareIn", e.name, ins, True))
        specs.append(("", e.cls, e.name, outs, False))
    # pyright gives up on a module whose top level holds more than about
    # 30,000 annotated class attributes; a functional TypedDict costs it the
    # same whatever its size, so large schemas are written that way.
    all_functional = sum(len(spec[3]) + 1 for spec in specs) > _CLASS_SYNTAX_LIMIT
    blocks = [
        what + _class(name, tl_name, items, bare,
                      all_functional or not _class_syntax_ok(items, shadowed))
        for what, name, tl_name, items, bare in specs
    ]
    aliases = []
    for rtype, ctors in by_type.items():
        if rtype not in model.merged:
            name = model.type_names[rtype]
            aliases.append(_alias(name, [c.cls for c in ctors]))
            aliases.append(_alias(name + "In", [c.cls + "In" for c in ctors]))
    if aliases:
        blocks.append("# result types\n" + "".join(aliases))
    body = "".join("\n\n" + b for b in blocks)
    # Only the names used (a name inside a quoted TL name may add one more).
    used = [n for n in _IMPORTS if _USES[n] in body]
    imports = f"\nfrom typing import {', '.join(used)}\n" if used else ""
    return head + imports + body
