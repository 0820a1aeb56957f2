// The Python surface, first part: argument parsing shared by every callable,
// and the method objects the classes' methods are made of.

namespace {

// --- Arguments ----------------------------------------------------------------
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

// The first `required` arguments must be given; the rest are optional.
int tl_args_finish(const char *fname, Py_ssize_t required, Py_ssize_t nargs,
                   PyObject **out) {
  for (Py_ssize_t j = 0; j < required; j++)
    if (!out[j]) return tl_args_count_error(fname, required, nargs);
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

// Vectorcall form with `required` of the `n` arguments required, the rest
// optional (null when not given).
int tl_parse_args_opt(const char *fname, Py_ssize_t n, Py_ssize_t required,
                      PyObject *const *names, PyObject *const *args,
                      Py_ssize_t nargs, PyObject *kwnames, PyObject **out) {
  if (nargs > n) {
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 fname, "at most", n, n == 1 ? "" : "s", nargs);
    return -1;
  }
  for (Py_ssize_t j = 0; j < n; j++) out[j] = j < nargs ? args[j] : nullptr;
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; k++) {
      if (tl_args_keyword(fname, n, names, nargs, PyTuple_GET_ITEM(kwnames, k),
                          args[nargs + k], out) < 0)
        return -1;
    }
  }
  for (Py_ssize_t j = 0; j < required; j++)
    if (!out[j]) {
      PyErr_Format(PyExc_TypeError,
                   "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                   fname, "at least", required, required == 1 ? "" : "s",
                   nargs);
      return -1;
    }
  return 0;
}

// Tuple-and-dict form, for construction: `npos` required arguments by
// position or keyword, then `nkw` optional keyword-only ones (null when not
// given).
int tl_parse_args_tuple(const char *fname, Py_ssize_t npos, Py_ssize_t nkw,
                        PyObject *const *names, PyObject *args,
                        PyObject *kwds, PyObject **out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > npos) return tl_args_count_error(fname, npos, nargs);
  for (Py_ssize_t j = 0; j < npos + nkw; j++)
    out[j] = j < nargs ? PyTuple_GET_ITEM(args, j) : nullptr;
  if (kwds) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
      if (tl_args_keyword(fname, npos + nkw, names, nargs, key, value, out) < 0)
        return -1;
    }
  }
  return tl_args_finish(fname, npos, nargs, out);
}

// A class object with every slot zero but its name and reference count;
// the classes fill in their own slots after this.
PyTypeObject tl_static_type(const char *name) {
  PyTypeObject t{};
  Py_SET_REFCNT((PyObject *)&t, 1);
  t.tp_name = name;
  return t;
}

// --- Method objects ---------------------------------------------------------------
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
  const char *doc;  // null: no docstring
};

PyObject *TLMethod_vectorcall(PyObject *func, PyObject *const *args,
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

PyObject *TLMethod_descr_get(PyObject *func, PyObject *obj, PyObject *) {
  if (!obj) return Py_NewRef(func);
  return PyMethod_New(func, obj);
}

void TLMethod_dealloc(PyObject *o) {
  TLMethodObject *m = (TLMethodObject *)o;
  Py_XDECREF(m->name);
  Py_XDECREF(m->qualname);
  Py_TYPE(o)->tp_free(o);
}

PyObject *TLMethod_repr(PyObject *o) {
  TLMethodObject *m = (TLMethodObject *)o;
  return PyUnicode_FromFormat("<method '%U' of '%s' objects>", m->name,
                              m->objclass->tp_name);
}

PyObject *TLMethod_get_name(PyObject *o, void *) {
  return Py_NewRef(((TLMethodObject *)o)->name);
}
PyObject *TLMethod_get_qualname(PyObject *o, void *) {
  return Py_NewRef(((TLMethodObject *)o)->qualname);
}
PyObject *TLMethod_get_module(PyObject *, void *) {
  return Py_NewRef(S.module_name);
}
PyObject *TLMethod_get_doc(PyObject *o, void *) {
  const char *doc = ((TLMethodObject *)o)->doc;
  if (!doc) Py_RETURN_NONE;
  return PyUnicode_FromString(doc);
}
// What inspect.signature (and so stubtest and IDEs) reads for a builtin.
PyObject *TLMethod_get_text_signature(PyObject *o, void *) {
  return PyUnicode_FromString(((TLMethodObject *)o)->text_signature);
}
PyObject *TLMethod_get_objclass(PyObject *o, void *) {
  return Py_NewRef((PyObject *)((TLMethodObject *)o)->objclass);
}

PyGetSetDef TLMethod_getset[] = {
    {"__name__", TLMethod_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", TLMethod_get_qualname, nullptr, nullptr, nullptr},
    {"__module__", TLMethod_get_module, nullptr, nullptr, nullptr},
    {"__doc__", TLMethod_get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", TLMethod_get_text_signature, nullptr, nullptr,
     nullptr},
    {"__objclass__", TLMethod_get_objclass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject TLMethodType = [] {
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
int tl_bind_method(PyTypeObject *type, const char *short_type_name,
                   const char *name, const char *text_signature,
                   TLMethodImpl impl, const char *doc = nullptr) {
  TLMethodObject *m = PyObject_New(TLMethodObject, &TLMethodType);
  if (!m) return -1;
  Ref owner = Ref::steal((PyObject *)m);
  m->vectorcall = TLMethod_vectorcall;
  m->impl = impl;
  m->text_signature = text_signature;
  m->doc = doc;
  m->objclass = type;
  m->name = PyUnicode_InternFromString(name);
  m->qualname = m->name ? PyUnicode_FromFormat("%s.%s", short_type_name, name)
                        : nullptr;
  if (!m->qualname) return -1;
  // The classes are immutable to Python code; the module fills their
  // dictionaries itself.
  return tl_type_dict_set(type, m->name, owner.get());
}

}  // namespace
