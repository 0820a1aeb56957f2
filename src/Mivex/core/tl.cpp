// Mivex.tl: a TL (Type Language) codec for CPython, driven by a schema given
// as JSON text.
//
// One translation unit, one file per part, included in the order data
// flows: the compatibility layer and shared helpers, the schema records and
// their compiler, the parser's buffer and primitives, the writer, the
// reader, the error paths, and the Python surface that ties them together.

#include "common.h"
#include "schema.h"

#include "compiler.cpp"
#include "standard.cpp"
#include "buffer.cpp"
#include "writer.cpp"
#include "reader.cpp"
#include "errors.cpp"
#include "args.cpp"
#include "calls.cpp"
#include "surface.cpp"
