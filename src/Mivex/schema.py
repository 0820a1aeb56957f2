"""TL schema text -> the JSON schema form that ``TLParser`` takes.

    from Mivex.schema import tl_to_json
    from Mivex.tl import TLParser

    parser = TLParser(tl_to_json(open("api.tl").read()))

``parse_tl`` gives the schema as a dict, ``tl_to_json`` as JSON text.
``parse_declarations`` gives one record per declaration, built-ins included,
with the explicit and the computed id side by side. ``crc_id`` and
``normalise`` compute a declaration's id the usual way: CRC-32 of its text
with the id, generic braces, angle brackets, ``NAME.N?true`` fields and the
``bytes``/``string`` difference taken out; ``%`` and ``!`` stay as written.

The JSON serves both wire profiles of ``TLParser``: the default one and the
standard one (``standard=True``). What the JSON cannot say, and what is done
instead:

- ``int ? = Int;``, ``long``, ``double``, ``string`` and ``bytes`` primitive
  declarations and the ``vector {t:Type} # [ t ] = Vector t;`` declaration are
  built into TLParser; they are left out of the output.
- ``{X:Type}`` does not become a field. A generic argument ``!X`` keeps its
  text "!X": both profiles read it as any object, written with its own
  constructor id, which is what a query is.
- The bare marker ``%`` is dropped where it changes nothing: on a primitive
  (``%int`` becomes "int") and on a name that is bare already (``%point``).
  ``%Vector<T>`` becomes "vector<T>". On any other type it stays
  (``%Point``): the standard profile writes that object without its id,
  the default profile reads any name as an object written with its id, as
  it always has.
- ``vector<T>``, lowercase constructor names used as types (``point``,
  ``geo.point``), ``int128``, ``int256`` and ``Object`` are kept as written.
  The standard profile reads them; the default profile has none of these
  kinds and treats such a field as an object.
- A field whose type is ``#`` is a flags word. A condition ``NAME.N?T`` must
  name a ``#`` field declared before it, with a bit from 0 to 31. The
  standard profile computes every ``#`` field from the conditions on it.
  The default profile computes only the fields named ``flags`` and
  ``flags2``: it writes a ``#`` field of any other name as a plain number
  and reads a condition on it as a bit of ``flags``, so such a schema
  describes the standard profile's bytes only.
- A field named ``flags`` or ``flags2`` must be ``#`` or ``int``. The
  default profile always writes it as the computed word, so ``flags:int``
  describes the standard profile's bytes only, where it is a plain number
  as older schemas mean it. Any other type there, or a condition on a flags
  word (``flags2:flags.1?#``), would describe bytes the default profile
  does not write, and is refused.
- Names and ids must be unique across constructors and methods together:
  TLParser finds entries by name and by id, and in the JSON form a later
  entry takes over an earlier one's (``mivex`` warns with
  ``DuplicateEntryWarning``); here a repeat is an error. No field may be called ``_``, the key that holds
  the constructor name.
- A type that is not built in, not a type variable of its declaration and
  produced by no constructor of the schema (a misspelt ``strng``, a
  ``Vector<Usr>``) is kept, and ``UnknownTypeWarning`` names it once, at
  its first use.
"""

from __future__ import annotations

import json
import re
import warnings
import zlib
from bisect import bisect_right
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import Any, Literal, NoReturn

__all__ = [
    "Declaration",
    "DuplicateEntryWarning",
    "IdMismatchWarning",
    "TLSchemaSyntaxError",
    "UnknownTypeWarning",
    "crc_id",
    "normalise",
    "parse_declarations",
    "parse_tl",
    "tl_to_json",
    "typed_module",
]


class TLSchemaSyntaxError(ValueError):
    """A schema text that cannot be read; ``lineno``/``colno`` are 1-based."""

    def __init__(self, message: str, lineno: int, colno: int) -> None:
        super().__init__(f"line {lineno}, column {colno}: {message}")
        self.msg = message
        self.lineno = lineno
        self.colno = colno


class IdMismatchWarning(UserWarning):
    """An explicit ``#id`` differs from the id computed from the text."""


class UnknownTypeWarning(UserWarning):
    """A type that is not built in and that no constructor of the schema produces."""


class DuplicateEntryWarning(UserWarning):
    """A JSON schema entry that repeats an earlier entry's name or id (``mivex``
    warns with it; TL text refuses the repeat with ``TLSchemaSyntaxError``)."""


_Kind = Literal["constructor", "method"]

# Primitive declarations TLParser implements itself.
_NATIVE = frozenset({"int", "long", "double", "string", "bytes"})
_FLAG_WORDS = ("flags", "flags2")
# Type names that need no constructor in the schema.
_BUILTIN_TYPES = frozenset({"int", "long", "double", "string", "bytes", "int128", "int256",
                            "Bool", "true", "#", "Vector", "vector", "Object", "Type"})

_IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)*\Z")
_FIELD_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_FLAG_REF = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)\.([0-9]+)\Z")
_WORD = re.compile(r"[A-Za-z0-9_]+(?:\.[A-Za-z0-9_]+)*")
_ID_TEXT = re.compile(r"[A-Za-z0-9_]*")
_HEX_ID = re.compile(r"[0-9A-Fa-f]{1,8}\Z")
_SECTION = re.compile(r"---([A-Za-z0-9_]*)---")
_LINE_END = re.compile(r"[\r\n]")
_LINE_BREAK = re.compile(r"\r\n|\r|\n")
_PUNCT = frozenset(":?{}<>[]=;!%,#")
# Generous for any real schema; keeps the recursive type reader off the stack limit.
_MAX_TYPE_DEPTH = 64

# The fast path: one match reads a whole declaration written the usual way
# (ASCII blanks, no comment inside, one field per word). Anything else goes
# to the token reader, which also gives every error with its place.
_N = r"[A-Za-z_][A-Za-z0-9_]*"
_DOTTED = rf"{_N}(?:\.{_N})*"
_ARGS = r"(?:<[A-Za-z0-9_.<>,%!#]*>)?"     # checked by _type_info
_BLANK = r"[ \t\r\n]"
# A field "name:type" or "name:word.bit?type", or a type variable "{X:Type}":
# the six groups are those of an _Item.
_ITEM_TEXT = (rf"({_N}):(?:({_N})\.([0-9]{{1,2}})\?)?([!%]?{_DOTTED}{_ARGS}|#)"
              rf"|\{{({_N}):({_DOTTED}|#)\}}")
# Each item is a whole word: what follows it is a blank or the end of the body.
_ITEM = re.compile(rf"{_BLANK}+(?:{_ITEM_TEXT})(?={_BLANK}|\Z)")
_FAST = re.compile(
    rf"({_DOTTED})(?:#([0-9A-Fa-f]{{1,8}}))?"
    rf"((?:{_BLANK}+(?:{re.sub(r'[(](?![?])', '(?:', _ITEM_TEXT)}))*)"
    rf"{_BLANK}*={_BLANK}*({_DOTTED}{_ARGS}(?:{_BLANK}+{_DOTTED}{_ARGS})*){_BLANK}*;")
_GAP = re.compile(r"(?:[ \t\r\n]+|//[^\r\n]*)*")
# A type text of one name, or of one name applied to another: most of them.
_SIMPLE_TYPE = re.compile(rf"([!%]?)({_DOTTED})(?:<([!%]?)({_DOTTED})>)?\Z")


class _Lines:
    """Line and column of an offset; lines end at "\\r\\n", "\\n" or a lone "\\r"."""

    def __init__(self, text: str) -> None:
        self.starts = [0]
        self.starts.extend(m.end() for m in _LINE_BREAK.finditer(text))

    def at(self, offset: int) -> tuple[int, int]:
        index = bisect_right(self.starts, offset)
        return index, offset - self.starts[index - 1] + 1

    def error(self, message: str, offset: int) -> TLSchemaSyntaxError:
        return TLSchemaSyntaxError(message, *self.at(offset))


# ---------------------------------------------------------------- tokens


@dataclass(frozen=True, slots=True)
class _Tok:
    kind: Literal["word", "id", "section", "punct", "eof"]
    text: str
    off: int


def _tokenise(text: str, lines: _Lines, i: int = 0, one: bool = False) -> list[_Tok]:
    """Tokens from offset ``i``; with ``one``, only up to the first ';' or section marker."""
    toks: list[_Tok] = []
    n, depth = len(text), 0     # depth of '[': a ';' inside belongs to the repetition
    while i < n:
        c = text[i]
        if c.isspace():
            i += 1
        elif text.startswith("//", i):
            m = _LINE_END.search(text, i)
            i = n if m is None else m.start()
        elif text.startswith("---", i):
            m = _SECTION.match(text, i)
            if m is None:
                raise lines.error("malformed section marker", i)
            if m.group(1) not in ("functions", "types"):
                raise lines.error(f"unknown section marker {m.group(0)!r}", i)
            toks.append(_Tok("section", m.group(1), i))
            i = m.end()
            if one:
                break
        elif c == "#" and i + 1 < n and (text[i + 1].isalnum() or text[i + 1] == "_"):
            m = _ID_TEXT.match(text, i + 1)
            assert m is not None
            if not _HEX_ID.match(m.group(0)):
                raise lines.error(f"bad constructor id '#{m.group(0)}': expected 1 to 8 hex digits",
                                  i)
            toks.append(_Tok("id", m.group(0), i))
            i = m.end()
        elif c in _PUNCT:
            toks.append(_Tok("punct", c, i))
            i += 1
            depth += (c == "[") - (c == "]")
            if one and c == ";" and depth <= 0:
                break
        else:
            m = _WORD.match(text, i)
            if m is None:
                raise lines.error(f"unexpected character {c!r}", i)
            toks.append(_Tok("word", m.group(0), i))
            i = m.end()
    toks.append(_Tok("eof", "", i))
    return toks


# ---------------------------------------------------------------- types


@dataclass(frozen=True, slots=True)
class _Type:
    name: str  # an identifier or "#"
    off: int
    args: tuple[_Type, ...] = ()
    marker: str = ""  # "", "!" or "%"

    def compact(self) -> str:
        args = f"<{','.join(a.compact() for a in self.args)}>" if self.args else ""
        return self.marker + self.name + args


class _TypeInfo:
    """What the rest of the module needs of one type text."""

    __slots__ = ("json", "crc", "field_crc", "name", "marker", "plain", "refs", "marked")

    json: str           # the text in the JSON schema
    crc: str            # the text in a normalised declaration
    field_crc: str      # the same for a field, where "bytes" reads "string"
    name: str
    marker: str         # "", "!" or "%"
    plain: str          # the name when the type is that name alone, else ""
    refs: tuple[str, ...]   # the names it uses that are not built in
    marked: bool        # a marker anywhere in it


def _make_info(marker: str, name: str, args: list[_TypeInfo]) -> _TypeInfo:
    info = _TypeInfo()
    head = marker + name
    if marker == "%":
        # Keep the marker only where it changes how the value is written;
        # bareness is judged after the last dot.
        if name == "Vector" and args:
            head = "vector"
        elif name.rpartition(".")[2][:1].islower():
            head = name
    info.name, info.marker = name, marker
    refs: tuple[str, ...] = () if name in _BUILTIN_TYPES else (name,)
    if args:
        info.json = f"{head}<{','.join(a.json for a in args)}>"
        # Angle-bracket application is written as plain juxtaposition.
        info.crc = info.field_crc = " ".join([marker + name, *(a.crc for a in args)])
        info.plain = ""
        unique = dict.fromkeys(refs)
        for a in args:
            unique.update(dict.fromkeys(a.refs))
        refs = tuple(unique)
        info.marked = bool(marker) or any(a.marked for a in args)
    else:
        info.json = head
        info.crc = marker + name
        info.plain = "" if marker else name
        info.field_crc = "string" if info.plain == "bytes" else info.crc
        info.marked = bool(marker)
    info.refs = refs
    return info


def _info_of(t: _Type, cache: dict[str, _TypeInfo | None]) -> _TypeInfo:
    if not t.args:
        key = t.marker + t.name
        info = cache.get(key)
        if info is None:
            info = cache[key] = _make_info(t.marker, t.name, [])
        return info
    return _make_info(t.marker, t.name, [_info_of(a, cache) for a in t.args])


def _type_info(text: str, markers: bool, cache: dict[str, _TypeInfo | None]) -> _TypeInfo | None:
    """The info of a type text written without blanks; None if it is not one.

    The cache holds the texts read so far, whatever the context; a text with
    a marker is no type where ``markers`` is false.
    """
    if text in cache:
        info = cache[text]
    else:
        info = None
        m = _SIMPLE_TYPE.match(text)
        if m is not None:
            marker, name, inner_marker, inner = m.groups()
            if inner is None:
                info = _make_info(marker, name, [])
            else:
                arg = _type_info(inner_marker + inner, True, cache)
                assert arg is not None
                info = _make_info(marker, name, [arg])
        elif text == "#":
            info = _make_info("", "#", [])
        else:
            try:
                reader = _Reader(text)
                t = reader.type("", True)
                if reader.tok.kind == "eof":
                    info = _info_of(t, cache)
            except TLSchemaSyntaxError:
                pass
        cache[text] = info
    if info is not None and info.marked and not markers:
        return None
    return info


# ---------------------------------------------------------------- declarations

# An item is a field (name, flags word, bit, type text, "", ""), a type
# variable ("", "", "", "", name, type text) or another part of a built-in
# declaration ("", "", "", "?" or "#" or "[ ... ]", "", ""): the groups of
# _ITEM, so that the fast path keeps what findall gives.
_Item = tuple[str, str, str, str, str, str]
# (name, offset, explicit id, items, result type texts)
_Decl = tuple[str, int, int | None, list[_Item], list[str]]
# Offsets of each item's name, condition and type, and of each result type.
_Where = tuple[list[tuple[int, int, int]], list[int]]


class _Reader:
    """The token reader: reads any declaration and places every error."""

    def __init__(self, text: str, lines: _Lines | None = None, start: int = 0,
                 one: bool = False) -> None:
        self.lines = lines or _Lines(text)
        self.toks = _tokenise(text, self.lines, start, one)
        self.pos = 0

    @property
    def tok(self) -> _Tok:
        return self.toks[self.pos]

    def next(self) -> _Tok:
        tok = self.toks[self.pos]
        if tok.kind != "eof":
            self.pos += 1
        return tok

    def at(self, text: str) -> bool:
        return self.tok.kind == "punct" and self.tok.text == text

    def fail(self, message: str, tok: _Tok | None = None) -> NoReturn:
        raise self.lines.error(message, (tok or self.tok).off)

    def unterminated(self, name: str) -> NoReturn:
        # Point just past the last token read: that is where ';' belongs.
        last = self.toks[self.pos - 1]
        if self.tok.kind == "section":
            self.fail(f"expected ';' to end declaration {name!r} before the section marker")
        raise self.lines.error(f"unterminated declaration {name!r} (missing ';')",
                               last.off + len(last.text))

    def expect(self, text: str, what: str) -> _Tok:
        if not self.at(text):
            self.fail(f"expected {text!r} {what}")
        return self.next()

    def declaration(self) -> tuple[_Decl, _Where]:
        start = self.tok
        if start.kind != "word" or not _IDENT.match(start.text):
            self.fail("expected a declaration name")
        self.next()
        explicit_id = int(self.next().text, 16) if self.tok.kind == "id" else None
        items: list[_Item] = []
        where: list[tuple[int, int, int]] = []
        while not self.at("="):
            tok = self.tok
            if tok.kind in ("eof", "section"):
                self.unterminated(start.text)
            if self.at(";"):
                self.fail("expected '=' and a result type before ';'")
            if self.at("{"):
                self.generic(items, where)
            elif self.at("?") and not items:
                self.other("?", self.next(), items, where)
                if not self.at("="):
                    self.fail("expected '=' after '?'")
            elif self.at("#"):
                self.other("#", self.next(), items, where)
            elif self.at("["):
                self.repetition(items, where)
            elif tok.kind == "word":
                self.field(items, where)
            else:
                self.fail(f"unexpected {tok.text!r}")
        self.next()
        result = [self.type("after '='", markers=False)]
        while not self.at(";"):
            if self.tok.kind in ("eof", "section"):
                self.unterminated(start.text)
            if self.tok.kind != "word":
                # A ';' forgotten at the end of a line swallows the next
                # declaration's first words: point at that line's end.
                first_line = self.lines.at(result[0].off)[0]
                wrapped = [t for t in result if self.lines.at(t.off)[0] > first_line]
                if wrapped:
                    index = next(i for i, t in enumerate(self.toks) if t.off == wrapped[0].off)
                    at = self.toks[index - 1]
                    raise self.lines.error("expected ';' after the result type",
                                           at.off + len(at.text))
                self.fail("expected ';' after the result type")
            result.append(self.type("", markers=False))
        self.next()
        decl = (start.text, start.off, explicit_id, items, [t.compact() for t in result])
        return decl, (where, [t.off for t in result])

    def generic(self, items: list[_Item], where: list[tuple[int, int, int]]) -> None:
        self.next()
        tok = self.tok
        if tok.kind != "word" or not _FIELD_NAME.match(tok.text):
            self.fail("expected a type variable name after '{'")
        self.next()
        self.expect(":", "after type variable name")
        kind = self.type("after ':'", markers=False)
        self.expect("}", "to close the type variable")
        items.append(("", "", "", "", tok.text, kind.compact()))
        where.append((tok.off, tok.off, kind.off))

    def other(self, text: str, tok: _Tok, items: list[_Item],
              where: list[tuple[int, int, int]]) -> None:
        items.append(("", "", "", text, "", ""))
        where.append((tok.off, tok.off, tok.off))

    def repetition(self, items: list[_Item], where: list[tuple[int, int, int]]) -> None:
        start = self.next()
        texts, depth = ["["], 1
        while depth:
            tok = self.next()
            if tok.kind in ("eof", "section"):
                self.fail("unclosed '['", start)
            depth += (tok.text == "[") - (tok.text == "]")
            texts.append(tok.text)
        self.other(" ".join(texts), start, items, where)

    def field(self, items: list[_Item], where: list[tuple[int, int, int]]) -> None:
        tok = self.next()
        if not self.at(":"):
            self.fail("expected ':' after field name")
        if not _FIELD_NAME.match(tok.text):
            self.fail(f"bad field name {tok.text!r}", tok)
        self.next()
        word, bit, cond_at = "", "", tok.off
        if self.tok.kind == "word" and self.toks[self.pos + 1].text == "?":
            ref = self.next()
            m = _FLAG_REF.match(ref.text)
            if m is None:
                self.fail(f"bad condition {ref.text!r}: expected <flags field>.<bit>", ref)
            digits = m.group(2)
            if len(digits.lstrip("0")) > 2:     # keeps int() off a text of thousands of digits
                shown = digits if len(digits) <= 12 else f"{digits[:6]}...({len(digits)} digits)"
                self.fail(f"flag bit {shown} is out of range 0-31", ref)
            word, bit, cond_at = m.group(1), str(int(digits)), ref.off
            self.next()
        t = self.type("after ':'")
        items.append((tok.text, word, bit, t.compact(), "", ""))
        where.append((tok.off, cond_at, t.off))

    def type(self, where: str, markers: bool = True, depth: int = 0) -> _Type:
        marker, start = "", self.tok
        if depth > _MAX_TYPE_DEPTH:
            self.fail(f"type nested more than {_MAX_TYPE_DEPTH} levels deep")
        if markers and (self.at("!") or self.at("%")):
            marker = self.next().text
        tok = self.tok
        if self.at("#") and not marker:
            self.next()
            return _Type("#", tok.off)
        if tok.kind != "word" or not _IDENT.match(tok.text):
            self.fail(f"expected a type {where}".rstrip())
        self.next()
        args: list[_Type] = []
        if self.at("<"):
            self.next()
            args.append(self.type("after '<'", markers, depth + 1))
            while self.at(","):
                self.next()
                args.append(self.type("after ','", markers, depth + 1))
            self.expect(">", "to close '<'")
        return _Type(tok.text, start.off, tuple(args), marker)


def _scan(text: str, lines: _Lines) -> Iterator[tuple[_Kind, _Decl, _Where | None]]:
    """Every declaration of ``text`` with its section, as read.

    Declarations the fast path reads come without their ``_Where``: only an
    error or a warning needs it, and ``_reread`` gives it then.
    """
    kind: _Kind = "constructor"
    gap, fast, items, n = _GAP.match, _FAST.match, _ITEM.findall, len(text)
    pos = 0
    while True:
        skipped = gap(text, pos)
        assert skipped is not None
        pos = skipped.end()
        if pos >= n:
            return
        m = fast(text, pos)
        if m is not None:
            explicit = m.group(2)
            yield kind, (m.group(1), pos, None if explicit is None else int(explicit, 16),
                         items(text, m.start(3), m.end(3)), m.group(4).split()), None
            pos = m.end()
            continue
        reader = _Reader(text, lines, pos, one=True)
        tok = reader.tok
        if tok.kind == "eof":
            return
        if tok.kind == "section":
            kind = "method" if tok.text == "functions" else "constructor"
            pos = tok.off + len(tok.text) + 6
            continue
        decl, where = reader.declaration()
        yield kind, decl, where
        pos = reader.toks[reader.pos - 1].off + 1


def _reread(text: str, lines: _Lines, at: int) -> tuple[_Decl, _Where]:
    """The declaration at ``at`` read by the token reader, with where its parts are."""
    return _Reader(text, lines, at, one=True).declaration()


# ---------------------------------------------------------------- records


@dataclass
class Declaration:
    """One declaration of a schema text.

    ``builtin`` is true for declarations TLParser implements itself; those
    are left out of ``parse_tl``'s output. ``id`` is the explicit id when
    there is one, else the computed one.
    """

    kind: Literal["constructor", "method"]
    name: str
    params: list[dict[str, str]]
    type: str
    explicit_id: int | None
    computed_id: int
    normalised: str
    lineno: int
    colno: int
    builtin: bool = False

    @property
    def id(self) -> int:
        return self.computed_id if self.explicit_id is None else self.explicit_id

    @property
    def mismatch(self) -> bool:
        return self.explicit_id is not None and self.explicit_id != self.computed_id

    def entry(self) -> dict[str, Any]:
        """The JSON schema entry: id as a signed 32-bit decimal string."""
        signed = self.id - (1 << 32) if self.id >= 1 << 31 else self.id
        key = "predicate" if self.kind == "constructor" else "method"
        return {"id": str(signed), key: self.name, "params": self.params, "type": self.type}


class _Misplaced(Exception):
    """A declaration read without its ``_Where`` needs it for an error."""


_Infos = dict[str, _TypeInfo | None]
# Where a type is first used: (declaration offset, item index or -1 - result
# index, what uses it).
_Uses = dict[str, tuple[int, int, str]]


def _record(kind: _Kind, decl: _Decl, where: _Where | None, lines: _Lines, infos: _Infos,
            uses: _Uses | None, checked: bool = True) -> Declaration:
    """Check one declaration TLParser is to carry and make its record."""
    name, at, explicit_id, items, results = decl

    def fail(message: str, index: int, part: int) -> NoReturn:
        if where is None:
            raise _Misplaced
        raise lines.error(message, where[0][index][part])

    builtin = False
    if checked and where is not None:   # the fast path reads no '?', '#' or '[ ... ]'
        others = [i for i, item in enumerate(items) if not item[0] and not item[4]]
        if others:
            texts = [items[i][3] for i in others]
            if "?" in texts:
                if kind == "method" or name not in _NATIVE:
                    raise lines.error(f"{name!r} is not a primitive type TLParser knows", at)
            elif any(t.startswith("[") for t in texts):
                if name != "vector" or kind == "method":
                    first = next(i for i in others if items[i][3].startswith("["))
                    fail("'[ ... ]' is only supported in the built-in vector declaration",
                         first, 0)
            else:
                fail("a '#' field needs a name", others[0], 0)
            builtin = True
    if kind == "constructor" and name in _NATIVE and not items:
        builtin = True  # e.g. "bytes = Bytes;"
    checked = checked and not builtin
    generics = {item[4] for item in items if item[4]}
    params: list[dict[str, str]] = []
    parts = [name]
    seen: dict[str, _TypeInfo] = {}
    for index, (fname, word, bit, text, gname, gtext) in enumerate(items):
        if fname:
            info = infos.get(text) or _type_info(text, True, infos)
            if info is None:
                raise _Misplaced    # the token reader will say what is wrong
            if checked:
                if fname in seen:
                    fail(f"duplicate field name {fname!r}", index, 0)
                if fname == "_":
                    # TLParser keeps the constructor name under "_".
                    fail("'_' cannot be a field name: it holds the constructor name", index, 0)
            if word:
                b = int(bit)
                if checked:
                    if fname in _FLAG_WORDS or info.plain == "#":
                        # TLParser writes these fields as a computed word, present or not.
                        fail(f"flags word {fname!r} cannot itself be conditional", index, 1)
                    ref = seen.get(word)
                    if ref is None or ref.plain != "#":
                        fail(f"{word!r} is not a '#' field declared before this one", index, 1)
                    if b > 31:
                        fail(f"flag bit {b} is out of range 0-31", index, 1)
                params.append({"name": fname, "type": f"{word}.{b}?{info.json}"})
                if info.plain != "true":
                    parts.append(f"{fname}:{word}.{b}?{info.field_crc}")
            else:
                if checked and fname in _FLAG_WORDS and info.plain not in ("#", "int"):
                    # The default profile always writes the computed word here.
                    fail(f"field {fname!r} must have type '#' or 'int'", index, 0)
                params.append({"name": fname, "type": info.json})
                parts.append(f"{fname}:{info.field_crc}")
            if checked:
                if info.marker == "!" and info.name not in generics:
                    fail(f"'!{info.name}' names no type variable", index, 2)
                seen[fname] = info
                if uses is not None:
                    for ref_name in info.refs:
                        if ref_name not in uses and ref_name not in generics:
                            uses[ref_name] = (at, index, f"field {fname!r} of {name!r}")
        elif gname:
            info = infos.get(gtext)
            if info is None or info.marked:
                info = _type_info(gtext, False, infos)
            if info is None:
                raise _Misplaced
            parts.append(f"{gname}:{info.crc}")
        else:
            parts.append(text)
    parts.append("=")
    result: list[str] = []
    for index, text in enumerate(results):
        info = infos.get(text)
        if info is None or info.marked:
            info = _type_info(text, False, infos)
        if info is None:
            raise _Misplaced
        parts.append(info.crc)
        result.append(info.json)
        if checked and uses is not None and kind == "method":
            for ref_name in info.refs:
                if ref_name not in uses and ref_name not in generics:
                    uses[ref_name] = (at, -1 - index, f"the result of {name!r}")
    norm = " ".join(parts)
    lineno, colno = lines.at(at)
    return Declaration(kind, name, params, " ".join(result), explicit_id,
                       zlib.crc32(norm.encode()), norm, lineno, colno, builtin)


def _declarations(text: str, uses: _Uses | None) -> list[Declaration]:
    lines = _Lines(text)
    infos: _Infos = {}
    out: list[Declaration] = []
    for kind, decl, where in _scan(text, lines):
        try:
            out.append(_record(kind, decl, where, lines, infos, uses))
        except _Misplaced:
            decl, where = _reread(text, lines, decl[1])
            out.append(_record(kind, decl, where, lines, infos, uses))
    return out


def parse_declarations(text: str) -> list[Declaration]:
    """Every declaration of ``text`` in order, built-ins included.

    Unlike ``parse_tl`` it neither warns about ids and unknown types nor
    refuses repeated names and ids.
    """
    return _declarations(text, None)


def _refuse_duplicates(decls: list[Declaration]) -> None:
    # TLParser looks entries up by name and by id, constructors and methods
    # alike, and a later entry would silently take over an earlier one's key.
    names: dict[str, Declaration] = {}
    ids: dict[int, Declaration] = {}
    for decl in decls:
        if decl.builtin:
            continue
        first = names.get(decl.name)
        if first is not None:
            raise TLSchemaSyntaxError(
                f"duplicate name {decl.name!r}: first declared on line {first.lineno}",
                decl.lineno, decl.colno)
        first = ids.get(decl.id)
        if first is not None:
            raise TLSchemaSyntaxError(
                f"duplicate id {decl.id:#010x}: {decl.name!r} has the id of {first.name!r} "
                f"on line {first.lineno}", decl.lineno, decl.colno)
        names[decl.name] = ids[decl.id] = decl


def _build(text: str, stacklevel: int) -> dict[str, list[dict[str, Any]]]:
    out: dict[str, list[dict[str, Any]]] = {"constructors": [], "methods": []}
    uses: _Uses = {}
    decls = _declarations(text, uses)
    _refuse_duplicates(decls)
    produced: set[str] = set()
    for decl in decls:
        if decl.mismatch:
            warnings.warn(IdMismatchWarning(
                f"line {decl.lineno}: {decl.name!r} has explicit id {decl.id:#010x} but its "
                f"text gives {decl.computed_id:#010x}; keeping {decl.id:#010x}"
            ), stacklevel=stacklevel + 1)
        if not decl.builtin:
            out["constructors" if decl.kind == "constructor" else "methods"].append(decl.entry())
            if decl.kind == "constructor":
                # A constructor makes its result type, and its own name a bare type.
                produced.add(decl.type.partition("<")[0].partition(" ")[0])
                produced.add(decl.name)
    unknown = [name for name in uses if name not in produced]
    if unknown:
        lines = _Lines(text)
        reread: dict[int, _Where] = {}
        for name in unknown:
            at, index, what = uses[name]
            if at not in reread:
                reread[at] = _reread(text, lines, at)[1]
            places = reread[at]
            offset = places[0][index][2] if index >= 0 else places[1][-1 - index]
            warnings.warn(UnknownTypeWarning(
                f"line {lines.at(offset)[0]}: type {name!r} ({what}) is not built in and no "
                "constructor of the schema produces it"), stacklevel=stacklevel + 1)
    return out


def parse_tl(text: str) -> dict[str, list[dict[str, Any]]]:
    """Parse TL schema text into ``{"constructors": [...], "methods": [...]}``.

    An explicit id that differs from the computed one is kept and reported
    with ``IdMismatchWarning``; a type that is not built in and that no
    constructor produces with ``UnknownTypeWarning``. ``parse_declarations``
    has both ids without the warnings machinery.
    """
    return _build(text, 2)


def tl_to_json(text: str, *, indent: int | None = None) -> str:
    """``parse_tl(text)`` as JSON text, ready for ``TLParser``."""
    return json.dumps(_build(text, 2), indent=indent)


def normalise(declaration: str) -> str:
    """The text of one declaration whose CRC-32 is its id."""
    reader = _Reader(declaration)
    if reader.tok.kind == "section":
        reader.fail("expected a declaration, not a section marker")
    if len(reader.toks) > 1 and reader.toks[-2].text != ";":  # the ';' is optional here
        reader.toks.insert(-1, _Tok("punct", ";", reader.toks[-1].off))
    decl, where = reader.declaration()
    if reader.tok.kind != "eof":
        reader.fail("expected a single declaration")
    return _record("constructor", decl, where, reader.lines, {}, None,
                   checked=False).normalised


def crc_id(declaration: str) -> int:
    """The unsigned CRC-32 of ``normalise(declaration)``."""
    return zlib.crc32(normalise(declaration).encode())


def typed_module(schema: str | Mapping[str, Any], *, standard: bool = False) -> str:
    """The source of a module of TypedDicts for ``schema`` (TL text, JSON
    text or the parsed dict): ``NameIn`` for what ``pack`` takes and
    ``Name`` for what ``unpack`` returns, per constructor and method, and a
    union per result type. ``standard`` gives the types of the standard
    profile."""
    from ._typed import typed_module as generate

    return generate(schema, standard=standard)
