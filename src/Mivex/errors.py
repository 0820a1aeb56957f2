"""The exceptions that bad input can cause, for ``except`` clauses.

    from Mivex.errors import UNPACK_ERRORS

    try:
        obj = parser.unpack(data)
    except UNPACK_ERRORS as exc:
        reject(data, exc)           # str(exc) and exc.__notes__ say what and where

``Mivex.tl`` itself raises only built-in exception types; these tuples name
the ones a caller should expect, so that anything else (a bug, a signal, an
exception from the caller's own code) is not swallowed with them.
"""

from __future__ import annotations

__all__ = ["PACK_ERRORS", "UNPACK_ERRORS"]

# What unpack, unpack_from and iter_unpack raise for any bytes, in either
# wire profile: RuntimeError for input that ends too early, ValueError for
# an unknown constructor id, a bad vector id and (standard profile) a Bool
# word that is neither true nor false or a constructor of another type,
# UnicodeDecodeError for text that is not UTF-8, RecursionError past the
# nesting bound. The last two are subclasses of the first two, listed for
# the reader. MemoryError is left out on purpose: memory use follows the
# input's length, so it means the process is out of memory, not that the
# bytes are bad.
UNPACK_ERRORS: tuple[type[Exception], ...] = (
    RuntimeError, ValueError, UnicodeDecodeError, RecursionError)

# What pack and pack_into raise for a value made of plain data (dicts,
# lists, tuples, str, bytes, int, float, bool, None) that does not fit the
# schema, strict or not: TypeError and OverflowError for a wrong type or
# range, ValueError for a missing or unknown constructor and the refusals of
# strict packing, AttributeError for a value that is no mapping where an
# object belongs (TypeError when strict), UnicodeEncodeError (a ValueError) for text with a lone
# surrogate, RecursionError past the nesting bound. A value's own methods
# (__int__, a mapping's lookups, an iterator) may raise anything; that
# passes through unchanged.
PACK_ERRORS: tuple[type[Exception], ...] = (
    TypeError, ValueError, OverflowError, AttributeError, UnicodeEncodeError, RecursionError)
