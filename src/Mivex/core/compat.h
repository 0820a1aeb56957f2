// The one place that knows CPython's internals and version differences:
// private functions, struct layouts (dict entries, int digits, the UTF-8
// cache of str) and APIs that changed between versions. Every other part
// calls the helpers below by one name on every version; tests/test_source.py
// keeps internals out of the other files.
//
// Each helper has a fast path for the versions whose layouts were checked
// (3.11 to 3.13, verified again at import where a layout could differ) and a
// portable path on the public C API. A newer interpreter, a free-threaded
// build, or a build with MIVEX_PORTABLE defined takes the portable paths:
// slower, with the same results.
#ifndef MIVEX_CORE_COMPAT_H
#define MIVEX_CORE_COMPAT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>  // PyFrame_New

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if PY_VERSION_HEX < 0x030B0000
#error "Mivex.tl needs CPython 3.11 or newer"
#endif

#define TL_PY312 (PY_VERSION_HEX >= 0x030C0000)
#define TL_PY313 (PY_VERSION_HEX >= 0x030D0000)
#if PY_VERSION_HEX < 0x030E0000 && !defined(MIVEX_PORTABLE) && \
    !defined(Py_GIL_DISABLED)
#define TL_FAST 1
#else
#define TL_FAST 0
#endif

namespace {

// --- Errors and tracebacks -------------------------------------------------------

// The pending exception as one owned, normalized object (null when none),
// and back (the reference is taken).
inline PyObject *tl_fetch_exception() {
#if TL_PY312
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}
inline void tl_restore_exception(PyObject *exc) {
  if (!exc) return;
#if TL_PY312
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(Py_NewRef((PyObject *)Py_TYPE(exc)), exc,
                PyException_GetTraceback(exc));
#endif
}

#if !(TL_FAST && !TL_PY313)
// The empty code object of each traceback entry site, made once and kept:
// the sites are a fixed set (an operation and a line), and making a new code
// object for every failure grows the interpreter's memory on 3.13.
struct TLEntryCode {
  const char *funcname;
  int line;
  PyCodeObject *code;
};
TLEntryCode g_entry_codes[1024];

// A new reference to the code object of one site, or null.
inline PyCodeObject *tl_entry_code(const char *funcname, const char *filename,
                                   int line) {
  constexpr size_t kSlots = sizeof g_entry_codes / sizeof g_entry_codes[0];
  size_t i = ((uintptr_t)funcname / 8 * 31 + (size_t)line) % kSlots;
  for (size_t probes = 0; probes < kSlots; probes++, i = (i + 1) % kSlots) {
    TLEntryCode &e = g_entry_codes[i];
    if (e.funcname == funcname && e.line == line)
      return (PyCodeObject *)Py_NewRef((PyObject *)e.code);
    if (!e.funcname) {
      PyCodeObject *code = PyCode_NewEmpty(filename, funcname, line);
      if (!code) return nullptr;
      e = TLEntryCode{funcname, line, (PyCodeObject *)Py_NewRef((PyObject *)code)};
      return code;
    }
  }
  return PyCode_NewEmpty(filename, funcname, line);  // more sites than slots
}
#endif

// An entry named `funcname` in `filename` on the traceback of the pending
// exception.
inline void tl_add_traceback(const char *funcname, const char *filename,
                             int line) {
#if TL_FAST && !TL_PY313
  _PyTraceback_Add(funcname, filename, line);
#else
  // What the private helper does: an empty code object whose first line is
  // `line`, a frame of it, and that frame on the traceback. A frame that
  // never ran reports its code's first line.
  PyObject *exc = tl_fetch_exception();
  PyCodeObject *code = tl_entry_code(funcname, filename, line);
  PyObject *globals = code ? PyDict_New() : nullptr;
  PyFrameObject *frame =
      globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr)
              : nullptr;
  Py_XDECREF(globals);
  Py_XDECREF(code);
  PyErr_Clear();  // an entry that cannot be made is left out
  tl_restore_exception(exc);
  if (frame) {
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
  }
#endif
}

// --- str ------------------------------------------------------------------------

// Equal runs of n bytes. Field names are mostly short: those are compared
// with a few loads in place rather than a call.
inline __attribute__((always_inline)) bool tl_mem_eq(const void *a,
                                                     const void *b, size_t n) {
  const char *p = (const char *)a, *q = (const char *)b;
  if (n >= 8 && n <= 16) {
    uint64_t x0, y0, x1, y1;
    memcpy(&x0, p, 8), memcpy(&y0, q, 8);
    memcpy(&x1, p + n - 8, 8), memcpy(&y1, q + n - 8, 8);
    return ((x0 ^ y0) | (x1 ^ y1)) == 0;
  }
  if (n >= 4 && n < 8) {
    uint32_t x0, y0, x1, y1;
    memcpy(&x0, p, 4), memcpy(&y0, q, 4);
    memcpy(&x1, p + n - 4, 4), memcpy(&y1, q + n - 4, 4);
    return ((x0 ^ y0) | (x1 ^ y1)) == 0;
  }
  if (n < 4) {
    for (size_t i = 0; i < n; i++)
      if (p[i] != q[i]) return false;
    return true;
  }
  return memcmp(p, q, n) == 0;
}

// Equality of two exact str objects, from their public representation.
inline bool tl_str_eq(PyObject *a, PyObject *b) {
  if (a == b) return true;
  Py_ssize_t n = PyUnicode_GET_LENGTH(a);
  if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b))
    return false;
  return tl_mem_eq(PyUnicode_DATA(a), PyUnicode_DATA(b),
                   (size_t)n * PyUnicode_KIND(a));
}
// Whether exact str `s` has `length` code points of `kind` bytes equal to
// `text`. A str is always stored in the narrowest kind that holds it, so
// equal strings have equal kinds.
inline __attribute__((always_inline)) bool tl_str_is(PyObject *s,
                                                     const char *text,
                                                     uint32_t length,
                                                     uint32_t kind) {
  return (Py_ssize_t)length == PyUnicode_GET_LENGTH(s) &&
         kind == PyUnicode_KIND(s) &&
         tl_mem_eq(PyUnicode_DATA(s), text, (size_t)length * kind);
}
inline bool tl_str_eq_ascii(PyObject *s, const char *text) {
  return PyUnicode_CompareWithASCIIString(s, text) == 0;
}
// The hash of an exact str that has been hashed (a dict key has been).
inline Py_hash_t tl_str_cached_hash(PyObject *s) {
#if TL_FAST
  return ((PyASCIIObject *)s)->hash;
#else
  return PyObject_Hash(s);  // cached by the str, cannot fail for an exact str
#endif
}

// --- int ------------------------------------------------------------------------

bool g_long_digits_ok = false;

// Whether ints can be read from their digits (checked at import).
inline bool tl_long_digits_ok() { return TL_FAST && g_long_digits_ok; }

// An exact int of at most one 30-bit digit, as int32 (which always fits),
// read from its digits: only where tl_long_digits_ok().
inline bool tl_long_small_int32_direct(PyObject *v, int32_t *out) {
#if TL_FAST && TL_PY312
  uintptr_t tag = ((PyLongObject *)v)->long_value.lv_tag;
  if (tag >= (2 << 3)) return false;  // two digits or more
  *out = (int32_t)(1 - (int)(tag & 3)) *
         (int32_t)((PyLongObject *)v)->long_value.ob_digit[0];
  return true;
#elif TL_FAST
  Py_ssize_t size = Py_SIZE(v);
  if ((size_t)(size + 1) > 2) return false;
  *out = (int32_t)size * (int32_t)((PyLongObject *)v)->ob_digit[0];
  return true;
#else
  (void)v, (void)out;
  return false;
#endif
}

// An exact non-negative int below 2**64 read from its digits: only where
// tl_long_digits_ok().
inline bool tl_long_small_uint64_direct(PyObject *v, uint64_t *out) {
#if TL_FAST
#if TL_PY312
  uintptr_t tag = ((PyLongObject *)v)->long_value.lv_tag;
  if ((tag & 3) == 2) return false;  // negative
  Py_ssize_t size = (Py_ssize_t)(tag >> 3);
  const digit *d = ((PyLongObject *)v)->long_value.ob_digit;
#else
  Py_ssize_t size = Py_SIZE(v);  // negative for a negative int
  const digit *d = ((PyLongObject *)v)->ob_digit;
#endif
  switch (size) {
    case 0:
      *out = 0;
      return true;
    case 1:
      *out = d[0];
      return true;
    case 2:
      *out = (uint64_t)d[0] | ((uint64_t)d[1] << PyLong_SHIFT);
      return true;
    case 3:
      if (d[2] >= 16) return false;  // 2**64 or more
      *out = (uint64_t)d[0] | ((uint64_t)d[1] << PyLong_SHIFT) |
             ((uint64_t)d[2] << (2 * PyLong_SHIFT));
      return true;
    default:
      return false;
  }
#else
  (void)v, (void)out;
  return false;
#endif
}

// An exact int below 2**63 in magnitude, read from its digits: only where
// tl_long_digits_ok().
inline bool tl_long_small_int64_direct(PyObject *v, int64_t *out) {
#if TL_FAST
#if TL_PY312
  uintptr_t tag = ((PyLongObject *)v)->long_value.lv_tag;
  // Digits times the sign, as Py_SIZE gives it on 3.11.
  Py_ssize_t size = (Py_ssize_t)(tag >> 3) * (Py_ssize_t)(1 - (int)(tag & 3));
  const digit *d = ((PyLongObject *)v)->long_value.ob_digit;
#else
  Py_ssize_t size = Py_SIZE(v);
  const digit *d = ((PyLongObject *)v)->ob_digit;
#endif
  uint64_t mag;
  switch (size) {
    case 0:
      *out = 0;
      return true;
    case 1:
      *out = (int64_t)d[0];
      return true;
    case -1:
      *out = -(int64_t)d[0];
      return true;
    case 2:
    case -2:
      mag = (uint64_t)d[0] | ((uint64_t)d[1] << PyLong_SHIFT);
      break;
    case 3:
    case -3:
      if (d[2] >= 8) return false;  // 2**63 or more
      mag = (uint64_t)d[0] | ((uint64_t)d[1] << PyLong_SHIFT) |
            ((uint64_t)d[2] << (2 * PyLong_SHIFT));
      break;
    default:
      return false;
  }
  *out = size < 0 ? -(int64_t)mag : (int64_t)mag;
  return true;
#else
  (void)v, (void)out;
  return false;
#endif
}

// The same on any build; false sends the caller to the general conversion,
// which reports what is wrong.
inline bool tl_long_small_int64(PyObject *v, int64_t *out) {
  if (tl_long_digits_ok()) return tl_long_small_int64_direct(v, out);
  int overflow;
  long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (overflow || (x == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  *out = x;
  return true;
}

// The same on any build; false sends the caller to the general conversion,
// which reports what is wrong.
inline bool tl_long_small_int32(PyObject *v, int32_t *out) {
  if (tl_long_digits_ok()) return tl_long_small_int32_direct(v, out);
  int overflow;
  long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (overflow || x < INT32_MIN || x > INT32_MAX) return false;
  *out = (int32_t)x;
  return true;
}

inline bool tl_long_small_uint64(PyObject *v, uint64_t *out) {
  if (tl_long_digits_ok()) return tl_long_small_uint64_direct(v, out);
  // Most values fit a signed long long, which CPython reads from its digits;
  // its unsigned conversion goes through a byte array, several times slower.
  int overflow;
  long long small = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (!overflow && small >= 0) {
    *out = (uint64_t)small;
    return true;
  }
  if (overflow <= 0) {
    PyErr_Clear();  // negative, or not an int at all
    return false;
  }
  unsigned long long x = PyLong_AsUnsignedLongLong(v);
  if (x == (unsigned long long)-1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  *out = x;
  return true;
}

// -1, 0 or 1; never fails for an int.
inline int tl_long_sign(PyObject *v) {
#if TL_FAST
  return _PyLong_Sign(v);
#else
  static PyObject *zero = PyLong_FromLong(0);  // a cached small int
  int below = PyObject_RichCompareBool(v, zero, Py_LT);
  return below > 0 ? -1 : PyObject_IsTrue(v) > 0 ? 1 : 0;
#endif
}

// Checks the digit reading on ints whose digits are known.
inline int tl_probe_long_digits() {
#if TL_FAST
  static const long long samples[] = {0, 1, -1, 5, -123456789, 1LL << 40,
                                      -(1LL << 45), (1LL << 62) + 7};
  bool ok = PyLong_SHIFT == 30;
  for (long long x : samples) {
    PyObject *v = PyLong_FromLongLong(x);
    if (!v) return -1;
    int32_t small = 0;
    uint64_t big = 0;
    bool fits32 = x >= -(1LL << 30) + 1 && x < (1LL << 30);
    bool is32 = tl_long_small_int32_direct(v, &small);
    bool is64 = tl_long_small_uint64_direct(v, &big);
    ok = ok && is32 == fits32 && (!is32 || small == x) && is64 == (x >= 0) &&
         (!is64 || big == (uint64_t)x);
    Py_DECREF(v);
  }
  g_long_digits_ok = ok;
#endif
  return 0;
}

// --- list -----------------------------------------------------------------------

inline PyObject **tl_list_items(PyObject *list) {
  return ((PyListObject *)list)->ob_item;
}
// list.extend(iterable): 0, or -1 with the interpreter's own error.
inline int tl_list_extend(PyObject *list, PyObject *iterable) {
#if TL_PY313
  return PyList_Extend(list, iterable);
#elif TL_FAST
  PyObject *r = _PyList_Extend((PyListObject *)list, iterable);
  if (!r) return -1;
  Py_DECREF(r);
  return 0;
#else
  static PyObject *extend = PyUnicode_InternFromString("extend");
  PyObject *r = extend ? PyObject_CallMethodOneArg(list, extend, iterable)
                       : nullptr;
  if (!r) return -1;
  Py_DECREF(r);
  return 0;
#endif
}

// --- dict -----------------------------------------------------------------------
// The writer walks a dict's entries in order instead of looking each field
// up, and decoded objects are copies of a template dict whose values are
// stored straight into the entries. The keys object up to its index table,
// and its entries for str keys, as CPython 3.11 to 3.13 lay them out; the
// layout is probed at import and both fall back to the dict API when it does
// not hold.

struct TLDictEntry {
  PyObject *key;
  PyObject *value;  // null for a deleted entry
};
#if TL_FAST
bool g_dict_entries_ok = false;
#endif

#if TL_FAST
struct TLDictKeysHead {
  Py_ssize_t dk_refcnt;
  uint8_t dk_log2_size;
  uint8_t dk_log2_index_bytes;
  uint8_t dk_kind;
  uint32_t dk_version;
  Py_ssize_t dk_usable;
  Py_ssize_t dk_nentries;
};

inline TLDictKeysHead *tl_dict_keys(PyObject *dict) {
  return (TLDictKeysHead *)((PyDictObject *)dict)->ma_keys;
}

inline TLDictEntry *tl_dict_entries_unchecked(PyObject *dict) {
  TLDictKeysHead *keys = tl_dict_keys(dict);
  return (TLDictEntry *)((char *)(keys + 1) +
                         ((size_t)1 << keys->dk_log2_index_bytes));
}
#endif

// Entries of a dict with a combined table whose keys are all exact str,
// else null.
inline TLDictEntry *tl_dict_str_entries(PyObject *dict, Py_ssize_t *n) {
#if TL_FAST
  if (!g_dict_entries_ok || ((PyDictObject *)dict)->ma_values ||
      tl_dict_keys(dict)->dk_kind == 0)
    return nullptr;
  *n = tl_dict_keys(dict)->dk_nentries;
  return tl_dict_entries_unchecked(dict);
#else
  (void)dict, (void)n;
  return nullptr;
#endif
}

// Entries of a fresh copy of a template dict, or null when the layout probe
// failed (callers then store through the dict API).
inline TLDictEntry *tl_dict_copy_entries(PyObject *copy) {
#if TL_FAST
  return g_dict_entries_ok ? tl_dict_entries_unchecked(copy) : nullptr;
#else
  (void)copy;
  return nullptr;
#endif
}

// Copies a small dict the way the reader does and checks that the entries
// are where tl_dict_entries_unchecked looks for them. -1 with an error set
// when the probe itself cannot be built.
inline int tl_probe_dict_layout(PyObject *first_key) {
#if TL_FAST
  PyObject *probe = PyDict_New();
  PyObject *key = PyUnicode_FromString("mivex-layout-probe");
  PyObject *copy = nullptr;
  int status = -1;
  if (probe && key && PyDict_SetItem(probe, first_key, Py_None) == 0 &&
      PyDict_SetItem(probe, key, Py_True) == 0 &&
      (copy = PyDict_Copy(probe))) {
    PyDictObject *d = (PyDictObject *)copy;
    TLDictKeysHead *keys = tl_dict_keys(copy);
    TLDictEntry *e = tl_dict_entries_unchecked(copy);
    g_dict_entries_ok = d->ma_values == nullptr && d->ma_used == 2 &&
                        keys->dk_refcnt == 1 && keys->dk_nentries == 2 &&
                        keys->dk_kind != 0 && e[0].key == first_key &&
                        e[0].value == Py_None && e[1].key == key &&
                        e[1].value == Py_True;
    status = 0;
  }
  Py_XDECREF(copy);
  Py_XDECREF(key);
  Py_XDECREF(probe);
  return status;
#else
  (void)first_key;
  return 0;
#endif
}

// The next entry of a dict, with the key's hash where the dict gives it for
// free and -1 otherwise (the caller hashes an exact str key when it needs to).
inline int tl_dict_next(PyObject *dict, Py_ssize_t *pos, PyObject **key,
                        PyObject **value, Py_hash_t *hash) {
#if TL_FAST && !TL_PY313
  return _PyDict_Next(dict, pos, key, value, hash);
#else
  // No hash here: most keys are matched by identity and never need one.
  if (!PyDict_Next(dict, pos, key, value)) return 0;
  *hash = -1;
  return 1;
#endif
}

// Borrowed value or null (with an error set when the lookup failed).
inline PyObject *tl_dict_get_known_hash(PyObject *dict, PyObject *key,
                                        Py_hash_t hash) {
#if TL_FAST
  return _PyDict_GetItem_KnownHash(dict, key, hash);
#else
  (void)hash;
  return PyDict_GetItemWithError(dict, key);
#endif
}

// --- bytes ----------------------------------------------------------------------

// Resizes a bytes object that nothing else references yet; on failure *bytes
// is released and set to null, with MemoryError set.
inline int tl_bytes_resize(PyObject **bytes, Py_ssize_t size) {
#if TL_FAST
  return _PyBytes_Resize(bytes, size);
#else
  PyObject *old = *bytes;
  Py_ssize_t keep = PyBytes_GET_SIZE(old) < size ? PyBytes_GET_SIZE(old) : size;
  PyObject *fresh = PyBytes_FromStringAndSize(nullptr, size);
  if (fresh) memcpy(PyBytes_AS_STRING(fresh), PyBytes_AS_STRING(old), (size_t)keep);
  Py_DECREF(old);
  *bytes = fresh;
  return fresh ? 0 : -1;
#endif
}

// Cuts a bytes object that nothing else references yet to its first `len`
// bytes. A little unused room is left allocated instead of reallocating.
inline int tl_bytes_trim(PyObject **bytes, Py_ssize_t len) {
#if TL_FAST
  if (PyBytes_GET_SIZE(*bytes) - len <= 64) {
    Py_SET_SIZE(*bytes, len);
    PyBytes_AS_STRING(*bytes)[len] = '\0';
    return 0;
  }
#endif
  return tl_bytes_resize(bytes, len);
}

// --- types and modules ----------------------------------------------------------

// Sets an attribute in the dictionary of a static type that Python code
// cannot change.
inline int tl_type_dict_set(PyTypeObject *type, PyObject *name,
                            PyObject *value) {
#if TL_PY312
  PyObject *dict = PyType_GetDict(type);
  if (!dict) return -1;
  int status = PyDict_SetItem(dict, name, value);
  Py_DECREF(dict);
#else
  int status = PyDict_SetItem(type->tp_dict, name, value);
#endif
  if (status == 0) PyType_Modified(type);
  return status;
}

}  // namespace

#endif  // MIVEX_CORE_COMPAT_H
