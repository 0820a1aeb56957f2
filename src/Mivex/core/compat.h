// The one place that knows CPython's internals: private functions, struct
// layouts (dict entries, int digits, the UTF-8 cache of str, bytes objects)
// and version differences. Every other part calls the helpers below by one
// name on every version; tests/test_source.py keeps internals out of the
// other files.
#ifndef MIVEX_CORE_COMPAT_H
#define MIVEX_CORE_COMPAT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stddef.h>
#include <stdint.h>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000
#error "Mivex.tl is written against the CPython 3.11 C API"
#endif

namespace {

// --- Errors and tracebacks --------------------------------------------------

inline void tl_add_traceback(const char *funcname, const char *filename,
                             int line) {
  _PyTraceback_Add(funcname, filename, line);
}

// The pending exception as one owned object (null when none), and back.
inline PyObject *tl_fetch_exception() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
}
inline void tl_restore_exception(PyObject *exc) {
  if (!exc) return;
  PyErr_Restore(Py_NewRef((PyObject *)Py_TYPE(exc)), exc,
                PyException_GetTraceback(exc));
}

// --- str ------------------------------------------------------------------

// Equality of two exact str objects.
inline bool tl_str_eq(PyObject *a, PyObject *b) {
  return a == b || _PyUnicode_EQ(a, b);
}
inline bool tl_str_eq_ascii(PyObject *s, const char *text) {
  return _PyUnicode_EqualToASCIIString(s, text);
}
// The cached hash of a str that has been hashed (a dict key has been).
inline Py_hash_t tl_str_cached_hash(PyObject *s) {
  return ((PyASCIIObject *)s)->hash;
}
// The UTF-8 form CPython may already hold for a non-ASCII str.
inline bool tl_str_cached_utf8(PyObject *s, const char **text,
                               Py_ssize_t *len) {
  const PyCompactUnicodeObject *u = (const PyCompactUnicodeObject *)s;
  if (!u->utf8) return false;
  *text = u->utf8;
  *len = u->utf8_length;
  return true;
}
inline int tl_str_ready(PyObject *s) { return PyUnicode_READY(s); }

// --- int ------------------------------------------------------------------

inline int tl_long_sign(PyObject *v) { return _PyLong_Sign(v); }

// An exact int of at most one 30-bit digit, as int32 (always fits).
inline bool tl_long_small_int32(PyObject *v, int32_t *out) {
  Py_ssize_t size = Py_SIZE(v);
  if ((size_t)(size + 1) > 2) return false;
  *out = (int32_t)size * (int32_t)((PyLongObject *)v)->ob_digit[0];
  return true;
}

// An exact non-negative int below 2**64, from its 30-bit digits.
inline bool tl_long_small_uint64(PyObject *v, uint64_t *out) {
  Py_ssize_t size = Py_SIZE(v);
  const digit *d = ((PyLongObject *)v)->ob_digit;
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
}

// --- list -----------------------------------------------------------------

inline PyObject **tl_list_items(PyObject *list) {
  return ((PyListObject *)list)->ob_item;
}
// list.extend(iterable): 0, or -1 with the interpreter's own error.
inline int tl_list_extend(PyObject *list, PyObject *iterable) {
  PyObject *r = _PyList_Extend((PyListObject *)list, iterable);
  if (!r) return -1;
  Py_DECREF(r);
  return 0;
}

// --- dict -----------------------------------------------------------------
// The writer walks a dict's entries in order instead of looking each field
// up, and decoded objects are copies of a template dict whose values are
// stored straight into the entries. CPython 3.11's keys object up to its
// index table, and its entries for str keys; the layout is probed at import
// and both fall back to the dict API when it does not hold.

struct TLDictKeysHead {
  Py_ssize_t dk_refcnt;
  uint8_t dk_log2_size;
  uint8_t dk_log2_index_bytes;
  uint8_t dk_kind;
  uint32_t dk_version;
  Py_ssize_t dk_usable;
  Py_ssize_t dk_nentries;
};
struct TLDictEntry {
  PyObject *key;
  PyObject *value;  // null for a deleted entry
};
bool g_dict_entries_ok = false;

inline TLDictEntry *tl_dict_entries_unchecked(PyObject *dict) {
  TLDictKeysHead *keys = (TLDictKeysHead *)((PyDictObject *)dict)->ma_keys;
  return (TLDictEntry *)((char *)(keys + 1) +
                         ((size_t)1 << keys->dk_log2_index_bytes));
}

// Entries of a dict with a combined table whose keys are all exact str,
// else null.
inline TLDictEntry *tl_dict_str_entries(PyObject *dict, Py_ssize_t *n) {
  PyDictObject *d = (PyDictObject *)dict;
  TLDictKeysHead *keys = (TLDictKeysHead *)d->ma_keys;
  if (!g_dict_entries_ok || d->ma_values || keys->dk_kind == 0) return nullptr;
  *n = keys->dk_nentries;
  return tl_dict_entries_unchecked(dict);
}

// Entries of a fresh copy of a template dict, or null when the layout probe
// failed (callers then store through the dict API).
inline TLDictEntry *tl_dict_copy_entries(PyObject *copy) {
  return g_dict_entries_ok ? tl_dict_entries_unchecked(copy) : nullptr;
}

// Copies a small dict the way the reader does and checks that the entries
// are where tl_dict_entries_unchecked looks for them. -1 with an error set
// when the probe itself cannot be built.
inline int tl_probe_dict_layout(PyObject *first_key) {
  PyObject *probe = PyDict_New();
  PyObject *key = PyUnicode_FromString("mivex-layout-probe");
  PyObject *copy = nullptr;
  int status = -1;
  if (probe && key && PyDict_SetItem(probe, first_key, Py_None) == 0 &&
      PyDict_SetItem(probe, key, Py_True) == 0 &&
      (copy = PyDict_Copy(probe))) {
    PyDictObject *d = (PyDictObject *)copy;
    TLDictKeysHead *keys = (TLDictKeysHead *)d->ma_keys;
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
}

inline int tl_dict_next(PyObject *dict, Py_ssize_t *pos, PyObject **key,
                        PyObject **value, Py_hash_t *hash) {
  return _PyDict_Next(dict, pos, key, value, hash);
}
// Borrowed value or null (with an error set when the lookup failed).
inline PyObject *tl_dict_get_known_hash(PyObject *dict, PyObject *key,
                                        Py_hash_t hash) {
  return _PyDict_GetItem_KnownHash(dict, key, hash);
}
inline int tl_dict_set_known_hash(PyObject *dict, PyObject *key,
                                  PyObject *value, Py_hash_t hash) {
  return _PyDict_SetItem_KnownHash(dict, key, value, hash);
}

// --- bytes ----------------------------------------------------------------
// The pack buffer lives kBytesHeader bytes into a block from the object
// allocator, laid out as a bytes object would be, so that a large result
// can become the returned bytes object without a copy.

constexpr size_t kBytesHeader = offsetof(PyBytesObject, ob_sval);

inline PyObject *tl_bytes_in_place(void *block, size_t len) {
  PyVarObject *bytes =
      PyObject_InitVar((PyVarObject *)block, &PyBytes_Type, (Py_ssize_t)len);
  _Py_COMP_DIAG_PUSH
  _Py_COMP_DIAG_IGNORE_DEPR_DECLS
  ((PyBytesObject *)bytes)->ob_shash = -1;
  _Py_COMP_DIAG_POP
  ((char *)block + kBytesHeader)[len] = '\0';
  return (PyObject *)bytes;
}

}  // namespace

#endif  // MIVEX_CORE_COMPAT_H
