// Schema records: what compilation derives once from the JSON schema and the
// codec only reads. Pointers between records stay valid while the compiler
// that owns the schema keeps it.
#ifndef MIVEX_CORE_SCHEMA_H
#define MIVEX_CORE_SCHEMA_H

#include "common.h"

namespace {

enum TLType : uint32_t {
  TL_TYPE_INT = 0,     // 32-bit integer; also a flags field ("#")
  TL_TYPE_LONG = 1,    // 64-bit integer
  TL_TYPE_DOUBLE = 2,  // IEEE 754 binary64
  TL_TYPE_STRING = 3,  // UTF-8 text in a byte string
  TL_TYPE_BYTES = 4,   // byte string
  TL_TYPE_BOOL = 5,    // bare word 1/0; also a presence-only flag ("true")
  TL_TYPE_VECTOR = 6,  // any type text starting with "Vector"
  TL_TYPE_OBJECT = 7,  // everything else: a boxed object with its own id
  // The standard profile's kinds besides double, string and bytes.
  TL_TYPE_SINT = 8,          // int: signed 32-bit both ways
  TL_TYPE_SLONG = 9,         // long: signed 64-bit both ways
  TL_TYPE_NAT = 10,          // "#" as a value: unsigned 32-bit both ways
  TL_TYPE_INT128 = 11,       // signed, two's complement, little-endian
  TL_TYPE_INT256 = 12,
  TL_TYPE_BOXED_BOOL = 13,   // the boolTrue / boolFalse constructor ids
  TL_TYPE_TRUE = 14,         // no bytes at all
  TL_TYPE_BARE_VECTOR = 15,  // "vector<T>": count and elements, no id
  TL_TYPE_TYPED_OBJECT = 16, // boxed, of one result type
  TL_TYPE_BARE_OBJECT = 17,  // one constructor's fields, no id
  TL_TYPE_COUNT = 18,
};

struct TLConstructor;

// How a value is encoded beyond its kind: the elements of a vector, the
// result type a boxed object must have, the constructor of a bare object.
// Nodes are owned by the schema; element chains may loop (a default-profile
// type text that derives to itself describes its elements with itself).
struct TLNode {
  TLType kind;
  int32_t type_index;         // TL_TYPE_TYPED_OBJECT: the result type
  const TLConstructor *ctor;  // TL_TYPE_BARE_OBJECT; for a typed object,
                              // its type's first constructor (or null)
  const TLNode *elem;         // vectors: the elements; null for 32-bit ints
  PyObject *name;             // owned: the type name an object was written
                              // with, for describe(); may be null
};

// How the codec treats a field.
enum TLFieldRole : uint8_t {
  TL_ROLE_PLAIN = 0,      // always present
  TL_ROLE_FLAGS = 1,      // a computed flags word (number `word`)
  TL_ROLE_COND = 3,       // conditional, carries a value when its bit is set
  TL_ROLE_COND_BOOL = 4,  // conditional "true" (or default-profile "Bool"):
                          // the bit is the value
};

// What the codec reads of every value comes first, in half a cache line.
struct TLField {
  const TLNode *node;    // vectors and objects of the standard profile, and
                         // default-profile vectors; else null
  uint32_t mask;         // conditional: 1 << bit_position, 0 when out of range
  int32_t slot;   // index of py_name among the constructor's distinct field
                  // names; -1 for the flags words
  int32_t entry;  // index of py_name among the keys of a decoded object
                  // ("_" first); -1 for the flags words
  TLType type;
  TLFieldRole role;
  bool shares_bit;       // standard profile: another field has the same bit
  uint16_t word;         // flags words: its number; conditional fields: the
                         // number of the word their bit is in
  int32_t bit_position;  // conditional: as written (0 when there is none)
  PyObject *py_name;  // owned; interned, so literal keys match by identity
  Py_hash_t py_hash;  // hash of py_name
  char *type_text;       // owned UTF-8 copy of the param's type text, whole
  size_t type_len;       //   (NULs included; the default profile reads it
                         //   only up to its first NUL)
};

// A field name as packing matches keys against it: a key equal to the name
// but not the same object (one decoded from JSON) is told by hash and text,
// which sit beside the rest of the constructor's records, without reading
// the name's own str object.
struct TLSlotKey {
  PyObject *key;     // borrowed from the fields; interned
  Py_hash_t hash;
  const char *text;  // the str's data: length code points of `kind` bytes
  uint32_t length;
  uint32_t kind;     // 0 when the name is too long to be held this way
};

// One entry of a constructor's table from field name to slot.
struct TLKeyEntry {
  Py_hash_t hash;
  int32_t slot;  // -1 marks an empty entry
};

// Laid out so that what packing and unpacking read of every object comes
// first, in one or two cache lines; with thousands of constructors these
// records are seldom in cache.
struct TLConstructor {
  uint32_t id;
  int32_t field_count;
  int32_t slot_count;     // distinct field names, flags words excluded
  int32_t word_count;     // flags words
  int32_t cond_count;     // conditional fields
  int32_t bad_bit_field;  // first conditional field whose bit lies outside
                          // 0..31, or -1
  uint32_t key_mask;      // key table size - 1
  int32_t type_index;     // standard profile: number of the result type among
                          // those of constructors; -1 for a method
  int32_t underscore_slot;  // the slot of a field named "_", or -1
  TLField *fields;        // field_count records in schema order
  PyObject **slot_keys;   // the distinct names in schema order (borrowed)
  TLSlotKey *slots;       // the same, as keys are matched against them
  TLKeyEntry *key_table;  // open addressing over slots
  PyObject *py_template;  // owned; decoded objects start as a copy of this
                          // dict: "_" and every field name, values None
  PyObject *py_name;      // owned; the "_" value of decoded objects
  bool is_method;
  bool holds_containers;  // a field may hold a list or a dict
  bool shares_bits;       // standard profile: fields share a flag bit
  bool packed;            // fields, slots, key table and name live in the
                          // schema's arena rather than on their own
  char *name;  // UTF-8, the key of the name map
  size_t name_len;
  char *result;         // owned UTF-8 copy of the result type text, whole
  size_t result_len;
  PyObject *py_result;  // owned; the result type, for messages
  uint32_t min_size;    // standard profile: fewest bytes a bare value takes
};

// Raw memory owned by the schema: each constructor's records once compiled,
// one after another in schema order.
struct TLArenaBlock {
  TLArenaBlock *next;
  size_t used, cap;
  unsigned char *bytes;  // cap of them, 64-aligned, after the block
};

// Nodes come from blocks owned by the schema and freed with it.
struct TLNodeBlock {
  TLNodeBlock *next;
  size_t used, cap;
  TLNode *nodes;  // cap of them, in the same allocation after the block
};

struct TLSchema {
  TLConstructor *constructors;  // constructors, then methods, schema order
  int32_t constructor_count;
  int32_t method_start;  // index of the first method
  bool standard;         // compiled for the standard profile
  TLNodeBlock *nodes;
  TLArenaBlock *arena;
};

// `count` zero-filled nodes in a row, owned by the schema; null when memory
// ran out (no exception is set).
TLNode *tl_new_nodes(TLSchema *schema, size_t count) {
  TLNodeBlock *b = schema->nodes;
  if (!b || b->cap - b->used < count) {
    size_t cap = count > 256 ? count : 256;
    if (cap > (SIZE_MAX - sizeof(TLNodeBlock)) / sizeof(TLNode)) return nullptr;
    void *mem = calloc(1, sizeof(TLNodeBlock) + cap * sizeof(TLNode));
    if (!mem) return nullptr;
    b = (TLNodeBlock *)mem;
    b->nodes = (TLNode *)((char *)mem + sizeof(TLNodeBlock));
    b->cap = cap;
    b->next = schema->nodes;
    schema->nodes = b;
  }
  TLNode *n = &b->nodes[b->used];
  b->used += count;
  return n;
}

// `size` bytes at a 64-byte boundary, zero-filled, owned by the schema; null
// when memory ran out (no exception is set).
void *tl_arena_alloc(TLSchema *schema, size_t size) {
  if (size > SIZE_MAX - 64) return nullptr;
  size = (size + 63) & ~(size_t)63;
  if (size == 0) size = 64;
  TLArenaBlock *b = schema->arena;
  if (!b || b->cap - b->used < size) {
    size_t cap = size > 65536 ? size : 65536;
    if (cap > SIZE_MAX - sizeof(TLArenaBlock) - 64) return nullptr;
    void *mem = calloc(1, sizeof(TLArenaBlock) + 64 + cap);
    if (!mem) return nullptr;
    b = (TLArenaBlock *)mem;
    unsigned char *start = (unsigned char *)mem + sizeof(TLArenaBlock);
    b->bytes = start + ((64 - ((uintptr_t)start & 63)) & 63);
    b->cap = cap;
    b->next = schema->arena;
    schema->arena = b;
  }
  void *p = b->bytes + b->used;
  b->used += size;
  return p;
}

// --- Lookup maps --------------------------------------------------------------
// Open addressing with linear probing; a null value marks an empty slot.
// The maps own nothing: values point into the schema's records and name keys
// at the records' own name text, and the schema is released only together
// with the maps' entries. Never erases; clear() keeps the table for reuse.

struct TLNameKey {
  const char *text;
  size_t len;
  uint64_t hash;
  bool operator==(const TLNameKey &o) const {
    return hash == o.hash && len == o.len && tl_mem_eq(text, o.text, len);
  }
};

inline uint64_t tl_map_hash(uint32_t id) {
  return ((uint64_t)id * 0x9E3779B97F4A7C15ull) >> 32;
}
inline uint64_t tl_map_hash(const TLNameKey &key) { return key.hash; }

uint64_t tl_hash_bytes(const char *p, size_t len) {
  const uint64_t m = 0xbf58476d1ce4e5b9ull;
  uint64_t h = 0x9E3779B97F4A7C15ull ^ (len * m);
  uint64_t w;
  while (len >= 8) {
    memcpy(&w, p, 8);
    h = (h ^ w) * m;
    h ^= h >> 31;
    p += 8;
    len -= 8;
  }
  if (len) {
    w = 0;
    memcpy(&w, p, len);
    h = (h ^ w) * m;
    h ^= h >> 31;
  }
  h ^= h >> 29;
  h *= 0x94d049bb133111ebull;
  h ^= h >> 32;
  return h;
}

inline TLNameKey tl_name_key(const char *text, size_t len) {
  return TLNameKey{text, len, tl_hash_bytes(text, len)};
}

template <typename Key>
struct TLMap {
  struct Slot {
    Key key;
    TLConstructor *value;
  };
  Slot *slots;
  size_t mask;  // capacity - 1 (capacity is a power of two), or 0
  size_t size;

  TL_INLINE TLConstructor *find(const Key &key) const {
    if (TL_UNLIKELY(!slots)) return nullptr;
    for (size_t i = (size_t)tl_map_hash(key) & mask;; i = (i + 1) & mask) {
      const Slot &s = slots[i];
      if (!s.value) return nullptr;
      if (s.key == key) return s.value;
    }
  }

  // Inserts or overwrites; false when memory ran out.
  bool assign(const Key &key, TLConstructor *value) {
    if ((!slots || (size + 1) * 2 > mask + 1) && !grow()) return false;
    size_t i = (size_t)tl_map_hash(key) & mask;
    while (slots[i].value && !(slots[i].key == key)) i = (i + 1) & mask;
    if (!slots[i].value) size++;
    slots[i] = Slot{key, value};
    return true;
  }

  void clear() {
    if (slots) memset((void *)slots, 0, (mask + 1) * sizeof(Slot));
    size = 0;
  }
  void destroy() {
    free(slots);
    slots = nullptr;
    mask = size = 0;
  }

 private:
  bool grow() {
    size_t cap = slots ? (mask + 1) * 2 : 16;
    Slot *fresh = (Slot *)calloc(cap, sizeof(Slot));
    if (!fresh) return false;
    size_t new_mask = cap - 1;
    for (size_t i = 0; slots && i <= mask; i++) {
      if (!slots[i].value) continue;
      size_t j = (size_t)tl_map_hash(slots[i].key) & new_mask;
      while (fresh[j].value) j = (j + 1) & new_mask;
      fresh[j] = slots[i];
    }
    free(slots);
    slots = fresh;
    mask = new_mask;
    return true;
  }
};

// The compiler object: the schema it owns and the two maps into it. Plain
// data, valid when zero-filled.
struct TLSchemaCompilerObject {
  PyObject_HEAD
  TLSchema *_schema;
  TLMap<uint32_t> _id_map;
  TLMap<TLNameKey> _name_map;
  // A compile releases the schema it replaces, so it must not run while
  // code holds pointers into that schema: inside another compile of the
  // same compiler (Python code run by a conversion), or once a parser owns
  // the compiler.
  bool _compiling;
  bool _owned;
  bool _standard;  // the next compile is for the standard profile
  int32_t _fail_entry;  // a failed compile: the entry and param it was at
  int32_t _fail_param;
};

}  // namespace

#endif  // MIVEX_CORE_SCHEMA_H
