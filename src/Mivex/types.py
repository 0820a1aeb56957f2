"""Names for the values Mivex packs and unpacks, for annotations.

    from Mivex.types import TLObject, TLObjectLike

``TLObject`` / ``TLValue`` describe what ``unpack`` returns; ``TLObjectLike``
/ ``TLValueLike`` the wider set ``pack`` accepts. For one schema's own
types, see ``Mivex.schema.typed_module``.
"""

from __future__ import annotations

import sys
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, SupportsFloat, SupportsIndex, SupportsInt, TypeAlias, Union

if TYPE_CHECKING:
    if sys.version_info >= (3, 12):
        from collections.abc import Buffer
    else:
        from typing_extensions import Buffer
else:  # at run time only the alias objects matter, not their exact members
    Buffer = Union[bytes, bytearray, memoryview]

__all__ = ["TLObject", "TLObjectLike", "TLValue", "TLValueLike"]

# What unpack produces: integers, an absent conditional field as None, a
# vector as a list, a nested object as a dict with "_".
TLValue: TypeAlias = Union[
    int, float, str, bytes, bool, None, list["TLValue"], dict[str, "TLValue"]]
TLObject: TypeAlias = dict[str, TLValue]

# What pack accepts, which is wider: anything with __int__ or __float__ for
# numbers, any C-contiguous buffer for bytes, any iterable for a vector and
# any mapping for an object. A Bool field takes any value by its truth; the
# alias names only the usual ones.
TLValueLike: TypeAlias = Union[
    "TLObjectLike", Iterable["TLValueLike"], str, Buffer, SupportsInt, SupportsFloat,
    SupportsIndex, None]
# The key "_" names the constructor; other keys are field names.
TLObjectLike: TypeAlias = Mapping[str, TLValueLike]
