// The writer: value dispatch by kind, vectors and objects, from Python values
// into the output. One dispatch serves both profiles: the standard profile's
// kinds are cases of their own.

namespace {

int TLParser_write_vector(TLParserObject *self, PyObject *vector,
                          const TLNode *node, bool boxed, int depth);
int TLParser_write_object(TLParserObject *self, PyObject *value,
                          const TLNode *node, int depth);

constexpr uint32_t kBoolTrue = 0x997275b5u;
constexpr uint32_t kBoolFalse = 0xbc799737u;

// --- Strict packing -----------------------------------------------------------
// A strict parser refuses what the default would coerce (3.7 or a bool for
// an int, 1 for a Bool, a dict or a str for a vector), default (a missing
// field) or ignore (a key that is no field).

bool tl_is_int(PyObject *v) { return PyLong_Check(v) && !PyBool_Check(v); }

// What a value of kind `type` must be; null when any value will do here
// (objects are checked by the object writer).
const char *tl_strict_expected(TLType type) {
  switch (type) {
    case TL_TYPE_INT:
    case TL_TYPE_LONG:
    case TL_TYPE_SINT:
    case TL_TYPE_SLONG:
    case TL_TYPE_NAT:
    case TL_TYPE_INT128:
    case TL_TYPE_INT256:
      return "int";
    case TL_TYPE_DOUBLE:
      return "float or int";
    case TL_TYPE_STRING:
      return "str";
    case TL_TYPE_BYTES:
      return "bytes";
    case TL_TYPE_BOOL:
    case TL_TYPE_BOXED_BOOL:
    case TL_TYPE_TRUE:
      return "bool";
    case TL_TYPE_VECTOR:
    case TL_TYPE_BARE_VECTOR:
      return "list or tuple";
    default:
      return nullptr;
  }
}

// Whether strict packing takes a value of another type than the usual one.
TL_NOINLINE bool tl_strict_accepts_other(PyObject *v, TLType type) {
  switch (type) {
    case TL_TYPE_INT:
    case TL_TYPE_LONG:
    case TL_TYPE_SINT:
    case TL_TYPE_SLONG:
    case TL_TYPE_NAT:
    case TL_TYPE_INT128:
    case TL_TYPE_INT256:
      return PyLong_CheckExact(v) || tl_is_int(v);
    case TL_TYPE_DOUBLE:
      return PyFloat_Check(v) || tl_is_int(v);
    case TL_TYPE_STRING:
      return PyUnicode_Check(v);
    case TL_TYPE_BYTES:
      return PyBytes_Check(v) || (v != Py_None && PyObject_CheckBuffer(v));
    case TL_TYPE_BOOL:
    case TL_TYPE_BOXED_BOOL:
    case TL_TYPE_TRUE:
      return v == Py_True || v == Py_False;
    case TL_TYPE_VECTOR:
    case TL_TYPE_BARE_VECTOR:
      return PyList_Check(v) || PyTuple_Check(v);
    default:
      return true;
  }
}

TL_NOINLINE int tl_strict_refused(PyObject *v, TLType type) {
  tl_expected(tl_strict_expected(type), v);
  return -1;
}

// One value of kind `type` (`node` says more for vectors and objects);
// `depth` is the level of the object or vector that holds it.
// A strict parser refuses a value of another type than its kind's usual
// one unless strict packing takes it; checked off the exact-type path only,
// where the conversion is about to test the type anyway.
#define TL_STRICT_UNLESS(exact)                         \
  if (TL_UNLIKELY(!(exact)) && self->_strict &&         \
      !tl_strict_accepts_other(value, type)) {          \
    status = tl_strict_refused(value, type);            \
    break;                                              \
  }

TL_INLINE bool tl_is_bool(PyObject *v) { return v == Py_True || v == Py_False; }

TL_INLINE int TLParser_write_value(TLParserObject *self, PyObject *value,
                                   TLType type, const TLNode *node,
                                   int depth) {
  int status;
  switch (type) {
    case TL_TYPE_INT: {
      TL_STRICT_UNLESS(PyLong_CheckExact(value));
      int32_t x;
      status = tl_as_int32(value, &x);
      if (TL_LIKELY(status == 0)) status = TLParser_write_int32(self, x);
      break;
    }
    case TL_TYPE_LONG: {
      TL_STRICT_UNLESS(PyLong_CheckExact(value));
      uint64_t x;
      status = tl_as_uint64(value, &x);
      if (TL_LIKELY(status == 0)) status = TLParser_write_int64(self, x);
      break;
    }
    case TL_TYPE_DOUBLE: {
      TL_STRICT_UNLESS(PyFloat_CheckExact(value));
      double x;
      status = tl_as_double(value, &x);
      if (TL_LIKELY(status == 0)) status = TLParser_write_double(self, x);
      break;
    }
    case TL_TYPE_STRING:
      TL_STRICT_UNLESS(PyUnicode_CheckExact(value));
      status = TLParser_write_string(self, value);
      break;
    case TL_TYPE_BYTES:
      TL_STRICT_UNLESS(PyBytes_CheckExact(value));
      status = TLParser_write_bytes(self, value);
      break;
    case TL_TYPE_BOOL: {
      TL_STRICT_UNLESS(tl_is_bool(value));
      int truth = tl_truth(value);
      status = truth < 0 ? -1 : TLParser_write_int32(self, truth);
      break;
    }
    case TL_TYPE_VECTOR:
      TL_STRICT_UNLESS(PyList_CheckExact(value));
      status = TLParser_write_vector(self, value, node, true, depth + 1);
      break;
    case TL_TYPE_OBJECT:
    case TL_TYPE_TYPED_OBJECT:
    case TL_TYPE_BARE_OBJECT:
      status = TLParser_write_object(self, value, node, depth + 1);
      break;
    case TL_TYPE_SINT: {
      TL_STRICT_UNLESS(PyLong_CheckExact(value));
      int32_t x;
      status = tl_as_sint(value, &x);
      if (TL_LIKELY(status == 0)) status = TLParser_write_int32(self, x);
      break;
    }
    case TL_TYPE_SLONG: {
      TL_STRICT_UNLESS(PyLong_CheckExact(value));
      int64_t x;
      status = tl_as_slong(value, &x);
      if (TL_LIKELY(status == 0))
        status = TLParser_write_int64(self, (uint64_t)x);
      break;
    }
    case TL_TYPE_NAT: {
      TL_STRICT_UNLESS(PyLong_CheckExact(value));
      uint32_t x;
      status = tl_as_nat(value, &x);
      if (TL_LIKELY(status == 0)) status = TLParser_write_int32(self, (int32_t)x);
      break;
    }
    case TL_TYPE_INT128:
    case TL_TYPE_INT256: {
      TL_STRICT_UNLESS(PyLong_CheckExact(value));
      unsigned char bytes[32];
      size_t n = type == TL_TYPE_INT128 ? 16 : 32;
      status = tl_as_bigint(value, bytes, n);
      if (TL_LIKELY(status == 0)) status = tl_write_raw_words(self, bytes, n);
      break;
    }
    case TL_TYPE_BOXED_BOOL: {
      TL_STRICT_UNLESS(tl_is_bool(value));
      int truth = tl_truth(value);
      status = truth < 0 ? -1
                         : TLParser_write_int32(
                               self, (int32_t)(truth ? kBoolTrue : kBoolFalse));
      break;
    }
    case TL_TYPE_TRUE:
      TL_STRICT_UNLESS(tl_is_bool(value));
      status = 0;  // takes no bytes
      break;
    case TL_TYPE_BARE_VECTOR:
      TL_STRICT_UNLESS(PyList_CheckExact(value));
      status = TLParser_write_vector(self, value, node, false, depth + 1);
      break;
    default:
      PyErr_Format(PyExc_ValueError, "Unknown type: %d", (int)(int32_t)type);
      status = -1;
  }
  if (TL_UNLIKELY(status < 0)) {
    tl_record_failure(self, type, value);
    TL_TB("TLParser._write_value");
  }
  return status;
}

#undef TL_STRICT_UNLESS

// --- Vectors ------------------------------------------------------------------
// The element kind comes from the vector's node, derived at compilation; a
// vector without one has 32-bit integer elements.

constexpr char kWriteVector[] = "Mivex.tl.TLParser._write_vector";

TL_NOINLINE int tl_vector_changed() {
  PyErr_SetString(PyExc_RuntimeError, "list changed size during pack");
  return -1;
}

constexpr size_t tl_element_width(TLType k) {
  return k == TL_TYPE_LONG || k == TL_TYPE_DOUBLE || k == TL_TYPE_SLONG ? 8 : 4;
}

// Stores items[i..count) of exact types straight at out (element i first);
// returns the index of the first element that needs the full dispatch.
// `Direct` reads ints from their digits, decided once per vector.
template <TLType K, bool Direct>
TL_INLINE Py_ssize_t tl_store_plain_elements(PyObject *const *items,
                                             Py_ssize_t i, Py_ssize_t count,
                                             unsigned char *out) {
  constexpr size_t width = tl_element_width(K);
  for (; i < count; i++, out += width) {
    PyObject *item = items[i];
    if constexpr (K == TL_TYPE_LONG) {
      uint64_t x;
      if (!PyLong_CheckExact(item) ||
          !(Direct ? tl_long_small_uint64_direct(item, &x)
                   : tl_long_small_uint64(item, &x)))
        break;
      memcpy(out, &x, 8);
    } else if constexpr (K == TL_TYPE_SLONG) {
      // Most values are non-negative: the unsigned reading is the quicker.
      uint64_t u;
      int64_t x;
      if (!PyLong_CheckExact(item)) break;
      if (Direct && tl_long_small_uint64_direct(item, &u) && u <= INT64_MAX)
        x = (int64_t)u;
      else if (!(Direct ? tl_long_small_int64_direct(item, &x)
                        : tl_long_small_int64(item, &x)))
        break;
      memcpy(out, &x, 8);
    } else if constexpr (K == TL_TYPE_INT || K == TL_TYPE_SINT) {
      int32_t x;
      if (!PyLong_CheckExact(item) ||
          !(Direct ? tl_long_small_int32_direct(item, &x)
                   : tl_long_small_int32(item, &x)))
        break;
      memcpy(out, &x, 4);
    } else if constexpr (K == TL_TYPE_NAT) {
      uint64_t x;
      if (!PyLong_CheckExact(item) ||
          !(Direct ? tl_long_small_uint64_direct(item, &x)
                   : tl_long_small_uint64(item, &x)) ||
          x > UINT32_MAX)
        break;
      uint32_t w = (uint32_t)x;
      memcpy(out, &w, 4);
    } else if constexpr (K == TL_TYPE_DOUBLE) {
      if (!PyFloat_CheckExact(item)) break;
      double x = PyFloat_AS_DOUBLE(item);
      memcpy(out, &x, 8);
    } else if constexpr (K == TL_TYPE_BOXED_BOOL) {
      if (item != Py_True && item != Py_False) break;
      uint32_t x = item == Py_True ? kBoolTrue : kBoolFalse;
      memcpy(out, &x, 4);
    } else {
      if (item != Py_True && item != Py_False) break;
      uint32_t x = item == Py_True;
      memcpy(out, &x, 4);
    }
  }
  return i;
}

// Elements of a fixed width: room for all of them is made once and runs of
// exact int, float and bool values are stored directly. Any other element
// goes through the full dispatch, which may run Python code that changes
// the list, so the list is checked again after each such element.
template <TLType K>
int tl_write_fixed_elements(TLParserObject *self, PyObject *items,
                            Py_ssize_t count, int depth) {
  constexpr size_t width = tl_element_width(K);
  if (TLParser_ensure_buffer(self, (size_t)count * width) < 0) return -1;
  Py_ssize_t i = 0;
  for (;;) {
    size_t start = self->_position;
    PyObject *const *all = tl_list_items(items);
    unsigned char *out = self->_buffer + start;
    Py_ssize_t stop =
        tl_long_digits_ok()
            ? tl_store_plain_elements<K, true>(all, i, count, out)
            : tl_store_plain_elements<K, false>(all, i, count, out);
    self->_position = start + (size_t)(stop - i) * width;
    if (stop == count) return 0;
    PyObject *item = PyList_GET_ITEM(items, stop);
    Ref held = Ref::own(item);
    if (TLParser_write_value(self, item, K, nullptr, depth) < 0) {
      tl_path_step(self, nullptr, stop, 0);
      return -1;
    }
    if (TL_UNLIKELY(PyList_GET_SIZE(items) != count)) return tl_vector_changed();
    i = stop + 1;
  }
}

// Elements of any other kind, each through the full dispatch.
int tl_write_elements(TLParserObject *self, PyObject *items, Py_ssize_t count,
                      TLType elem_type, const TLNode *elem, int depth) {
  for (Py_ssize_t i = 0; i < count; i++) {
    // The count is already written: a list that shrinks or grows under a
    // conversion would make the output lie, so it fails the pack.
    if (TL_UNLIKELY(i >= PyList_GET_SIZE(items))) return tl_vector_changed();
    Ref item = Ref::own(PyList_GET_ITEM(items, i));
    if (TL_UNLIKELY(TLParser_write_value(self, item.get(), elem_type, elem,
                                         depth) < 0)) {
      tl_path_step(self, nullptr, i, 0);
      return -1;
    }
  }
  if (TL_UNLIKELY(PyList_GET_SIZE(items) != count)) return tl_vector_changed();
  return 0;
}

int tl_write_all_elements(TLParserObject *self, PyObject *items,
                          Py_ssize_t count, const TLNode *elem, int depth) {
  TLType elem_type = elem ? elem->kind : TL_TYPE_INT;
  switch (elem_type) {
    case TL_TYPE_INT:
      return tl_write_fixed_elements<TL_TYPE_INT>(self, items, count, depth);
    case TL_TYPE_LONG:
      return tl_write_fixed_elements<TL_TYPE_LONG>(self, items, count, depth);
    case TL_TYPE_DOUBLE:
      return tl_write_fixed_elements<TL_TYPE_DOUBLE>(self, items, count, depth);
    case TL_TYPE_BOOL:
      return tl_write_fixed_elements<TL_TYPE_BOOL>(self, items, count, depth);
    case TL_TYPE_SINT:
      return tl_write_fixed_elements<TL_TYPE_SINT>(self, items, count, depth);
    case TL_TYPE_SLONG:
      return tl_write_fixed_elements<TL_TYPE_SLONG>(self, items, count, depth);
    case TL_TYPE_NAT:
      return tl_write_fixed_elements<TL_TYPE_NAT>(self, items, count, depth);
    case TL_TYPE_BOXED_BOOL:
      return tl_write_fixed_elements<TL_TYPE_BOXED_BOOL>(self, items, count,
                                                         depth);
    default:
      return tl_write_elements(self, items, count, elem_type, elem, depth);
  }
}

// A vector: boxed ("Vector<T>": id, count, elements) or bare ("vector<T>":
// count and elements).
int TLParser_write_vector(TLParserObject *self, PyObject *vector,
                          const TLNode *node, bool boxed, int depth) {
  if (TL_UNLIKELY(depth > kMaxDepth)) {
    tl_depth_error();
    return TL_FAIL(kWriteVector);
  }
  Ref list;
  if (TL_LIKELY(PyList_CheckExact(vector))) {
    list = Ref::own(vector);  // held: element conversions may run Python code
  } else if (PyList_Check(vector)) {
    tl_expected("list", vector);
    return TL_FAIL(kWriteVector);
  } else if (!(list = Ref::steal(PySequence_List(vector)))) {
    return TL_FAIL(kWriteVector);
  }
  PyObject *items = list.get();
  Py_ssize_t count = PyList_GET_SIZE(items);
  if (TL_UNLIKELY(count > INT32_MAX)) {
    PyErr_SetString(PyExc_OverflowError,
                    "value too large to convert to int32_t");
    return TL_FAIL(kWriteVector);
  }
  if ((boxed && TLParser_write_int32(self, (int32_t)kVectorId) < 0) ||
      TLParser_write_int32(self, (int32_t)count) < 0 ||
      tl_write_all_elements(self, items, count, node ? node->elem : nullptr,
                            depth) < 0)
    return TL_FAIL(kWriteVector);
  return 0;
}

// --- Objects --------------------------------------------------------------------

constexpr char kWriteObject[] = "Mivex.tl.TLParser._write_object";

// Keys decoded from text ("_" from JSON) are equal to the interned "_" but
// seldom the same object.
TL_INLINE bool tl_is_underscore(PyObject *key) {
  return key == S.underscore ||
         (PyUnicode_GET_LENGTH(key) == 1 && PyUnicode_IS_COMPACT_ASCII(key) &&
          *(const char *)PyUnicode_DATA(key) == '_');
}

// Whether exact str `key`, of hash `hash`, is the field name `s`.
TL_INLINE bool tl_slot_text_is(const TLSlotKey &s, PyObject *key);
TL_INLINE bool tl_slot_key_is(const TLSlotKey &s, PyObject *key,
                              Py_hash_t hash) {
  return key == s.key || (s.hash == hash && tl_slot_text_is(s, key));
}

// A key that is not the same object as the name: equal text. Names too
// long for the slot record are compared as str objects.
TL_INLINE bool tl_slot_text_is(const TLSlotKey &s, PyObject *key) {
  return TL_LIKELY(s.kind) ? tl_str_is(key, s.text, s.length, s.kind)
                           : tl_str_eq(s.key, key);
}

// A few names are compared in place, from slot `start` on (keys mostly
// come in schema order): their slots are at hand, a table is not.
TL_NOINLINE int32_t tl_scan_slots(const TLConstructor *c, PyObject *key,
                                  Py_hash_t hash, int32_t start) {
  const int32_t n = c->slot_count;
  for (int32_t i = start; i < n; i++)
    if (tl_slot_key_is(c->slots[i], key, hash)) return i;
  for (int32_t i = 0; i < start && i < n; i++)
    if (tl_slot_key_is(c->slots[i], key, hash)) return i;
  return -1;
}

// The slot of a field name of `c`, or -1.
TL_INLINE int32_t tl_key_slot(const TLConstructor *c, PyObject *key,
                              Py_hash_t hash, int32_t start) {
  if (c->slot_count <= 8) return tl_scan_slots(c, key, hash, start);
  const TLKeyEntry *table = c->key_table;
  for (size_t i = (size_t)hash & c->key_mask;; i = (i + 1) & c->key_mask) {
    const TLKeyEntry &e = table[i];
    if (e.slot < 0) return -1;
    if (e.hash == hash && (c->slot_keys[e.slot] == key ||
                           tl_slot_text_is(c->slots[e.slot], key)))
      return e.slot;
  }
}

// A dict small enough to be walked whole rather than asked once per field.
TL_INLINE bool tl_walkable(PyObject *dict, const TLConstructor *c) {
  return PyDict_GET_SIZE(dict) <= 2 * (Py_ssize_t)c->slot_count + 8;
}

// Walks an exact dict's entries in order, matching keys by identity in schema
// order and by the key table otherwise: no hash lookups, and no user code
// can run. False when a key is not an exact str (nothing is kept then).
bool tl_gather_walk(PyObject *value, const TLConstructor *c,
                    PyObject **slots, Py_ssize_t *given) {
  const int32_t n = c->slot_count;
  int32_t next = 0;
  Py_ssize_t found = 0;
  Py_ssize_t count;
  if (TLDictEntry *e = tl_dict_str_entries(value, &count)) {
    for (Py_ssize_t i = 0; i < count; i++) {
      PyObject *key = e[i].key, *v = e[i].value;
      if (!v) continue;  // a deleted entry
      int32_t slot;
      if (next < n && key == c->slot_keys[next])
        slot = next;
      else if ((slot = tl_is_underscore(key)
                           ? c->underscore_slot
                           : tl_key_slot(c, key, tl_str_cached_hash(key),
                                         next)) < 0)
        continue;
      next = slot + 1;
      slots[slot] = Py_NewRef(v);
      found++;
    }
    *given = found;
    return true;
  }
  Py_ssize_t pos = 0;
  PyObject *key, *v;
  Py_hash_t hash;
  while (tl_dict_next(value, &pos, &key, &v, &hash)) {
    if (TL_UNLIKELY(!PyUnicode_CheckExact(key))) {
      for (int32_t i = 0; i < n; i++) Py_CLEAR(slots[i]);
      return false;
    }
    int32_t slot;
    if (next < n && key == c->slot_keys[next])
      slot = next;
    else if ((slot = tl_is_underscore(key)
                         ? c->underscore_slot
                         : tl_key_slot(c, key,
                                       hash != -1 ? hash : tl_str_cached_hash(key),
                                       next)) < 0)
      continue;
    next = slot + 1;
    slots[slot] = Py_NewRef(v);
    found++;
  }
  *given = found;
  return true;
}

// Fetches the value of every field name of `c` from the object being
// written into slots[0..slot_count), as new references (null: absent).
// A small exact dict is walked once; any other dict is asked once per name
// with the name's cached hash; other mappings with `in`, then subscription.
// *given is how many fields the object has.
int tl_gather(TLParserObject *self, PyObject *value, bool is_dict,
              const TLConstructor *c, PyObject **slots, Py_ssize_t *given) {
  const int32_t n = c->slot_count;
  Py_ssize_t found = 0;
  if (TL_LIKELY(is_dict)) {
    if (tl_walkable(value, c) && tl_gather_walk(value, c, slots, given))
      return 0;
    for (int32_t i = 0; i < n; i++) {
      PyObject *key = c->slot_keys[i];
      PyObject *v = tl_dict_get_known_hash(value, key, c->slots[i].hash);
      if (v) {
        slots[i] = Py_NewRef(v);
        found++;
      } else if (PyErr_Occurred()) {
        tl_path_field(self, c, key, 0);
        return -1;
      }
    }
    *given = found;
    return 0;
  }
  for (int32_t i = 0; i < n; i++) {
    PyObject *key = c->slot_keys[i];
    int has = PySequence_Contains(value, key);
    if (has < 0 || (has && !(slots[i] = PyObject_GetItem(value, key)))) {
      tl_path_field(self, c, key, 0);
      return -1;
    }
    found += has;
  }
  *given = found;
  return 0;
}

TL_NOINLINE const TLConstructor *tl_unknown_constructor(PyObject *name) {
  PyErr_Format(PyExc_ValueError, "Unknown constructor: %U", name);
  return nullptr;
}

TL_INLINE size_t tl_name_cache_index(PyObject *name) {
  return ((uintptr_t)name >> 4) & 63;
}

TL_INLINE const TLConstructor *tl_find_constructor(TLParserObject *self,
                                                   PyObject *name) {
  const TLConstructor *cached = self->_name_cache[tl_name_cache_index(name)];
  if (cached && cached->py_name == name) return cached;
  const char *text;
  Py_ssize_t len;
  if (TL_LIKELY(PyUnicode_IS_COMPACT_ASCII(name))) {
    text = (const char *)PyUnicode_DATA(name);
    len = PyUnicode_GET_LENGTH(name);
  } else if (!(text = PyUnicode_AsUTF8AndSize(name, &len))) {
    return nullptr;
  }
  TLConstructor *c =
      tl_compiler(self)->_name_map.find(tl_name_key(text, (size_t)len));
  if (TL_UNLIKELY(!c)) return tl_unknown_constructor(name);
  self->_name_cache[tl_name_cache_index(name)] = c;
  // A constructor not met of late is seldom in cache either: ask for its
  // first fields while the keys are matched (a prefetch never faults, so
  // past the end is harmless).
  if (c->fields) {  // one past the last field is still a valid address
    __builtin_prefetch(c->fields);
    __builtin_prefetch(c->fields + 1);
  }
  return c;
}

// Field values of the objects being written, one frame per object on a
// stack kept by the parser, so nested objects reuse a single allocation.
// The frame holds strong references (conversions may run Python code that
// changes the caller's containers) and releases them on every exit.
struct SlotFrame {
  TLParserObject *self;
  size_t base;
  size_t count = 0;

  explicit SlotFrame(TLParserObject *parser)
      : self(parser), base(parser->_slots_top) {}
  SlotFrame(const SlotFrame &) = delete;
  SlotFrame &operator=(const SlotFrame &) = delete;
  ~SlotFrame() {
    for (size_t i = 0; i < count; i++) Py_XDECREF(self->_slots[base + i]);
    self->_slots_top = base;
  }

  int push(size_t n) {
    size_t need = base + n;
    if (need > self->_slots_cap) {
      size_t cap = self->_slots_cap ? self->_slots_cap : 64;
      while (cap < need) cap *= 2;
      PyObject **grown =
          (PyObject **)PyMem_Realloc(self->_slots, cap * sizeof(PyObject *));
      if (!grown) {
        PyErr_NoMemory();
        return -1;
      }
      self->_slots = grown;
      self->_slots_cap = cap;
    }
    for (size_t i = 0; i < n; i++) self->_slots[base + i] = nullptr;
    self->_slots_top = need;
    count = n;
    return 0;
  }

  PyObject **items() const { return self->_slots + base; }
  // Nested objects may move the stack: always index it afresh.
  PyObject *operator[](int32_t slot) const { return self->_slots[base + slot]; }
};

// What a missing non-conditional field is written as.
PyObject *tl_default_value(TLType type) {
  switch (type) {
    case TL_TYPE_INT:
    case TL_TYPE_LONG:
    case TL_TYPE_SINT:
    case TL_TYPE_SLONG:
    case TL_TYPE_NAT:
    case TL_TYPE_INT128:
    case TL_TYPE_INT256:
      return Py_NewRef(S.zero);
    case TL_TYPE_DOUBLE:
      return PyFloat_FromDouble(0.0);
    case TL_TYPE_STRING:
      return Py_NewRef(S.empty_str);
    case TL_TYPE_BYTES:
      return Py_NewRef(S.empty_bytes);
    case TL_TYPE_BOOL:
    case TL_TYPE_BOXED_BOOL:
      return Py_NewRef(Py_False);
    case TL_TYPE_TRUE:
      return Py_NewRef(Py_True);
    case TL_TYPE_VECTOR:
    case TL_TYPE_BARE_VECTOR:
      return PyList_New(0);
    case TL_TYPE_OBJECT:
    case TL_TYPE_TYPED_OBJECT:
    case TL_TYPE_BARE_OBJECT:
      return PyDict_New();  // has no "_", so a boxed one fails as it should
    default:
      return Py_NewRef(Py_None);
  }
}

// The object's "_": a borrowed-then-owned name, Py_None when it has none;
// *named says whether the key is there (for other mappings, whether the
// name is not None).
Ref tl_object_name(PyObject *value, bool is_dict, bool *named) {
  if (TL_LIKELY(is_dict)) {
    // "_" usually comes first; a lookup finds it anywhere else.
    Py_ssize_t count;
    TLDictEntry *e = tl_dict_str_entries(value, &count);
    PyObject *n, *first_key, *first;
    Py_ssize_t pos = 0;
    if (e ? count > 0 && e[0].value && tl_is_underscore(e[0].key)
          : PyDict_Next(value, &pos, &first_key, &first) &&
                PyUnicode_CheckExact(first_key) && tl_is_underscore(first_key)) {
      n = e ? e[0].value : first;
    } else {
      n = PyDict_GetItemWithError(value, S.underscore);
      if (!n && PyErr_Occurred()) return Ref();
    }
    *named = n != nullptr;
    return Ref::own(n ? n : Py_None);
  }
  Ref name = Ref::steal(PyObject_CallMethodOneArg(value, S.get, S.underscore));
  *named = name && name.get() != Py_None;
  return name;
}

TL_NOINLINE const TLConstructor *tl_wrong_type(const TLConstructor *c,
                                               const TLNode *node) {
  const TLConstructor *want = node->ctor;
  if (c->is_method && !want)
    PyErr_Format(PyExc_TypeError, "Expected a constructor, got method '%U'",
                 c->py_name);
  else if (c->is_method)
    PyErr_Format(PyExc_TypeError,
                 "Expected a constructor of type '%U', got method '%U'",
                 want->py_result, c->py_name);
  else
    PyErr_Format(PyExc_TypeError,
                 "Expected a constructor of type '%U', got '%U' of type '%U'",
                 want->py_result, c->py_name, c->py_result);
  return nullptr;
}

TL_NOINLINE const TLConstructor *tl_wrong_bare(const TLConstructor *c,
                                               const TLNode *node) {
  PyErr_Format(PyExc_ValueError, "Expected '%U' (a bare '%U'), got '%U'",
               node->ctor->py_name, node->ctor->py_result, c->py_name);
  return nullptr;
}

// The constructor of the object: named by its "_", which must be of the
// field's type where it has one; a bare object's "_" may be left out.
TL_INLINE const TLConstructor *tl_object_constructor(TLParserObject *self,
                                           PyObject *value, bool is_dict,
                                           const TLNode *node, bool *named) {
  Ref name = tl_object_name(value, is_dict, named);
  if (!name) return nullptr;
  PyObject *nm = name.get();
  if (TL_UNLIKELY(!PyUnicode_CheckExact(nm) || PyUnicode_GET_LENGTH(nm) == 0)) {
    if (nm != Py_None && !PyUnicode_CheckExact(nm)) {
      tl_expected("str", nm);
      return nullptr;
    }
    // A bare object may leave "_" out, but not give it as None or "".
    if (node && node->kind == TL_TYPE_BARE_OBJECT &&
        (!self->_strict || nm == Py_None))
      return node->ctor;
    PyErr_SetString(PyExc_ValueError, "Object must have '_' field");
    return nullptr;
  }
  const TLConstructor *c = tl_find_constructor(self, nm);
  if (!c || !node) return c;
  switch (node->kind) {
    case TL_TYPE_BARE_OBJECT:
      return c == node->ctor ? c : tl_wrong_bare(c, node);
    case TL_TYPE_TYPED_OBJECT:
      // Type -1: a type no constructor makes, which takes any constructor.
      if (c->is_method ||
          (node->type_index >= 0 && c->type_index != node->type_index))
        return tl_wrong_type(c, node);
      return c;
    default:
      return c;
  }
}

// The flags words of the object being written, on the stack for the usual
// few and on the heap for more.
class FlagWords {
 public:
  FlagWords() = default;
  FlagWords(const FlagWords &) = delete;
  FlagWords &operator=(const FlagWords &) = delete;
  ~FlagWords() {
    if (words_ != local_) PyMem_Free(words_);
  }
  int init(int32_t count) {
    if (TL_LIKELY(count <= 4)) return 0;
    words_ = (uint32_t *)PyMem_Calloc((size_t)count, sizeof(uint32_t));
    if (!words_) {
      words_ = local_;
      PyErr_NoMemory();
      return -1;
    }
    return 0;
  }
  uint32_t &operator[](size_t i) { return words_[i]; }

 private:
  uint32_t local_[4] = {0, 0, 0, 0};
  uint32_t *words_ = local_;
};

TL_INLINE bool tl_cond_present(const TLField &f, PyObject *v) {
  return f.role == TL_ROLE_COND_BOOL ? v == Py_True : v && v != Py_None;
}

// Every flags word, complete before the first byte of the object.
TL_INLINE void tl_flag_words(const TLConstructor *c, const SlotFrame &slots,
                             FlagWords &words) {
  for (int32_t i = 0, n = c->field_count; i < n; i++) {
    const TLField &f = c->fields[i];
    if (f.role != TL_ROLE_COND && f.role != TL_ROLE_COND_BOOL) continue;
    if (tl_cond_present(f, slots[f.slot])) words[f.word] |= f.mask;
  }
}

// Standard profile: fields on one bit must all be given or all be absent.
TL_NOINLINE int tl_check_shared_bits(TLParserObject *self,
                                     const TLConstructor *c,
                                     const SlotFrame &slots,
                                     FlagWords &words) {
  for (int32_t i = 0; i < c->field_count; i++) {
    const TLField &f = c->fields[i];
    if (!f.shares_bit || !(words[f.word] & f.mask) ||
        tl_cond_present(f, slots[f.slot]))
      continue;
    for (int32_t j = 0; j < c->field_count; j++) {
      const TLField &g = c->fields[j];
      if (!g.shares_bit || g.word != f.word || g.mask != f.mask ||
          !tl_cond_present(g, slots[g.slot]))
        continue;
      PyErr_Format(PyExc_ValueError,
                   "fields '%U' and '%U' share flag bit %d, so both must be "
                   "given or neither: '%U' is given, '%U' is not",
                   g.py_name, f.py_name, (int)f.bit_position, g.py_name,
                   f.py_name);
      tl_path_field(self, c, f.py_name, 0);
      return -1;
    }
  }
  return 0;
}

// Strict: every key of the object must be "_" or a field of `c`. Counting
// what the gather found is enough on the way through; the key at fault is
// looked for only when the counts differ.
TL_NOINLINE int tl_strict_unknown_key(TLParserObject *self,
                                      const TLConstructor *c, PyObject *value) {
  Ref keys = Ref::steal(PyMapping_Keys(value));
  if (!keys) return -1;
  Ref seq = Ref::steal(PySequence_Fast(keys.get(), "keys() is not iterable"));
  if (!seq) return -1;
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  for (Py_ssize_t i = 0; i < n; i++) {
    PyObject *key = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_ValueError, "'%U' has no field %R", c->py_name, key);
      return -1;
    }
    if (tl_str_eq_ascii(key, "_")) continue;
    Py_hash_t hash = PyObject_Hash(key);
    if (hash == -1) return -1;
    if (PyUnicode_CheckExact(key) && tl_key_slot(c, key, hash, 0) >= 0) continue;
    bool word = false;
    for (int32_t j = 0; j < c->field_count && !word; j++)
      word = c->fields[j].role == TL_ROLE_FLAGS &&
             PyUnicode_Compare(c->fields[j].py_name, key) == 0;
    if (word)
      PyErr_Format(PyExc_ValueError,
                   "'%U' is a flags word of '%U': it is computed from the "
                   "fields present, so leave it out",
                   key, c->py_name);
    else
      PyErr_Format(PyExc_ValueError, "'%U' has no field '%U'", c->py_name, key);
    tl_path_field(self, c, key, 0);
    return -1;
  }
  return 0;
}

TL_INLINE int tl_strict_keys(TLParserObject *self, const TLConstructor *c,
                             PyObject *value, bool is_dict, bool named,
                             Py_ssize_t given) {
  Py_ssize_t size = is_dict ? PyDict_GET_SIZE(value) : PyObject_Size(value);
  if (size < 0) return -1;
  if (size == given + named) return 0;
  return tl_strict_unknown_key(self, c, value);
}

TL_NOINLINE int tl_strict_missing(TLParserObject *self, const TLConstructor *c,
                                  const TLField &f) {
  PyErr_Format(PyExc_ValueError, "missing field '%U' of '%U'", f.py_name,
               c->py_name);
  tl_path_field(self, c, f.py_name, 0);
  return TL_FAIL(kWriteObject);
}

TL_NOINLINE int tl_strict_flag(TLParserObject *self, const TLConstructor *c,
                               const TLField &f, PyObject *v) {
  tl_expected("bool or None", v);
  tl_path_field(self, c, f.py_name, 0);
  return TL_FAIL(kWriteObject);
}

TL_NOINLINE int tl_field_failed(TLParserObject *self, const TLConstructor *c,
                                const TLField &f) {
  tl_path_field(self, c, f.py_name, 0);
  return TL_FAIL(kWriteObject);
}

// A missing plain field: the default of its kind. An object is never made
// up: a boxed one has no "_", and a bare one is refused the same way.
TL_NOINLINE int tl_write_default(TLParserObject *self, const TLField &f,
                                 int depth) {
  if (tl_holds_container(f.type) && f.type != TL_TYPE_VECTOR &&
      f.type != TL_TYPE_BARE_VECTOR)
    self->_fail_missing = true;  // only read if writing it fails
  if (f.type == TL_TYPE_BARE_OBJECT) {
    PyErr_Format(PyExc_ValueError, "Object field missing: a bare '%U' must "
                 "be given", f.node->ctor->py_name);
    return -1;
  }
  Ref dflt = Ref::steal(tl_default_value(f.type));
  if (!dflt) return -1;
  return TLParser_write_value(self, dflt.get(), f.type, f.node, depth);
}

// Strict: an object is a dict or a mapping that can list its keys, so the
// key check below can run; a list or a number is refused, not asked for .get.
TL_NOINLINE int tl_strict_object(PyObject *value) {
  if (PyDict_Check(value)) return 0;
  Ref keys = Ref::steal(PyObject_GetAttrString(value, "keys"));
  if (keys) return 0;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  tl_expected("dict", value);
  return -1;
}

// One object: boxed (its id, then its fields) unless `node` makes it bare.
int TLParser_write_object(TLParserObject *self, PyObject *value,
                          const TLNode *node, int depth) {
  if (TL_UNLIKELY(depth > kMaxDepth)) {
    tl_depth_error();
    return TL_FAIL(kWriteObject);
  }
  const bool is_dict = PyDict_CheckExact(value);
  if (TL_UNLIKELY(!is_dict && self->_strict) && tl_strict_object(value) < 0)
    return TL_FAIL(kWriteObject);
  bool named;
  const TLConstructor *c =
      tl_object_constructor(self, value, is_dict, node, &named);
  if (TL_UNLIKELY(!c)) return TL_FAIL(kWriteObject);
  if (TL_UNLIKELY(c->bad_bit_field >= 0)) {
    tl_bad_bit_error(c);
    return TL_FAIL(kWriteObject);
  }
  SlotFrame slots(self);
  Py_ssize_t given = 0;
  if (c->slot_count &&
      (slots.push((size_t)c->slot_count) < 0 ||
       tl_gather(self, value, is_dict, c, slots.items(), &given) < 0))
    return TL_FAIL(kWriteObject);

  if (TL_UNLIKELY(self->_strict) &&
      tl_strict_keys(self, c, value, is_dict, named, given) < 0)
    return TL_FAIL(kWriteObject);
  FlagWords words;
  if (words.init(c->word_count) < 0) return TL_FAIL(kWriteObject);
  if (c->cond_count) {
    tl_flag_words(c, slots, words);
    if (TL_UNLIKELY(c->shares_bits) &&
        tl_check_shared_bits(self, c, slots, words) < 0)
      return TL_FAIL(kWriteObject);
  }
  if ((!node || node->kind != TL_TYPE_BARE_OBJECT) &&
      TLParser_write_int32(self, (int32_t)c->id) < 0)
    return TL_FAIL(kWriteObject);
  const TLField *fields = c->fields;
  for (int32_t i = 0, n = c->field_count; i < n; i++) {
    const TLField &f = fields[i];
    PyObject *v;
    switch (f.role) {
      case TL_ROLE_FLAGS:
        if (TLParser_write_int32(self, (int32_t)words[f.word]) < 0)
          return tl_field_failed(self, c, f);
        continue;
      case TL_ROLE_COND_BOOL:
        // Carried by its bit alone; strictly only True sets it and only
        // False, None or nothing leave it clear.
        v = slots[f.slot];
        if (TL_UNLIKELY(self->_strict) && v && v != Py_True && v != Py_False &&
            v != Py_None)
          return tl_strict_flag(self, c, f, v);
        continue;
      case TL_ROLE_COND:
        // The bit may have been set by another field sharing it.
        if (!(words[f.word] & f.mask)) continue;
        v = slots[f.slot];
        if (!v || v == Py_None) continue;
        break;
      default:
        v = slots[f.slot];
        if (TL_UNLIKELY(!v)) {
          if (self->_strict) return tl_strict_missing(self, c, f);
          if (tl_write_default(self, f, depth) < 0)
            return tl_field_failed(self, c, f);
          continue;
        }
    }
    if (TL_UNLIKELY(TLParser_write_value(self, v, f.type, f.node, depth) < 0))
      return tl_field_failed(self, c, f);
  }
  return 0;
}

}  // namespace
