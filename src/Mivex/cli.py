"""The ``mivex`` command: TL bytes to JSON and back from the shell.

    mivex pack -s SCHEMA [FILE|-]     JSON object(s) in, TL bytes out
    mivex unpack -s SCHEMA [FILE|-]   TL bytes in, JSON out (one object a line)
    mivex schema [FILE|-]             a schema (TL text or JSON) as JSON
    mivex ids -s SCHEMA               id, name and kind of every entry
    mivex types -s SCHEMA [-o FILE]   TypedDicts for the schema's values
    mivex demo                        a round trip through a built-in schema

In JSON, ``bytes`` values are base64 text and doubles that JSON cannot hold
are the strings "Infinity", "-Infinity", "NaN" (or "NaN:" and the 16 hex
digits of a NaN with another bit pattern), so that whatever ``unpack`` prints,
``pack`` turns back into the same bytes.
"""

from __future__ import annotations

import argparse
import base64
import binascii
import contextlib
import json
import math
import os
import re
import select
import shlex
import struct
import sys
import warnings
from collections.abc import Callable, Iterator
from importlib import resources
from typing import Any, NamedTuple

from Mivex import __version__
from Mivex.tl import TLParser

__all__ = ["main"]

PROG = "mivex"
EXAMPLE_SCHEMA = "example_schema.json"


class CliError(Exception):
    """Bad input, reported as one line on stderr with exit status 1."""


# Value kinds, as the codec's compiled schema names them (TLParser.describe).
INT, LONG, DOUBLE, STRING, BYTES, BOOL, VECTOR, OBJECT = (
    "int", "long", "double", "string", "bytes", "Bool", "vector", "object")
NAT, INT128, INT256, TRUE = "#", "int128", "int256", "true"

# Integer ranges JSON may use: the default profile writes int and long
# signed but reads them unsigned, so it takes either; the standard profile
# is signed both ways.
_DEFAULT_RANGES = {INT: (-(1 << 31), 1 << 32), LONG: (-(1 << 63), 1 << 64)}
_STANDARD_RANGES = {INT: (-(1 << 31), 1 << 31), LONG: (-(1 << 63), 1 << 63),
                    NAT: (0, 1 << 32), INT128: (-(1 << 127), 1 << 127),
                    INT256: (-(1 << 255), 1 << 255)}
_NAN_BITS = struct.unpack("<Q", struct.pack("<d", math.nan))[0]
_NAN_TEXT = re.compile(r"NaN:([0-9a-fA-F]{16})")
_EXPECTED = {
    DOUBLE: 'a number, "Infinity", "-Infinity", "NaN" or "NaN:<16 hex digits>"',
    STRING: "a string",
    BYTES: "base64 text",
    BOOL: "true or false",
    TRUE: "true or false",
    VECTOR: "an array",
    OBJECT: "an object",
}


# What a plain field left out of the JSON is packed as.
_DEFAULTS: dict[str, Callable[[], Any]] = {
    INT: int, LONG: int, NAT: int, INT128: int, INT256: int, DOUBLE: float, STRING: str,
    BYTES: bytes, BOOL: bool, TRUE: lambda: True, VECTOR: list}


def _expected(kind: str, ranges: dict[str, tuple[int, int]]) -> str:
    if kind in ranges:
        low, high = ranges[kind]
        return f"an integer from {low} to {high - 1}"
    return _EXPECTED[kind]


class Field(NamedTuple):
    name: str
    type_text: str
    role: str               # "plain", "word" (a computed flags word), "cond" or "bit"
    type: dict[str, Any]    # the codec's type: {"kind": ..., "element": ...}
    flag: tuple[str, int] | None = None

    @property
    def kind(self) -> str:
        return str(self.type["kind"])

    @property
    def optional(self) -> bool:
        return self.role in ("cond", "bit")


class Entry(NamedTuple):
    name: str
    id: int
    kind: str           # "constructor" or "method"
    fields: tuple[Field, ...]
    # Conditional fields that share a flag bit, when more than one does.
    shared_bits: tuple[tuple[Field, ...], ...] = ()


def _shorten(text: str, what: str) -> str:
    # Keeps a one-line error readable when the input holds a huge value.
    return text if len(text) <= 40 else f"{text[:20]}... ({len(text)} {what})"


def _json_type(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return f"number {_shorten(repr(value), 'digits')}"
    if isinstance(value, float):
        return f"number {value!r}"
    names: dict[type, str] = {dict: "an object", list: "an array", str: "a string"}
    return names.get(type(value), type(value).__name__)


def _at(path: str, message: str) -> CliError:
    return CliError(f"{path}: {message}" if path else message)


class Schema:
    """A compiled parser plus the field types the JSON conversion needs."""

    def __init__(self, text: str, data: Any, standard: bool = False) -> None:
        # The codec's own checks come first, and strict packing refuses keys
        # that are no field; the JSON conversion below adds only what JSON
        # itself needs (base64, non-finite doubles, integer ranges).
        self.parser = TLParser(text, standard=standard, strict=True)
        self.data = data
        self.standard = standard
        self.ranges = _STANDARD_RANGES if standard else _DEFAULT_RANGES
        listed = list(data.get("constructors", [])) + list(data.get("methods", []))
        self.entries: list[Entry] = []
        self.by_name: dict[str, Entry] = {}
        for item, compiled in zip(listed, self.parser.describe()):
            texts = [p["type"] for p in item.get("params", [])]
            fields = tuple(
                Field(f["name"], text, f["role"], f["type"],
                      None if f["word"] is None else (f["word"], f["bit"]))
                for f, text in zip(compiled["fields"], texts))
            name, kind = compiled["name"], compiled["kind"]
            if not standard:
                _check_flag_words(kind, name, fields)
            groups: dict[tuple[str, int], list[Field]] = {}
            for field in fields:
                if field.flag is not None:
                    groups.setdefault(field.flag, []).append(field)
            entry = Entry(name, compiled["id"], kind, fields,
                          tuple(tuple(g) for g in groups.values() if len(g) > 1))
            self.entries.append(entry)
            self.by_name[name] = entry    # a later entry owns a shared name, as in the codec

    # JSON -> the values pack takes

    def pack(self, value: Any) -> bytes:
        return self.parser.pack(self.to_codec(value))

    def to_codec(self, value: Any, path: str = "", bare: str | None = None) -> dict[str, Any]:
        if type(value) is not dict:
            raise _at(path, f"expected an object, got {_json_type(value)}")
        name = value.get("_", bare)
        if type(name) is not str or not name:
            raise _at(path, 'the object has no "_" naming its constructor')
        entry = self.by_name.get(name)
        if entry is None:
            raise _at(path, f"unknown constructor {name!r}")
        out: dict[str, Any] = {"_": name}
        words = {f.name for f in entry.fields if f.role == "word"}
        known = {f.name for f in entry.fields}
        for key in value:
            if key != "_" and key not in known:
                out[key] = value[key]   # the strict codec names it
        for field in entry.fields:
            where = f"{path}.{field.name}" if path else field.name
            if field.role == "word" or field.name in words:
                continue        # computed by the codec from the fields present
            if field.name not in value:
                # Plain fields left out get their kind's default, as the
                # lenient codec would give them; an object has none, and the
                # strict codec says so.
                if not field.optional and field.kind in _DEFAULTS:
                    out[field.name] = _DEFAULTS[field.kind]()
                continue
            item = value[field.name]
            if item is None:
                if not field.optional:
                    raise _at(where, "null is only allowed for a flags.N? field")
                out[field.name] = None
            else:
                out[field.name] = self._value(item, field.type, where)
        for group in entry.shared_bits:
            _check_shared_bit(group, out, path)
        return out

    def _value(self, value: Any, node: dict[str, Any], path: str) -> Any:
        t, kind = type(value), node["kind"]
        if kind in self.ranges and t is int:
            low, high = self.ranges[kind]
            if low <= value < high:
                if self.standard:
                    return value
                # The default profile writes int signed and long unsigned.
                if kind == INT:
                    return value - (1 << 32) if value >= 1 << 31 else value
                return value + (1 << 64) if value < 0 else value
        elif kind == DOUBLE:
            if t is float:
                if math.isfinite(value):
                    return value
                # 1e400 reads as infinity; only the documented strings make one.
                raise _at(path, f"expected a finite number, got {_json_type(value)} (write "
                                '"Infinity", "-Infinity" or "NaN" as a string)')
            if t is int:
                try:
                    return float(value)
                except OverflowError:
                    pass
            elif t is str:
                return _double_from_text(value, path)
        elif kind == STRING and t is str:
            try:
                value.encode("utf-8")
            except UnicodeEncodeError as exc:
                raise _at(path, "expected text that UTF-8 can hold, got a string with a "
                                f"lone surrogate at index {exc.start}") from None
            return value
        elif kind in (BOOL, TRUE) and t is bool:
            return value
        elif kind == BYTES and t is str:
            try:
                return base64.b64decode(value, validate=True)
            except binascii.Error as exc:
                raise _at(path, f"invalid base64 text ({exc})") from None
            except ValueError:      # non-ASCII text
                raise _at(path, "expected base64 text, got a string with "
                                "non-ASCII characters") from None
        elif kind == VECTOR and t is list:
            inner = node["element"]
            return [self._value(v, inner, f"{path}[{i}]") for i, v in enumerate(value)]
        elif kind == OBJECT:
            return self.to_codec(value, path, node.get("constructor"))
        raise _at(path, f"expected {_expected(kind, self.ranges)}, got {_json_type(value)}")

    # bytes -> JSON

    def unpack_stream(self, data: bytes) -> list[Any]:
        """Every object of ``data``, which holds one or more back to back."""
        out: list[Any] = []
        try:
            for obj in self.parser.iter_unpack(data):
                out.append(to_json(obj))
        except Exception as exc:
            if not out:
                raise
            start = 0
            for _ in out:       # only on failure: find where the bad object began
                start = self.parser.unpack_from(data, start)[1]
            raise CliError(f"object {len(out) + 1}, starting at byte {start}: "
                           f"{describe(exc)}") from None
        return out


def _check_flag_words(kind: str, name: str, fields: tuple[Field, ...]) -> None:
    # The default profile computes a word wherever a field is named "flags"
    # or "flags2", whatever its type, and reads every condition as a bit of
    # one of those two: refuse schemas whose JSON would not mean what it
    # says, and point to the standard profile, which reads them as written.
    declared: set[str] = set()
    where = f"{kind} {name!r}"
    for field in fields:
        if field.role == "word" and "?" in field.type_text:
            raise CliError(f"{where}: flags word {field.name!r} ({field.type_text}) "
                           "cannot itself be conditional: the codec always writes it")
        if field.role == "word" and field.type_text != "#":
            raise CliError(f"{where}: field {field.name!r} is declared {field.type_text}, but the "
                           "default profile always writes the computed flags word there, so "
                           "its value would not be carried (use --standard)")
        if field.flag is not None:
            named = field.type_text.split("?")[0].split(".")[0]
            if named not in ("flags", "flags2"):
                raise CliError(f"{where}: field {field.name!r} ({field.type_text}) depends on "
                               f"{named!r}, but the default profile computes only the "
                               "'flags' and 'flags2' words (use --standard)")
            if field.flag[0] not in declared:
                raise CliError(f"{where}: field {field.name!r} ({field.type_text}) depends on "
                               f"the {field.flag[0]!r} word, which is not a '#' field before it")
        if field.role == "word":
            declared.add(field.name)


def _check_shared_bit(group: tuple[Field, ...], out: dict[str, Any], path: str) -> None:
    # One bit cannot say "present" for one field and "absent" for another.
    def state(field: Field) -> str:
        value = out.get(field.name)
        if field.role == "bit":
            return "true" if value is True else "false"
        return "absent" if value is None else "given"
    states = [state(f) for f in group]
    if len({s in ("true", "given") for s in states}) > 1:
        word, bit = group[0].flag or ("", 0)
        names = ", ".join(f.name for f in group[:-1]) + " and " + group[-1].name
        detail = ", ".join(f"{f.name}: {s}" for f, s in zip(group, states))
        raise _at(path, f"fields {names} share bit {bit} of {word}, so they must agree "
                        f"on whether it is set ({detail})")


def _double_from_text(text: str, path: str) -> float:
    if text in ("Infinity", "-Infinity", "NaN"):
        return float(text)
    match = _NAN_TEXT.fullmatch(text)
    if match:
        value: float = struct.unpack("<d", struct.pack("<Q", int(match[1], 16)))[0]
        if math.isnan(value):
            return value
    raise _at(path, f"expected {_EXPECTED[DOUBLE]}, got {_shorten(repr(text), 'characters')}")


def _double_to_json(value: float) -> float | str:
    if math.isfinite(value):
        return value
    if math.isinf(value):
        return "Infinity" if value > 0 else "-Infinity"
    bits: int = struct.unpack("<Q", struct.pack("<d", value))[0]
    return "NaN" if bits == _NAN_BITS else f"NaN:{bits:016x}"


def to_json(value: Any) -> Any:
    """An unpacked value with bytes as base64 text and non-finite doubles as strings."""
    t = type(value)
    if t is dict:
        return {k: to_json(v) for k, v in value.items()}
    if t is list:
        return [to_json(v) for v in value]
    if t is bytes:
        return base64.b64encode(value).decode("ascii")
    if t is float:
        return _double_to_json(value)
    return value


def dump_json(value: Any, pretty: bool = False) -> str:
    return json.dumps(value, ensure_ascii=False, allow_nan=False, indent=2 if pretty else None)


def hex_words(data: bytes, words_per_line: int = 0) -> str:
    """Hex digits in 4-byte groups, optionally wrapped."""
    words = [data[i:i + 4].hex() for i in range(0, len(data), 4)]
    if not words_per_line:
        return " ".join(words)
    return "\n".join(" ".join(words[i:i + words_per_line])
                     for i in range(0, len(words), words_per_line))


def from_hex(raw: bytes) -> bytes:
    bad = re.search(rb"[^0-9a-fA-F \t\r\n\f\v]", raw)
    if bad:
        raise CliError(f"bad hex input: unexpected {bad[0].decode('latin-1')!r} "
                       f"at offset {bad.start()}")
    digits = b"".join(raw.split())
    if len(digits) % 2:
        raise CliError("bad hex input: an odd number of hex digits")
    return bytes.fromhex(digits.decode("ascii"))


def describe(exc: BaseException) -> str:
    """One line for an exception: its text, or its type when the text says
    nothing, and its notes (where in the message it failed) after it."""
    text = str(exc)
    if isinstance(exc, KeyError):
        text = f"missing key {text}"
    elif not text:
        text = type(exc).__name__
    if isinstance(exc, Warning):    # a warning that a filter made an error
        text = f"{type(exc).__name__}: {text}"
    notes = getattr(exc, "__notes__", None)
    if isinstance(notes, list) and notes:
        text += " (" + "; ".join(str(n) for n in notes) + ")"
    return " ".join(text.split())


def read_input(name: str | None) -> bytes:
    if name is None or name == "-":
        return sys.stdin.buffer.read()
    try:
        with open(name, "rb") as f:
            return f.read()
    except OSError as exc:
        raise CliError(f"cannot read {name}: {exc.strerror or exc}") from None


def _decode_text(raw: bytes, name: str) -> str:
    try:
        return raw.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise CliError(f"{name}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None


def _parse_tl(text: str) -> Any:
    try:
        from Mivex.schema import parse_tl
    except ImportError:
        raise CliError("reading TL schema text needs Mivex.schema, "
                       "which this installation lacks") from None
    return parse_tl(text)


@contextlib.contextmanager
def schema_warnings(name: str, quiet: bool = False) -> Iterator[None]:
    """Prints the warnings raised inside as one line each, after the warning
    filters (-W, PYTHONWARNINGS) have had their say: by default each
    distinct warning once, none that a filter ignores, and an exception for
    one that a filter makes an error. ``quiet`` prints none."""
    with warnings.catch_warnings(record=True) as caught:
        try:
            yield
        finally:
            for warning in [] if quiet else caught:
                print(f"{PROG}: warning: {name}: {warning.message}", file=sys.stderr)


def _check_is_schema(data: Any) -> None:
    # The codec reads an object without either list as an empty schema,
    # which is never what a file given as a schema means.
    if type(data) is not dict or not ("constructors" in data or "methods" in data):
        raise CliError('not a schema: a JSON schema is an object with a "constructors" '
                       'or a "methods" list')


def _warn_duplicates(schema: Schema) -> None:
    # The codec lets a later entry take over an earlier one's name or id
    # without a word; TL text refuses both, so say so for JSON.
    from Mivex.schema import DuplicateEntryWarning

    listed = [("constructors", i) for i in range(len(schema.data.get("constructors", [])))]
    listed += [("methods", i) for i in range(len(schema.data.get("methods", [])))]
    names: dict[str, tuple[Entry, str]] = {}
    ids: dict[int, tuple[Entry, str]] = {}
    for entry, (key, index) in zip(schema.entries, listed):
        where = f"{key}[{index}]"
        by_name, by_id = names.get(entry.name), ids.get(entry.id)
        if by_name is not None and by_name is by_id:
            clashes = [("name and id", by_name)]
        else:
            clashes = [(what, first) for what, first in (("name", by_name), ("id", by_id))
                       if first is not None]
        for what, (first, first_where) in clashes:
            warnings.warn(DuplicateEntryWarning(
                f"{where} {entry.name!r} (id 0x{entry.id:08x}) repeats the {what} of "
                f"{first_where} {first.name!r} (id 0x{first.id:08x}); the later entry wins"),
                stacklevel=2)
        names[entry.name] = ids[entry.id] = (entry, where)


def schema_from_text(text: str, tl: bool, name: str = "", standard: bool = False) -> Schema:
    if tl:
        data = _parse_tl(text)
        return Schema(json.dumps(data), data, standard)
    data = json.loads(text)
    _check_is_schema(data)
    schema = Schema(text, data, standard)
    _warn_duplicates(schema)
    return schema


def load_schema(name: str, standard: bool = False, quiet: bool = False) -> Schema:
    shown = "<stdin>" if name == "-" else name
    text = _decode_text(read_input(name), shown)
    lower = name.lower()
    tl = lower.endswith(".tl") or (not lower.endswith(".json")
                                    and not text.lstrip().startswith("{"))
    try:
        with schema_warnings(shown, quiet):
            return schema_from_text(text, tl, shown, standard)
    except CliError as exc:
        raise CliError(f"{shown}: {exc}") from None
    except Exception as exc:
        raise CliError(f"{shown}: {describe(exc)}") from None


def _write(data: bytes) -> None:
    sys.stdout.flush()
    out = sys.stdout.buffer
    view = memoryview(data)
    while view:
        # A write to a pipe can come back short, or with None when stdout was
        # left non-blocking and is full; both mean: wait and write the rest.
        written = out.write(view)
        if written is None:
            select.select([], [out], [])
        view = view[written or 0:]
    out.flush()


def read_json_values(raw: bytes, name: str) -> list[Any]:
    """The JSON values of an input: one, or several one after another."""
    text = _decode_text(raw, name)
    decoder = json.JSONDecoder()
    space = re.compile(r"[ \t\r\n]*")
    values: list[Any] = []
    pos = space.match(text, 0).end()  # type: ignore[union-attr]
    while pos < len(text):
        try:
            value, pos = decoder.raw_decode(text, pos)
        except json.JSONDecodeError as exc:
            raise CliError(f"{name}: bad JSON: {exc}") from None
        except ValueError:      # int() refuses a number of thousands of digits
            raise CliError(f"{name}: bad JSON: a number with too many digits") from None
        values.append(value)
        pos = space.match(text, pos).end()  # type: ignore[union-attr]
    return values


def cmd_pack(args: argparse.Namespace) -> int:
    if not args.hex and sys.stdout.isatty():
        raise CliError("not writing binary data to a terminal; use --hex or redirect the output")
    schema = load_schema(args.schema, args.standard, args.quiet)
    name = args.file if args.file not in (None, "-") else "<stdin>"
    objects: list[Any] = []
    for value in read_json_values(read_input(args.file), name):
        objects.extend(value if type(value) is list else [value])
    if not objects:
        raise CliError(f"{name}: no JSON object to pack")
    packed = []
    for number, obj in enumerate(objects, 1):
        try:
            packed.append(schema.pack(obj))
        except Exception as exc:
            where = f"object {number}: " if len(objects) > 1 else ""
            raise CliError(where + describe(exc)) from None
    if args.hex:
        _write("".join(hex_words(p) + "\n" for p in packed).encode("ascii"))
    else:
        _write(b"".join(packed))
    return 0


def cmd_unpack(args: argparse.Namespace) -> int:
    schema = load_schema(args.schema, args.standard, args.quiet)
    data = read_input(args.file)
    if args.hex:
        data = from_hex(data)
    if not data:
        raise CliError("no input to unpack")
    objects = schema.unpack_stream(data)
    _write("".join(dump_json(o, args.pretty) + "\n" for o in objects).encode("utf-8"))
    return 0


def cmd_schema(args: argparse.Namespace) -> int:
    schema = load_schema(args.file or "-", quiet=args.quiet)
    _write((json.dumps(schema.data, indent=None if args.compact else 2) + "\n").encode("utf-8"))
    return 0


def cmd_ids(args: argparse.Namespace) -> int:
    schema = load_schema(args.schema, quiet=args.quiet)
    width = max((len(e.name) for e in schema.entries), default=0)
    _write("".join(f"0x{e.id:08x}  {e.name:<{width}}  {e.kind}\n"
                   for e in schema.entries).encode("utf-8"))
    return 0


def cmd_types(args: argparse.Namespace) -> int:
    from Mivex.schema import typed_module
    schema = load_schema(args.schema, args.standard, args.quiet)
    try:
        text = typed_module(schema.data, standard=args.standard)
    except (TypeError, ValueError) as exc:
        raise CliError(f"{args.schema}: {describe(exc)}") from None
    if args.output in (None, "-"):
        _write(text.encode("ascii"))          # the module is always ASCII
        return 0
    try:
        with open(args.output, "w", encoding="ascii", newline="\n") as f:
            f.write(text)
    except OSError as exc:
        raise CliError(f"cannot write {args.output}: {exc.strerror or exc}") from None
    return 0


DEMO_OBJECT: dict[str, Any] = {
    "_": "message",
    "id": 42,
    "from": {"_": "user", "id": 1234567890123, "first_name": "Ada", "verified": True,
             "username": "ada", "location": {"_": "geoPoint", "lat": 51.5074, "lon": -0.1278}},
    "text": "Hello, TL! \u2713",
    "pinned": True,
    "tags": ["greeting", "demo"],
    "attachments": [{"_": "photo", "id": 7, "data": "iVBORw0KGgo=", "width": 640, "height": 480}],
    "reply_to": 41,
}


def cmd_demo(args: argparse.Namespace) -> int:
    source = resources.files("Mivex").joinpath(EXAMPLE_SCHEMA)
    schema = schema_from_text(source.read_text(encoding="utf-8"), tl=False)
    packed = schema.pack(DEMO_OBJECT)
    decoded = to_json(schema.parser.unpack(packed))
    same = schema.pack(decoded) == packed
    lines = [
        f"Example schema: {source}",
        "",
        "Object:",
        dump_json(DEMO_OBJECT, pretty=True),
        "",
        f"Packed: {len(packed)} bytes",
        hex_words(packed, 8),
        "",
        "Unpacked:",
        dump_json(decoded, pretty=True),
        "",
        "Packing the unpacked object again gives "
        + ("the same bytes." if same else "DIFFERENT bytes."),
        "",
        "Try it yourself:",
        f"  mivex ids -s {shlex.quote(str(source))}",
        f"  echo '{hex_words(packed)}' | mivex unpack --hex --pretty -s {shlex.quote(str(source))}",
        "",
        "These bytes are in Mivex's default wire profile; pack and unpack take --standard",
        "for the standard TL profile that other TL peers speak (TLParser(..., standard=True)).",
    ]
    _write(("\n".join(lines) + "\n").encode("utf-8"))
    return 0 if same else 1


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Pack JSON into TL bytes and unpack TL bytes into JSON.",
        epilog="In JSON, bytes fields are base64 text. Exit status: 0 success, "
               "1 bad input, 2 bad usage.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    quiet_help = "print no warnings about the schema"
    parser.add_argument("-q", "--quiet", action="store_true", help=quiet_help)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add(name: str, run: Callable[[argparse.Namespace], int], help: str,
            description: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=description)
        sub.set_defaults(run=run)
        # Also after the command; SUPPRESS keeps it from undoing a -q given before.
        sub.add_argument("-q", "--quiet", action="store_true", default=argparse.SUPPRESS,
                         help=quiet_help)
        return sub

    def schema_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("-s", "--schema", required=True, metavar="SCHEMA",
                         help="schema file: JSON, or TL text (.tl)")

    def standard_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--standard", action="store_true",
                         help="the standard TL wire profile (signed integers, boxed Bool, "
                              "bare types, flags words named as declared)")

    sub = add("pack", cmd_pack, "JSON object(s) in, TL bytes out",
              "Read JSON objects from FILE (or stdin) and write their TL bytes. "
              "The input holds one or more JSON values one after another (JSON Lines "
              "work); a value that is an array stands for its elements. Objects are "
              "written back to back, or with --hex one line of hex each. Integers may be "
              "signed or unsigned; bytes fields are base64 text; a double may also be "
              '"Infinity", "-Infinity", "NaN" or "NaN:" and 16 hex digits of its bits.')
    schema_option(sub)
    standard_option(sub)
    sub.add_argument("file", nargs="?", metavar="FILE", help="JSON input; - or absent for stdin")
    sub.add_argument("--hex", action="store_true", help="write hex text instead of binary")

    sub = add("unpack", cmd_unpack, "TL bytes in, JSON out",
              "Read TL bytes from FILE (or stdin), holding one or more objects back to "
              "back, and write each as JSON on a line of its own.")
    schema_option(sub)
    standard_option(sub)
    sub.add_argument("file", nargs="?", metavar="FILE", help="TL input; - or absent for stdin")
    sub.add_argument("--hex", action="store_true",
                     help="the input is hex text (whitespace is ignored)")
    sub.add_argument("--pretty", action="store_true", help="indent the JSON")

    sub = add("schema", cmd_schema, "print a schema as JSON",
              "Read a schema (TL text, or JSON) and print the JSON form that "
              "TLParser takes.")
    sub.add_argument("file", nargs="?", metavar="FILE", help="schema; - or absent for stdin")
    sub.add_argument("--compact", action="store_true", help="print it on one line")

    sub = add("ids", cmd_ids, "list ids, names and kinds",
              "Print one line per schema entry: its id in hex, its name, and whether it "
              "is a constructor or a method.")
    schema_option(sub)

    sub = add("types", cmd_types, "write TypedDicts for a schema",
              "Write a Python module of TypedDicts for the schema: NameIn for what pack "
              "takes, Name for what unpack returns, a union per result type. It imports "
              "only from typing.")
    schema_option(sub)
    sub.add_argument("-o", "--output", metavar="FILE",
                     help="write the module here, not to stdout")
    standard_option(sub)

    add("demo", cmd_demo, "pack and unpack an example",
        "Pack an example object with a built-in example schema, then unpack it.")
    return parser


def main(argv: list[str] | None = None) -> int:
    """Run the command line ``argv`` (default ``sys.argv[1:]``); returns the exit status."""
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as exc:       # --help, or a usage error
            return exc.code if isinstance(exc.code, int) else 2
        run: Callable[[argparse.Namespace], int] = args.run
        return run(args)
    except BrokenPipeError:
        # The reader went away (| head): stay quiet, and keep the interpreter
        # from failing again when it flushes stdout on exit.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError, AttributeError):
            pass
        return 1
    except KeyboardInterrupt:
        return 130
    except CliError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    except Exception as exc:
        print(f"{PROG}: {describe(exc)}", file=sys.stderr)
        return 1
