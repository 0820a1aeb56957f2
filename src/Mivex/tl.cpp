// Mivex.tl: a TL (Type Language) codec for CPython 3.11, driven by a schema
// given as JSON text.
//
// The file reads top to bottom as the system runs: shared helpers, the method
// object type, the schema compiler, the parser object and its buffer, the
// primitive codec, value dispatch, vectors, the object writer and reader,
// pack/unpack, and finally the module surface.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <exception>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "tl.h"

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000
#error "Mivex.tl is written against the CPython 3.11 C API"
#endif
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "Mivex.tl stores words with memcpy and needs a little-endian host"
#endif

#define TL_LIKELY(x) __builtin_expect(!!(x), 1)
#define TL_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define TL_INLINE inline __attribute__((always_inline))
#define TL_NOINLINE __attribute__((noinline))

// ===========================================================================
// Shared helpers: reference owner, traceback entries, C++ exception mapping,
// argument parsing, constant strings
// ===========================================================================

namespace {

// Owner of one strong reference. Borrowed references stay raw PyObject*.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref &operator=(Ref &&other) noexcept {
    if (this != &other) {
      PyObject *old = p_;
      p_ = other.p_;
      other.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (may be null after a failed call).
  static Ref steal(PyObject *p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  // Makes a new reference to a borrowed object.
  static Ref own(PyObject *p) noexcept {
    Py_XINCREF(p);
    return steal(p);
  }

  PyObject *get() const noexcept { return p_; }
  PyObject *release() noexcept {
    PyObject *p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject *p_ = nullptr;
};

const char kSourceName[] = "src/Mivex/tl";

// Adds one traceback entry for the operation that is failing; the exception
// must already be set.
TL_NOINLINE __attribute__((cold)) void tl_traceback(const char *funcname,
                                                    int line) {
  _PyTraceback_Add(funcname, kSourceName, line);
}
#define TL_TB(op) tl_traceback("Mivex.tl." op, __LINE__)

// Maps the C++ exception being handled to a Python exception. Only called
// from a catch block at a boundary with the interpreter.
TL_NOINLINE void tl_set_cpp_error() {
  try {
    throw;
  } catch (const std::bad_alloc &e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_cast &e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const std::bad_typeid &e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const std::domain_error &e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::invalid_argument &e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::ios_base::failure &e) {
    PyErr_SetString(PyExc_OSError, e.what());
  } catch (const std::out_of_range &e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const std::overflow_error &e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const std::range_error &e) {
    PyErr_SetString(PyExc_ArithmeticError, e.what());
  } catch (const std::underflow_error &e) {
    PyErr_SetString(PyExc_ArithmeticError, e.what());
  } catch (const std::exception &e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
  }
}

// Interned strings, created once by the exec step and kept for the life of
// the process (the module is never unloaded).
struct Constants {
  PyObject *underscore, *get, *json, *loads, *compile;
  PyObject *constructors, *methods, *predicate, *method, *type, *id, *params,
      *name;
  PyObject *empty_str, *empty_bytes, *zero, *module_name;
  PyObject *arg_json_data, *arg_schema_json, *arg_value, *arg_data,
      *arg_state;
  PyObject *dealloc_context, *add_note;
};
Constants S;

struct ConstantSpec {
  PyObject **slot;
  const char *text;
};

int tl_init_constants() {
  const ConstantSpec specs[] = {
      {&S.underscore, "_"},
      {&S.get, "get"},
      {&S.json, "json"},
      {&S.loads, "loads"},
      {&S.compile, "compile"},
      {&S.constructors, "constructors"},
      {&S.methods, "methods"},
      {&S.predicate, "predicate"},
      {&S.method, "method"},
      {&S.type, "type"},
      {&S.id, "id"},
      {&S.params, "params"},
      {&S.name, "name"},
      {&S.empty_str, ""},
      {&S.module_name, "Mivex.tl"},
      {&S.arg_json_data, "json_data"},
      {&S.arg_schema_json, "schema_json"},
      {&S.arg_value, "value"},
      {&S.arg_data, "data"},
      {&S.arg_state, "state"},
      {&S.dealloc_context, "Mivex.tl.TLSchemaCompiler.__dealloc__"},
      {&S.add_note, "add_note"},
  };
  for (const ConstantSpec &spec : specs) {
    if (*spec.slot) continue;  // a retried exec step keeps what it made
    *spec.slot = PyUnicode_InternFromString(spec.text);
    if (!*spec.slot) return -1;
  }
  if (!S.empty_bytes && !(S.empty_bytes = PyBytes_FromStringAndSize("", 0)))
    return -1;
  if (!S.zero && !(S.zero = PyLong_FromLong(0))) return -1;
  return 0;
}

// --- Argument parsing ------------------------------------------------------
// Every callable of the module takes a fixed list of arguments, each by
// position or by keyword, with no defaults. The messages are the module's
// own and must not vary between callables, so all of them come from here.

int tl_args_count_error(const char *fname, Py_ssize_t expected,
                        Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError,
               "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               fname, "exactly", expected, expected == 1 ? "" : "s", given);
  return -1;
}

int tl_args_keyword(const char *fname, Py_ssize_t n, PyObject *const *names,
                    Py_ssize_t nargs, PyObject *key, PyObject *value,
                    PyObject **out) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname);
    return -1;
  }
  for (Py_ssize_t j = 0; j < n; j++) {
    if (names[j] != key && PyUnicode_Compare(names[j], key) != 0) {
      if (PyErr_Occurred()) return -1;
      continue;
    }
    if (j < nargs || out[j]) {
      PyErr_Format(PyExc_TypeError,
                   "%s() got multiple values for keyword argument '%U'",
                   fname, key);
      return -1;
    }
    out[j] = value;
    return 0;
  }
  PyErr_Format(PyExc_TypeError,
               "%s() got an unexpected keyword argument '%U'", fname, key);
  return -1;
}

int tl_args_finish(const char *fname, Py_ssize_t n, Py_ssize_t nargs,
                   PyObject **out) {
  for (Py_ssize_t j = 0; j < n; j++)
    if (!out[j]) return tl_args_count_error(fname, n, nargs);
  return 0;
}

// Vectorcall form: positional args[0..nargs), keyword values after them.
int tl_parse_args(const char *fname, Py_ssize_t n, PyObject *const *names,
                  PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                  PyObject **out) {
  if (nargs > n) return tl_args_count_error(fname, n, nargs);
  for (Py_ssize_t j = 0; j < n; j++) out[j] = j < nargs ? args[j] : nullptr;
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; k++) {
      if (tl_args_keyword(fname, n, names, nargs, PyTuple_GET_ITEM(kwnames, k),
                          args[nargs + k], out) < 0)
        return -1;
    }
  }
  return tl_args_finish(fname, n, nargs, out);
}

// Tuple-and-dict form, for construction.
int tl_parse_args_tuple(const char *fname, Py_ssize_t n,
                        PyObject *const *names, PyObject *args,
                        PyObject *kwds, PyObject **out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > n) return tl_args_count_error(fname, n, nargs);
  for (Py_ssize_t j = 0; j < n; j++)
    out[j] = j < nargs ? PyTuple_GET_ITEM(args, j) : nullptr;
  if (kwds) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
      if (tl_args_keyword(fname, n, names, nargs, key, value, out) < 0)
        return -1;
    }
  }
  return tl_args_finish(fname, n, nargs, out);
}

// Message used wherever a value must be exactly of one interpreter type.
PyObject *tl_expected(const char *expected, PyObject *got) {
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected,
               Py_TYPE(got)->tp_name);
  return nullptr;
}

// Python code run during compilation emptied or extended a list being read.
PyObject *tl_list_changed() {
  PyErr_SetString(PyExc_RuntimeError, "list changed size during compile");
  return nullptr;
}

PyObject *tl_no_attribute(const char *attr) {
  PyErr_Format(PyExc_AttributeError,
               "'NoneType' object has no attribute '%.30s'", attr);
  return nullptr;
}

// dict.get(key, default) on an exact dict, as a new reference; null with an
// exception set on failure.
PyObject *tl_dict_get(PyObject *dict, PyObject *key, PyObject *dflt) {
  PyObject *v = PyDict_GetItemWithError(dict, key);
  if (v) return Py_NewRef(v);
  if (PyErr_Occurred()) return nullptr;
  return Py_NewRef(dflt);
}

// A class object with every slot zero but its name and reference count;
// the classes fill in their own slots after this.
PyTypeObject tl_static_type(const char *name) {
  PyTypeObject t{};
  Py_SET_REFCNT((PyObject *)&t, 1);
  t.tp_name = name;
  return t;
}

}  // namespace

// ===========================================================================
// Method objects
// ===========================================================================
// The classes' methods are small descriptor objects rather than the
// interpreter's method descriptors, which have no __module__. They support
// the vectorcall method protocol, so `parser.pack(x)` makes no bound method,
// and bind as ordinary bound methods, which are vectorcall-capable too. (As
// with every such callable, a call spreading a dict with non-string keys is
// refused by the interpreter before the method runs.)

typedef PyObject *(*TLMethodImpl)(PyObject *self, PyObject *const *args,
                                  Py_ssize_t nargs, PyObject *kwnames);

struct TLMethodObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  TLMethodImpl impl;
  PyTypeObject *objclass;
  PyObject *name;
  PyObject *qualname;
  const char *text_signature;
};

static PyObject *TLMethod_vectorcall(PyObject *func, PyObject *const *args,
                                     size_t nargsf, PyObject *kwnames) {
  TLMethodObject *m = (TLMethodObject *)func;
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument",
                 m->qualname);
    return nullptr;
  }
  if (!PyObject_TypeCheck(args[0], m->objclass)) {
    PyErr_Format(PyExc_TypeError,
                 "descriptor '%U' for '%.100s' objects doesn't apply to a "
                 "'%.100s' object",
                 m->name, m->objclass->tp_name, Py_TYPE(args[0])->tp_name);
    return nullptr;
  }
  return m->impl(args[0], args + 1, nargs - 1, kwnames);
}

static PyObject *TLMethod_descr_get(PyObject *func, PyObject *obj,
                                    PyObject *) {
  if (!obj) return Py_NewRef(func);
  return PyMethod_New(func, obj);
}

static void TLMethod_dealloc(PyObject *o) {
  TLMethodObject *m = (TLMethodObject *)o;
  Py_XDECREF(m->name);
  Py_XDECREF(m->qualname);
  Py_TYPE(o)->tp_free(o);
}

static PyObject *TLMethod_repr(PyObject *o) {
  TLMethodObject *m = (TLMethodObject *)o;
  return PyUnicode_FromFormat("<method '%U' of '%s' objects>", m->name,
                              m->objclass->tp_name);
}

static PyObject *TLMethod_get_name(PyObject *o, void *) {
  return Py_NewRef(((TLMethodObject *)o)->name);
}
static PyObject *TLMethod_get_qualname(PyObject *o, void *) {
  return Py_NewRef(((TLMethodObject *)o)->qualname);
}
static PyObject *TLMethod_get_module(PyObject *, void *) {
  return Py_NewRef(S.module_name);
}
static PyObject *TLMethod_get_doc(PyObject *, void *) { Py_RETURN_NONE; }
// What inspect.signature (and so stubtest and IDEs) reads for a builtin.
static PyObject *TLMethod_get_text_signature(PyObject *o, void *) {
  return PyUnicode_FromString(((TLMethodObject *)o)->text_signature);
}
static PyObject *TLMethod_get_objclass(PyObject *o, void *) {
  return Py_NewRef((PyObject *)((TLMethodObject *)o)->objclass);
}

static PyGetSetDef TLMethod_getset[] = {
    {"__name__", TLMethod_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", TLMethod_get_qualname, nullptr, nullptr, nullptr},
    {"__module__", TLMethod_get_module, nullptr, nullptr, nullptr},
    {"__doc__", TLMethod_get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", TLMethod_get_text_signature, nullptr, nullptr,
     nullptr},
    {"__objclass__", TLMethod_get_objclass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyTypeObject TLMethodType = [] {
  PyTypeObject t = tl_static_type("Mivex.tl.method");
  t.tp_basicsize = sizeof(TLMethodObject);
  t.tp_dealloc = TLMethod_dealloc;
  t.tp_vectorcall_offset = offsetof(TLMethodObject, vectorcall);
  t.tp_repr = TLMethod_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL |
               Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE;
  t.tp_getset = TLMethod_getset;
  t.tp_descr_get = TLMethod_descr_get;
  return t;
}();

// Puts a method object named `name` into the class dictionary of `type`.
static int tl_bind_method(PyTypeObject *type, const char *short_type_name,
                          const char *name, const char *text_signature,
                          TLMethodImpl impl) {
  TLMethodObject *m = PyObject_New(TLMethodObject, &TLMethodType);
  if (!m) return -1;
  Ref owner = Ref::steal((PyObject *)m);
  m->vectorcall = TLMethod_vectorcall;
  m->impl = impl;
  m->text_signature = text_signature;
  m->objclass = type;
  m->name = PyUnicode_InternFromString(name);
  m->qualname = m->name ? PyUnicode_FromFormat("%s.%s", short_type_name, name)
                        : nullptr;
  if (!m->qualname) return -1;
  // The classes are immutable to Python code; the module fills their
  // dictionaries itself and then tells the type cache.
  if (PyDict_SetItem(type->tp_dict, m->name, owner.get()) < 0) return -1;
  PyType_Modified(type);
  return 0;
}

// ===========================================================================
// Schema compiler
// ===========================================================================

namespace {

// Open-addressing map from constructor id to record. Never erases; clear()
// keeps the table for reuse.
struct TLIdMap {
  struct Slot {
    uint32_t key;
    TLConstructor *value;  // null marks an empty slot
  };
  Slot *slots;
  size_t mask;  // capacity - 1 (capacity is a power of two), or 0
  size_t size;

  static size_t slot_of(uint32_t key, size_t mask) {
    return (size_t)(((uint64_t)key * 0x9E3779B97F4A7C15ull) >> 32) & mask;
  }

  TL_INLINE TLConstructor *find(uint32_t key) const {
    if (TL_UNLIKELY(!slots)) return nullptr;
    for (size_t i = slot_of(key, mask);; i = (i + 1) & mask) {
      const Slot &s = slots[i];
      if (!s.value) return nullptr;
      if (s.key == key) return s.value;
    }
  }

  bool grow() {
    size_t cap = slots ? (mask + 1) * 2 : 16;
    Slot *fresh = (Slot *)calloc(cap, sizeof(Slot));
    if (!fresh) return false;
    size_t new_mask = cap - 1;
    if (slots) {
      for (size_t i = 0; i <= mask; i++) {
        if (!slots[i].value) continue;
        size_t j = slot_of(slots[i].key, new_mask);
        while (fresh[j].value) j = (j + 1) & new_mask;
        fresh[j] = slots[i];
      }
      free(slots);
    }
    slots = fresh;
    mask = new_mask;
    return true;
  }

  // Inserts or overwrites; false when memory ran out.
  bool assign(uint32_t key, TLConstructor *value) {
    if ((!slots || (size + 1) * 2 > mask + 1) && !grow()) return false;
    size_t i = slot_of(key, mask);
    while (slots[i].value && slots[i].key != key) i = (i + 1) & mask;
    if (!slots[i].value) size++;
    slots[i].key = key;
    slots[i].value = value;
    return true;
  }

  void clear() {
    if (slots) memset(slots, 0, (mask + 1) * sizeof(Slot));
    size = 0;
  }
  void destroy() {
    free(slots);
    slots = nullptr;
    mask = size = 0;
  }
};

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

// Open-addressing map from constructor name (UTF-8 up to its NUL) to record.
// Keys point at the records' own name text, which the schema owns and which
// outlives every entry: the schema is released only after the map is
// cleared or together with it.
struct TLNameMap {
  struct Slot {
    uint64_t hash;
    const char *key;  // null marks an empty slot
    size_t len;
    TLConstructor *value;
  };
  Slot *slots;
  size_t mask;
  size_t size;

  TL_INLINE TLConstructor *find(const char *key, size_t len) const {
    if (TL_UNLIKELY(!slots)) return nullptr;
    uint64_t h = tl_hash_bytes(key, len);
    for (size_t i = (size_t)h & mask;; i = (i + 1) & mask) {
      const Slot &s = slots[i];
      if (!s.key) return nullptr;
      if (s.hash == h && s.len == len && memcmp(s.key, key, len) == 0)
        return s.value;
    }
  }

  bool grow() {
    size_t cap = slots ? (mask + 1) * 2 : 16;
    Slot *fresh = (Slot *)calloc(cap, sizeof(Slot));
    if (!fresh) return false;
    size_t new_mask = cap - 1;
    if (slots) {
      for (size_t i = 0; i <= mask; i++) {
        if (!slots[i].key) continue;
        size_t j = (size_t)slots[i].hash & new_mask;
        while (fresh[j].key) j = (j + 1) & new_mask;
        fresh[j] = slots[i];
      }
      free(slots);
    }
    slots = fresh;
    mask = new_mask;
    return true;
  }

  bool assign(const char *key, TLConstructor *value) {
    if ((!slots || (size + 1) * 2 > mask + 1) && !grow()) return false;
    size_t len = strlen(key);
    uint64_t h = tl_hash_bytes(key, len);
    size_t i = (size_t)h & mask;
    while (slots[i].key && !(slots[i].hash == h && slots[i].len == len &&
                             memcmp(slots[i].key, key, len) == 0))
      i = (i + 1) & mask;
    if (!slots[i].key) size++;
    slots[i] = Slot{h, key, len, value};
    return true;
  }

  void clear() {
    if (slots) memset(slots, 0, (mask + 1) * sizeof(Slot));
    size = 0;
  }
  void destroy() {
    free(slots);
    slots = nullptr;
    mask = size = 0;
  }
};

}  // namespace

struct TLSchemaCompilerObject;

struct TLSchemaCompiler_vtable {
  int (*_parse_json_schema)(TLSchemaCompilerObject *self, PyObject *json_data);
  TLConstructor *(*_create_constructor)(TLSchemaCompilerObject *self,
                                        PyObject *constr_data, int32_t index);
  TLType (*_parse_type)(TLSchemaCompilerObject *self, PyObject *type_str);
  void (*_free_schema)(TLSchemaCompilerObject *self);
  TLSchema *(*get_schema)(TLSchemaCompilerObject *self);
};

struct TLSchemaCompilerObject {
  PyObject_HEAD
  const TLSchemaCompiler_vtable *_vtab;
  TLSchema *_schema;
  TLIdMap _id_map;      // plain data: valid when zero-filled
  TLNameMap _name_map;
  // A compile releases the schema it replaces, so it must not run while
  // code holds pointers into that schema: inside another compile of the
  // same compiler (Python code run by a conversion), or once a parser owns
  // the compiler.
  int _compiling;
  int _owned;
};

namespace {

// Classifies a type text without flag prefix, given as UTF-8 bytes (equal
// texts have equal encodings, and "?" and "Vector" are ASCII).
TLType tl_classify(const char *s, size_t n) {
  static const struct {
    const char *text;
    size_t len;
    TLType type;
  } table[] = {
      {"int", 3, TL_TYPE_INT},       {"#", 1, TL_TYPE_INT},
      {"long", 4, TL_TYPE_LONG},     {"double", 6, TL_TYPE_DOUBLE},
      {"string", 6, TL_TYPE_STRING}, {"bytes", 5, TL_TYPE_BYTES},
      {"byte", 4, TL_TYPE_BYTES},    {"Bool", 4, TL_TYPE_BOOL},
      {"true", 4, TL_TYPE_BOOL},
  };
  for (const auto &row : table)
    if (n == row.len && memcmp(s, row.text, n) == 0) return row.type;
  if (n >= 6 && memcmp(s, "Vector", 6) == 0) return TL_TYPE_VECTOR;
  return TL_TYPE_OBJECT;
}

// The kind of a whole type text: the second "?"-separated piece when there
// is a "?", else the text itself.
TLType tl_classify_type_text(const char *s, size_t n) {
  const char *q = (const char *)memchr(s, '?', n);
  if (!q) return tl_classify(s, n);
  const char *start = q + 1;
  size_t rest = n - (size_t)(start - s);
  const char *end = (const char *)memchr(start, '?', rest);
  return tl_classify(start, end ? (size_t)(end - start) : rest);
}

// NUL-terminated heap copy of a str's UTF-8 encoding (up to its first NUL,
// as strdup copies). Null with an exception set on failure.
char *tl_utf8_dup(PyObject *text) {
  char *copy;
  if (PyUnicode_IS_COMPACT_ASCII(text)) {
    copy = strdup((const char *)PyUnicode_DATA(text));
  } else {
    Ref encoded = Ref::steal(PyUnicode_AsUTF8String(text));
    if (!encoded) return nullptr;
    copy = strdup(PyBytes_AS_STRING(encoded.get()));
  }
  if (!copy) PyErr_NoMemory();
  return copy;
}

}  // namespace

static TLType TLSchemaCompiler_parse_type(TLSchemaCompilerObject *,
                                           PyObject *type_str) {
  if (type_str == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    TL_TB("TLSchemaCompiler._parse_type");
    return TL_TYPE_INT;
  }
  if (PyUnicode_IS_COMPACT_ASCII(type_str))
    return tl_classify_type_text((const char *)PyUnicode_DATA(type_str),
                                 (size_t)PyUnicode_GET_LENGTH(type_str));
  // Other text is classified by its UTF-8 form; a lone surrogate, which has
  // none, cannot equal any listed name and is compared with "?" and
  // "Vector" through the string itself.
  Ref encoded = Ref::steal(
      PyUnicode_AsEncodedString(type_str, "utf-8", "surrogatepass"));
  if (!encoded) {
    TL_TB("TLSchemaCompiler._parse_type");
    return TL_TYPE_INT;
  }
  return tl_classify_type_text(PyBytes_AS_STRING(encoded.get()),
                               (size_t)PyBytes_GET_SIZE(encoded.get()));
}

static void TLSchemaCompiler_free_schema(TLSchemaCompilerObject *self) {
  TLSchema *schema = self->_schema;
  if (schema) {
    if (schema->constructors) {
      for (int32_t i = 0; i < schema->constructor_count; i++) {
        TLConstructor *c = &schema->constructors[i];
        if (c->fields) {
          for (int32_t j = 0; j < c->field_count; j++) {
            TLField *f = &c->fields[j];
            free(f->name);
            free(f->type_name);
            free(f->vec);
            Py_CLEAR(f->py_name);
          }
          free(c->fields);
        }
        free(c->name);
        free(c->type);
        Py_CLEAR(c->py_name);
        free(c->slot_keys);
        free(c->key_table);
        Py_CLEAR(c->py_template);
      }
      free(schema->constructors);
    }
    free(schema);
    self->_schema = nullptr;
  }
  self->_id_map.clear();
  self->_name_map.clear();
}

static TLSchema *TLSchemaCompiler_get_schema(TLSchemaCompilerObject *self) {
  return self->_schema;
}

namespace {

// Removes every occurrence of `pat` from s[0..n), scanning left to right
// without overlaps as str.replace does; returns the new length.
size_t tl_remove_all(char *s, size_t n, const char *pat, size_t plen) {
  size_t out = 0;
  for (size_t i = 0; i < n;) {
    if (n - i >= plen && memcmp(s + i, pat, plen) == 0) {
      i += plen;
    } else {
      s[out++] = s[i++];
    }
  }
  return out;
}

// Element chain of a vector field: link k describes the elements of a vector
// whose type text is the field's text with "Vector<" and ">" removed k times.
// Removal only shrinks a text, so the chain ends at a non-vector kind or at a
// text that no longer changes, whose link then describes its own elements.
// `text` is the field's type text as UTF-8 (ASCII patterns cannot match
// inside a multi-byte character, so bytes and characters agree).
TLVectorInfo *tl_vector_chain(const char *text) {
  size_t n = strlen(text);
  char *buf = (char *)malloc(n + 1);
  // A text of n bytes yields at most n + 1 links.
  TLVectorInfo *links = (TLVectorInfo *)malloc((n + 1) * sizeof(TLVectorInfo));
  if (!buf || !links) {
    free(buf);
    free(links);
    PyErr_NoMemory();
    return nullptr;
  }
  memcpy(buf, text, n + 1);
  size_t count = 0;
  for (;;) {
    size_t m = tl_remove_all(buf, n, "Vector<", 7);
    m = tl_remove_all(buf, m, ">", 1);
    TLVectorInfo *link = &links[count++];
    link->elem_type = tl_classify_type_text(buf, m);
    link->elem_vec = nullptr;
    if (link->elem_type != TL_TYPE_VECTOR) break;
    if (m == n) {  // nothing removed: element vectors have this same text
      link->elem_vec = link;
      break;
    }
    link->elem_vec = link + 1;
    n = m;
  }
  free(buf);
  return links;
}

}  // namespace

namespace {

// Everything the codec needs per constructor, derived once: the distinct
// field names with a table from name to slot (for packing), and the template
// that decoded objects are copied from (for unpacking).
int tl_derive_constructor(TLConstructor *rec) {
  rec->py_name = PyUnicode_DecodeUTF8(rec->name, (Py_ssize_t)strlen(rec->name),
                                      nullptr);
  if (!rec->py_name) return -1;
  PyUnicode_InternInPlace(&rec->py_name);
  rec->py_template = PyDict_New();
  if (!rec->py_template ||
      PyDict_SetItem(rec->py_template, S.underscore, rec->py_name) < 0)
    return -1;
  rec->bad_bit_field = -1;
  int32_t n = rec->field_count;
  if (n > 0) {
    rec->slot_keys = (PyObject **)calloc((size_t)n, sizeof(PyObject *));
    if (!rec->slot_keys) {
      PyErr_NoMemory();
      return -1;
    }
  }
  Py_ssize_t entries = 1;  // "_"
  for (int32_t i = 0; i < n; i++) {
    TLField *f = &rec->fields[i];
    bool conditional = f->role == TL_ROLE_COND || f->role == TL_ROLE_COND_BOOL;
    if (conditional) rec->cond_count++;
    if (conditional && !f->bit_valid && rec->bad_bit_field < 0)
      rec->bad_bit_field = i;
    if (f->role == TL_ROLE_FLAGS || f->role == TL_ROLE_FLAGS2) {
      f->slot = f->entry = -1;
      continue;
    }
    if (f->type == TL_TYPE_VECTOR || f->type == TL_TYPE_OBJECT)
      rec->holds_containers = 1;
    int32_t j = 0;
    while (j < rec->slot_count && rec->slot_keys[j] != f->py_name &&
           !_PyUnicode_EQ(rec->slot_keys[j], f->py_name))
      j++;
    f->slot = j;
    if (j < rec->slot_count) {  // a name seen before shares its slot and key
      for (int32_t k = 0; k < i; k++)
        if (rec->fields[k].slot == j) {
          f->entry = rec->fields[k].entry;
          break;
        }
      continue;
    }
    rec->slot_keys[rec->slot_count++] = f->py_name;
    if (_PyUnicode_EQ(f->py_name, S.underscore)) {
      f->entry = 0;  // a field named "_" overwrites the name in decoded objects
    } else {
      f->entry = (int32_t)entries++;
      if (PyDict_SetItem(rec->py_template, f->py_name, Py_None) < 0) return -1;
    }
  }
  size_t size = 4;
  while (size < 2 * (size_t)rec->slot_count) size *= 2;
  rec->key_table = (TLKeyEntry *)calloc(size, sizeof(TLKeyEntry));
  if (!rec->key_table) {
    PyErr_NoMemory();
    return -1;
  }
  rec->key_mask = (uint32_t)(size - 1);
  for (int32_t j = 0; j < rec->slot_count; j++) {
    PyObject *key = rec->slot_keys[j];
    Py_hash_t h = PyObject_Hash(key);
    if (h == -1) return -1;
    size_t i = (size_t)h & rec->key_mask;
    while (rec->key_table[i].key) i = (i + 1) & rec->key_mask;
    rec->key_table[i] = TLKeyEntry{key, h, j};
  }
  return 0;
}

}  // namespace

static TLConstructor *TLSchemaCompiler_create_constructor(
    TLSchemaCompilerObject *self, PyObject *constr_data, int32_t index) {
#define TL_CC_FAIL()                               \
  do {                                             \
    TL_TB("TLSchemaCompiler._create_constructor"); \
    return nullptr;                                \
  } while (0)
  TLConstructor *rec = &self->_schema->constructors[index];
  if (constr_data == Py_None) {
    tl_no_attribute("get");
    TL_CC_FAIL();
  }

  // Name: "predicate", else "method", else "type"; every lookup is made.
  Ref type_dflt = Ref::steal(tl_dict_get(constr_data, S.type, S.empty_str));
  if (!type_dflt) TL_CC_FAIL();
  Ref method_dflt =
      Ref::steal(tl_dict_get(constr_data, S.method, type_dflt.get()));
  if (!method_dflt) TL_CC_FAIL();
  Ref name =
      Ref::steal(tl_dict_get(constr_data, S.predicate, method_dflt.get()));
  if (!name) TL_CC_FAIL();
  if (name.get() != Py_None && !PyUnicode_CheckExact(name.get())) {
    tl_expected("str", name.get());
    TL_CC_FAIL();
  }
  Ref type_name = Ref::steal(tl_dict_get(constr_data, S.type, S.empty_str));
  if (!type_name) TL_CC_FAIL();
  if (type_name.get() != Py_None && !PyUnicode_CheckExact(type_name.get())) {
    tl_expected("str", type_name.get());
    TL_CC_FAIL();
  }
  Ref params = Ref::own(PyDict_GetItemWithError(constr_data, S.params));
  if (!params) {
    if (PyErr_Occurred()) TL_CC_FAIL();
    params = Ref::steal(PyList_New(0));
    if (!params) TL_CC_FAIL();
  }
  if (params.get() != Py_None && !PyList_CheckExact(params.get())) {
    tl_expected("list", params.get());
    TL_CC_FAIL();
  }

  if (name.get() == Py_None) {
    tl_no_attribute("encode");
    TL_CC_FAIL();
  }
  if (!(rec->name = tl_utf8_dup(name.get()))) TL_CC_FAIL();
  if (type_name.get() != Py_None && PyUnicode_GET_LENGTH(type_name.get()) > 0)
    rec->type = tl_utf8_dup(type_name.get());
  else if (!(rec->type = strdup(rec->name)))
    PyErr_NoMemory();
  if (!rec->type) TL_CC_FAIL();

  // Id: an exact int as it is, anything else through int(); negative values
  // wrap modulo 2**32 so that the signed and unsigned spellings agree.
  Ref id_obj = Ref::steal(tl_dict_get(constr_data, S.id, S.zero));
  if (!id_obj) TL_CC_FAIL();
  if (!PyLong_CheckExact(id_obj.get())) {
    id_obj = Ref::steal(PyNumber_Long(id_obj.get()));
    if (!id_obj) TL_CC_FAIL();
  }
  if (_PyLong_Sign(id_obj.get()) < 0) {
    unsigned long long low = PyLong_AsUnsignedLongLongMask(id_obj.get());
    if (low == (unsigned long long)-1 && PyErr_Occurred()) TL_CC_FAIL();
    rec->id = (uint32_t)low;
  } else {
    unsigned long long v = PyLong_AsUnsignedLongLong(id_obj.get());
    if (v == (unsigned long long)-1 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) TL_CC_FAIL();
      PyErr_Clear();
    }
    if (v > 0xFFFFFFFFull) {
      PyErr_SetString(PyExc_OverflowError,
                      "value too large to convert to uint32_t");
      TL_CC_FAIL();
    }
    rec->id = (uint32_t)v;
  }

  if (params.get() == Py_None) {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    TL_CC_FAIL();
  }
  Py_ssize_t count = PyList_GET_SIZE(params.get());
  if (count > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    TL_CC_FAIL();
  }
  rec->field_count = (int32_t)count;
  if (count > 0) {
    rec->fields = (TLField *)calloc((size_t)count, sizeof(TLField));
    if (!rec->fields) {
      PyErr_NoMemory();
      TL_CC_FAIL();
    }
  }

  // Code run by the lookups below (a key's __eq__) may change the list: every
  // item is held while it is used, and a list that changes size fails the
  // compilation rather than leaving fields unfilled.
  for (Py_ssize_t i = 0; i < count; i++) {
    if (PyList_GET_SIZE(params.get()) != count) {
      tl_list_changed();
      TL_CC_FAIL();
    }
    TLField *f = &rec->fields[i];
    Ref param = Ref::own(PyList_GET_ITEM(params.get(), i));
    if (param.get() != Py_None && !PyDict_CheckExact(param.get())) {
      tl_expected("dict", param.get());
      TL_CC_FAIL();
    }
    if (param.get() == Py_None) {
      PyErr_SetString(PyExc_TypeError,
                      "'NoneType' object is not subscriptable");
      TL_CC_FAIL();
    }
    Ref param_name = Ref::own(PyDict_GetItemWithError(param.get(), S.name));
    if (!param_name) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, S.name);
      TL_CC_FAIL();
    }
    if (param_name.get() != Py_None && !PyUnicode_CheckExact(param_name.get())) {
      tl_expected("str", param_name.get());
      TL_CC_FAIL();
    }
    Ref param_type = Ref::own(PyDict_GetItemWithError(param.get(), S.type));
    if (!param_type) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, S.type);
      TL_CC_FAIL();
    }
    if (param_type.get() != Py_None && !PyUnicode_CheckExact(param_type.get())) {
      tl_expected("str", param_type.get());
      TL_CC_FAIL();
    }
    if (param_name.get() == Py_None) {
      tl_no_attribute("encode");
      TL_CC_FAIL();
    }
    if (!(f->name = tl_utf8_dup(param_name.get()))) TL_CC_FAIL();
    // Interned, so that keys written as literals in the caller's code (which
    // are interned too) match by identity without comparing text.
    f->py_name = Py_NewRef(param_name.get());
    PyUnicode_InternInPlace(&f->py_name);
    f->type = self->_vtab->_parse_type(self, param_type.get());
    if (PyErr_Occurred()) TL_CC_FAIL();
    if (!(f->type_name = tl_utf8_dup(param_type.get()))) TL_CC_FAIL();

    PyObject *ptype = param_type.get();
    Py_ssize_t plen = PyUnicode_GET_LENGTH(ptype);
    Py_ssize_t q = PyUnicode_FindChar(ptype, '?', 0, plen, 1);
    if (q == -2) TL_CC_FAIL();
    if (q >= 0) {
      f->is_optional = 1;
      Ref flag_spec = Ref::steal(PyUnicode_Substring(ptype, 0, q));
      if (!flag_spec) TL_CC_FAIL();
      Py_ssize_t dot = PyUnicode_FindChar(flag_spec.get(), '.', 0, q, 1);
      if (dot == -2) TL_CC_FAIL();
      if (dot >= 0) {
        Py_ssize_t dot2 = PyUnicode_FindChar(flag_spec.get(), '.', dot + 1, q, 1);
        if (dot2 == -2) TL_CC_FAIL();
        if (dot2 >= 0) {
          PyErr_Format(PyExc_ValueError,
                       "too many values to unpack (expected %zd)",
                       (Py_ssize_t)2);
          TL_CC_FAIL();
        }
        Ref flags_name = Ref::steal(PyUnicode_Substring(flag_spec.get(), 0, dot));
        if (!flags_name) TL_CC_FAIL();
        Ref bit_str = Ref::steal(PyUnicode_Substring(flag_spec.get(), dot + 1, q));
        if (!bit_str) TL_CC_FAIL();
        Ref bit = Ref::steal(PyNumber_Long(bit_str.get()));
        if (!bit) TL_CC_FAIL();
        int overflow = 0;
        long long b = PyLong_AsLongLongAndOverflow(bit.get(), &overflow);
        if (b == -1 && PyErr_Occurred()) TL_CC_FAIL();
        if (overflow || b < INT32_MIN || b > INT32_MAX) {
          PyErr_SetString(PyExc_OverflowError,
                          "value too large to convert to int");
          TL_CC_FAIL();
        }
        f->flag_info.bit_position = (int32_t)b;
        if (_PyUnicode_EqualToASCIIString(flags_name.get(), "flags2")) {
          rec->has_flags2 = 1;
          f->flag_info.flags_index = 1;
        } else {
          rec->has_flags = 1;
          f->flag_info.flags_index = 0;
        }
      }
    }

    // Everything the codec needs per field, so it never derives it per call.
    if (strcmp(f->name, "flags") == 0)
      f->role = TL_ROLE_FLAGS;
    else if (strcmp(f->name, "flags2") == 0)
      f->role = TL_ROLE_FLAGS2;
    else if (f->is_optional)
      f->role = f->type == TL_TYPE_BOOL ? TL_ROLE_COND_BOOL : TL_ROLE_COND;
    else
      f->role = TL_ROLE_PLAIN;
    int32_t bitpos = f->flag_info.bit_position;
    f->bit_valid = bitpos >= 0 && bitpos <= 31;
    f->mask = f->bit_valid ? (uint32_t)1 << bitpos : 0;
    f->py_hash = PyObject_Hash(f->py_name);
    if (f->py_hash == -1) TL_CC_FAIL();
    if (f->type == TL_TYPE_VECTOR && !(f->vec = tl_vector_chain(f->type_name)))
      TL_CC_FAIL();
  }

  if (PyList_GET_SIZE(params.get()) != count) {
    tl_list_changed();
    TL_CC_FAIL();
  }
  if (tl_derive_constructor(rec) < 0) TL_CC_FAIL();
  return rec;
#undef TL_CC_FAIL
}

namespace {

// The module's global `json`, looked up each time as a global name would be.
PyObject *tl_module_global(PyObject *name);

}  // namespace

static int TLSchemaCompiler_parse_json_schema(TLSchemaCompilerObject *self,
                                               PyObject *json_data) {
#define TL_PJ_FAIL()                              \
  do {                                            \
    TL_TB("TLSchemaCompiler._parse_json_schema"); \
    return -1;                                    \
  } while (0)
  Ref schema_dict;
  if (PyUnicode_Check(json_data)) {
    Ref json_mod = Ref::steal(tl_module_global(S.json));
    if (!json_mod) TL_PJ_FAIL();
    Ref loads = Ref::steal(PyObject_GetAttr(json_mod.get(), S.loads));
    if (!loads) TL_PJ_FAIL();
    schema_dict = Ref::steal(PyObject_CallOneArg(loads.get(), json_data));
    if (!schema_dict) TL_PJ_FAIL();
  } else {
    schema_dict = Ref::own(json_data);
  }
  PyObject *sd = schema_dict.get();
  if (sd != Py_None && !PyDict_CheckExact(sd)) {
    tl_expected("dict", sd);
    TL_PJ_FAIL();
  }
  if (sd == Py_None) {
    tl_no_attribute("get");
    TL_PJ_FAIL();
  }
  Ref entries = Ref::own(PyDict_GetItemWithError(sd, S.constructors));
  if (!entries) {
    if (PyErr_Occurred()) TL_PJ_FAIL();
    entries = Ref::steal(PyList_New(0));
    if (!entries) TL_PJ_FAIL();
  }
  if (entries.get() != Py_None && !PyList_CheckExact(entries.get())) {
    tl_expected("list", entries.get());
    TL_PJ_FAIL();
  }
  if (entries.get() == Py_None) {
    tl_no_attribute("extend");
    TL_PJ_FAIL();
  }
  Ref methods = Ref::own(PyDict_GetItemWithError(sd, S.methods));
  if (!methods) {
    if (PyErr_Occurred()) TL_PJ_FAIL();
    methods = Ref::steal(PyList_New(0));
    if (!methods) TL_PJ_FAIL();
  }
  Ref extended = Ref::steal(
      _PyList_Extend((PyListObject *)entries.get(), methods.get()));
  if (!extended) TL_PJ_FAIL();

  // A second compile replaces the schema; the old one goes first, together
  // with every map entry that points into it.
  self->_vtab->_free_schema(self);
  TLSchema *schema = (TLSchema *)calloc(1, sizeof(TLSchema));
  if (!schema) {
    PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for schema");
    TL_PJ_FAIL();
  }
  self->_schema = schema;
  Py_ssize_t count = PyList_GET_SIZE(entries.get());
  if (count > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    TL_PJ_FAIL();
  }
  // calloc(0) may legally return null; one spare record keeps that apart
  // from a failure.
  schema->constructors =
      (TLConstructor *)calloc(count > 0 ? (size_t)count : 1, sizeof(TLConstructor));
  if (!schema->constructors) {
    free(schema);
    self->_schema = nullptr;
    PyErr_SetString(PyExc_MemoryError,
                    "Cannot allocate memory for constructors");
    TL_PJ_FAIL();
  }
  schema->constructor_count = (int32_t)count;

  // The builder may run Python code (int() of an "id"), which could change
  // the list: items are held while used, and a list that changes size fails
  // the compilation.
  for (Py_ssize_t i = 0; i < count; i++) {
    if (PyList_GET_SIZE(entries.get()) != count) {
      tl_list_changed();
      TL_PJ_FAIL();
    }
    Ref item = Ref::own(PyList_GET_ITEM(entries.get(), i));
    if (item.get() != Py_None && !PyDict_CheckExact(item.get())) {
      tl_expected("dict", item.get());
      TL_PJ_FAIL();
    }
    TLConstructor *c =
        self->_vtab->_create_constructor(self, item.get(), (int32_t)i);
    if (!c) TL_PJ_FAIL();
    if (!self->_id_map.assign(c->id, c) ||
        !self->_name_map.assign(c->name, c)) {
      PyErr_NoMemory();
      TL_PJ_FAIL();
    }
  }
  if (PyList_GET_SIZE(entries.get()) != count) {
    tl_list_changed();
    TL_PJ_FAIL();
  }
  return 0;
#undef TL_PJ_FAIL
}

static const TLSchemaCompiler_vtable kCompilerVtable = {
    TLSchemaCompiler_parse_json_schema,
    TLSchemaCompiler_create_constructor,
    TLSchemaCompiler_parse_type,
    TLSchemaCompiler_free_schema,
    TLSchemaCompiler_get_schema,
};

static PyObject *TLSchemaCompiler_new(PyTypeObject *type, PyObject *,
                                      PyObject *) {
  // Arguments are accepted and ignored.
  TLSchemaCompilerObject *self =
      (TLSchemaCompilerObject *)type->tp_alloc(type, 0);
  if (!self) return nullptr;
  self->_vtab = &kCompilerVtable;
  return (PyObject *)self;
}

static void TLSchemaCompiler_dealloc(PyObject *o) {
  TLSchemaCompilerObject *self = (TLSchemaCompilerObject *)o;
  PyObject *et, *ev, *etb;
  PyErr_Fetch(&et, &ev, &etb);
  if (self->_vtab) self->_vtab->_free_schema(self);
  if (PyErr_Occurred()) PyErr_WriteUnraisable(S.dealloc_context);
  PyErr_Restore(et, ev, etb);
  self->_id_map.destroy();
  self->_name_map.destroy();
  Py_TYPE(o)->tp_free(o);
}

static PyTypeObject TLSchemaCompilerType = [] {
  PyTypeObject t = tl_static_type("Mivex.tl.TLSchemaCompiler");
  t.tp_basicsize = sizeof(TLSchemaCompilerObject);
  t.tp_dealloc = TLSchemaCompiler_dealloc;
  t.tp_flags =
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE;
  t.tp_new = TLSchemaCompiler_new;
  return t;
}();

static PyObject *TLSchemaCompiler_compile(PyObject *self, PyObject *const *args,
                                          Py_ssize_t nargs, PyObject *kwnames) {
  TLSchemaCompilerObject *c = (TLSchemaCompilerObject *)self;
  PyObject *names[1] = {S.arg_json_data};
  PyObject *json_data;
  int status = -1;
  if (tl_parse_args("compile", 1, names, args, nargs, kwnames, &json_data) ==
      0) {
    if (c->_compiling) {
      PyErr_SetString(PyExc_RuntimeError,
                      "compile() cannot run while the same compiler is "
                      "compiling");
    } else if (c->_owned) {
      PyErr_SetString(PyExc_RuntimeError,
                      "this compiler belongs to a TLParser, whose schema "
                      "cannot be replaced");
    } else {
      c->_compiling = 1;
      try {
        status = c->_vtab->_parse_json_schema(c, json_data);
      } catch (...) {
        tl_set_cpp_error();
      }
      c->_compiling = 0;
    }
  }
  if (status < 0) {
    TL_TB("TLSchemaCompiler.compile");
    return nullptr;
  }
  Py_RETURN_NONE;
}

// ===========================================================================
// Parser object and output buffer
// ===========================================================================

struct TLParserObject;

// One step of the way from a message's top object down to a failing value:
// a field (name set) or a vector element (index).
struct TLPathStep {
  PyObject *name;  // borrowed from the schema
  Py_ssize_t index;
};

// Native operations of TLParser, in their fixed order. The codec calls them
// directly inside a message; pack and unpack enter through the table.
struct TLParser_vtable {
  PyObject *(*_read_value)(TLParserObject *, TLType, const TLVectorInfo *,
                           int depth);
  int (*_write_value)(TLParserObject *, PyObject *, TLType,
                      const TLVectorInfo *, int depth);
  uint32_t (*_read_int32)(TLParserObject *);
  uint64_t (*_read_int64)(TLParserObject *);
  double (*_read_double)(TLParserObject *);
  PyObject *(*_read_bytes)(TLParserObject *);
  PyObject *(*_read_string)(TLParserObject *);
  PyObject *(*_read_vector)(TLParserObject *, const TLVectorInfo *, int depth);
  PyObject *(*_read_object)(TLParserObject *, int depth);
  int (*_write_int32)(TLParserObject *, int32_t);
  int (*_write_int64)(TLParserObject *, uint64_t);
  int (*_write_double)(TLParserObject *, double);
  int (*_write_bytes)(TLParserObject *, PyObject *);
  int (*_write_string)(TLParserObject *, PyObject *);
  int (*_write_vector)(TLParserObject *, PyObject *, const TLVectorInfo *,
                       int depth);
  int (*_write_object)(TLParserObject *, PyObject *, int depth);
  int (*_ensure_buffer)(TLParserObject *, size_t);
};

struct TLParserObject {
  PyObject_HEAD
  const TLParser_vtable *_vtab;
  TLSchema *_schema;       // borrowed from _compiler, which owns it; null
                           // until construction has finished
  PyObject *_compiler;     // owned; None only before construction or after a
                           // garbage-collector clear
  unsigned char *_buffer;  // output of pack (see tl_block_alloc)
  size_t _buffer_alloc_size;
  size_t _buffer_size;     // readable bytes of _input while unpacking
  size_t _position;
  int _error;

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

namespace {

// Nesting bound for objects and vectors, on both paths. Each level costs a
// few hundred bytes of C stack, so the bound keeps a message of any shape
// safe even on a thread with a 256 KiB stack.
constexpr int kMaxDepth = 256;
constexpr uint32_t kVectorId = 0x1cb5c415u;
constexpr size_t kMaxBytesLength = 0xFFFFFF;  // 24-bit length of the long form
constexpr size_t kMinCapacity = 1024;
// Results at least this long become the returned bytes object in place.
constexpr size_t kHandOverMin = size_t{64} * 1024;

// The buffer lives kBytesHeader bytes into a block from the object
// allocator, laid out as a bytes object would be, so that a large result can
// be handed out without copying it.
constexpr size_t kBytesHeader = offsetof(PyBytesObject, ob_sval);
constexpr size_t kMaxCapacity = (size_t)PY_SSIZE_T_MAX - kBytesHeader - 1;

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

TL_NOINLINE int tl_depth_error() {
  PyErr_Format(PyExc_RecursionError,
               "TL value nested deeper than %d levels of objects and vectors",
               kMaxDepth);
  return -1;
}

TL_NOINLINE int tl_bad_bit_error(const TLConstructor *c) {
  const TLField *f = &c->fields[c->bad_bit_field];
  PyErr_Format(PyExc_ValueError,
               "field '%s' of '%s' uses flag bit %d; flags words have bits 0 "
               "to 31",
               f->name, c->name, (int)f->flag_info.bit_position);
  return -1;
}

TL_NOINLINE int tl_hex_error(const char *prefix, uint32_t word) {
  char hex[9];
  (void)snprintf(hex, sizeof hex, "%08x", (unsigned)word);
  PyErr_Format(PyExc_ValueError, "%s0x%s", prefix, hex);
  return -1;
}

// Where a call failed. Each object and vector frame that a failure leaves
// through adds its step, innermost first, so the success path pays nothing.
// A short read, which unpack reports only at the end, stops all reading, so
// it too crosses each frame once. Returns whether the step was kept.
TL_NOINLINE bool tl_path_step(TLParserObject *self, PyObject *name,
                              Py_ssize_t index, size_t start) {
  if (self->_path_len == 0) self->_path_pos = start;
  if (self->_path_len == self->_path_cap) {
    size_t cap = self->_path_cap ? 2 * self->_path_cap : 16;
    auto *grown =
        (TLPathStep *)PyMem_Realloc(self->_path, cap * sizeof(TLPathStep));
    if (!grown) {
      self->_path_lost = 1;
      return false;
    }
    self->_path = grown;
    self->_path_cap = cap;
  }
  self->_path[self->_path_len++] = TLPathStep{name, index};
  return true;
}

TL_NOINLINE void tl_path_field(TLParserObject *self, const TLConstructor *c,
                               PyObject *name, size_t start) {
  if (tl_path_step(self, name, 0, start)) self->_path_root = c;
}

TL_INLINE bool tl_append(PyObject **text, PyObject *piece) {
  if (!piece) {
    Py_CLEAR(*text);
    return false;
  }
  PyUnicode_AppendAndDel(text, piece);
  return *text != nullptr;
}

// "while packing rich.kids[2].s", "while unpacking rich.s at byte 12"; the
// middle of a very deep path is elided ("node.next<230 steps>.next").
PyObject *tl_path_text(TLParserObject *self, const char *verb, bool at_byte) {
  constexpr size_t kEnds = 12, kMinElided = 3;
  const size_t n = self->_path_len;
  PyObject *text = PyUnicode_FromFormat("while %s %U", verb,
                                        self->_path_root->py_name);
  for (size_t k = n; text && k-- > 0;) {
    const TLPathStep &step = self->_path[k];
    if (n >= 2 * kEnds + kMinElided && k == n - 1 - kEnds) {
      size_t skipped = n - 2 * kEnds;
      if (!tl_append(&text, PyUnicode_FromFormat("<%zu steps>", skipped)))
        break;
      k = kEnds;
      continue;
    }
    PyObject *piece = step.name ? PyUnicode_FromFormat(".%U", step.name)
                                : PyUnicode_FromFormat("[%zd]", step.index);
    if (!tl_append(&text, piece)) break;
  }
  if (text && at_byte)
    tl_append(&text, PyUnicode_FromFormat(" at byte %zu", self->_path_pos));
  return text;
}

// Adds the path of the failure as a note on the pending exception, leaving
// its type and message alone. A note that cannot be made is left out, but an
// interrupt or exit raised by an overridden add_note wins, with the failure
// as its context.
TL_NOINLINE void tl_add_path_note(TLParserObject *self, const char *verb,
                                  bool at_byte) {
  if (!self->_path_len || self->_path_lost || !self->_path_root) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value && tb) PyException_SetTraceback(value, tb);
  Ref note = Ref::steal(tl_path_text(self, verb, at_byte));
  Ref done;
  if (note && value)
    done = Ref::steal(PyObject_CallMethodOneArg(value, S.add_note, note.get()));
  if (!done && value && PyErr_Occurred() &&
      !PyErr_ExceptionMatches(PyExc_Exception)) {
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    if (v2) {
      PyException_SetContext(v2, value);  // takes the reference
      Py_XDECREF(type);
      Py_XDECREF(tb);
      PyErr_Restore(t2, v2, tb2);
      return;
    }
    Py_XDECREF(t2);
    Py_XDECREF(tb2);
  }
  PyErr_Clear();
  PyErr_Restore(type, value, tb);
}

}  // namespace

static TL_NOINLINE int TLParser_grow_buffer(TLParserObject *self,
                                             size_t needed) {
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

static TL_INLINE int TLParser_ensure_buffer(TLParserObject *self,
                                             size_t needed) {
  // _position never exceeds the capacity while packing.
  if (TL_LIKELY(self->_buffer_alloc_size - self->_position >= needed))
    return 0;
  return TLParser_grow_buffer(self, needed);
}

// ===========================================================================
// Primitive codec
// ===========================================================================

// Stores a fixed-size value little-endian at the cursor; `op` names the
// writer in the traceback when the buffer cannot grow.
template <typename T>
TL_INLINE int tl_write_fixed(TLParserObject *self, T value, const char *op) {
  if (TL_UNLIKELY(TLParser_ensure_buffer(self, sizeof(T)) < 0)) {
    tl_traceback(op, __LINE__);
    return -1;
  }
  memcpy(self->_buffer + self->_position, &value, sizeof(T));
  self->_position += sizeof(T);
  return 0;
}

static TL_INLINE int TLParser_write_int32(TLParserObject *self,
                                           int32_t value) {
  return tl_write_fixed(self, (uint32_t)value, "Mivex.tl.TLParser._write_int32");
}
static TL_INLINE int TLParser_write_int64(TLParserObject *self,
                                           uint64_t value) {
  return tl_write_fixed(self, value, "Mivex.tl.TLParser._write_int64");
}
static TL_INLINE int TLParser_write_double(TLParserObject *self,
                                            double value) {
  return tl_write_fixed(self, value, "Mivex.tl.TLParser._write_double");
}

namespace {

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
    if (PyErr_ExceptionMatches(PyExc_BufferError)) {
      PyErr_Clear();
      tl_expected("bytes", data);
    }
    return -1;
  }
  int status = tl_write_raw_bytes(self, view.buf, (size_t)view.len);
  PyBuffer_Release(&view);
  return status;
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
  if (PyUnicode_READY(data) < 0) return -1;
  if (!PyUnicode_IS_COMPACT_ASCII(data)) {
    const PyCompactUnicodeObject *u = (const PyCompactUnicodeObject *)data;
    if (u->utf8)
      return tl_write_raw_bytes(self, u->utf8, (size_t)u->utf8_length);
  }
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

}  // namespace

static TL_INLINE int TLParser_write_bytes(TLParserObject *self,
                                           PyObject *data) {
  if (TL_LIKELY(PyBytes_Check(data)))
    return tl_write_raw_bytes(self, PyBytes_AS_STRING(data),
                              (size_t)PyBytes_GET_SIZE(data));
  if (tl_write_bytes_slow(self, data) == 0) return 0;
  TL_TB("TLParser._write_bytes");
  return -1;
}

static TL_INLINE int TLParser_write_string(TLParserObject *self,
                                            PyObject *data) {
  int status;
  if (TL_LIKELY(PyUnicode_CheckExact(data) && PyUnicode_IS_COMPACT_ASCII(data)))
    status = tl_write_raw_bytes(self, PyUnicode_DATA(data),
                                (size_t)PyUnicode_GET_LENGTH(data));
  else
    status = tl_write_string_slow(self, data);
  if (TL_UNLIKELY(status < 0)) TL_TB("TLParser._write_string");
  return status;
}

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

static TL_INLINE uint32_t TLParser_read_int32(TLParserObject *self) {
  return tl_read_fixed<uint32_t>(self);
}
static TL_INLINE uint64_t TLParser_read_int64(TLParserObject *self) {
  return tl_read_fixed<uint64_t>(self);
}
static TL_INLINE double TLParser_read_double(TLParserObject *self) {
  return tl_read_fixed<double>(self);
}

namespace {

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

}  // namespace

static TL_INLINE PyObject *TLParser_read_bytes(TLParserObject *self) {
  const unsigned char *data;
  size_t len;
  if (!tl_read_span(self, &data, &len)) return Py_NewRef(S.empty_bytes);
  PyObject *r = PyBytes_FromStringAndSize((const char *)data, (Py_ssize_t)len);
  if (TL_UNLIKELY(!r)) TL_TB("TLParser._read_bytes");
  return r;
}

static TL_INLINE PyObject *TLParser_read_string(TLParserObject *self) {
  const unsigned char *data;
  size_t len;
  if (!tl_read_span(self, &data, &len) || len == 0)
    return Py_NewRef(S.empty_str);
  PyObject *r = PyUnicode_DecodeUTF8((const char *)data, (Py_ssize_t)len,
                                     nullptr);
  if (TL_UNLIKELY(!r)) TL_TB("TLParser._read_string");
  return r;
}

// ===========================================================================
// Value dispatch
// ===========================================================================

namespace {

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
  if (TL_LIKELY(PyLong_CheckExact(v))) {
    // One 30-bit digit always fits.
    Py_ssize_t size = Py_SIZE(v);
    if (size >= -1 && size <= 1) {
      int32_t d = (int32_t)((PyLongObject *)v)->ob_digit[0];
      *out = (int32_t)size * d;
      return 0;
    }
  }
  return tl_as_int32_slow(v, out);
}

TL_NOINLINE int tl_long_to_uint64(PyObject *v, uint64_t *out) {
  if (_PyLong_Sign(v) < 0) {
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

// Reads an exact int of at most 64 bits from its 30-bit digits; false when
// it is negative or needs more bits.
TL_INLINE bool tl_small_uint64(PyObject *v, uint64_t *out) {
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

TL_INLINE int tl_as_uint64(PyObject *v, uint64_t *out) {
  if (TL_LIKELY(PyLong_CheckExact(v)) && tl_small_uint64(v, out)) return 0;
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

static int TLParser_write_vector(TLParserObject *self, PyObject *vector,
                                  const TLVectorInfo *vec, int depth);
static int TLParser_write_object(TLParserObject *self, PyObject *value,
                                  int depth);
static PyObject *TLParser_read_vector(TLParserObject *self,
                                       const TLVectorInfo *vec, int depth);
static PyObject *TLParser_read_object(TLParserObject *self, int depth);

// `depth` is the level of the object or vector that holds the value.
static TL_INLINE int TLParser_write_value(TLParserObject *self,
                                           PyObject *value, TLType type,
                                           const TLVectorInfo *vec,
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

static TL_INLINE PyObject *TLParser_read_value(TLParserObject *self,
                                                TLType type,
                                                const TLVectorInfo *vec,
                                                int depth) {
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

// ===========================================================================
// Vectors
// ===========================================================================
// The element kind of a vector comes from its type text, derived once at
// compilation into the field's TLVectorInfo chain; a vector without one has
// 32-bit integer elements.

namespace {

TL_NOINLINE int tl_vector_changed() {
  PyErr_SetString(PyExc_RuntimeError, "list changed size during pack");
  return -1;
}

// Elements of a fixed width: room for all of them is made once, and exact
// int, float and bool values are stored without further checks. Any other
// element goes through the full dispatch, which may run Python code that
// changes the list, so the list is checked again after each such element.
// Stores items[i..count) of exact types straight at out (element i first);
// returns the index of the first element that needs the full dispatch.
template <TLType K>
TL_INLINE Py_ssize_t tl_store_plain_elements(PyObject *const *items,
                                             Py_ssize_t i, Py_ssize_t count,
                                             unsigned char *out) {
  constexpr size_t width = K == TL_TYPE_LONG || K == TL_TYPE_DOUBLE ? 8 : 4;
  for (; i < count; i++, out += width) {
    PyObject *item = items[i];
    if constexpr (K == TL_TYPE_LONG) {
      uint64_t x;
      if (!PyLong_CheckExact(item) || !tl_small_uint64(item, &x)) break;
      memcpy(out, &x, 8);
    } else if constexpr (K == TL_TYPE_INT) {
      if (!PyLong_CheckExact(item) || (size_t)(Py_SIZE(item) + 1) > 2) break;
      int32_t x = (int32_t)Py_SIZE(item) *
                  (int32_t)((PyLongObject *)item)->ob_digit[0];
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
    Py_ssize_t stop = tl_store_plain_elements<K>(
        ((PyListObject *)items)->ob_item, i, count, self->_buffer + start);
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

int tl_write_vector(TLParserObject *self, PyObject *vector,
                    const TLVectorInfo *vec, int depth) {
  if (TL_UNLIKELY(depth > kMaxDepth)) return tl_depth_error();
  Ref list;
  if (TL_LIKELY(PyList_CheckExact(vector))) {
    list = Ref::own(vector);  // held: element conversions may run Python code
  } else if (PyList_Check(vector)) {
    tl_expected("list", vector);
    return -1;
  } else {
    list = Ref::steal(PySequence_List(vector));
    if (!list) return -1;
  }
  PyObject *items = list.get();
  Py_ssize_t count = PyList_GET_SIZE(items);
  if (TL_UNLIKELY(count > INT32_MAX)) {
    PyErr_SetString(PyExc_OverflowError,
                    "value too large to convert to int32_t");
    return -1;
  }
  TLType elem_type = vec ? vec->elem_type : TL_TYPE_INT;
  const TLVectorInfo *elem_vec = vec ? vec->elem_vec : nullptr;
  if (TLParser_write_int32(self, (int32_t)kVectorId) < 0 ||
      TLParser_write_int32(self, (int32_t)count) < 0)
    return -1;
  switch (elem_type) {
    case TL_TYPE_INT:
      return tl_write_fixed_elements<TL_TYPE_INT>(self, items, count, depth);
    case TL_TYPE_LONG:
      return tl_write_fixed_elements<TL_TYPE_LONG>(self, items, count, depth);
    case TL_TYPE_DOUBLE:
      return tl_write_fixed_elements<TL_TYPE_DOUBLE>(self, items, count, depth);
    case TL_TYPE_BOOL:
      return tl_write_fixed_elements<TL_TYPE_BOOL>(self, items, count, depth);
    default:
      break;
  }
  for (Py_ssize_t i = 0; i < count; i++) {
    // The count is already written: a list that shrinks or grows under a
    // conversion would make the output lie, so it fails the pack.
    if (TL_UNLIKELY(i >= PyList_GET_SIZE(items))) return tl_vector_changed();
    Ref item = Ref::own(PyList_GET_ITEM(items, i));
    if (TL_UNLIKELY(TLParser_write_value(self, item.get(), elem_type,
                                          elem_vec, depth) < 0)) {
      tl_path_step(self, nullptr, i, 0);
      return -1;
    }
  }
  if (TL_UNLIKELY(PyList_GET_SIZE(items) != count)) return tl_vector_changed();
  return 0;
}

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
PyObject *tl_read_fixed_elements(TLParserObject *self, PyObject *list,
                                 Py_ssize_t count) {
  constexpr size_t width = K == TL_TYPE_LONG || K == TL_TYPE_DOUBLE ? 8 : 4;
  PyObject **slots = ((PyListObject *)list)->ob_item;
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
    if (TL_UNLIKELY(!v)) return nullptr;
    slots[i] = v;
  }
  self->_position += (size_t)count * width;
  return list;
}

PyObject *tl_read_vector(TLParserObject *self, const TLVectorInfo *vec,
                         int depth) {
  if (TL_UNLIKELY(depth > kMaxDepth)) {
    tl_depth_error();
    return nullptr;
  }
  uint32_t vector_id = TLParser_read_int32(self);
  if (TL_UNLIKELY(vector_id != kVectorId)) {
    self->_error = 1;
    tl_hex_error("Invalid vector ID: ", vector_id);
    return nullptr;
  }
  int32_t count = (int32_t)TLParser_read_int32(self);

  // Every element takes at least 4 bytes, except that the last item of the
  // input may be a byte string of 1; the enclosing vectors' elements still
  // to come need 4 bytes each. A count the input cannot hold stops the read
  // before anything is allocated for it.
  size_t pos = self->_position, size = self->_buffer_size;
  size_t remain = pos < size ? size - pos : 0;
  size_t avail = remain > self->_reserved ? remain - self->_reserved : 0;
  if (TL_UNLIKELY(count < 0 ||
                  (count > 0 && (avail == 0 ||
                                 (size_t)(count - 1) > (avail - 1) / 4)))) {
    self->_error = 1;
    return PyList_New(0);
  }

  TLType elem_type = vec ? vec->elem_type : TL_TYPE_INT;
  const TLVectorInfo *elem_vec = vec ? vec->elem_vec : nullptr;
  Ref list = Ref::steal(PyList_New(count));
  if (!list) return nullptr;
  // Until every slot is filled the list must stay out of the collector's
  // sight: a finalizer run by a collection could otherwise reach it.
  PyObject_GC_UnTrack(list.get());
  size_t width = tl_fixed_width(elem_type);
  if (width && remain / width >= (size_t)count) {
    PyObject *done;
    switch (elem_type) {
      case TL_TYPE_INT:
        done = tl_read_fixed_elements<TL_TYPE_INT>(self, list.get(), count);
        break;
      case TL_TYPE_LONG:
        done = tl_read_fixed_elements<TL_TYPE_LONG>(self, list.get(), count);
        break;
      case TL_TYPE_DOUBLE:
        done = tl_read_fixed_elements<TL_TYPE_DOUBLE>(self, list.get(), count);
        break;
      default:
        done = tl_read_fixed_elements<TL_TYPE_BOOL>(self, list.get(), count);
        break;
    }
    if (!done) return nullptr;
    PyObject_GC_Track(list.get());
    return list.release();
  }

  // A short read (here or in an element's own elements) ends the read: what
  // follows a cut-off value is not where the next element begins.
  PyObject **slots = ((PyListObject *)list.get())->ob_item;
  bool nested = elem_type == TL_TYPE_VECTOR || elem_type == TL_TYPE_OBJECT;
  size_t outer_reserved = self->_reserved;
  for (int32_t i = 0; i < count; i++) {
    if (nested) self->_reserved = outer_reserved + 4 * (size_t)(count - 1 - i);
    const size_t start = self->_position;
    PyObject *v = TLParser_read_value(self, elem_type, elem_vec, depth);
    if (TL_UNLIKELY(!v)) {
      tl_path_step(self, nullptr, i, start);
      return nullptr;
    }
    slots[i] = v;
    if (TL_UNLIKELY(self->_error)) {
      tl_path_step(self, nullptr, i, start);
      Py_SET_SIZE(list.get(), i + 1);
      break;
    }
  }
  self->_reserved = outer_reserved;
  PyObject_GC_Track(list.get());
  return list.release();
}

}  // namespace

static int TLParser_write_vector(TLParserObject *self, PyObject *vector,
                                  const TLVectorInfo *vec, int depth) {
  int status = tl_write_vector(self, vector, vec, depth);
  if (TL_UNLIKELY(status < 0)) TL_TB("TLParser._write_vector");
  return status;
}

static PyObject *TLParser_read_vector(TLParserObject *self,
                                       const TLVectorInfo *vec, int depth) {
  PyObject *r = tl_read_vector(self, vec, depth);
  if (TL_UNLIKELY(!r)) TL_TB("TLParser._read_vector");
  return r;
}

// ===========================================================================
// Object writer
// ===========================================================================

namespace {

// CPython 3.11's dict keys object up to its index table, and its entries
// for str keys. The writer walks a dict's entries in order instead of
// looking each field up; decoded objects are copies of a template dict whose
// values are stored straight into the entries. The layout is checked at
// import; when it does not hold, both fall back to the dict API.
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
  PyObject *value;
};
bool g_dict_entries_ok = false;

// Entries of a dict with a combined table whose keys are all exact str
// (CPython's "unicode" keys kind), else null.
TL_INLINE TLDictEntry *tl_str_dict_entries(PyObject *dict, Py_ssize_t *n) {
  PyDictObject *d = (PyDictObject *)dict;
  TLDictKeysHead *keys = (TLDictKeysHead *)d->ma_keys;
  if (!g_dict_entries_ok || d->ma_values || keys->dk_kind == 0) return nullptr;
  *n = keys->dk_nentries;
  return (TLDictEntry *)((char *)(keys + 1) +
                         ((size_t)1 << keys->dk_log2_index_bytes));
}

TL_INLINE TLDictEntry *tl_dict_entries(PyObject *dict) {
  TLDictKeysHead *keys = (TLDictKeysHead *)((PyDictObject *)dict)->ma_keys;
  return (TLDictEntry *)((char *)(keys + 1) +
                         ((size_t)1 << keys->dk_log2_index_bytes));
}

// Copies a small dict the way the reader does and checks that the entries
// are where tl_dict_entries looks for them.
int tl_check_dict_layout() {
  Ref probe = Ref::steal(PyDict_New());
  Ref key = Ref::steal(PyUnicode_FromString("mivex-layout-probe"));
  if (!probe || !key || PyDict_SetItem(probe.get(), S.underscore, Py_None) < 0 ||
      PyDict_SetItem(probe.get(), key.get(), Py_True) < 0)
    return -1;
  Ref copy = Ref::steal(PyDict_Copy(probe.get()));
  if (!copy) return -1;
  PyDictObject *d = (PyDictObject *)copy.get();
  TLDictKeysHead *keys = (TLDictKeysHead *)d->ma_keys;
  TLDictEntry *e = tl_dict_entries(copy.get());
  g_dict_entries_ok = d->ma_values == nullptr && d->ma_used == 2 &&
                      keys->dk_refcnt == 1 && keys->dk_nentries == 2 &&
                      keys->dk_kind != 0 && e[0].key == S.underscore &&
                      e[0].value == Py_None && e[1].key == key.get() &&
                      e[1].value == Py_True;
  return 0;
}


TL_INLINE TLSchemaCompilerObject *tl_compiler(TLParserObject *self) {
  return (TLSchemaCompilerObject *)self->_compiler;
}

// The slot of a field name in a constructor's key table, or -1.
TL_INLINE int32_t tl_key_slot(const TLConstructor *c, PyObject *key,
                              Py_hash_t hash) {
  const TLKeyEntry *table = c->key_table;
  for (size_t i = (size_t)hash & c->key_mask;; i = (i + 1) & c->key_mask) {
    const TLKeyEntry &e = table[i];
    if (!e.key) return -1;
    if (e.key == key || (e.hash == hash && _PyUnicode_EQ(e.key, key)))
      return e.slot;
  }
}

// Fetches the value of every field name of `c` from the object being
// written into slots[0..slot_count), as new references (null: absent).
//
// An exact dict whose keys are all exact str is walked once, matching keys
// by identity in schema order and by the key table otherwise: no hash
// lookups, and no user code can run. Any other dict is asked once per name
// with the name's cached hash; other mappings with `in`, then subscription.
int tl_gather(TLParserObject *self, PyObject *value, bool is_dict,
              const TLConstructor *c, PyObject **slots) {
  const int32_t n = c->slot_count;
  if (TL_LIKELY(is_dict)) {
    Py_ssize_t count;
    TLDictEntry *e = tl_str_dict_entries(value, &count);
    if (e && PyDict_GET_SIZE(value) <= 2 * (Py_ssize_t)n + 8) {
      int32_t next = 0;
      for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *key = e[i].key, *v = e[i].value;
        if (!v) continue;  // a deleted entry
        int32_t slot;
        if (next < n && key == c->slot_keys[next])
          slot = next;
        else if ((slot = tl_key_slot(c, key, ((PyASCIIObject *)key)->hash)) < 0)
          continue;
        next = slot + 1;
        slots[slot] = Py_NewRef(v);
      }
      return 0;
    }
    if (!e && PyDict_GET_SIZE(value) <= 2 * (Py_ssize_t)n + 8) {
      Py_ssize_t pos = 0;
      PyObject *key, *v;
      Py_hash_t hash;
      int32_t next = 0;
      bool all_str = true;
      while (_PyDict_Next(value, &pos, &key, &v, &hash)) {
        if (TL_UNLIKELY(!PyUnicode_CheckExact(key))) {
          all_str = false;
          break;
        }
        int32_t slot;
        if (next < n && key == c->slot_keys[next])
          slot = next;
        else if ((slot = tl_key_slot(c, key, hash)) < 0)
          continue;
        next = slot + 1;
        slots[slot] = Py_NewRef(v);
      }
      if (TL_LIKELY(all_str)) return 0;
      for (int32_t i = 0; i < n; i++) Py_CLEAR(slots[i]);
    }
    for (int32_t i = 0; i < n; i++) {
      PyObject *key = c->slot_keys[i];
      PyObject *v =
          _PyDict_GetItem_KnownHash(value, key, ((PyASCIIObject *)key)->hash);
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
  TLConstructor *c = tl_compiler(self)->_name_map.find(text, (size_t)len);
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

  SlotFrame(TLParserObject *parser) : self(parser), base(parser->_slots_top) {}
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

TL_NOINLINE int tl_write_failed(TLParserObject *self, const TLConstructor *c,
                                const TLField &f) {
  tl_path_field(self, c, f.py_name, 0);
  return -1;
}

int tl_write_object(TLParserObject *self, PyObject *value, int depth) {
  if (TL_UNLIKELY(depth > kMaxDepth)) return tl_depth_error();
  const bool is_dict = PyDict_CheckExact(value);
  Ref name;
  if (TL_LIKELY(is_dict)) {
    // "_" usually comes first; a lookup finds it anywhere else.
    Py_ssize_t count;
    TLDictEntry *e = tl_str_dict_entries(value, &count);
    PyObject *n;
    if (e && count > 0 && e[0].key == S.underscore && e[0].value) {
      n = e[0].value;
    } else {
      n = PyDict_GetItemWithError(value, S.underscore);
      if (!n && PyErr_Occurred()) return -1;
    }
    name = Ref::own(n ? n : Py_None);
  } else {
    name = Ref::steal(PyObject_CallMethodOneArg(value, S.get, S.underscore));
    if (!name) return -1;
  }
  PyObject *nm = name.get();
  if (TL_UNLIKELY(!PyUnicode_CheckExact(nm) || PyUnicode_GET_LENGTH(nm) == 0)) {
    if (nm != Py_None && !PyUnicode_CheckExact(nm)) {
      tl_expected("str", nm);
      return -1;
    }
    PyErr_SetString(PyExc_ValueError, "Object must have '_' field");
    return -1;
  }
  const TLConstructor *c = tl_find_constructor(self, nm);
  if (TL_UNLIKELY(!c)) return -1;
  if (TL_UNLIKELY(c->bad_bit_field >= 0)) return tl_bad_bit_error(c);

  SlotFrame slots(self);
  if (c->slot_count) {
    if (slots.push((size_t)c->slot_count) < 0 ||
        tl_gather(self, value, is_dict, c, self->_slots + slots.base) < 0)
      return -1;
  }

  // Both flags words are complete before the first byte of the object.
  const TLField *fields = c->fields;
  const int32_t nfields = c->field_count;
  uint32_t words[2] = {0, 0};  // "flags", "flags2"
  if (c->cond_count) {
    for (int32_t i = 0; i < nfields; i++) {
      const TLField &f = fields[i];
      if (f.role != TL_ROLE_COND && f.role != TL_ROLE_COND_BOOL) continue;
      PyObject *v = slots[f.slot];
      bool present = f.role == TL_ROLE_COND_BOOL ? v == Py_True
                                                 : v && v != Py_None;
      if (present) words[f.flag_info.flags_index != 0] |= f.mask;
    }
  }

  if (TLParser_write_int32(self, (int32_t)c->id) < 0) return -1;
  for (int32_t i = 0; i < nfields; i++) {
    const TLField &f = fields[i];
    PyObject *v;
    switch (f.role) {
      case TL_ROLE_FLAGS:
      case TL_ROLE_FLAGS2:
        if (TLParser_write_int32(self, (int32_t)words[f.role == TL_ROLE_FLAGS2]) < 0)
          return tl_write_failed(self, c, f);
        continue;
      case TL_ROLE_COND_BOOL:
        continue;  // carried by its bit alone
      case TL_ROLE_COND:
        // The bit may have been set by another field sharing it.
        if (!(words[f.flag_info.flags_index != 0] & f.mask)) continue;
        v = slots[f.slot];
        if (!v || v == Py_None) continue;
        break;
      default:
        v = slots[f.slot];
        if (TL_UNLIKELY(!v)) {
          Ref dflt = Ref::steal(tl_default_value(f.type));
          if (!dflt ||
              TLParser_write_value(self, dflt.get(), f.type, f.vec, depth) < 0)
            return tl_write_failed(self, c, f);
          continue;
        }
    }
    if (TL_UNLIKELY(TLParser_write_value(self, v, f.type, f.vec, depth) < 0))
      return tl_write_failed(self, c, f);
  }
  return 0;
}

}  // namespace

static int TLParser_write_object(TLParserObject *self, PyObject *value,
                                  int depth) {
  int status = tl_write_object(self, value, depth);
  if (TL_UNLIKELY(status < 0)) TL_TB("TLParser._write_object");
  return status;
}

// ===========================================================================
// Object reader
// ===========================================================================

namespace {

// Stores a new reference as the value of a field in a decoded object.
TL_INLINE int tl_store(PyObject *dict, TLDictEntry *entries, const TLField &f,
                       PyObject *v) {
  if (TL_LIKELY(entries != nullptr)) {
    PyObject *old = entries[f.entry].value;
    entries[f.entry].value = v;
    Py_DECREF(old);
    return 0;
  }
  int status = _PyDict_SetItem_KnownHash(dict, f.py_name, v, f.py_hash);
  Py_DECREF(v);
  return status;
}

// A template holds only str and None, so its copies start untracked by the
// garbage collector; one that receives a list or dict must be tracked.
TL_INLINE void tl_finish_object(PyObject *dict, const TLConstructor *c) {
  if (c->holds_containers && !PyObject_GC_IsTracked(dict))
    PyObject_GC_Track(dict);
}

PyObject *tl_read_object(TLParserObject *self, int depth) {
  if (TL_UNLIKELY(depth > kMaxDepth)) {
    tl_depth_error();
    return nullptr;
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
    return nullptr;
  }
  if (TL_UNLIKELY(c->bad_bit_field >= 0)) {
    tl_bad_bit_error(c);
    return nullptr;
  }
  // "_" comes first, then the fields in schema order, all None until read.
  Ref result = Ref::steal(PyDict_Copy(c->py_template));
  if (!result) return nullptr;
  PyObject *d = result.get();
  TLDictEntry *entries = g_dict_entries_ok ? tl_dict_entries(d) : nullptr;

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
          tl_finish_object(d, c);
          return result.release();
        }
        continue;
      case TL_ROLE_COND_BOOL:
        v = words[f.flag_info.flags_index != 0] & f.mask ? Py_True : Py_False;
        if (tl_store(d, entries, f, Py_NewRef(v)) < 0) return nullptr;
        continue;
      case TL_ROLE_COND:
        if (!(words[f.flag_info.flags_index != 0] & f.mask)) {
          if (tl_store(d, entries, f, Py_NewRef(Py_None)) < 0) return nullptr;
          continue;
        }
        break;
      default:
        break;
    }
    v = TLParser_read_value(self, f.type, f.vec, depth);
    if (TL_UNLIKELY(!v)) {
      tl_path_field(self, c, f.py_name, start);
      return nullptr;
    }
    if (TL_UNLIKELY(self->_error)) {
      // Stop at the first short read; unpack reports it.
      tl_path_field(self, c, f.py_name, start);
      Py_DECREF(v);
      tl_finish_object(d, c);
      return result.release();
    }
    if (TL_UNLIKELY(tl_store(d, entries, f, v) < 0)) {
      tl_path_field(self, c, f.py_name, start);
      return nullptr;
    }
  }
  tl_finish_object(d, c);
  return result.release();
}

}  // namespace

static PyObject *TLParser_read_object(TLParserObject *self, int depth) {
  PyObject *r = tl_read_object(self, depth);
  if (TL_UNLIKELY(!r)) TL_TB("TLParser._read_object");
  return r;
}

// Out-of-line entries for the operation table.
static int TLParser_ensure_buffer_op(TLParserObject *self, size_t needed) {
  return TLParser_ensure_buffer(self, needed);
}
static PyObject *TLParser_read_value_op(TLParserObject *self, TLType type,
                                         const TLVectorInfo *vec, int depth) {
  return TLParser_read_value(self, type, vec, depth);
}
static int TLParser_write_value_op(TLParserObject *self, PyObject *value,
                                    TLType type, const TLVectorInfo *vec,
                                    int depth) {
  return TLParser_write_value(self, value, type, vec, depth);
}

static const TLParser_vtable kParserVtable = {
    TLParser_read_value_op,  TLParser_write_value_op,
    TLParser_read_int32,     TLParser_read_int64,
    TLParser_read_double,    TLParser_read_bytes,
    TLParser_read_string,    TLParser_read_vector,
    TLParser_read_object,    TLParser_write_int32,
    TLParser_write_int64,    TLParser_write_double,
    TLParser_write_bytes,    TLParser_write_string,
    TLParser_write_vector,   TLParser_write_object,
    TLParser_ensure_buffer_op,
};

// ===========================================================================
// Parser construction and teardown
// ===========================================================================

static int TLParser_cinit(TLParserObject *self, PyObject *args,
                              PyObject *kwds) {
  PyObject *names[1] = {S.arg_schema_json};
  PyObject *schema_json;
  if (tl_parse_args_tuple("__cinit__", 1, names, args, kwds, &schema_json) < 0)
    return -1;
  self->_buffer = nullptr;
  self->_position = 0;
  self->_error = 0;
  self->_buffer_alloc_size = 0;
  self->_buffer_size = 0;
  PyObject *compiler = PyObject_CallNoArgs((PyObject *)&TLSchemaCompilerType);
  if (!compiler) return -1;
  Py_SETREF(self->_compiler, compiler);
  Ref done = Ref::steal(
      PyObject_CallMethodOneArg(self->_compiler, S.compile, schema_json));
  if (!done) return -1;
  TLSchemaCompilerObject *c = tl_compiler(self);
  c->_owned = 1;
  // Set last: until then the parser refuses to pack or unpack.
  self->_schema = c->_vtab->get_schema(c);
  return 0;
}

static PyObject *TLParser_new(PyTypeObject *type, PyObject *args,
                              PyObject *kwds) {
  PyObject *o = type->tp_alloc(type, 0);
  if (!o) return nullptr;
  TLParserObject *self = (TLParserObject *)o;
  self->_vtab = &kParserVtable;
  self->_compiler = Py_NewRef(Py_None);
  int status = -1;
  try {
    status = TLParser_cinit(self, args, kwds);
  } catch (...) {
    tl_set_cpp_error();
  }
  if (status < 0) {
    TL_TB("TLParser.__cinit__");
    Py_DECREF(o);  // teardown releases the compiler and what it compiled
    return nullptr;
  }
  return o;
}

static void TLParser_dealloc(PyObject *o) {
  TLParserObject *self = (TLParserObject *)o;
  PyObject_GC_UnTrack(o);
  PyObject *et, *ev, *etb;
  PyErr_Fetch(&et, &ev, &etb);
  tl_block_free(self->_buffer);
  self->_buffer = nullptr;
  PyMem_Free(self->_slots);
  self->_slots = nullptr;
  PyMem_Free(self->_path);
  self->_path = nullptr;
  PyErr_Restore(et, ev, etb);
  Py_CLEAR(self->_compiler);
  Py_TYPE(o)->tp_free(o);
}

static int TLParser_traverse(PyObject *o, visitproc visit, void *arg) {
  Py_VISIT(((TLParserObject *)o)->_compiler);
  return 0;
}

static int TLParser_clear(PyObject *o) {
  TLParserObject *self = (TLParserObject *)o;
  Py_SETREF(self->_compiler, Py_NewRef(Py_None));
  return 0;
}

static PyTypeObject TLParserType = [] {
  PyTypeObject t = tl_static_type("Mivex.tl.TLParser");
  t.tp_basicsize = sizeof(TLParserObject);
  // A signature only: __doc__ stays None, __text_signature__ reads
  // "(schema_json)".
  t.tp_doc = "TLParser(schema_json)\n--\n\n";
  t.tp_dealloc = TLParser_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
               Py_TPFLAGS_IMMUTABLETYPE;
  t.tp_traverse = TLParser_traverse;
  t.tp_clear = TLParser_clear;
  t.tp_new = TLParser_new;
  return t;
}();

// ===========================================================================
// Pack and unpack
// ===========================================================================

namespace {

// One parser serves one call at a time: a nested pack or unpack (from a
// conversion's Python code, a finalizer or another thread) would reset the
// cursor under the running call, so it is refused instead.
struct BusyScope {
  TLParserObject *self;
  explicit BusyScope(TLParserObject *parser) : self(parser) {
    self->_busy = 1;
  }
  BusyScope(const BusyScope &) = delete;
  BusyScope &operator=(const BusyScope &) = delete;
  ~BusyScope() {
    self->_busy = 0;
    self->_input = nullptr;  // never keep the caller's bytes past the call
  }
};

TL_NOINLINE PyObject *tl_unavailable(TLParserObject *self) {
  if (!self->_schema)
    PyErr_SetString(PyExc_RuntimeError,
                    "TLParser is not ready: its construction has not "
                    "finished");
  else if (self->_busy)
    PyErr_SetString(PyExc_RuntimeError,
                    "TLParser is busy: another pack() or unpack() on this "
                    "parser has not returned yet");
  else
    PyErr_SetString(PyExc_RuntimeError,
                    "TLParser has no schema: it was cleared by the garbage "
                    "collector");
  return nullptr;
}

TL_INLINE void tl_path_reset(TLParserObject *self) {
  self->_path_len = 0;
  self->_path_root = nullptr;
  self->_path_lost = 0;
}

TL_INLINE bool tl_available(TLParserObject *self) {
  return !self->_busy && self->_schema && self->_compiler != Py_None;
}

// Turns the buffer into the returned bytes object, trimmed to `len`. The
// next pack starts a new buffer a little larger than this result: when the
// caller has freed it by then, the allocator hands the same memory back
// instead of mapping fresh pages.
PyObject *tl_hand_over(TLParserObject *self, size_t len) {
  void *block = self->_buffer - kBytesHeader;
  self->_capacity_hint = len + 64;
  self->_buffer = nullptr;
  self->_buffer_alloc_size = 0;
  void *fitted = PyObject_Realloc(block, kBytesHeader + len + 1);
  if (fitted) block = fitted;  // a failed shrink keeps the valid larger block
  PyVarObject *bytes =
      PyObject_InitVar((PyVarObject *)block, &PyBytes_Type, (Py_ssize_t)len);
  _Py_COMP_DIAG_PUSH
  _Py_COMP_DIAG_IGNORE_DEPR_DECLS
  ((PyBytesObject *)bytes)->ob_shash = -1;
  _Py_COMP_DIAG_POP
  ((char *)block + kBytesHeader)[len] = '\0';
  return (PyObject *)bytes;
}

PyObject *tl_pack(TLParserObject *self, PyObject *value) {
  if (TL_UNLIKELY(!tl_available(self))) return tl_unavailable(self);
  if (self->_buffer_alloc_size < kMinCapacity) {
    size_t cap = self->_capacity_hint > kMinCapacity ? self->_capacity_hint
                                                     : kMinCapacity;
    unsigned char *block = self->_buffer ? tl_block_realloc(self->_buffer, cap)
                                         : tl_block_alloc(cap);
    if (!block) return PyErr_NoMemory();
    self->_buffer = block;
    self->_buffer_alloc_size = cap;
  }
  BusyScope busy(self);
  self->_position = 0;
  self->_error = 0;
  tl_path_reset(self);
  if (self->_vtab->_write_object(self, value, 1) < 0) {
    tl_add_path_note(self, "packing", false);
    return nullptr;
  }
  size_t len = self->_position;
  if (len >= kHandOverMin) return tl_hand_over(self, len);
  return PyBytes_FromStringAndSize((const char *)self->_buffer,
                                   (Py_ssize_t)len);
}

// Reads straight from the caller's bytes, which are immutable and held by
// the caller for the whole call.
PyObject *tl_unpack(TLParserObject *self, PyObject *data) {
  if (data == Py_None) {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return nullptr;
  }
  if (TL_UNLIKELY(!tl_available(self))) return tl_unavailable(self);
  BusyScope busy(self);
  self->_input = (const unsigned char *)PyBytes_AS_STRING(data);
  self->_buffer_size = (size_t)PyBytes_GET_SIZE(data);
  self->_position = 0;
  self->_error = 0;
  self->_reserved = 0;
  tl_path_reset(self);
  Ref parsed = Ref::steal(self->_vtab->_read_object(self, 1));
  if (!parsed || self->_error) {
    if (parsed)
      PyErr_Format(PyExc_RuntimeError, "Parse error at position %zu",
                   self->_position);
    tl_add_path_note(self, "unpacking", true);
    return nullptr;
  }
  return parsed.release();
}

}  // namespace

static PyObject *TLParser_pack(PyObject *o, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *value = nargs == 1 && !kwnames ? args[0] : nullptr;
  PyObject *result = nullptr;
  if (!value) {
    PyObject *names[1] = {S.arg_value};
    if (tl_parse_args("pack", 1, names, args, nargs, kwnames, &value) < 0)
      value = nullptr;
  }
  if (value) {
    try {
      result = tl_pack((TLParserObject *)o, value);
    } catch (...) {
      tl_set_cpp_error();
    }
  }
  if (TL_UNLIKELY(!result)) TL_TB("TLParser.pack");
  return result;
}

static PyObject *TLParser_unpack(PyObject *o, PyObject *const *args,
                                 Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *data = nargs == 1 && !kwnames ? args[0] : nullptr;
  PyObject *result = nullptr;
  if (!data) {
    PyObject *names[1] = {S.arg_data};
    if (tl_parse_args("unpack", 1, names, args, nargs, kwnames, &data) < 0)
      data = nullptr;
  }
  if (data && data != Py_None && !PyBytes_CheckExact(data)) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got "
                 "%.200s)%s%U",
                 "data", "bytes", Py_TYPE(data)->tp_name, "", S.empty_str);
    data = nullptr;
  }
  if (data) {
    try {
      result = tl_unpack((TLParserObject *)o, data);
    } catch (...) {
      tl_set_cpp_error();
    }
  }
  if (TL_UNLIKELY(!result)) TL_TB("TLParser.unpack");
  return result;
}

// ===========================================================================
// Pickling refusals
// ===========================================================================
// Neither class can be rebuilt from state: its construction compiles a
// schema. Pickling and copy.copy/deepcopy all reach __reduce__.

static PyObject *tl_refuse_reduce(const char *fname, Py_ssize_t n,
                                  PyObject *const *names,
                                  PyObject *const *args, Py_ssize_t nargs,
                                  PyObject *kwnames) {
  PyObject *out[1];
  if (tl_parse_args(fname, n, names, args, nargs, kwnames, out) == 0)
    PyErr_SetString(PyExc_TypeError,
                    "no default __reduce__ due to non-trivial __cinit__");
  return nullptr;
}

static PyObject *TLSchemaCompiler_reduce(PyObject *, PyObject *const *args,
                                             Py_ssize_t nargs,
                                             PyObject *kwnames) {
  tl_refuse_reduce("__reduce__", 0, nullptr, args, nargs, kwnames);
  TL_TB("TLSchemaCompiler.__reduce__");
  return nullptr;
}

static PyObject *TLSchemaCompiler_setstate(PyObject *,
                                               PyObject *const *args,
                                               Py_ssize_t nargs,
                                               PyObject *kwnames) {
  PyObject *names[1] = {S.arg_state};
  tl_refuse_reduce("__setstate__", 1, names, args, nargs, kwnames);
  TL_TB("TLSchemaCompiler.__setstate__");
  return nullptr;
}

static PyObject *TLParser_reduce(PyObject *, PyObject *const *args,
                                     Py_ssize_t nargs, PyObject *kwnames) {
  tl_refuse_reduce("__reduce__", 0, nullptr, args, nargs, kwnames);
  TL_TB("TLParser.__reduce__");
  return nullptr;
}

static PyObject *TLParser_setstate(PyObject *, PyObject *const *args,
                                       Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *names[1] = {S.arg_state};
  tl_refuse_reduce("__setstate__", 1, names, args, nargs, kwnames);
  TL_TB("TLParser.__setstate__");
  return nullptr;
}

// ===========================================================================
// Module surface
// ===========================================================================

namespace {

PyObject *g_module = nullptr;         // the one module object, once executed
int64_t g_interpreter_id = -1;        // interpreter of the first create step

PyObject *tl_module_global(PyObject *name) {
  PyObject *globals = g_module ? PyModule_GetDict(g_module) : nullptr;
  PyObject *v = globals ? PyDict_GetItemWithError(globals, name) : nullptr;
  if (!v && !PyErr_Occurred())
    v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
  if (v) return Py_NewRef(v);
  if (!PyErr_Occurred())
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return nullptr;
}

// Copies spec.<from> to module.<to>; a missing attribute is skipped, and so
// is None unless none_ok.
int tl_copy_spec_attr(PyObject *spec, PyObject *module_dict, const char *from,
                      const char *to, bool none_ok) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (value.get() == Py_None && !none_ok) return 0;
  return PyDict_SetItemString(module_dict, to, value.get());
}

struct PickleHooks {
  TLMethodImpl reduce, setstate;
};

int tl_register_class(PyObject *module, PyTypeObject *type,
                      const char *short_name, PickleHooks hooks) {
  if (PyType_Ready(type) < 0) return -1;
  if (PyModule_AddObjectRef(module, short_name, (PyObject *)type) < 0)
    return -1;
  if (tl_bind_method(type, short_name, "__reduce__", "($self, /)",
                     hooks.reduce) < 0 ||
      tl_bind_method(type, short_name, "__setstate__", "($self, /, state)",
                     hooks.setstate) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                   type->tp_name);
    }
    return -1;
  }
  return 0;
}

}  // namespace

static PyObject *tl_module_create(PyObject *spec, PyModuleDef *) {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (g_interpreter_id == -1) {
    g_interpreter_id = id;
  } else if (id != g_interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be "
                    "loaded into one interpreter per process.");
    return nullptr;
  }
  if (g_module) return Py_NewRef(g_module);

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject *d = PyModule_GetDict(module.get());
  if (!d || tl_copy_spec_attr(spec, d, "loader", "__loader__", true) < 0 ||
      tl_copy_spec_attr(spec, d, "origin", "__file__", true) < 0 ||
      tl_copy_spec_attr(spec, d, "parent", "__package__", true) < 0 ||
      tl_copy_spec_attr(spec, d, "submodule_search_locations", "__path__",
                        false) < 0)
    return nullptr;
  return module.release();
}

static int tl_module_exec_steps(PyObject *module) {
#define TL_INIT_CHECK(expr)                                \
  do {                                                     \
    if ((expr) < 0) {                                      \
      if (!PyErr_Occurred())                               \
        PyErr_SetString(PyExc_ImportError, "init Mivex.tl"); \
      tl_traceback("init Mivex.tl", __LINE__);             \
      return -1;                                           \
    }                                                      \
  } while (0)
  g_module = Py_NewRef(module);
  TL_INIT_CHECK(PyModule_AddObjectRef(module, "__builtins__",
                                      PyImport_AddModule("builtins")));

  unsigned long run_major = (Py_Version >> 24) & 0xFF;
  unsigned long run_minor = (Py_Version >> 16) & 0xFF;
  if (run_major != PY_MAJOR_VERSION || run_minor != PY_MINOR_VERSION)
    TL_INIT_CHECK(PyErr_WarnFormat(
        PyExc_RuntimeWarning, 1,
        "compile time Python version %d.%d of module '%.100s' %s runtime "
        "version %d.%d",
        PY_MAJOR_VERSION, PY_MINOR_VERSION, "Mivex.tl", "does not match",
        (int)run_major, (int)run_minor));

  TL_INIT_CHECK(tl_init_constants());
  TL_INIT_CHECK(tl_check_dict_layout());

  PyObject *modules = PyImport_GetModuleDict();
  int known = PyDict_Contains(modules, S.module_name);
  TL_INIT_CHECK(known);
  if (!known) TL_INIT_CHECK(PyDict_SetItem(modules, S.module_name, module));

  TL_INIT_CHECK(PyType_Ready(&TLMethodType));
  TL_INIT_CHECK(tl_register_class(
      module, &TLSchemaCompilerType, "TLSchemaCompiler",
      {TLSchemaCompiler_reduce, TLSchemaCompiler_setstate}));
  TL_INIT_CHECK(tl_register_class(module, &TLParserType, "TLParser",
                                  {TLParser_reduce, TLParser_setstate}));

  Ref json = Ref::steal(PyImport_Import(S.json));
  TL_INIT_CHECK(json ? 0 : -1);
  TL_INIT_CHECK(PyModule_AddObjectRef(module, "json", json.get()));

  TL_INIT_CHECK(tl_bind_method(&TLSchemaCompilerType, "TLSchemaCompiler",
                               "compile", "($self, /, json_data)",
                               TLSchemaCompiler_compile));
  TL_INIT_CHECK(tl_bind_method(&TLParserType, "TLParser", "unpack",
                               "($self, /, data)", TLParser_unpack));
  TL_INIT_CHECK(tl_bind_method(&TLParserType, "TLParser", "pack",
                               "($self, /, value)", TLParser_pack));

  Ref test = Ref::steal(PyDict_New());
  TL_INIT_CHECK(test ? 0 : -1);
  TL_INIT_CHECK(PyModule_AddObjectRef(module, "__test__", test.get()));
  return 0;
#undef TL_INIT_CHECK
}

static int tl_module_exec(PyObject *module) {
  if (g_module) {
    if (g_module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'tl' has already been imported. Re-initialisation "
                    "is not supported.");
    return -1;
  }
  if (tl_module_exec_steps(module) < 0) {
    // A later import starts over with a new module object.
    Py_CLEAR(g_module);
    return -1;
  }
  return 0;
}

static PyModuleDef_Slot tl_module_slots[] = {
    {Py_mod_create, (void *)tl_module_create},
    {Py_mod_exec, (void *)tl_module_exec},
    {0, nullptr},
};

static PyModuleDef tl_module_def = {
    PyModuleDef_HEAD_INIT,
    "tl",     // m_name
    nullptr,  // m_doc
    0,        // m_size: all state is process-wide
    nullptr,  // m_methods
    tl_module_slots,
    nullptr,
    nullptr,
    nullptr,
};

PyMODINIT_FUNC PyInit_tl(void) { return PyModuleDef_Init(&tl_module_def); }
