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
  PyObject *_out;          // while packing: the bytes object being written,
                           // owned; it becomes the result. pack_into: the
                           // caller's bytearray
  bool _out_is_array;      // pack_into
  Py_buffer _out_view;     // pack_into: an export of the bytearray, held
                           // except while the writer resizes it, so that
                           // Python code run by a conversion cannot
  unsigned char *_buffer;  // its data
  size_t _buffer_alloc_size;  // its size: the room there is
  size_t _buffer_size;     // readable bytes of _input while unpacking
  size_t _position;
  size_t _origin;          // where the top-level object starts: byte
                           // strings are padded to 4 counted from there
  int _error;              // a read ran short: unpack reports a parse error

  bool _standard;          // the standard wire profile
  bool _strict;            // pack refuses what it would otherwise coerce,
                           // default or ignore
  int _busy;               // a pack or unpack is running
  const unsigned char *_input;  // the caller's bytes while unpacking
  size_t _reserved;        // input bytes owed to enclosing vectors' elements
  size_t _out_hint;        // length of the last result: the next starts there
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
  // pack: the innermost value that failed, for the note's "expected ...".
  TLType _fail_kind;
  PyObject *_fail_given;  // its type, owned; null when none was recorded
  bool _fail_missing;     // it was an object field left out
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
// The first result of a parser starts this large; later ones start at
// about the size of the one before.
constexpr size_t kMinCapacity = 64;
constexpr size_t kMaxCapacity = (size_t)PY_SSIZE_T_MAX / 2;

// Error paths, defined with the path notes.
int tl_depth_error();
int tl_hex_error(const char *prefix, uint32_t word);
int tl_bad_bit_error(const TLConstructor *c);
void tl_record_failure(TLParserObject *self, TLType kind, PyObject *value);
bool tl_path_step(TLParserObject *self, PyObject *name, Py_ssize_t index,
                  size_t start);
void tl_path_field(TLParserObject *self, const TLConstructor *c,
                   PyObject *name, size_t start);

// --- The buffer -----------------------------------------------------------------
// pack writes straight into the bytes object it will return, grown by
// doubling and cut to length at the end: there is no copy out of a buffer.

// A bytearray output is resized with its export let go for the moment;
// its new export is where the writer goes on. -1 with the error set.
int tl_array_resize(TLParserObject *self, size_t size) {
  if (self->_out_view.obj) PyBuffer_Release(&self->_out_view);
  // A bytearray reused for objects of one size already has it.
  if ((PyByteArray_GET_SIZE(self->_out) != (Py_ssize_t)size &&
       PyByteArray_Resize(self->_out, (Py_ssize_t)size) < 0) ||
      PyObject_GetBuffer(self->_out, &self->_out_view, PyBUF_WRITABLE) < 0) {
    self->_out_view.obj = nullptr;
    return -1;
  }
  return 0;
}

// Resizes the output to `cap` bytes; on failure a bytes output is gone and
// a bytearray keeps what it had.
int tl_out_resize(TLParserObject *self, size_t cap) {
  if (self->_out_is_array) {
    if (tl_array_resize(self, cap) < 0) {
      self->_buffer = nullptr;
      self->_buffer_alloc_size = 0;
      return -1;
    }
    self->_buffer = (unsigned char *)self->_out_view.buf;
  } else {
    if (tl_bytes_resize(&self->_out, (Py_ssize_t)cap) < 0) {
      self->_buffer = nullptr;
      self->_buffer_alloc_size = 0;
      return -1;
    }
    self->_buffer = (unsigned char *)PyBytes_AS_STRING(self->_out);
  }
  self->_buffer_alloc_size = cap;
  return 0;
}

TL_NOINLINE int TLParser_grow_buffer(TLParserObject *self, size_t needed) {
  size_t cap = self->_buffer_alloc_size ? self->_buffer_alloc_size
                                        : kMinCapacity;
  if (self->_out && needed <= kMaxCapacity - self->_position) {
    size_t target = self->_position + needed;
    while (cap < target) cap *= 2;
    if (tl_out_resize(self, cap) == 0) return 0;
    // A bytearray that someone else holds a view of cannot grow; that is
    // its own error, not a lack of memory.
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
      TL_TB("TLParser._ensure_buffer");
      return -1;
    }
    PyErr_Clear();
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

// `n` bytes (a multiple of 4) as they are.
int tl_write_raw_words(TLParserObject *self, const unsigned char *data,
                       size_t n) {
  if (TL_UNLIKELY(TLParser_ensure_buffer(self, n) < 0)) return -1;
  memcpy(self->_buffer + self->_position, data, n);
  self->_position += n;
  return 0;
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
  self->_position = pos + ((self->_origin - pos) & 3);
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

// The UTF-8 length of s[0..n), or SIZE_MAX at a lone surrogate (which the
// encoder reports).
template <typename Ch>
size_t tl_utf8_length(const Ch *s, Py_ssize_t n) {
  size_t len = (size_t)n;
  for (Py_ssize_t i = 0; i < n; i++) {
    Py_UCS4 c = s[i];
    if (c < 0x80) continue;
    if (sizeof(Ch) > 1 && Py_UNICODE_IS_SURROGATE(c)) return SIZE_MAX;
    len += c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  }
  return len;
}

// A text whose UTF-8 form would be too long is refused before it is
// encoded, so that refusing it costs no copy of that size.
TL_NOINLINE bool tl_utf8_too_long(PyObject *text) {
  const void *chars = PyUnicode_DATA(text);
  Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  size_t len;
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      len = tl_utf8_length((const Py_UCS1 *)chars, n);
      break;
    case PyUnicode_2BYTE_KIND:
      len = tl_utf8_length((const Py_UCS2 *)chars, n);
      break;
    default:
      len = tl_utf8_length((const Py_UCS4 *)chars, n);
  }
  if (len == SIZE_MAX || len <= kMaxBytesLength) return false;
  tl_bytes_too_long(len);
  return true;
}

// Text that is not plain ASCII, through the interpreter's UTF-8 encoder,
// which keeps the encoded form on the str: text packed again is a copy.
// (Measured on 200-character mixed-script text: 5.4k instructions fresh and
// 1.6k repeated, against 6.5k either way for an encoder of our own.)
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
  if (TL_UNLIKELY((size_t)PyUnicode_GET_LENGTH(data) > kMaxBytesLength / 4) &&
      tl_utf8_too_long(data))
    return -1;
  Py_ssize_t len;
  const char *utf8 = PyUnicode_AsUTF8AndSize(data, &len);
  if (!utf8) return -1;
  return tl_write_raw_bytes(self, utf8, (size_t)len);
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
  self->_position = pos + ((self->_origin - pos) & 3);
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

// --- The standard profile's integers -------------------------------------------
// Signed int and long, unsigned "#", and int128/int256 as two's complement:
// a value outside the type's range is an OverflowError that names it.

TL_NOINLINE int tl_range_error(const char *type, const char *lo,
                               const char *hi) {
  PyErr_Format(PyExc_OverflowError, "%s out of range: must be from %s to %s",
               type, lo, hi);
  return -1;
}

// The int value of v: itself, or through its __int__.
TL_INLINE PyObject *tl_as_pylong(PyObject *v) {
  return PyLong_Check(v) ? Py_NewRef(v) : tl_number_long(v);
}

TL_NOINLINE int tl_as_sint_slow(PyObject *v, int32_t *out) {
  Ref n = Ref::steal(tl_as_pylong(v));
  if (!n) return -1;
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
  if (x == -1 && PyErr_Occurred()) return -1;
  if (overflow || x < INT32_MIN || x > INT32_MAX)
    return tl_range_error("int", "-2147483648", "2147483647");
  *out = (int32_t)x;
  return 0;
}

TL_INLINE int tl_as_sint(PyObject *v, int32_t *out) {
  if (TL_LIKELY(PyLong_CheckExact(v)) && tl_long_small_int32(v, out)) return 0;
  return tl_as_sint_slow(v, out);
}

TL_NOINLINE int tl_as_nat_slow(PyObject *v, uint32_t *out) {
  Ref n = Ref::steal(tl_as_pylong(v));
  if (!n) return -1;
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
  if (x == -1 && PyErr_Occurred()) return -1;
  if (overflow || x < 0 || x > (long long)UINT32_MAX)
    return tl_range_error("#", "0", "4294967295");
  *out = (uint32_t)x;
  return 0;
}

TL_INLINE int tl_as_nat(PyObject *v, uint32_t *out) {
  uint64_t x;
  if (TL_LIKELY(PyLong_CheckExact(v)) && tl_long_small_uint64(v, &x) &&
      x <= UINT32_MAX) {
    *out = (uint32_t)x;
    return 0;
  }
  return tl_as_nat_slow(v, out);
}

TL_NOINLINE int tl_as_slong_slow(PyObject *v, int64_t *out) {
  Ref n = Ref::steal(tl_as_pylong(v));
  if (!n) return -1;
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
  if (x == -1 && PyErr_Occurred()) return -1;
  if (overflow)
    return tl_range_error("long", "-9223372036854775808",
                          "9223372036854775807");
  *out = x;
  return 0;
}

TL_INLINE int tl_as_slong(PyObject *v, int64_t *out) {
  if (TL_LIKELY(PyLong_CheckExact(v)) && tl_long_small_int64(v, out)) return 0;
  return tl_as_slong_slow(v, out);
}

// int128 or int256 (`n` = 16 or 32 bytes), little-endian two's complement,
// taken 64 bits at a time so that only the public int API is needed.
TL_NOINLINE int tl_as_bigint(PyObject *v, unsigned char *out, size_t n) {
  Ref value = Ref::steal(tl_as_pylong(v));
  if (!value) return -1;
  int overflow = 0;
  long long small = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
  if (small == -1 && PyErr_Occurred()) return -1;
  if (!overflow) {  // the usual case: sign-extend a 64-bit value
    memcpy(out, &small, 8);
    memset(out + 8, small < 0 ? 0xFF : 0, n - 8);
    return 0;
  }
  Ref rest = Ref::own(value.get());
  Ref shift = Ref::steal(PyLong_FromLong(64));
  if (!shift) return -1;
  for (size_t k = 0; k < n; k += 8) {
    unsigned long long chunk = PyLong_AsUnsignedLongLongMask(rest.get());
    if (chunk == (unsigned long long)-1 && PyErr_Occurred()) return -1;
    memcpy(out + k, &chunk, 8);
    rest = Ref::steal(PyNumber_Rshift(rest.get(), shift.get()));
    if (!rest) return -1;
  }
  // What is left must be the sign extension of the top bit written.
  long long left = PyLong_AsLongLongAndOverflow(rest.get(), &overflow);
  if (left == -1 && PyErr_Occurred()) return -1;
  bool negative = out[n - 1] & 0x80;
  if (overflow || left != (negative ? -1 : 0))
    return n == 16 ? tl_range_error("int128", "-2**127", "2**127-1")
                   : tl_range_error("int256", "-2**255", "2**255-1");
  return 0;
}

// The int whose n-byte little-endian two's complement form is `in`.
TL_NOINLINE PyObject *tl_bigint_value(const unsigned char *in, size_t n) {
  long long low;
  memcpy(&low, in, 8);
  bool fits = true;  // every byte above the first 8 extends its sign
  for (size_t k = 8; k < n && fits; k++)
    fits = in[k] == (low < 0 ? 0xFF : 0);
  if (fits) return PyLong_FromLongLong(low);
  long long top;
  memcpy(&top, in + n - 8, 8);
  Ref value = Ref::steal(PyLong_FromLongLong(top));
  Ref shift = Ref::steal(PyLong_FromLong(64));
  if (!value || !shift) return nullptr;
  for (size_t k = n - 8; k > 0; k -= 8) {
    unsigned long long chunk;
    memcpy(&chunk, in + k - 8, 8);
    Ref part = Ref::steal(PyLong_FromUnsignedLongLong(chunk));
    if (!part) return nullptr;
    value = Ref::steal(PyNumber_Lshift(value.get(), shift.get()));
    if (!value) return nullptr;
    value = Ref::steal(PyNumber_Or(value.get(), part.get()));
    if (!value) return nullptr;
  }
  return value.release();
}

TL_INLINE int tl_truth(PyObject *v) {
  if (v == Py_True) return 1;
  if (v == Py_False || v == Py_None) return 0;
  return PyObject_IsTrue(v);
}

}  // namespace
