// Schema records shared by the compiler and the codec of Mivex.tl.
//
// The compiler builds these once; the codec only reads them. Text members are
// NUL-terminated UTF-8 heap copies released with free() by the schema's owner.
#ifndef MIVEX_TL_H
#define MIVEX_TL_H

#include <Python.h>
#include <stdint.h>

enum TLType : uint32_t {
    TL_TYPE_INT = 0,     // 32-bit integer; also a flags field ("#")
    TL_TYPE_LONG = 1,    // 64-bit integer
    TL_TYPE_DOUBLE = 2,  // IEEE 754 binary64
    TL_TYPE_STRING = 3,  // UTF-8 text in a byte string
    TL_TYPE_BYTES = 4,   // byte string
    TL_TYPE_BOOL = 5,    // bare word 1/0; also a presence-only flag ("true")
    TL_TYPE_VECTOR = 6,  // any type text starting with "Vector"
    TL_TYPE_OBJECT = 7,  // everything else: a boxed object with its own id
};

struct TLOptionalFlag {
    int32_t bit_position;  // as written in the schema; range not checked here
    int32_t flags_index;   // 0: "flags", 1: "flags2"
    char *name;            // always null
};

// Element description of a vector, derived once from the vector's type text.
// Element vectors point at the next link; a type text that derives to itself
// links to its own record, so the chain is finite but may loop.
struct TLVectorInfo {
    TLType elem_type;
    const TLVectorInfo *elem_vec;  // set when elem_type is TL_TYPE_VECTOR
};

// How the codec treats a field; fixed at compilation so no per-call string
// comparisons are needed.
enum TLFieldRole : uint8_t {
    TL_ROLE_PLAIN = 0,      // always present
    TL_ROLE_FLAGS = 1,      // named "flags": the computed first flags word
    TL_ROLE_FLAGS2 = 2,     // named "flags2": the computed second flags word
    TL_ROLE_COND = 3,       // conditional, carries a value when its bit is set
    TL_ROLE_COND_BOOL = 4,  // conditional of kind Bool: the bit is the value
};

struct TLField {
    char *name;
    PyObject *py_name;  // strong reference: the schema's own key object
    TLType type;
    char *type_name;    // whole type text, flag prefix included
    int32_t is_optional;
    TLOptionalFlag flag_info;
    int32_t is_generic;  // always 0

    // Derived at compilation.
    TLFieldRole role;
    uint8_t bit_valid;    // bit_position within 0..31
    uint32_t mask;        // 1 << bit_position when bit_valid
    Py_hash_t py_hash;    // hash of py_name
    TLVectorInfo *vec;    // element chain of a vector field, else null
    int32_t slot;         // index of py_name among the constructor's distinct
                          // field names; -1 for the flags words
    int32_t entry;        // index of py_name among the keys of a decoded
                          // object ("_" first); -1 for the flags words
};

// One entry of a constructor's table from field name to slot.
struct TLKeyEntry {
    PyObject *key;  // borrowed from the fields; null marks an empty entry
    Py_hash_t hash;
    int32_t slot;
};

struct TLConstructor {
    uint32_t id;
    char *name;
    char *type;
    TLField *fields;
    int32_t field_count;
    int32_t has_flags;
    int32_t has_flags2;

    // Derived at compilation.
    PyObject *py_name;       // name as str, the "_" value of decoded objects
    int32_t cond_count;      // conditional fields (TL_ROLE_COND*)
    int32_t bad_bit_field;   // index of the first conditional field whose bit
                             // lies outside 0..31, or -1
    int32_t slot_count;      // distinct field names, flags words excluded
    PyObject **slot_keys;    // those names in schema order (borrowed)
    TLKeyEntry *key_table;   // open addressing over slot_keys
    uint32_t key_mask;       // table size - 1
    PyObject *py_template;   // decoded objects start as a copy of this dict:
                             // "_" and every field name, values None
    int32_t holds_containers;  // a field may hold a list or a dict
};

struct TLSchema {
    TLConstructor *constructors;
    int32_t constructor_count;
};

#endif  // MIVEX_TL_H
