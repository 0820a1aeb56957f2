// The writer: value dispatch by kind, vectors and objects, from Python values
// into the parser's buffer.

namespace {

int TLParser_write_vector(TLParserObject *self, PyObject *vector,
                          const TLVectorInfo *vec, int depth);
int TLParser_write_object(TLParserObject *self, PyObject *value, int depth);

// One value of kind `type`; `depth` is the level of the object or vector
// that holds it.
TL_INLINE int TLParser_write_value(TLParserObject *self, PyObject *value,
                                   TLType type, const TLVectorInfo *vec,
                                   int depth) {
  int status;
  switch (type) {
    case TL_TYPE_INT: {
      int32_t x;
      status = tl_as_int32(value, &x);
      if (TL_LIKELY(status == 0)) status = TLParser_write_int32(self, x);
      break;
    }
    case TL_TYPE_LONG: {
      uint64_t x;
      status = tl_as_uint64(value, &x);
      if (TL_LIKELY(status == 0)) status = TLParser_write_int64(self, x);
      break;
    }
    case TL_TYPE_DOUBLE: {
      double x;
      status = tl_as_double(value, &x);
      if (TL_LIKELY(status == 0)) status = TLParser_write_double(self, x);
      break;
    }
    case TL_TYPE_STRING:
      status = TLParser_write_string(self, value);
      break;
    case TL_TYPE_BYTES:
      status = TLParser_write_bytes(self, value);
      break;
    case TL_TYPE_BOOL: {
      int truth = tl_truth(value);
      status = truth < 0 ? -1 : TLParser_write_int32(self, truth);
      break;
    }
    case TL_TYPE_VECTOR:
      status = TLParser_write_vector(self, value, vec, depth + 1);
      break;
    case TL_TYPE_OBJECT:
      status = TLParser_write_object(self, value, depth + 1);
      break;
    default:
      PyErr_Format(PyExc_ValueError, "Unknown type: %d", (int)(int32_t)type);
      status = -1;
  }
  if (TL_UNLIKELY(status < 0)) TL_TB("TLParser._write_value");
  return status;
}

// --- Vectors ------------------------------------------------------------------
// The element kind comes from the field's TLVectorInfo chain, derived at
// compilation; a vector without one has 32-bit integer elements.

constexpr char kWriteVector[] = "Mivex.tl.TLParser._write_vector";

TL_NOINLINE int tl_vector_changed() {
  PyErr_SetString(PyExc_RuntimeError, "list changed size during pack");
  return -1;
}

// Stores items[i..count) of exact types straight at out (element i first);
// returns the index of the first element that needs the full dispatch.
// `Direct` reads ints from their digits, decided once per vector.
template <TLType K, bool Direct>
TL_INLINE Py_ssize_t tl_store_plain_elements(PyObject *const *items,
                                             Py_ssize_t i, Py_ssize_t count,
                                             unsigned char *out) {
  constexpr size_t width = K == TL_TYPE_LONG || K == TL_TYPE_DOUBLE ? 8 : 4;
  for (; i < count; i++, out += width) {
    PyObject *item = items[i];
    if constexpr (K == TL_TYPE_LONG) {
      uint64_t x;
      if (!PyLong_CheckExact(item) ||
          !(Direct ? tl_long_small_uint64_direct(item, &x)
                   : tl_long_small_uint64(item, &x)))
        break;
      memcpy(out, &x, 8);
    } else if constexpr (K == TL_TYPE_INT) {
      int32_t x;
      if (!PyLong_CheckExact(item) ||
          !(Direct ? tl_long_small_int32_direct(item, &x)
                   : tl_long_small_int32(item, &x)))
        break;
      memcpy(out, &x, 4);
    } else if constexpr (K == TL_TYPE_DOUBLE) {
      if (!PyFloat_CheckExact(item)) break;
      double x = PyFloat_AS_DOUBLE(item);
      memcpy(out, &x, 8);
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
  constexpr size_t width = K == TL_TYPE_LONG || K == TL_TYPE_DOUBLE ? 8 : 4;
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
                      TLType elem_type, const TLVectorInfo *elem_vec,
                      int depth) {
  for (Py_ssize_t i = 0; i < count; i++) {
    // The count is already written: a list that shrinks or grows under a
    // conversion would make the output lie, so it fails the pack.
    if (TL_UNLIKELY(i >= PyList_GET_SIZE(items))) return tl_vector_changed();
    Ref item = Ref::own(PyList_GET_ITEM(items, i));
    if (TL_UNLIKELY(TLParser_write_value(self, item.get(), elem_type, elem_vec,
                                         depth) < 0)) {
      tl_path_step(self, nullptr, i, 0);
      return -1;
    }
  }
  if (TL_UNLIKELY(PyList_GET_SIZE(items) != count)) return tl_vector_changed();
  return 0;
}

int TLParser_write_vector(TLParserObject *self, PyObject *vector,
                          const TLVectorInfo *vec, int depth) {
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
  TLType elem_type = vec ? vec->elem_type : TL_TYPE_INT;
  const TLVectorInfo *elem_vec = vec ? vec->elem_vec : nullptr;
  if (TLParser_write_int32(self, (int32_t)kVectorId) < 0 ||
      TLParser_write_int32(self, (int32_t)count) < 0)
    return TL_FAIL(kWriteVector);
  int status;
  switch (elem_type) {
    case TL_TYPE_INT:
      status = tl_write_fixed_elements<TL_TYPE_INT>(self, items, count, depth);
      break;
    case TL_TYPE_LONG:
      status = tl_write_fixed_elements<TL_TYPE_LONG>(self, items, count, depth);
      break;
    case TL_TYPE_DOUBLE:
      status =
          tl_write_fixed_elements<TL_TYPE_DOUBLE>(self, items, count, depth);
      break;
    case TL_TYPE_BOOL:
      status = tl_write_fixed_elements<TL_TYPE_BOOL>(self, items, count, depth);
      break;
    default:
      status = tl_write_elements(self, items, count, elem_type, elem_vec, depth);
  }
  return TL_UNLIKELY(status < 0) ? TL_FAIL(kWriteVector) : 0;
}

// --- Objects --------------------------------------------------------------------

constexpr char kWriteObject[] = "Mivex.tl.TLParser._write_object";

// The slot of a field name in a constructor's key table, or -1.
TL_INLINE int32_t tl_key_slot(const TLConstructor *c, PyObject *key,
                              Py_hash_t hash) {
  const TLKeyEntry *table = c->key_table;
  for (size_t i = (size_t)hash & c->key_mask;; i = (i + 1) & c->key_mask) {
    const TLKeyEntry &e = table[i];
    if (!e.key) return -1;
    if (e.key == key || (e.hash == hash && tl_str_eq(e.key, key)))
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
                    PyObject **slots) {
  const int32_t n = c->slot_count;
  int32_t next = 0;
  Py_ssize_t count;
  if (TLDictEntry *e = tl_dict_str_entries(value, &count)) {
    for (Py_ssize_t i = 0; i < count; i++) {
      PyObject *key = e[i].key, *v = e[i].value;
      if (!v) continue;  // a deleted entry
      int32_t slot;
      if (next < n && key == c->slot_keys[next])
        slot = next;
      else if ((slot = tl_key_slot(c, key, tl_str_cached_hash(key))) < 0)
        continue;
      next = slot + 1;
      slots[slot] = Py_NewRef(v);
    }
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
    else if ((slot = tl_key_slot(c, key, hash)) < 0)
      continue;
    next = slot + 1;
    slots[slot] = Py_NewRef(v);
  }
  return true;
}

// Fetches the value of every field name of `c` from the object being
// written into slots[0..slot_count), as new references (null: absent).
// A small exact dict is walked once; any other dict is asked once per name
// with the name's cached hash; other mappings with `in`, then subscription.
int tl_gather(TLParserObject *self, PyObject *value, bool is_dict,
              const TLConstructor *c, PyObject **slots) {
  const int32_t n = c->slot_count;
  if (TL_LIKELY(is_dict)) {
    if (tl_walkable(value, c) && tl_gather_walk(value, c, slots)) return 0;
    for (int32_t i = 0; i < n; i++) {
      PyObject *key = c->slot_keys[i];
      PyObject *v = tl_dict_get_known_hash(value, key, tl_str_cached_hash(key));
      if (v) {
        slots[i] = Py_NewRef(v);
      } else if (PyErr_Occurred()) {
        tl_path_field(self, c, key, 0);
        return -1;
      }
    }
    return 0;
  }
  for (int32_t i = 0; i < n; i++) {
    PyObject *key = c->slot_keys[i];
    int has = PySequence_Contains(value, key);
    if (has < 0 || (has && !(slots[i] = PyObject_GetItem(value, key)))) {
      tl_path_field(self, c, key, 0);
      return -1;
    }
  }
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
      return Py_NewRef(S.zero);
    case TL_TYPE_DOUBLE:
      return PyFloat_FromDouble(0.0);
    case TL_TYPE_STRING:
      return Py_NewRef(S.empty_str);
    case TL_TYPE_BYTES:
      return Py_NewRef(S.empty_bytes);
    case TL_TYPE_BOOL:
      return Py_NewRef(Py_False);
    case TL_TYPE_VECTOR:
      return PyList_New(0);
    case TL_TYPE_OBJECT:
      return PyDict_New();  // has no "_", so writing it fails as it should
    default:
      return Py_NewRef(Py_None);
  }
}

// The constructor named by the object's "_", or null with an error set.
const TLConstructor *tl_object_constructor(TLParserObject *self,
                                           PyObject *value, bool is_dict) {
  Ref name;
  if (TL_LIKELY(is_dict)) {
    // "_" usually comes first; a lookup finds it anywhere else.
    Py_ssize_t count;
    TLDictEntry *e = tl_dict_str_entries(value, &count);
    PyObject *n;
    if (e && count > 0 && e[0].key == S.underscore && e[0].value) {
      n = e[0].value;
    } else {
      n = PyDict_GetItemWithError(value, S.underscore);
      if (!n && PyErr_Occurred()) return nullptr;
    }
    name = Ref::own(n ? n : Py_None);
  } else {
    name = Ref::steal(PyObject_CallMethodOneArg(value, S.get, S.underscore));
    if (!name) return nullptr;
  }
  PyObject *nm = name.get();
  if (TL_UNLIKELY(!PyUnicode_CheckExact(nm) || PyUnicode_GET_LENGTH(nm) == 0)) {
    if (nm != Py_None && !PyUnicode_CheckExact(nm)) {
      tl_expected("str", nm);
      return nullptr;
    }
    PyErr_SetString(PyExc_ValueError, "Object must have '_' field");
    return nullptr;
  }
  return tl_find_constructor(self, nm);
}

// Both flags words, complete before the first byte of the object.
TL_INLINE void tl_flag_words(const TLConstructor *c, const SlotFrame &slots,
                             uint32_t words[2]) {
  for (int32_t i = 0, n = c->field_count; i < n; i++) {
    const TLField &f = c->fields[i];
    if (f.role != TL_ROLE_COND && f.role != TL_ROLE_COND_BOOL) continue;
    PyObject *v = slots[f.slot];
    bool present = f.role == TL_ROLE_COND_BOOL ? v == Py_True
                                               : v && v != Py_None;
    if (present) words[f.word] |= f.mask;
  }
}

TL_NOINLINE int tl_field_failed(TLParserObject *self, const TLConstructor *c,
                                const TLField &f) {
  tl_path_field(self, c, f.py_name, 0);
  return TL_FAIL(kWriteObject);
}

// A missing plain field: the default of its kind.
TL_NOINLINE int tl_write_default(TLParserObject *self, const TLField &f,
                                 int depth) {
  Ref dflt = Ref::steal(tl_default_value(f.type));
  if (!dflt) return -1;
  return TLParser_write_value(self, dflt.get(), f.type, f.vec, depth);
}

int TLParser_write_object(TLParserObject *self, PyObject *value, int depth) {
  if (TL_UNLIKELY(depth > kMaxDepth)) {
    tl_depth_error();
    return TL_FAIL(kWriteObject);
  }
  const bool is_dict = PyDict_CheckExact(value);
  const TLConstructor *c = tl_object_constructor(self, value, is_dict);
  if (TL_UNLIKELY(!c)) return TL_FAIL(kWriteObject);
  if (TL_UNLIKELY(c->bad_bit_field >= 0)) {
    tl_bad_bit_error(c);
    return TL_FAIL(kWriteObject);
  }
  SlotFrame slots(self);
  if (c->slot_count &&
      (slots.push((size_t)c->slot_count) < 0 ||
       tl_gather(self, value, is_dict, c, slots.items()) < 0))
    return TL_FAIL(kWriteObject);

  uint32_t words[2] = {0, 0};  // "flags", "flags2"
  if (c->cond_count) tl_flag_words(c, slots, words);
  if (TLParser_write_int32(self, (int32_t)c->id) < 0)
    return TL_FAIL(kWriteObject);
  const TLField *fields = c->fields;
  for (int32_t i = 0, n = c->field_count; i < n; i++) {
    const TLField &f = fields[i];
    PyObject *v;
    switch (f.role) {
      case TL_ROLE_FLAGS:
      case TL_ROLE_FLAGS2:
        if (TLParser_write_int32(self,
                                 (int32_t)words[f.role == TL_ROLE_FLAGS2]) < 0)
          return tl_field_failed(self, c, f);
        continue;
      case TL_ROLE_COND_BOOL:
        continue;  // carried by its bit alone
      case TL_ROLE_COND:
        // The bit may have been set by another field sharing it.
        if (!(words[f.word] & f.mask)) continue;
        v = slots[f.slot];
        if (!v || v == Py_None) continue;
        break;
      default:
        v = slots[f.slot];
        if (TL_UNLIKELY(!v)) {
          if (tl_write_default(self, f, depth) < 0)
            return tl_field_failed(self, c, f);
          continue;
        }
    }
    if (TL_UNLIKELY(TLParser_write_value(self, v, f.type, f.vec, depth) < 0))
      return tl_field_failed(self, c, f);
  }
  return 0;
}

}  // namespace
