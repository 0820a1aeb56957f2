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
  PyObject *vector, *vector_open, *vector_close;
  PyObject *arg_json_data, *arg_schema_json, *arg_value, *arg_data,
      *arg_state;
  PyObject *dealloc_context;
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
      {&S.vector, "Vector"},
      {&S.vector_open, "Vector<"},
      {&S.vector_close, ">"},
      {&S.arg_json_data, "json_data"},
      {&S.arg_schema_json, "schema_json"},
      {&S.arg_value, "value"},
      {&S.arg_data, "data"},
      {&S.arg_state, "state"},
      {&S.dealloc_context, "Mivex.tl.TLSchemaCompiler.__dealloc__"},
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
// the vectorcall method protocol, so `parser.pack(x)` makes no bound method.

typedef PyObject *(*TLMethodImpl)(PyObject *self, PyObject *const *args,
                                  Py_ssize_t nargs, PyObject *kwnames);

struct TLMethodObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  TLMethodImpl impl;
  PyTypeObject *objclass;
  PyObject *name;
  PyObject *qualname;
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
static PyObject *TLMethod_get_objclass(PyObject *o, void *) {
  return Py_NewRef((PyObject *)((TLMethodObject *)o)->objclass);
}

static PyGetSetDef TLMethod_getset[] = {
    {"__name__", TLMethod_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", TLMethod_get_qualname, nullptr, nullptr, nullptr},
    {"__module__", TLMethod_get_module, nullptr, nullptr, nullptr},
    {"__doc__", TLMethod_get_doc, nullptr, nullptr, nullptr},
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
                          const char *name, TLMethodImpl impl) {
  TLMethodObject *m = PyObject_New(TLMethodObject, &TLMethodType);
  if (!m) return -1;
  Ref owner = Ref::steal((PyObject *)m);
  m->vectorcall = TLMethod_vectorcall;
  m->impl = impl;
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
};

namespace {

// Classifies a type text without flag prefix.
TLType tl_classify(PyObject *clean) {
  static const struct {
    const char *text;
    TLType type;
  } table[] = {
      {"int", TL_TYPE_INT},       {"#", TL_TYPE_INT},
      {"long", TL_TYPE_LONG},     {"double", TL_TYPE_DOUBLE},
      {"string", TL_TYPE_STRING}, {"bytes", TL_TYPE_BYTES},
      {"byte", TL_TYPE_BYTES},    {"Bool", TL_TYPE_BOOL},
      {"true", TL_TYPE_BOOL},
  };
  for (const auto &row : table)
    if (_PyUnicode_EqualToASCIIString(clean, row.text)) return row.type;
  if (PyUnicode_Tailmatch(clean, S.vector, 0, PY_SSIZE_T_MAX, -1) == 1)
    return TL_TYPE_VECTOR;
  return TL_TYPE_OBJECT;
}

// NUL-terminated heap copy of a str's UTF-8 encoding (up to its first NUL,
// as strdup copies). Null with an exception set on failure.
char *tl_utf8_dup(PyObject *text) {
  Ref encoded = Ref::steal(PyUnicode_AsUTF8String(text));
  if (!encoded) return nullptr;
  char *copy = strdup(PyBytes_AS_STRING(encoded.get()));
  if (!copy) PyErr_NoMemory();
  return copy;
}

}  // namespace

static TLType TLSchemaCompiler__parse_type(TLSchemaCompilerObject *,
                                           PyObject *type_str) {
  if (type_str == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    TL_TB("TLSchemaCompiler._parse_type");
    return TL_TYPE_INT;
  }
  Py_ssize_t len = PyUnicode_GET_LENGTH(type_str);
  Py_ssize_t q = PyUnicode_FindChar(type_str, '?', 0, len, 1);
  if (q < 0) {
    if (q == -2) {
      TL_TB("TLSchemaCompiler._parse_type");
      return TL_TYPE_INT;
    }
    return tl_classify(type_str);
  }
  // The second "?"-separated piece is the type; a flag prefix is the first.
  Py_ssize_t end = PyUnicode_FindChar(type_str, '?', q + 1, len, 1);
  if (end == -2) {
    TL_TB("TLSchemaCompiler._parse_type");
    return TL_TYPE_INT;
  }
  Ref clean = Ref::steal(
      PyUnicode_Substring(type_str, q + 1, end < 0 ? len : end));
  if (!clean) {
    TL_TB("TLSchemaCompiler._parse_type");
    return TL_TYPE_INT;
  }
  return tl_classify(clean.get());
}

static void TLSchemaCompiler__free_schema(TLSchemaCompilerObject *self) {
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

// Element chain of a vector field: link k describes the elements of a vector
// whose type text is the field's text with "Vector<" and ">" removed k times.
// Removal only shrinks a text, so the chain ends at a non-vector kind or at a
// text that no longer changes, whose link then describes its own elements.
TLVectorInfo *tl_vector_chain(TLSchemaCompilerObject *self,
                              PyObject *type_text) {
  TLType kinds[64];
  TLType *kind_buf = kinds;
  size_t cap = 64, n = 0;
  bool loops = false;
  TLVectorInfo *links = nullptr;
  Ref current = Ref::own(type_text);
  for (;;) {
    Ref opened = Ref::steal(
        PyUnicode_Replace(current.get(), S.vector_open, S.empty_str, -1));
    if (!opened) goto done;
    Ref elem = Ref::steal(
        PyUnicode_Replace(opened.get(), S.vector_close, S.empty_str, -1));
    if (!elem) goto done;
    TLType kind = self->_vtab->_parse_type(self, elem.get());
    if (PyErr_Occurred()) goto done;
    if (n == cap) {
      size_t bigger = cap * 2;
      TLType *grown = (TLType *)malloc(bigger * sizeof(TLType));
      if (!grown) {
        PyErr_NoMemory();
        goto done;
      }
      memcpy(grown, kind_buf, n * sizeof(TLType));
      if (kind_buf != kinds) free(kind_buf);
      kind_buf = grown;
      cap = bigger;
    }
    kind_buf[n++] = kind;
    if (kind != TL_TYPE_VECTOR) break;
    int same = PyUnicode_Compare(elem.get(), current.get());
    if (same == -1 && PyErr_Occurred()) goto done;
    if (same == 0) {
      loops = true;
      break;
    }
    current = std::move(elem);
  }
  links = (TLVectorInfo *)malloc(n * sizeof(TLVectorInfo));
  if (!links) {
    PyErr_NoMemory();
    goto done;
  }
  for (size_t i = 0; i < n; i++) {
    links[i].elem_type = kind_buf[i];
    links[i].elem_vec = i + 1 < n ? &links[i + 1] : nullptr;
  }
  if (loops) links[n - 1].elem_vec = &links[n - 1];
done:
  if (kind_buf != kinds) free(kind_buf);
  return links;
}

}  // namespace

static TLConstructor *TLSchemaCompiler__create_constructor(
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

  // Code run by the lookups below (a key's __eq__) may change the list, so
  // every item is held while it is used and the index is re-checked.
  for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(params.get()); i++) {
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
    f->py_name = Py_NewRef(param_name.get());
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
    if (f->type == TL_TYPE_VECTOR && !(f->vec = tl_vector_chain(self, ptype)))
      TL_CC_FAIL();
  }

  rec->py_name = PyUnicode_DecodeUTF8(rec->name, (Py_ssize_t)strlen(rec->name),
                                      nullptr);
  if (!rec->py_name) TL_CC_FAIL();
  PyUnicode_InternInPlace(&rec->py_name);
  rec->bad_bit_field = -1;
  rec->key_count = 1;
  for (int32_t i = 0; i < rec->field_count; i++) {
    const TLField *f = &rec->fields[i];
    bool conditional = f->role == TL_ROLE_COND || f->role == TL_ROLE_COND_BOOL;
    if (f->role == TL_ROLE_COND) rec->cond_count++;
    if (conditional && !f->bit_valid && rec->bad_bit_field < 0)
      rec->bad_bit_field = i;
    if (f->role != TL_ROLE_FLAGS && f->role != TL_ROLE_FLAGS2) rec->key_count++;
  }
  return rec;
#undef TL_CC_FAIL
}

namespace {

// The module's global `json`, looked up each time as a global name would be.
PyObject *tl_module_global(PyObject *name);

}  // namespace

static int TLSchemaCompiler__parse_json_schema(TLSchemaCompilerObject *self,
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
  // the list: items are held while used and never read past the array.
  for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(entries.get()); i++) {
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
  return 0;
#undef TL_PJ_FAIL
}

static const TLSchemaCompiler_vtable kCompilerVtable = {
    TLSchemaCompiler__parse_json_schema,
    TLSchemaCompiler__create_constructor,
    TLSchemaCompiler__parse_type,
    TLSchemaCompiler__free_schema,
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
    try {
      status = c->_vtab->_parse_json_schema(c, json_data);
    } catch (...) {
      tl_set_cpp_error();
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

struct TLParserObject {
  PyObject_HEAD
  TLSchema *_schema;       // borrowed from _compiler, which owns it
  PyObject *_compiler;     // owned; None only before construction or after a
                           // garbage-collector clear
  unsigned char *_buffer;
  size_t _buffer_alloc_size;
  size_t _buffer_size;
  size_t _position;
  int _error;
};

static int TLParser___cinit__(TLParserObject *self, PyObject *args,
                              PyObject *kwds) {
  PyObject *names[1] = {S.arg_schema_json};
  PyObject *schema_json;
  if (tl_parse_args_tuple("__cinit__", 1, names, args, kwds, &schema_json) < 0)
    return -1;
  PyObject *compiler = PyObject_CallNoArgs((PyObject *)&TLSchemaCompilerType);
  if (!compiler) return -1;
  Py_SETREF(self->_compiler, compiler);
  Ref done = Ref::steal(
      PyObject_CallMethodOneArg(self->_compiler, S.compile, schema_json));
  if (!done) return -1;
  TLSchemaCompilerObject *c = (TLSchemaCompilerObject *)self->_compiler;
  self->_schema = c->_vtab->get_schema(c);
  self->_buffer = nullptr;
  self->_position = 0;
  self->_error = 0;
  self->_buffer_alloc_size = 0;
  self->_buffer_size = 0;
  return 0;
}

static PyObject *TLParser_new(PyTypeObject *type, PyObject *args,
                              PyObject *kwds) {
  PyObject *o = type->tp_alloc(type, 0);
  if (!o) return nullptr;
  TLParserObject *self = (TLParserObject *)o;
  self->_compiler = Py_NewRef(Py_None);
  int status = -1;
  try {
    status = TLParser___cinit__(self, args, kwds);
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
  free(self->_buffer);
  self->_buffer = nullptr;
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

static PyObject *TLParser_pack(PyObject *, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *names[1] = {S.arg_value};
  PyObject *value;
  if (tl_parse_args("pack", 1, names, args, nargs, kwnames, &value) < 0) {
    TL_TB("TLParser.pack");
    return nullptr;
  }
  PyErr_SetString(PyExc_NotImplementedError, "pack");
  return nullptr;
}

static PyObject *TLParser_unpack(PyObject *, PyObject *const *args,
                                 Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *names[1] = {S.arg_data};
  PyObject *data;
  if (tl_parse_args("unpack", 1, names, args, nargs, kwnames, &data) < 0) {
    TL_TB("TLParser.unpack");
    return nullptr;
  }
  if (data != Py_None && !PyBytes_CheckExact(data)) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got "
                 "%.200s)%s%U",
                 "data", "bytes", Py_TYPE(data)->tp_name, "", S.empty_str);
    TL_TB("TLParser.unpack");
    return nullptr;
  }
  PyErr_SetString(PyExc_NotImplementedError, "unpack");
  return nullptr;
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

static PyObject *TLSchemaCompiler___reduce__(PyObject *, PyObject *const *args,
                                             Py_ssize_t nargs,
                                             PyObject *kwnames) {
  tl_refuse_reduce("__reduce__", 0, nullptr, args, nargs, kwnames);
  TL_TB("TLSchemaCompiler.__reduce__");
  return nullptr;
}

static PyObject *TLSchemaCompiler___setstate__(PyObject *,
                                               PyObject *const *args,
                                               Py_ssize_t nargs,
                                               PyObject *kwnames) {
  PyObject *names[1] = {S.arg_state};
  tl_refuse_reduce("__setstate__", 1, names, args, nargs, kwnames);
  TL_TB("TLSchemaCompiler.__setstate__");
  return nullptr;
}

static PyObject *TLParser___reduce__(PyObject *, PyObject *const *args,
                                     Py_ssize_t nargs, PyObject *kwnames) {
  tl_refuse_reduce("__reduce__", 0, nullptr, args, nargs, kwnames);
  TL_TB("TLParser.__reduce__");
  return nullptr;
}

static PyObject *TLParser___setstate__(PyObject *, PyObject *const *args,
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
  if (tl_bind_method(type, short_name, "__reduce__", hooks.reduce) < 0 ||
      tl_bind_method(type, short_name, "__setstate__", hooks.setstate) < 0) {
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

  PyObject *modules = PyImport_GetModuleDict();
  int known = PyDict_Contains(modules, S.module_name);
  TL_INIT_CHECK(known);
  if (!known) TL_INIT_CHECK(PyDict_SetItem(modules, S.module_name, module));

  TL_INIT_CHECK(PyType_Ready(&TLMethodType));
  TL_INIT_CHECK(tl_register_class(
      module, &TLSchemaCompilerType, "TLSchemaCompiler",
      {TLSchemaCompiler___reduce__, TLSchemaCompiler___setstate__}));
  TL_INIT_CHECK(tl_register_class(module, &TLParserType, "TLParser",
                                  {TLParser___reduce__, TLParser___setstate__}));

  Ref json = Ref::steal(PyImport_Import(S.json));
  TL_INIT_CHECK(json ? 0 : -1);
  TL_INIT_CHECK(PyModule_AddObjectRef(module, "json", json.get()));

  TL_INIT_CHECK(tl_bind_method(&TLSchemaCompilerType, "TLSchemaCompiler",
                               "compile", TLSchemaCompiler_compile));
  TL_INIT_CHECK(tl_bind_method(&TLParserType, "TLParser", "unpack",
                               TLParser_unpack));
  TL_INIT_CHECK(
      tl_bind_method(&TLParserType, "TLParser", "pack", TLParser_pack));

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
