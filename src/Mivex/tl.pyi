"""Mivex.tl: a TL codec driven by a JSON schema."""

import json as json
import sys
from collections.abc import Iterable, Mapping
from typing import Any, NoReturn, Self, SupportsFloat, SupportsIndex, SupportsInt, TypeAlias

from typing_extensions import disjoint_base

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

# What unpack produces. Integers come back unsigned, an absent conditional
# field as None, a vector as a list, a nested object as a dict with "_".
TLValue: TypeAlias = int | float | str | bytes | bool | None | list[TLValue] | dict[str, TLValue]
TLObject: TypeAlias = dict[str, TLValue]

# What pack accepts, which is wider: anything with __int__ or __float__ for
# numbers, any C-contiguous buffer for bytes, any iterable for a vector and
# any mapping for an object. A Bool field takes any value by its truth; the
# alias names only the usual ones.
TLValueLike: TypeAlias = (
    TLObjectLike
    | Iterable[TLValueLike]
    | str
    | Buffer
    | SupportsInt
    | SupportsFloat
    | SupportsIndex
    | None
)
# The key "_" names the constructor; other keys are field names.
TLObjectLike: TypeAlias = Mapping[str, TLValueLike]

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

    def __new__(cls, schema_json: str | dict[str, Any], *, standard: bool = False) -> Self:
        """standard=True selects the standard TL wire profile."""

    @property
    def standard(self) -> bool:
        """Whether this parser speaks the standard TL wire profile."""

    def pack(self, value: TLObjectLike) -> bytes:
        """Serialize one object; value["_"] names its constructor."""

    def unpack(self, data: bytes) -> TLObject:
        """Parse one object from data, which must be exactly bytes.

        Bytes after the object are ignored. Input that ends too early raises
        RuntimeError; an unknown constructor or vector id, ValueError.
        """

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
