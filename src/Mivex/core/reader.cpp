// The reader: value dispatch by kind, vectors and objects, from the caller's
// bytes into Python values. Every read is bounds-checked by the primitives;
// a short read sets _error and stops all reading, and unpack reports it.

namespace {

PyObject *TLParser_read_vector(TLParserObject *self, const TLNode *node,
                               bool boxed, int depth);
PyObject *TLParser_read_object(TLParserObject *self, const TLNode *node,
                               int depth);

TL_NOINLINE PyObject *tl_bad_bool(uint32_t word) {
  tl_hex_error("Invalid Bool ID: ", word);
  return nullptr;
}

// A boxed Bool; a word cut short reads as the parse error, not a bad Bool.
TL_INLINE PyObject *tl_read_boxed_bool(TLParserObject *self) {
  uint32_t word = TLParser_read_int32(self);
  if (word == kBoolTrue) Py_RETURN_TRUE;
  if (word == kBoolFalse || self->_error) Py_RETURN_FALSE;
  return tl_bad_bool(word);
}

TL_NOINLINE PyObject *tl_read_bigint(TLParserObject *self, size_t n) {
  size_t pos = self->_position, size = self->_buffer_size;
  if (pos > size || size - pos < n) {
    self->_error = 1;
    return Py_NewRef(S.zero);
  }
  self->_position = pos + n;
  return tl_bigint_value(self->_input + pos, n);
}

// One value of kind `type` (`node` says more for vectors and objects);
// `depth` is the level of the object or vector that holds it.
TL_INLINE PyObject *TLParser_read_value(TLParserObject *self, TLType type,
                                        const TLNode *node, int depth) {
  PyObject *r;
  switch (type) {
    case TL_TYPE_INT:
      r = PyLong_FromUnsignedLong(TLParser_read_int32(self));
      break;
    case TL_TYPE_LONG:
      r = PyLong_FromUnsignedLongLong(TLParser_read_int64(self));
      break;
    case TL_TYPE_DOUBLE:
      r = PyFloat_FromDouble(TLParser_read_double(self));
      break;
    case TL_TYPE_STRING:
      r = TLParser_read_string(self);
      break;
    case TL_TYPE_BYTES:
      r = TLParser_read_bytes(self);
      break;
    case TL_TYPE_BOOL:
      r = Py_NewRef(TLParser_read_int32(self) ? Py_True : Py_False);
      break;
    case TL_TYPE_VECTOR:
      r = TLParser_read_vector(self, node, true, depth + 1);
      break;
    case TL_TYPE_OBJECT:
    case TL_TYPE_TYPED_OBJECT:
    case TL_TYPE_BARE_OBJECT:
      r = TLParser_read_object(self, node, depth + 1);
      break;
    case TL_TYPE_SINT:
      r = PyLong_FromLong((int32_t)TLParser_read_int32(self));
      break;
    case TL_TYPE_SLONG:
      r = PyLong_FromLongLong((int64_t)TLParser_read_int64(self));
      break;
    case TL_TYPE_NAT:
      r = PyLong_FromUnsignedLong(TLParser_read_int32(self));
      break;
    case TL_TYPE_INT128:
      r = tl_read_bigint(self, 16);
      break;
    case TL_TYPE_INT256:
      r = tl_read_bigint(self, 32);
      break;
    case TL_TYPE_BOXED_BOOL:
      r = tl_read_boxed_bool(self);
      break;
    case TL_TYPE_TRUE:
      r = Py_NewRef(Py_True);  // takes no bytes
      break;
    case TL_TYPE_BARE_VECTOR:
      r = TLParser_read_vector(self, node, false, depth + 1);
      break;
    default:
      self->_error = 1;
      PyErr_Format(PyExc_ValueError, "Unknown type: %d", (int)(int32_t)type);
      r = nullptr;
  }
  if (TL_UNLIKELY(!r)) TL_TB("TLParser._read_value");
  return r;
}

// --- Vectors --------------------------------------------------------------------

constexpr char kReadVector[] = "Mivex.tl.TLParser._read_vector";

size_t tl_fixed_width(TLType type) {
  switch (type) {
    case TL_TYPE_INT:
    case TL_TYPE_BOOL:
    case TL_TYPE_SINT:
    case TL_TYPE_NAT:
      return 4;
    case TL_TYPE_LONG:
    case TL_TYPE_DOUBLE:
    case TL_TYPE_SLONG:
      return 8;
    default:
      return 0;
  }
}

// Elements of a fixed width that are all present in the input: no bounds
// checks per element.
template <TLType K>
int tl_read_fixed_elements(TLParserObject *self, PyObject *list,
                           Py_ssize_t count) {
  constexpr size_t width = tl_element_width(K);
  PyObject **slots = tl_list_items(list);
  const unsigned char *in = self->_input + self->_position;
  for (Py_ssize_t i = 0; i < count; i++, in += width) {
    PyObject *v;
    if constexpr (K == TL_TYPE_LONG || K == TL_TYPE_SLONG) {
      uint64_t x;
      memcpy(&x, in, 8);
      // Non-negative values take the unsigned conversion, which is cheaper.
      v = K == TL_TYPE_LONG || (int64_t)x >= 0
              ? PyLong_FromUnsignedLongLong(x)
              : PyLong_FromLongLong((int64_t)x);
    } else if constexpr (K == TL_TYPE_DOUBLE) {
      double x;
      memcpy(&x, in, 8);
      v = PyFloat_FromDouble(x);
    } else {
      uint32_t x;
      memcpy(&x, in, 4);
      if constexpr (K == TL_TYPE_BOOL)
        v = Py_NewRef(x ? Py_True : Py_False);
      else if constexpr (K == TL_TYPE_SINT)
        v = PyLong_FromLong((int32_t)x);
      else
        v = PyLong_FromUnsignedLong(x);
    }
    if (TL_UNLIKELY(!v)) return -1;
    slots[i] = v;
  }
  self->_position += (size_t)count * width;
  return 0;
}

int tl_read_fixed_vector(TLParserObject *self, TLType elem_type,
                         PyObject *list, Py_ssize_t count) {
  switch (elem_type) {
    case TL_TYPE_INT:
    case TL_TYPE_NAT:
      return tl_read_fixed_elements<TL_TYPE_INT>(self, list, count);
    case TL_TYPE_LONG:
      return tl_read_fixed_elements<TL_TYPE_LONG>(self, list, count);
    case TL_TYPE_DOUBLE:
      return tl_read_fixed_elements<TL_TYPE_DOUBLE>(self, list, count);
    case TL_TYPE_SINT:
      return tl_read_fixed_elements<TL_TYPE_SINT>(self, list, count);
    case TL_TYPE_SLONG:
      return tl_read_fixed_elements<TL_TYPE_SLONG>(self, list, count);
    default:
      return tl_read_fixed_elements<TL_TYPE_BOOL>(self, list, count);
  }
}

// Elements of any kind, each through the dispatch. A short read (here or in
// an element's own elements) ends the read: what follows a cut-off value is
// not where the next element begins. Returns -1 with an error set.
int tl_read_elements(TLParserObject *self, PyObject *list, int32_t count,
                     TLType elem_type, const TLNode *elem, int depth) {
  PyObject **slots = tl_list_items(list);
  bool nested = tl_holds_container(elem_type);
  size_t outer_reserved = self->_reserved;
  for (int32_t i = 0; i < count; i++) {
    if (nested) self->_reserved = outer_reserved + 4 * (size_t)(count - 1 - i);
    const size_t start = self->_position;
    PyObject *v = TLParser_read_value(self, elem_type, elem, depth);
    if (TL_UNLIKELY(!v)) {
      tl_path_step(self, nullptr, i, start);
      return -1;
    }
    slots[i] = v;
    if (TL_UNLIKELY(self->_error)) {
      tl_path_step(self, nullptr, i, start);
      Py_SET_SIZE(list, i + 1);
      break;
    }
  }
  self->_reserved = outer_reserved;
  return 0;
}

// Every element takes at least 4 bytes (compilation refuses element types
// that can take none), except that the last item of the input may be a
// byte string of 1; the enclosing vectors' elements still to come need 4
// bytes each. A count the input cannot hold stops the read before anything
// is allocated for it.
TL_INLINE bool tl_count_fits(TLParserObject *self, int32_t count) {
  size_t pos = self->_position, size = self->_buffer_size;
  size_t remain = pos < size ? size - pos : 0;
  size_t avail = remain > self->_reserved ? remain - self->_reserved : 0;
  return count >= 0 &&
         (count == 0 || (avail > 0 && (size_t)(count - 1) <= (avail - 1) / 4));
}

// A vector: boxed ("Vector<T>": id, count, elements) or bare ("vector<T>":
// count and elements).
PyObject *TLParser_read_vector(TLParserObject *self, const TLNode *node,
                               bool boxed, int depth) {
  if (TL_UNLIKELY(depth > kMaxDepth)) {
    tl_depth_error();
    return TL_FAIL_NULL(kReadVector);
  }
  if (boxed) {
    uint32_t vector_id = TLParser_read_int32(self);
    if (TL_UNLIKELY(vector_id != kVectorId)) {
      self->_error = 1;
      tl_hex_error("Invalid vector ID: ", vector_id);
      return TL_FAIL_NULL(kReadVector);
    }
  }
  int32_t count = (int32_t)TLParser_read_int32(self);
  if (TL_UNLIKELY(self->_error || !tl_count_fits(self, count))) {
    self->_error = 1;
    PyObject *empty = PyList_New(0);
    return empty ? empty : TL_FAIL_NULL(kReadVector);
  }
  const TLNode *elem = node ? node->elem : nullptr;
  TLType elem_type = elem ? elem->kind : TL_TYPE_INT;
  Ref list = Ref::steal(PyList_New(count));
  if (!list) return TL_FAIL_NULL(kReadVector);
  // Until every slot is filled the list must stay out of the collector's
  // sight: a finalizer run by a collection could otherwise reach it.
  PyObject_GC_UnTrack(list.get());
  size_t width = tl_fixed_width(elem_type);
  size_t remain = self->_position < self->_buffer_size
                      ? self->_buffer_size - self->_position
                      : 0;
  int status =
      width && remain / width >= (size_t)count
          ? tl_read_fixed_vector(self, elem_type, list.get(), count)
          : tl_read_elements(self, list.get(), count, elem_type, elem, depth);
  if (status < 0) return TL_FAIL_NULL(kReadVector);
  PyObject_GC_Track(list.get());
  return list.release();
}

// --- Objects ----------------------------------------------------------------------

constexpr char kReadObject[] = "Mivex.tl.TLParser._read_object";

// Stores a new reference as the value of a field in a decoded object.
TL_INLINE int tl_store(PyObject *dict, TLDictEntry *entries, const TLField &f,
                       PyObject *v) {
  if (TL_LIKELY(entries != nullptr)) {
    PyObject *old = entries[f.entry].value;
    entries[f.entry].value = v;
    Py_DECREF(old);
    return 0;
  }
  int status = PyDict_SetItem(dict, f.py_name, v);
  Py_DECREF(v);
  return status;
}

// A template holds only str and None, so its copies start untracked by the
// garbage collector; one that receives a list or dict must be tracked.
TL_INLINE PyObject *tl_finish_object(Ref &result, const TLConstructor *c) {
  if (c->holds_containers && !PyObject_GC_IsTracked(result.get()))
    PyObject_GC_Track(result.get());
  return result.release();
}

TL_NOINLINE const TLConstructor *tl_unexpected_id(const TLConstructor *c,
                                                  const TLNode *node) {
  char hex[9];
  (void)snprintf(hex, sizeof hex, "%08x", (unsigned)c->id);
  const TLConstructor *want = node->ctor;
  if (!want)
    PyErr_Format(PyExc_ValueError,
                 "Constructor ID 0x%s is method '%U', where a constructor was "
                 "expected",
                 hex, c->py_name);
  else if (c->is_method)
    PyErr_Format(PyExc_ValueError,
                 "Constructor ID 0x%s is method '%U', where type '%U' was "
                 "expected",
                 hex, c->py_name, want->py_result);
  else
    PyErr_Format(PyExc_ValueError,
                 "Constructor ID 0x%s is '%U' of type '%U', where type '%U' "
                 "was expected",
                 hex, c->py_name, c->py_result, want->py_result);
  return nullptr;
}

// The constructor of a boxed object: its id, of the field's type where the
// field has one. Null with an error set, or with _error set (and None in
// *none) when the input ends before the id.
TL_INLINE const TLConstructor *tl_read_constructor(TLParserObject *self,
                                                   const TLNode *node) {
  uint32_t id = TLParser_read_int32(self);
  const TLConstructor *c = tl_compiler(self)->_id_map.find(id);
  if (TL_UNLIKELY(!c)) {
    tl_hex_error("Unknown constructor ID: ", id);
    return nullptr;
  }
  if (node && node->kind == TL_TYPE_TYPED_OBJECT &&
      TL_UNLIKELY(c->is_method || (node->type_index >= 0 &&
                                   c->type_index != node->type_index)))
    return tl_unexpected_id(c, node);
  return c;
}

// One object: boxed (its id, then its fields) unless `node` makes it bare.
PyObject *TLParser_read_object(TLParserObject *self, const TLNode *node,
                               int depth) {
  if (TL_UNLIKELY(depth > kMaxDepth)) {
    tl_depth_error();
    return TL_FAIL_NULL(kReadObject);
  }
  const TLConstructor *c;
  if (node && node->kind == TL_TYPE_BARE_OBJECT) {
    c = node->ctor;
  } else {
    size_t pos = self->_position, size = self->_buffer_size;
    if (TL_UNLIKELY(pos > size || size - pos < 4)) {
      self->_error = 1;
      Py_RETURN_NONE;
    }
    if (TL_UNLIKELY(!(c = tl_read_constructor(self, node))))
      return TL_FAIL_NULL(kReadObject);
  }
  if (TL_UNLIKELY(c->bad_bit_field >= 0)) {
    tl_bad_bit_error(c);
    return TL_FAIL_NULL(kReadObject);
  }
  // Seldom cached among thousands of constructors: fetched while the
  // template is copied.
  if (c->fields) {  // one past the last field is still a valid address
    __builtin_prefetch(c->fields);
    __builtin_prefetch(c->fields + 1);
  }
  // "_" comes first, then the fields in schema order, all None until read.
  Ref result = Ref::steal(PyDict_Copy(c->py_template));
  if (!result) return TL_FAIL_NULL(kReadObject);
  PyObject *d = result.get();
  TLDictEntry *entries = tl_dict_copy_entries(d);

  FlagWords words;  // as read so far
  if (words.init(c->word_count) < 0) return TL_FAIL_NULL(kReadObject);
  const TLField *fields = c->fields;
  for (int32_t i = 0, n = c->field_count; i < n; i++) {
    const TLField &f = fields[i];
    const size_t start = self->_position;
    PyObject *v;
    switch (f.role) {
      case TL_ROLE_FLAGS:
        words[f.word] = TLParser_read_int32(self);
        if (TL_UNLIKELY(self->_error)) {
          tl_path_field(self, c, f.py_name, start);
          return tl_finish_object(result, c);
        }
        continue;
      case TL_ROLE_COND_BOOL:
        v = words[f.word] & f.mask ? Py_True : Py_False;
        if (tl_store(d, entries, f, Py_NewRef(v)) < 0)
          return TL_FAIL_NULL(kReadObject);
        continue;
      case TL_ROLE_COND:
        if (!(words[f.word] & f.mask)) {
          if (tl_store(d, entries, f, Py_NewRef(Py_None)) < 0)
            return TL_FAIL_NULL(kReadObject);
          continue;
        }
        break;
      default:
        break;
    }
    v = TLParser_read_value(self, f.type, f.node, depth);
    if (TL_UNLIKELY(!v)) {
      tl_path_field(self, c, f.py_name, start);
      return TL_FAIL_NULL(kReadObject);
    }
    if (TL_UNLIKELY(self->_error)) {
      // Stop at the first short read; unpack reports it.
      tl_path_field(self, c, f.py_name, start);
      Py_DECREF(v);
      return tl_finish_object(result, c);
    }
    if (TL_UNLIKELY(tl_store(d, entries, f, v) < 0)) {
      tl_path_field(self, c, f.py_name, start);
      return TL_FAIL_NULL(kReadObject);
    }
  }
  return tl_finish_object(result, c);
}

}  // namespace
