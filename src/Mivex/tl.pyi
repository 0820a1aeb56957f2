"""Mivex.tl: a TL codec driven by a JSON schema."""

import json as json
import sys
from collections.abc import Iterator
from typing import Any, NoReturn, Self

from typing_extensions import disjoint_base

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

from Mivex.types import TLObject as TLObject
from Mivex.types import TLObjectLike as TLObjectLike
from Mivex.types import TLValue as TLValue
from Mivex.types import TLValueLike as TLValueLike

__test__: dict[str, Any]

@disjoint_base
class TLSchemaCompiler:
    """Compiles a schema; TLParser uses one of its own."""

    def __new__(cls, *args: object, **kwargs: object) -> Self:
        """Any arguments are accepted and ignored."""

    def compile(self, json_data: str | dict[str, Any]) -> None:
        """Compile a schema, replacing the previous one.

        Raises RuntimeError while this compiler is compiling or belongs to a
        parser.
        """

    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object) -> NoReturn: ...

@disjoint_base
class TLParser:
    """Packs dicts into TL bytes and unpacks them, by one compiled schema.

    Serves one call at a time; a call started while another runs on the
    same parser raises RuntimeError.
    """

    def __new__(
        cls, schema_json: str | dict[str, Any], *, standard: bool = False, strict: bool = False
    ) -> Self:
        """standard=True selects the standard TL wire profile; strict=True
        makes pack refuse what it would otherwise coerce, default or ignore."""

    @property
    def standard(self) -> bool:
        """Whether this parser speaks the standard TL wire profile."""

    @property
    def strict(self) -> bool:
        """Whether pack refuses unknown keys, missing fields and coercions."""

    def pack(self, value: TLObjectLike) -> bytes:
        """Serialize one object; value["_"] names its constructor."""

    def unpack(self, data: bytes) -> TLObject:
        """Parse one object from data, which must be exactly bytes.

        Bytes after the object are ignored. Input that ends too early raises
        RuntimeError; an unknown constructor or vector id, ValueError.
        """

    def unpack_from(self, buffer: Buffer, offset: int = 0) -> tuple[TLObject, int]:
        """Parse one object starting at offset of any C-contiguous buffer.

        Returns the object and the offset just past it. Positions in errors
        count from the start of the buffer.
        """

    def iter_unpack(self, buffer: Buffer, offset: int = 0) -> Iterator[TLObject]:
        """The objects stored back to back from offset to the end.

        The buffer's export is held while the iterator lives, so it cannot
        be resized or released under it; an object cut off at the end
        raises the parse error after the ones before it.
        """

    def pack_into(self, value: TLObjectLike, buffer: bytearray, offset: int = 0) -> None:
        """Pack into a bytearray from offset (-1: its end), which then ends
        exactly where the object does."""

    def describe(self) -> list[dict[str, Any]]:
        """The compiled schema: one dict per constructor and method.

        Each has "name", "id", "kind" ("constructor" or "method") and
        "fields"; a field has "name", "role" ("plain", "word" for a computed
        flags word, "cond" for a conditional value, "bit" for a conditional
        flag that is its bit), "word" and "bit" (conditional fields) and
        "type" ({"kind": ..., plus "element" for a vector}).
        """

    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object) -> NoReturn: ...
