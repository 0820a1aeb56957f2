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
  TLParser finds entries by name and by id, and a later entry would take
  over an earlier one's. No field may be called ``_``, the key that holds
  the constructor name.
"""

from __future__ import annotations

import json
import re
import warnings
import zlib
from dataclasses import dataclass
from typing import Any, Literal, NoReturn

__all__ = [
    "Declaration",
    "IdMismatchWarning",
    "TLSchemaSyntaxError",
    "crc_id",
    "normalise",
    "parse_declarations",
    "parse_tl",
    "tl_to_json",
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


# Primitive declarations TLParser implements itself.
_NATIVE = frozenset({"int", "long", "double", "string", "bytes"})
_FLAG_WORDS = ("flags", "flags2")

_IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)*\Z")
_FIELD_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_FLAG_REF = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)\.([0-9]+)\Z")
_WORD = re.compile(r"[A-Za-z0-9_]+(?:\.[A-Za-z0-9_]+)*")
_ID_TEXT = re.compile(r"[A-Za-z0-9_]*")
_HEX_ID = re.compile(r"[0-9A-Fa-f]{1,8}\Z")
_SECTION = re.compile(r"---([A-Za-z0-9_]*)---")
_LINE_END = re.compile(r"[\r\n]")
_PUNCT = frozenset(":?{}<>[]=;!%,#")
# Generous for any real schema; keeps the recursive type reader off the stack limit.
_MAX_TYPE_DEPTH = 64


# ---------------------------------------------------------------- tokens


@dataclass(frozen=True)
class _Tok:
    kind: Literal["word", "id", "section", "punct", "eof"]
    text: str
    line: int
    col: int

    @property
    def end_col(self) -> int:
        return self.col + len(self.text)


def _tokenise(text: str) -> list[_Tok]:
    toks: list[_Tok] = []
    i, line, line_start, n = 0, 1, 0, len(text)
    while i < n:
        c = text[i]
        col = i - line_start + 1
        if c in "\r\n":
            # "\r\n", "\n" and a lone "\r" each end one line.
            i += 2 if text.startswith("\r\n", i) else 1
            line, line_start = line + 1, i
        elif c.isspace():
            i += 1
        elif text.startswith("//", i):
            m = _LINE_END.search(text, i)
            i = n if m is None else m.start()
        elif text.startswith("---", i):
            m = _SECTION.match(text, i)
            if m is None:
                raise TLSchemaSyntaxError("malformed section marker", line, col)
            if m.group(1) not in ("functions", "types"):
                raise TLSchemaSyntaxError(f"unknown section marker {m.group(0)!r}", line, col)
            toks.append(_Tok("section", m.group(1), line, col))
            i = m.end()
        elif c == "#" and i + 1 < n and (text[i + 1].isalnum() or text[i + 1] == "_"):
            m = _ID_TEXT.match(text, i + 1)
            assert m is not None
            if not _HEX_ID.match(m.group(0)):
                raise TLSchemaSyntaxError(
                    f"bad constructor id '#{m.group(0)}': expected 1 to 8 hex digits", line, col
                )
            toks.append(_Tok("id", m.group(0), line, col))
            i = m.end()
        elif c in _PUNCT:
            toks.append(_Tok("punct", c, line, col))
            i += 1
        else:
            m = _WORD.match(text, i)
            if m is None:
                raise TLSchemaSyntaxError(f"unexpected character {c!r}", line, col)
            toks.append(_Tok("word", m.group(0), line, col))
            i = m.end()
    toks.append(_Tok("eof", "", line, n - line_start + 1))
    return toks


# ---------------------------------------------------------------- syntax tree


@dataclass(frozen=True)
class _Type:
    name: str  # an identifier or "#"
    tok: _Tok
    args: tuple[_Type, ...] = ()
    marker: str = ""  # "", "!" or "%"

    def json(self) -> str:
        head = self.marker + self.name
        if self.marker == "%":
            # Keep the marker only where it changes how the value is written;
            # bareness is judged after the last dot.
            if self.name == "Vector" and self.args:
                head = "vector"
            elif self.name.rpartition(".")[2][:1].islower():
                head = self.name
        args = f"<{','.join(a.json() for a in self.args)}>" if self.args else ""
        return head + args

    def crc(self) -> str:
        # Angle-bracket application is written as plain juxtaposition.
        return " ".join([self.marker + self.name, *(a.crc() for a in self.args)])

    def is_plain(self, name: str) -> bool:
        return self.name == name and not self.args and not self.marker


@dataclass(frozen=True)
class _Field:
    name: str
    type: _Type
    tok: _Tok
    cond: tuple[str, int, _Tok] | None = None  # flags field, bit, where

    def json_type(self) -> str:
        prefix = f"{self.cond[0]}.{self.cond[1]}?" if self.cond else ""
        return prefix + self.type.json()

    def crc(self) -> str | None:
        if self.cond and self.type.is_plain("true"):
            return None
        prefix = f"{self.cond[0]}.{self.cond[1]}?" if self.cond else ""
        body = "string" if self.type.is_plain("bytes") else self.type.crc()
        return f"{self.name}:{prefix}{body}"


@dataclass(frozen=True)
class _Generic:
    name: str
    type: _Type
    tok: _Tok


@dataclass(frozen=True)
class _Other:
    """An unnamed ``#`` field, a ``[ ... ]`` repetition or the ``?`` of a primitive."""

    text: str
    tok: _Tok


_Item = _Field | _Generic | _Other


@dataclass
class _Decl:
    name: str
    tok: _Tok
    explicit_id: int | None
    items: list[_Item]
    result: list[_Type]

    def normalised(self) -> str:
        parts = [self.name]
        for item in self.items:
            if isinstance(item, _Field):
                text = item.crc()
                if text is not None:
                    parts.append(text)
            elif isinstance(item, _Generic):
                parts.append(f"{item.name}:{item.type.crc()}")
            else:
                parts.append(item.text)
        parts.append("=")
        parts.extend(t.crc() for t in self.result)
        return " ".join(parts)


class _Reader:
    def __init__(self, text: str) -> None:
        self.toks = _tokenise(text)
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
        tok = tok or self.tok
        raise TLSchemaSyntaxError(message, tok.line, tok.col)

    def unterminated(self, name: str) -> NoReturn:
        # Point just past the last token read: that is where ';' belongs.
        last = self.toks[self.pos - 1]
        if self.tok.kind == "section":
            self.fail(f"expected ';' to end declaration {name!r} before the section marker")
        raise TLSchemaSyntaxError(
            f"unterminated declaration {name!r} (missing ';')", last.line, last.end_col
        )

    def expect(self, text: str, what: str) -> _Tok:
        if not self.at(text):
            self.fail(f"expected {text!r} {what}")
        return self.next()

    def declaration(self) -> _Decl:
        start = self.tok
        if start.kind != "word" or not _IDENT.match(start.text):
            self.fail("expected a declaration name")
        self.next()
        explicit_id = int(self.next().text, 16) if self.tok.kind == "id" else None
        items: list[_Item] = []
        while not self.at("="):
            tok = self.tok
            if tok.kind in ("eof", "section"):
                self.unterminated(start.text)
            if self.at(";"):
                self.fail("expected '=' and a result type before ';'")
            if self.at("{"):
                items.append(self.generic())
            elif self.at("?") and not items:
                items.append(_Other("?", self.next()))
                if not self.at("="):
                    self.fail("expected '=' after '?'")
            elif self.at("#"):
                items.append(_Other("#", self.next()))
            elif self.at("["):
                items.append(self.repetition())
            elif tok.kind == "word":
                items.append(self.field())
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
                wrapped = [t for t in result if t.tok.line > result[0].tok.line]
                if wrapped:
                    at = self.toks[self.toks.index(wrapped[0].tok) - 1]
                    raise TLSchemaSyntaxError("expected ';' after the result type",
                                              at.line, at.end_col)
                self.fail("expected ';' after the result type")
            result.append(self.type("", markers=False))
        self.next()
        return _Decl(start.text, start, explicit_id, items, result)

    def generic(self) -> _Generic:
        self.next()
        tok = self.tok
        if tok.kind != "word" or not _FIELD_NAME.match(tok.text):
            self.fail("expected a type variable name after '{'")
        self.next()
        self.expect(":", "after type variable name")
        kind = self.type("after ':'", markers=False)
        self.expect("}", "to close the type variable")
        return _Generic(tok.text, kind, tok)

    def repetition(self) -> _Other:
        start = self.next()
        texts, depth = ["["], 1
        while depth:
            tok = self.next()
            if tok.kind in ("eof", "section"):
                self.fail("unclosed '['", start)
            depth += (tok.text == "[") - (tok.text == "]")
            texts.append(tok.text)
        return _Other(" ".join(texts), start)

    def field(self) -> _Field:
        tok = self.next()
        if not self.at(":"):
            self.fail("expected ':' after field name")
        if not _FIELD_NAME.match(tok.text):
            self.fail(f"bad field name {tok.text!r}", tok)
        self.next()
        cond = None
        if self.tok.kind == "word" and self.toks[self.pos + 1].text == "?":
            ref = self.next()
            m = _FLAG_REF.match(ref.text)
            if m is None:
                self.fail(f"bad condition {ref.text!r}: expected <flags field>.<bit>", ref)
            digits = m.group(2)
            if len(digits.lstrip("0")) > 2:     # keeps int() off a text of thousands of digits
                shown = digits if len(digits) <= 12 else f"{digits[:6]}...({len(digits)} digits)"
                self.fail(f"flag bit {shown} is out of range 0-31", ref)
            cond = (m.group(1), int(digits), ref)
            self.next()
        return _Field(tok.text, self.type("after ':'"), tok, cond)

    def type(self, where: str, markers: bool = True, depth: int = 0) -> _Type:
        marker, start = "", self.tok
        if depth > _MAX_TYPE_DEPTH:
            self.fail(f"type nested more than {_MAX_TYPE_DEPTH} levels deep")
        if markers and (self.at("!") or self.at("%")):
            marker = self.next().text
        tok = self.tok
        if self.at("#") and not marker:
            self.next()
            return _Type("#", tok)
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
        return _Type(tok.text, start, tuple(args), marker)


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


def _check(decl: _Decl, kind: Literal["constructor", "method"], reader: _Reader) -> bool:
    """Refuse what TLParser cannot carry; True when the declaration is built in."""
    others = [i for i in decl.items if isinstance(i, _Other)]
    if any(o.text == "?" for o in others):
        if kind == "method" or decl.name not in _NATIVE:
            reader.fail(f"{decl.name!r} is not a primitive type TLParser knows", decl.tok)
        return True
    repetitions = [o for o in others if o.text.startswith("[")]
    if repetitions:
        if decl.name != "vector" or kind == "method":
            reader.fail("'[ ... ]' is only supported in the built-in vector declaration",
                        repetitions[0].tok)
        return True
    if others:
        reader.fail("a '#' field needs a name", others[0].tok)
    if kind == "constructor" and decl.name in _NATIVE and not decl.items:
        return True  # e.g. "bytes = Bytes;"

    for item in decl.items:
        if not isinstance(item, _Field):
            continue
        if item.cond is not None and (item.name in _FLAG_WORDS or item.type.is_plain("#")):
            # TLParser writes these fields as a computed word, present or not.
            reader.fail(f"flags word {item.name!r} cannot itself be conditional", item.cond[2])
        if item.name in _FLAG_WORDS and not (item.type.is_plain("#")
                                             or item.type.is_plain("int")):
            # The default profile always writes the computed word here.
            reader.fail(f"field {item.name!r} must have type '#' or 'int'", item.tok)
    generics = {i.name for i in decl.items if isinstance(i, _Generic)}
    seen: dict[str, _Field] = {}
    for item in decl.items:
        if not isinstance(item, _Field):
            continue
        if item.name in seen:
            reader.fail(f"duplicate field name {item.name!r}", item.tok)
        if item.name == "_":
            # TLParser keeps the constructor name under "_".
            reader.fail("'_' cannot be a field name: it holds the constructor name", item.tok)
        if item.cond is not None:
            flag, bit, where = item.cond
            ref = seen.get(flag)
            if ref is None or not ref.type.is_plain("#"):
                reader.fail(f"{flag!r} is not a '#' field declared before this one", where)
            if bit > 31:
                reader.fail(f"flag bit {bit} is out of range 0-31", where)
        if item.type.marker == "!" and item.type.name not in generics:
            reader.fail(f"'!{item.type.name}' names no type variable", item.type.tok)
        seen[item.name] = item
    return False


def parse_declarations(text: str) -> list[Declaration]:
    """Every declaration of ``text`` in order, built-ins included.

    Unlike ``parse_tl`` it neither warns about ids nor refuses repeated
    names and ids.
    """
    reader = _Reader(text)
    kind: Literal["constructor", "method"] = "constructor"
    out: list[Declaration] = []
    while reader.tok.kind != "eof":
        if reader.tok.kind == "section":
            kind = "method" if reader.next().text == "functions" else "constructor"
            continue
        decl = reader.declaration()
        builtin = _check(decl, kind, reader)
        norm = decl.normalised()
        params = [{"name": i.name, "type": i.json_type()}
                  for i in decl.items if isinstance(i, _Field)]
        out.append(Declaration(
            kind, decl.name, params, " ".join(t.json() for t in decl.result),
            decl.explicit_id, zlib.crc32(norm.encode()), norm,
            decl.tok.line, decl.tok.col, builtin,
        ))
    return out


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
    decls = parse_declarations(text)
    _refuse_duplicates(decls)
    for decl in decls:
        if decl.mismatch:
            warnings.warn(IdMismatchWarning(
                f"line {decl.lineno}: {decl.name!r} has explicit id {decl.id:#010x} but its "
                f"text gives {decl.computed_id:#010x}; keeping {decl.id:#010x}"
            ), stacklevel=stacklevel + 1)
        if not decl.builtin:
            out["constructors" if decl.kind == "constructor" else "methods"].append(decl.entry())
    return out


def parse_tl(text: str) -> dict[str, list[dict[str, Any]]]:
    """Parse TL schema text into ``{"constructors": [...], "methods": [...]}``.

    An explicit id that differs from the computed one is kept and reported
    with ``IdMismatchWarning``; ``parse_declarations`` has both ids without
    the warnings machinery.
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
        last = reader.toks[-1]
        reader.toks.insert(-1, _Tok("punct", ";", last.line, last.col))
    decl = reader.declaration()
    if reader.tok.kind != "eof":
        reader.fail("expected a single declaration")
    return decl.normalised()


def crc_id(declaration: str) -> int:
    """The unsigned CRC-32 of ``normalise(declaration)``."""
    return zlib.crc32(normalise(declaration).encode())
