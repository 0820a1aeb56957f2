// The parser's state, its output buffer, and the primitive codec: fixed-size
// words, byte strings and text in and out of the buffer, and the conversions
// of Python numbers to the writers' native arguments.

namespace {

// One step of the way from a message's top object down to a failing value:
// a field (name set) or a vector element (index).
struct TLPathStep {
  PyObject *name;  // borrowed from the schema
  Py_ssize_t index;
};

struct TLParserObject {
  PyObject_HEAD
  TLSchema *_schema;       // borrowed from _compiler, which owns it; null
                           // until construction has finished
  PyObject *_compiler;     // owned; None only before construction or after a
                           // garbage-collector clear
  unsigned char *_buffer;  // output of pack (see tl_block_alloc)
  size_t _buffer_alloc_size;
  size_t _buffer_size;     // readable bytes of _input while unpacking
  size_t _position;
  int _error;              // a read ran short: unpack reports a parse error

  int _busy;               // a pack or unpack is running
  const unsigned char *_input;  // the caller's bytes while unpacking
  size_t _reserved;        // input bytes owed to enclosing vectors' elements
  size_t _capacity_hint;   // capacity for the buffer after a hand-over
  PyObject **_slots;       // stack of field values of the objects being
  size_t _slots_cap;       //   written (see SlotFrame)
  size_t _slots_top;
  // Constructors recently found by name, indexed by the name object's
  // address; an entry only counts when the name *is* the constructor's own
  // interned name object, so a stale entry can never match.
  const TLConstructor *_name_cache[64];
  // Where the running call failed, innermost step first (see tl_path_step).
  TLPathStep *_path;
  size_t _path_len, _path_cap;
  const TLConstructor *_path_root;  // outermost object the failure crossed
  size_t _path_pos;  // unpack: where the innermost failing value began
  int _path_lost;    // a step could not be stored: no note
};

TL_INLINE TLSchemaCompilerObject *tl_compiler(TLParserObject *self) {
  return (TLSchemaCompilerObject *)self->_compiler;
}

// Nesting bound for objects and vectors, on both paths. Each level costs a
// few hundred bytes of C stack, so the bound keeps a message of any shape
// safe even on a thread with a 256 KiB stack.
constexpr int kMaxDepth = 256;
constexpr uint32_t kVectorId = 0x1cb5c415u;
constexpr size_t kMaxBytesLength = 0xFFFFFF;  // 24-bit length of the long form
constexpr size_t kMinCapacity = 1024;
// Results at least this long become the returned bytes object in place.
constexpr size_t kHandOverMin = size_t{64} * 1024;
constexpr size_t kMaxCapacity = (size_t)PY_SSIZE_T_MAX - kBytesHeader - 1;

// Error paths, defined with the path notes.
int tl_depth_error();
int tl_hex_error(const char *prefix, uint32_t word);
int tl_bad_bit_error(const TLConstructor *c);
bool tl_path_step(TLParserObject *self, PyObject *name, Py_ssize_t index,
                  size_t start);
void tl_path_field(TLParserObject *self, const TLConstructor *c,
                   PyObject *name, size_t start);

// --- The buffer -----------------------------------------------------------------

unsigned char *tl_block_alloc(size_t cap) {
  void *block = PyObject_Malloc(kBytesHeader + cap + 1);
  return block ? (unsigned char *)block + kBytesHeader : nullptr;
}

// Like realloc: on failure the old block stays valid.
unsigned char *tl_block_realloc(unsigned char *buffer, size_t cap) {
  void *block = PyObject_Realloc(buffer - kBytesHeader, kBytesHeader + cap + 1);
  return block ? (unsigned char *)block + kBytesHeader : nullptr;
}

void tl_block_free(unsigned char *buffer) {
  if (buffer) PyObject_Free(buffer - kBytesHeader);
}

TL_NOINLINE int TLParser_grow_buffer(TLParserObject *self, size_t needed) {
  size_t cap = self->_buffer_alloc_size ? self->_buffer_alloc_size
                                        : kMinCapacity;
  if (needed <= kMaxCapacity - self->_position) {
    size_t target = self->_position + needed;
    while (cap < target && cap <= kMaxCapacity / 2) cap *= 2;
    if (cap >= target) {
      unsigned char *grown = self->_buffer ? tl_block_realloc(self->_buffer, cap)
                                           : tl_block_alloc(cap);
      if (grown) {
        self->_buffer = grown;
        self->_buffer_alloc_size = cap;
        return 0;
      }
    }
  }
  PyErr_SetString(PyExc_MemoryError, "Cannot reallocate buffer");
  TL_TB("TLParser._ensure_buffer");
  return -1;
}

// Room for `needed` more bytes at the cursor.
TL_INLINE int TLParser_ensure_buffer(TLParserObject *self, size_t needed) {
  // _position never exceeds the capacity while packing.
  if (TL_LIKELY(self->_buffer_alloc_size - self->_position >= needed))
    return 0;
  return TLParser_grow_buffer(self, needed);
}

// --- Fixed-size writers ---------------------------------------------------------

// Stores a fixed-size value little-endian at the cursor; `op` names the
// writer in the traceback when the buffer cannot grow.
template <typename T>
TL_INLINE int tl_write_fixed(TLParserObject *self, T value, const char *op) {
  if (TL_UNLIKELY(TLParser_ensure_buffer(self, sizeof(T)) < 0))
    return TL_FAIL(op);
  memcpy(self->_buffer + self->_position, &value, sizeof(T));
  self->_position += sizeof(T);
  return 0;
}

TL_INLINE int TLParser_write_int32(TLParserObject *self, int32_t value) {
  return tl_write_fixed(self, (uint32_t)value, "Mivex.tl.TLParser._write_int32");
}
TL_INLINE int TLParser_write_int64(TLParserObject *self, uint64_t value) {
  return tl_write_fixed(self, value, "Mivex.tl.TLParser._write_int64");
}
TL_INLINE int TLParser_write_double(TLParserObject *self, double value) {
  return tl_write_fixed(self, value, "Mivex.tl.TLParser._write_double");
}

// --- Byte strings and text ------------------------------------------------------

TL_NOINLINE int tl_bytes_too_long(size_t len) {
  PyErr_Format(PyExc_ValueError,
               "byte string of %zu bytes is too long: the format carries at "
               "most %zu bytes",
               len, kMaxBytesLength);
  TL_TB("TLParser._write_bytes");
  return -1;
}

// Makes room for a byte string of `len` bytes with its prefix and padding,
// writes the prefix and returns where the payload goes; null with an
// exception set on failure.
TL_INLINE unsigned char *tl_begin_bytes(TLParserObject *self, size_t len) {
  if (TL_UNLIKELY(len > kMaxBytesLength)) {
    tl_bytes_too_long(len);
    return nullptr;
  }
  if (TL_UNLIKELY(TLParser_ensure_buffer(self, len + 16) < 0)) {
    TL_TB("TLParser._write_bytes");
    return nullptr;
  }
  unsigned char *out = self->_buffer + self->_position;
  if (len <= 253) {
    out[0] = (unsigned char)len;
    return out + 1;
  }
  out[0] = 0xFE;
  out[1] = (unsigned char)(len & 0xFF);
  out[2] = (unsigned char)((len >> 8) & 0xFF);
  out[3] = (unsigned char)((len >> 16) & 0xFF);
  return out + 4;
}

// Pads the byte string ending at `end` to a multiple of 4 counted from the
// start of the message. The room asked for covers all three pad bytes.
TL_INLINE void tl_end_bytes(TLParserObject *self, unsigned char *end) {
  size_t pos = (size_t)(end - self->_buffer);
  memset(end, 0, 3);
  self->_position = pos + ((0 - pos) & 3);
}

TL_INLINE int tl_write_raw_bytes(TLParserObject *self, const void *data,
                                 size_t len) {
  unsigned char *out = tl_begin_bytes(self, len);
  if (TL_UNLIKELY(!out)) return -1;
  if (len) memcpy(out, data, len);
  tl_end_bytes(self, out + len);
  return 0;
}

// Bytes-like objects other than bytes are taken by their content when they
// export a contiguous buffer; anything else is refused.
TL_NOINLINE int tl_write_bytes_slow(TLParserObject *self, PyObject *data) {
  if (data == Py_None) {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return -1;
  }
  if (!PyObject_CheckBuffer(data)) {
    tl_expected("bytes", data);
    return -1;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) {
    // A view that cannot be exported (not contiguous, released, closed) is
    // not bytes-like here, whatever its exporter raised; that stays on as
    // the cause. Out of memory and interrupts are passed on as they are.
    if (PyErr_ExceptionMatches(PyExc_Exception) &&
        !PyErr_ExceptionMatches(PyExc_MemoryError)) {
      PyObject *cause = tl_fetch_exception();
      tl_expected("bytes", data);
      PyObject *exc = tl_fetch_exception();
      PyException_SetContext(exc, Py_NewRef(cause));
      PyException_SetCause(exc, cause);
      tl_restore_exception(exc);
    }
    return -1;
  }
  int status = tl_write_raw_bytes(self, view.buf, (size_t)view.len);
  PyBuffer_Release(&view);
  return status;
}

TL_INLINE int TLParser_write_bytes(TLParserObject *self, PyObject *data) {
  if (TL_LIKELY(PyBytes_Check(data)))
    return tl_write_raw_bytes(self, PyBytes_AS_STRING(data),
                              (size_t)PyBytes_GET_SIZE(data));
  if (tl_write_bytes_slow(self, data) == 0) return 0;
  TL_TB("TLParser._write_bytes");
  return -1;
}

// Copies a run of ASCII characters at the start of s[0..n) to out, a
// machine word at a time where the character width allows; returns how
// many were copied.
template <typename Ch>
TL_INLINE Py_ssize_t tl_ascii_run(const Ch *s, Py_ssize_t n,
                                  unsigned char *out) {
  Py_ssize_t i = 0;
  if constexpr (sizeof(Ch) == 1) {
    for (; i + 8 <= n; i += 8) {
      uint64_t w;
      memcpy(&w, s + i, 8);
      if (w & 0x8080808080808080ull) break;
      memcpy(out + i, &w, 8);
    }
  } else if constexpr (sizeof(Ch) == 2) {
    for (; i + 4 <= n; i += 4) {
      uint64_t w;
      memcpy(&w, s + i, 8);
      if (w & 0xFF80FF80FF80FF80ull) break;
      for (int k = 0; k < 4; k++) out[i + k] = (unsigned char)(w >> (16 * k));
    }
  }
  for (; i < n && s[i] < 0x80; i++) out[i] = (unsigned char)s[i];
  return i;
}

// Encodes s[0..n) as UTF-8 at out; returns the end, or null at a lone
// surrogate, which strict UTF-8 cannot encode.
template <typename Ch>
unsigned char *tl_utf8_encode(const Ch *s, Py_ssize_t n, unsigned char *out) {
  Py_ssize_t i = 0;
  while (i < n) {
    Py_ssize_t run = tl_ascii_run(s + i, n - i, out);
    i += run;
    out += run;
    for (; i < n; i++) {
      Py_UCS4 c = s[i];
      if (c < 0x80) break;
      if (c < 0x800) {
        *out++ = (unsigned char)(0xC0 | (c >> 6));
        *out++ = (unsigned char)(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        if (Py_UNICODE_IS_SURROGATE(c)) return nullptr;
        *out++ = (unsigned char)(0xE0 | (c >> 12));
        *out++ = (unsigned char)(0x80 | ((c >> 6) & 0x3F));
        *out++ = (unsigned char)(0x80 | (c & 0x3F));
      } else {
        *out++ = (unsigned char)(0xF0 | (c >> 18));
        *out++ = (unsigned char)(0x80 | ((c >> 12) & 0x3F));
        *out++ = (unsigned char)(0x80 | ((c >> 6) & 0x3F));
        *out++ = (unsigned char)(0x80 | (c & 0x3F));
      }
    }
  }
  return out;
}

TL_NOINLINE int tl_surrogate_error(PyObject *text) {
  // The interpreter's own encoder reports the lone surrogate.
  Ref encoded = Ref::steal(PyUnicode_AsUTF8String(text));
  if (encoded)  // not reached: it refuses what tl_utf8_encode refused
    PyErr_SetString(PyExc_UnicodeError, "text cannot be encoded as UTF-8");
  return -1;
}

// Encodes text in one pass: room for the longest possible encoding is made
// first, the text is encoded after a long-form prefix, and a result of at
// most 253 bytes is then moved back over the three unused prefix bytes.
template <typename Ch>
int tl_write_text(TLParserObject *self, PyObject *text, const Ch *s,
                  Py_ssize_t n) {
  constexpr size_t per_char = sizeof(Ch) == 1 ? 2 : sizeof(Ch) == 2 ? 3 : 4;
  size_t worst = (size_t)n * per_char;
  if (TL_UNLIKELY(worst > kMaxBytesLength)) {
    // Only the real length can tell whether a long text is too long.
    Ref encoded = Ref::steal(PyUnicode_AsUTF8String(text));
    if (!encoded) return -1;
    return tl_write_raw_bytes(self, PyBytes_AS_STRING(encoded.get()),
                              (size_t)PyBytes_GET_SIZE(encoded.get()));
  }
  if (TL_UNLIKELY(TLParser_ensure_buffer(self, worst + 16) < 0)) {
    TL_TB("TLParser._write_bytes");
    return -1;
  }
  unsigned char *start = self->_buffer + self->_position;
  unsigned char *end = tl_utf8_encode(s, n, start + 4);
  if (TL_UNLIKELY(!end)) return tl_surrogate_error(text);
  size_t len = (size_t)(end - (start + 4));
  if (len <= 253) {
    start[0] = (unsigned char)len;
    memmove(start + 1, start + 4, len);
    end = start + 1 + len;
  } else {
    start[0] = 0xFE;
    start[1] = (unsigned char)(len & 0xFF);
    start[2] = (unsigned char)((len >> 8) & 0xFF);
    start[3] = (unsigned char)((len >> 16) & 0xFF);
  }
  tl_end_bytes(self, end);
  return 0;
}

// Text that is not plain ASCII: the UTF-8 form the interpreter may already
// have cached on the string is copied; otherwise the text is encoded
// straight into the buffer, with no temporary object, and no cache is left
// behind on the caller's string.
TL_NOINLINE int tl_write_string_slow(TLParserObject *self, PyObject *data) {
  if (data == Py_None) {
    tl_no_attribute("encode");
    return -1;
  }
  if (!PyUnicode_Check(data)) {
    // Fails with the interpreter's own TypeError for a non-str; should it
    // ever encode something, that is what gets written.
    Ref encoded = Ref::steal(PyUnicode_AsUTF8String(data));
    if (!encoded) return -1;
    return tl_write_raw_bytes(self, PyBytes_AS_STRING(encoded.get()),
                              (size_t)PyBytes_GET_SIZE(encoded.get()));
  }
  if (tl_str_ready(data) < 0) return -1;
  const char *cached;
  Py_ssize_t cached_len;
  if (!PyUnicode_IS_COMPACT_ASCII(data) &&
      tl_str_cached_utf8(data, &cached, &cached_len))
    return tl_write_raw_bytes(self, cached, (size_t)cached_len);
  const void *chars = PyUnicode_DATA(data);
  Py_ssize_t n = PyUnicode_GET_LENGTH(data);
  switch (PyUnicode_KIND(data)) {
    case PyUnicode_1BYTE_KIND:
      return tl_write_text(self, data, (const Py_UCS1 *)chars, n);
    case PyUnicode_2BYTE_KIND:
      return tl_write_text(self, data, (const Py_UCS2 *)chars, n);
    default:
      return tl_write_text(self, data, (const Py_UCS4 *)chars, n);
  }
}

TL_INLINE int TLParser_write_string(TLParserObject *self, PyObject *data) {
  int status;
  if (TL_LIKELY(PyUnicode_CheckExact(data) && PyUnicode_IS_COMPACT_ASCII(data)))
    status = tl_write_raw_bytes(self, PyUnicode_DATA(data),
                                (size_t)PyUnicode_GET_LENGTH(data));
  else
    status = tl_write_string_slow(self, data);
  if (TL_UNLIKELY(status < 0)) TL_TB("TLParser._write_string");
  return status;
}

// --- Readers ------------------------------------------------------------------
// Readers check `n <= size - pos` before touching a byte; a short read sets
// _error and yields zero without moving. _position may stand past the end
// when the input stops inside the padding of its last byte string.

template <typename T>
TL_INLINE T tl_read_fixed(TLParserObject *self) {
  size_t pos = self->_position, size = self->_buffer_size;
  if (TL_UNLIKELY(pos > size || size - pos < sizeof(T))) {
    self->_error = 1;
    return T{};
  }
  T v;
  memcpy(&v, self->_input + pos, sizeof(T));
  self->_position = pos + sizeof(T);
  return v;
}

TL_INLINE uint32_t TLParser_read_int32(TLParserObject *self) {
  return tl_read_fixed<uint32_t>(self);
}
TL_INLINE uint64_t TLParser_read_int64(TLParserObject *self) {
  return tl_read_fixed<uint64_t>(self);
}
TL_INLINE double TLParser_read_double(TLParserObject *self) {
  return tl_read_fixed<double>(self);
}

// Locates the payload of the byte string at the cursor and moves past it and
// its padding. A short read sets _error, leaves the cursor after whatever
// part of the prefix was read, and returns false.
TL_INLINE bool tl_read_span(TLParserObject *self, const unsigned char **data,
                            size_t *len) {
  size_t pos = self->_position, size = self->_buffer_size;
  const unsigned char *in = self->_input;
  if (TL_UNLIKELY(pos >= size)) {
    self->_error = 1;
    return false;
  }
  size_t n = in[pos++];
  if (n == 0xFE) {
    if (TL_UNLIKELY(size - pos < 3)) {
      self->_position = pos;
      self->_error = 1;
      return false;
    }
    n = (size_t)in[pos] | ((size_t)in[pos + 1] << 8) |
        ((size_t)in[pos + 2] << 16);
    pos += 3;
  }
  if (TL_UNLIKELY(size - pos < n)) {
    self->_position = pos;
    self->_error = 1;
    return false;
  }
  *data = in + pos;
  *len = n;
  pos += n;
  self->_position = pos + ((0 - pos) & 3);
  return true;
}

TL_INLINE PyObject *TLParser_read_bytes(TLParserObject *self) {
  const unsigned char *data;
  size_t len;
  if (!tl_read_span(self, &data, &len)) return Py_NewRef(S.empty_bytes);
  PyObject *r = PyBytes_FromStringAndSize((const char *)data, (Py_ssize_t)len);
  if (TL_UNLIKELY(!r)) TL_TB("TLParser._read_bytes");
  return r;
}

TL_INLINE PyObject *TLParser_read_string(TLParserObject *self) {
  const unsigned char *data;
  size_t len;
  if (!tl_read_span(self, &data, &len) || len == 0)
    return Py_NewRef(S.empty_str);
  PyObject *r = PyUnicode_DecodeUTF8((const char *)data, (Py_ssize_t)len,
                                     nullptr);
  if (TL_UNLIKELY(!r)) TL_TB("TLParser._read_string");
  return r;
}

// --- Conversions of Python values --------------------------------------------
// int and its subclasses (bool included) are read as they are; any other
// object goes through its __int__, as the interpreter's conversion would.

TL_NOINLINE PyObject *tl_number_long(PyObject *v) {
  PyNumberMethods *nb = Py_TYPE(v)->tp_as_number;
  if (!nb || !nb->nb_int) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  return PyNumber_Long(v);
}

TL_NOINLINE int tl_long_to_int32(PyObject *v, int32_t *out) {
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (overflow) {
    (void)PyLong_AsLong(v);  // the interpreter's own OverflowError
    return -1;
  }
  if (x == -1 && PyErr_Occurred()) return -1;
  if (x < INT32_MIN || x > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError,
                    "value too large to convert to int32_t");
    return -1;
  }
  *out = (int32_t)x;
  return 0;
}

TL_NOINLINE int tl_as_int32_slow(PyObject *v, int32_t *out) {
  if (PyLong_Check(v)) return tl_long_to_int32(v, out);
  Ref n = Ref::steal(tl_number_long(v));
  return n ? tl_long_to_int32(n.get(), out) : -1;
}

TL_INLINE int tl_as_int32(PyObject *v, int32_t *out) {
  if (TL_LIKELY(PyLong_CheckExact(v)) && tl_long_small_int32(v, out)) return 0;
  return tl_as_int32_slow(v, out);
}

TL_NOINLINE int tl_long_to_uint64(PyObject *v, uint64_t *out) {
  if (tl_long_sign(v) < 0) {
    PyErr_SetString(PyExc_OverflowError,
                    "can't convert negative value to uint64_t");
    return -1;
  }
  unsigned long x = PyLong_AsUnsignedLong(v);
  if (x == (unsigned long)-1 && PyErr_Occurred()) return -1;
  *out = x;
  return 0;
}

TL_NOINLINE int tl_as_uint64_slow(PyObject *v, uint64_t *out) {
  if (PyLong_Check(v)) return tl_long_to_uint64(v, out);
  Ref n = Ref::steal(tl_number_long(v));
  return n ? tl_long_to_uint64(n.get(), out) : -1;
}

TL_INLINE int tl_as_uint64(PyObject *v, uint64_t *out) {
  if (TL_LIKELY(PyLong_CheckExact(v)) && tl_long_small_uint64(v, out)) return 0;
  return tl_as_uint64_slow(v, out);
}

TL_INLINE int tl_as_double(PyObject *v, double *out) {
  if (TL_LIKELY(PyFloat_CheckExact(v))) {
    *out = PyFloat_AS_DOUBLE(v);
    return 0;
  }
  double x = PyFloat_AsDouble(v);
  if (x == -1.0 && PyErr_Occurred()) return -1;
  *out = x;
  return 0;
}

TL_INLINE int tl_truth(PyObject *v) {
  if (v == Py_True) return 1;
  if (v == Py_False || v == Py_None) return 0;
  return PyObject_IsTrue(v);
}

}  // namespace
