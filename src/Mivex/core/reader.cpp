// The reader: value dispatch by kind, vectors and objects, from the caller's
// bytes into Python values. Every read is bounds-checked by the primitives;
// a short read sets _error and stops all reading, and unpack reports it.

namespace {

PyObject *TLParser_read_vector(TLParserObject *self, const TLVectorInfo *vec,
                               int depth);
PyObject *TLParser_read_object(TLParserObject *self, int depth);

// One value of kind `type`; `depth` is the level of the object or vector
// that holds it.
TL_INLINE PyObject *TLParser_read_value(TLParserObject *self, TLType type,
                                        const TLVectorInfo *vec, int depth) {
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
      r = TLParser_read_vector(self, vec, depth + 1);
      break;
    case TL_TYPE_OBJECT:
      r = TLParser_read_object(self, depth + 1);
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
      return 4;
    case TL_TYPE_LONG:
    case TL_TYPE_DOUBLE:
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
  constexpr size_t width = K == TL_TYPE_LONG || K == TL_TYPE_DOUBLE ? 8 : 4;
  PyObject **slots = tl_list_items(list);
  const unsigned char *in = self->_input + self->_position;
  for (Py_ssize_t i = 0; i < count; i++, in += width) {
    PyObject *v;
    if constexpr (K == TL_TYPE_LONG) {
      uint64_t x;
      memcpy(&x, in, 8);
      v = PyLong_FromUnsignedLongLong(x);
    } else if constexpr (K == TL_TYPE_DOUBLE) {
      double x;
      memcpy(&x, in, 8);
      v = PyFloat_FromDouble(x);
    } else {
      uint32_t x;
      memcpy(&x, in, 4);
      if constexpr (K == TL_TYPE_BOOL)
        v = Py_NewRef(x ? Py_True : Py_False);
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
      return tl_read_fixed_elements<TL_TYPE_INT>(self, list, count);
    case TL_TYPE_LONG:
      return tl_read_fixed_elements<TL_TYPE_LONG>(self, list, count);
    case TL_TYPE_DOUBLE:
      return tl_read_fixed_elements<TL_TYPE_DOUBLE>(self, list, count);
    default:
      return tl_read_fixed_elements<TL_TYPE_BOOL>(self, list, count);
  }
}

// Elements of any kind, each through the dispatch. A short read (here or in
// an element's own elements) ends the read: what follows a cut-off value is
// not where the next element begins. Returns -1 with an error set.
int tl_read_elements(TLParserObject *self, PyObject *list, int32_t count,
                     TLType elem_type, const TLVectorInfo *elem_vec,
                     int depth) {
  PyObject **slots = tl_list_items(list);
  bool nested = elem_type == TL_TYPE_VECTOR || elem_type == TL_TYPE_OBJECT;
  size_t outer_reserved = self->_reserved;
  for (int32_t i = 0; i < count; i++) {
    if (nested) self->_reserved = outer_reserved + 4 * (size_t)(count - 1 - i);
    const size_t start = self->_position;
    PyObject *v = TLParser_read_value(self, elem_type, elem_vec, depth);
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

// Every element takes at least 4 bytes, except that the last item of the
// input may be a byte string of 1; the enclosing vectors' elements still
// to come need 4 bytes each. A count the input cannot hold stops the read
// before anything is allocated for it.
TL_INLINE bool tl_count_fits(TLParserObject *self, int32_t count) {
  size_t pos = self->_position, size = self->_buffer_size;
  size_t remain = pos < size ? size - pos : 0;
  size_t avail = remain > self->_reserved ? remain - self->_reserved : 0;
  return count >= 0 &&
         (count == 0 || (avail > 0 && (size_t)(count - 1) <= (avail - 1) / 4));
}

PyObject *TLParser_read_vector(TLParserObject *self, const TLVectorInfo *vec,
                               int depth) {
  if (TL_UNLIKELY(depth > kMaxDepth)) {
    tl_depth_error();
    return TL_FAIL_NULL(kReadVector);
  }
  uint32_t vector_id = TLParser_read_int32(self);
  if (TL_UNLIKELY(vector_id != kVectorId)) {
    self->_error = 1;
    tl_hex_error("Invalid vector ID: ", vector_id);
    return TL_FAIL_NULL(kReadVector);
  }
  int32_t count = (int32_t)TLParser_read_int32(self);
  if (TL_UNLIKELY(!tl_count_fits(self, count))) {
    self->_error = 1;
    PyObject *empty = PyList_New(0);
    return empty ? empty : TL_FAIL_NULL(kReadVector);
  }
  TLType elem_type = vec ? vec->elem_type : TL_TYPE_INT;
  const TLVectorInfo *elem_vec = vec ? vec->elem_vec : nullptr;
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
          : tl_read_elements(self, list.get(), count, elem_type, elem_vec,
                             depth);
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

PyObject *TLParser_read_object(TLParserObject *self, int depth) {
  if (TL_UNLIKELY(depth > kMaxDepth)) {
    tl_depth_error();
    return TL_FAIL_NULL(kReadObject);
  }
  size_t pos = self->_position, size = self->_buffer_size;
  if (TL_UNLIKELY(pos > size || size - pos < 4)) {
    self->_error = 1;
    Py_RETURN_NONE;
  }
  uint32_t id = TLParser_read_int32(self);
  const TLConstructor *c = tl_compiler(self)->_id_map.find(id);
  if (TL_UNLIKELY(!c)) {
    tl_hex_error("Unknown constructor ID: ", id);
    return TL_FAIL_NULL(kReadObject);
  }
  if (TL_UNLIKELY(c->bad_bit_field >= 0)) {
    tl_bad_bit_error(c);
    return TL_FAIL_NULL(kReadObject);
  }
  // "_" comes first, then the fields in schema order, all None until read.
  Ref result = Ref::steal(PyDict_Copy(c->py_template));
  if (!result) return TL_FAIL_NULL(kReadObject);
  PyObject *d = result.get();
  TLDictEntry *entries = tl_dict_copy_entries(d);

  uint32_t words[2] = {0, 0};  // "flags", "flags2" as read so far
  const TLField *fields = c->fields;
  for (int32_t i = 0, n = c->field_count; i < n; i++) {
    const TLField &f = fields[i];
    const size_t start = self->_position;
    PyObject *v;
    switch (f.role) {
      case TL_ROLE_FLAGS:
      case TL_ROLE_FLAGS2:
        words[f.role == TL_ROLE_FLAGS2] = TLParser_read_int32(self);
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
    v = TLParser_read_value(self, f.type, f.vec, depth);
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
