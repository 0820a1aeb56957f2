"""Mivex: a fast, exact and safe TL (Type Language) codec driven by a JSON schema."""

from .tl import TLParser, TLSchemaCompiler

# The one place the version is written: pyproject.toml reads it from here.
__version__ = "0.1.0"

__all__ = ["TLParser", "TLSchemaCompiler"]
