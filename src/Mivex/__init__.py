"""Mivex: a fast, exact and safe TL (Type Language) codec driven by a JSON schema."""

from .tl import TLParser, TLSchemaCompiler

__all__ = ["TLParser", "TLSchemaCompiler"]
