// The Python surface: argument parsing, the method objects, the two classes
// with construction, teardown and collector hooks, pack and unpack, the
// pickling refusals, and module initialisation.

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
PyObject *TLMethod_get_doc(PyObject *, void *) { Py_RETURN_NONE; }
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
  // dictionaries itself.
  return tl_type_dict_set(type, m->name, owner.get());
}

// --- TLSchemaCompiler ----------------------------------------------------------

PyObject *TLSchemaCompiler_new(PyTypeObject *type, PyObject *, PyObject *) {
  // Arguments are accepted and ignored.
  return type->tp_alloc(type, 0);
}

void TLSchemaCompiler_dealloc(PyObject *o) {
  TLSchemaCompilerObject *self = (TLSchemaCompilerObject *)o;
  {
    SavedError saved;
    TLSchemaCompiler_free_schema(self);
    if (PyErr_Occurred()) PyErr_WriteUnraisable(S.dealloc_context);
  }
  self->_id_map.destroy();
  self->_name_map.destroy();
  Py_TYPE(o)->tp_free(o);
}

PyTypeObject TLSchemaCompilerType = [] {
  PyTypeObject t = tl_static_type("Mivex.tl.TLSchemaCompiler");
  t.tp_basicsize = sizeof(TLSchemaCompilerObject);
  t.tp_dealloc = TLSchemaCompiler_dealloc;
  t.tp_flags =
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE;
  t.tp_new = TLSchemaCompiler_new;
  return t;
}();

PyObject *TLSchemaCompiler_compile(PyObject *self, PyObject *const *args,
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
      c->_compiling = true;
      status = TLSchemaCompiler_parse_json_schema(c, json_data);
      c->_compiling = false;
    }
  }
  if (status < 0) {
    TL_TB("TLSchemaCompiler.compile");
    return nullptr;
  }
  Py_RETURN_NONE;
}

// --- TLParser: construction and teardown ------------------------------------------

// A keyword-only flag: absent is false, anything else by its truth.
int tl_flag_argument(PyObject *value, bool *out) {
  int truth = value ? PyObject_IsTrue(value) : 0;
  if (truth < 0) return -1;
  *out = truth;
  return 0;
}

int TLParser_cinit(TLParserObject *self, PyObject *args, PyObject *kwds) {
  PyObject *names[2] = {S.arg_schema_json, S.arg_standard};
  PyObject *given[2];
  if (tl_parse_args_tuple("__cinit__", 1, 1, names, args, kwds, given) < 0 ||
      tl_flag_argument(given[1], &self->_standard) < 0)
    return -1;
  PyObject *compiler = PyObject_CallNoArgs((PyObject *)&TLSchemaCompilerType);
  if (!compiler) return -1;
  Py_SETREF(self->_compiler, compiler);
  TLSchemaCompilerObject *c = tl_compiler(self);
  c->_standard = self->_standard;
  Ref done = Ref::steal(
      PyObject_CallMethodOneArg(self->_compiler, S.compile, given[0]));
  if (!done) return -1;
  c->_owned = true;
  // Set last: until then the parser refuses to pack or unpack.
  self->_schema = c->_schema;
  return 0;
}

PyObject *TLParser_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  PyObject *o = type->tp_alloc(type, 0);
  if (!o) return nullptr;
  TLParserObject *self = (TLParserObject *)o;
  self->_compiler = Py_NewRef(Py_None);
  if (TLParser_cinit(self, args, kwds) < 0) {
    TL_TB("TLParser.__cinit__");
    Py_DECREF(o);  // teardown releases the compiler and what it compiled
    return nullptr;
  }
  return o;
}

void TLParser_dealloc(PyObject *o) {
  TLParserObject *self = (TLParserObject *)o;
  PyObject_GC_UnTrack(o);
  {
    SavedError saved;
    Py_CLEAR(self->_out);
    PyMem_Free(self->_slots);
    self->_slots = nullptr;
    PyMem_Free(self->_path);
    self->_path = nullptr;
  }
  Py_CLEAR(self->_compiler);
  Py_TYPE(o)->tp_free(o);
}

int TLParser_traverse(PyObject *o, visitproc visit, void *arg) {
  Py_VISIT(((TLParserObject *)o)->_compiler);
  return 0;
}

int TLParser_clear(PyObject *o) {
  TLParserObject *self = (TLParserObject *)o;
  Py_SETREF(self->_compiler, Py_NewRef(Py_None));
  return 0;
}

PyObject *TLParser_get_standard(PyObject *o, void *) {
  return PyBool_FromLong(((TLParserObject *)o)->_standard);
}

PyGetSetDef TLParser_getset[] = {
    {"standard", TLParser_get_standard, nullptr,
     "Whether the parser speaks the standard TL profile (read-only).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject TLParserType = [] {
  PyTypeObject t = tl_static_type("Mivex.tl.TLParser");
  t.tp_basicsize = sizeof(TLParserObject);
  // A signature only: __doc__ stays None, __text_signature__ reads
  // "(schema_json)".
  t.tp_doc = "TLParser(schema_json, *, standard=False)\n--\n\n";
  t.tp_dealloc = TLParser_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
               Py_TPFLAGS_IMMUTABLETYPE;
  t.tp_traverse = TLParser_traverse;
  t.tp_clear = TLParser_clear;
  t.tp_new = TLParser_new;
  t.tp_getset = TLParser_getset;
  return t;
}();

// --- pack and unpack --------------------------------------------------------------

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

TL_INLINE bool tl_available(TLParserObject *self) {
  return !self->_busy && self->_schema && self->_compiler != Py_None;
}

// The output of one pack: a new bytes object about as long as the last
// result, released on every exit unless it is taken as the result.
struct OutScope {
  TLParserObject *self;
  explicit OutScope(TLParserObject *parser) : self(parser) {}
  OutScope(const OutScope &) = delete;
  OutScope &operator=(const OutScope &) = delete;
  ~OutScope() {
    Py_CLEAR(self->_out);
    self->_buffer = nullptr;
    self->_buffer_alloc_size = 0;
  }

  int open() {
    // Messages of one parser tend to be alike: the last length is the best
    // guess, and a result that fits exactly needs no resize at the end.
    // The writers ask for a little more room than they use.
    size_t hint = self->_out_hint;
    size_t cap = hint ? hint + 32 + hint / 64 : kMinCapacity;
    self->_out = PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)cap);
    if (!self->_out) return -1;
    self->_buffer = (unsigned char *)PyBytes_AS_STRING(self->_out);
    self->_buffer_alloc_size = cap;
    return 0;
  }

  // The output cut to the bytes written, as the result.
  PyObject *take(size_t len) {
    if (len != self->_buffer_alloc_size &&
        tl_bytes_trim(&self->_out, (Py_ssize_t)len) < 0)
      return nullptr;
    self->_out_hint = len;
    PyObject *result = self->_out;
    self->_out = nullptr;
    return result;
  }
};

PyObject *tl_pack(TLParserObject *self, PyObject *value) {
  if (TL_UNLIKELY(!tl_available(self))) return tl_unavailable(self);
  BusyScope busy(self);
  OutScope out(self);
  if (out.open() < 0) return nullptr;
  self->_position = 0;
  self->_error = 0;
  tl_path_reset(self);
  if (TLParser_write_object(self, value, nullptr, 1) < 0) {
    tl_add_path_note(self, "packing", false);
    return nullptr;
  }
  return out.take(self->_position);
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
  Ref parsed = Ref::steal(TLParser_read_object(self, nullptr, 1));
  if (!parsed || self->_error) {
    if (parsed)
      PyErr_Format(PyExc_RuntimeError, "Parse error at position %zu",
                   self->_position);
    tl_add_path_note(self, "unpacking", true);
    return nullptr;
  }
  return parsed.release();
}

PyObject *TLParser_pack(PyObject *o, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
  PyObject *value = nargs == 1 && !kwnames ? args[0] : nullptr;
  PyObject *result = nullptr;
  if (!value) {
    PyObject *names[1] = {S.arg_value};
    if (tl_parse_args("pack", 1, names, args, nargs, kwnames, &value) < 0)
      value = nullptr;
  }
  if (value) result = tl_pack((TLParserObject *)o, value);
  if (TL_UNLIKELY(!result)) TL_TB("TLParser.pack");
  return result;
}

PyObject *TLParser_unpack(PyObject *o, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) {
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
  if (data) result = tl_unpack((TLParserObject *)o, data);
  if (TL_UNLIKELY(!result)) TL_TB("TLParser.unpack");
  return result;
}

// --- The compiled schema, as Python data ------------------------------------------
// What the codec derived, for tools that convert values to the codec's
// types (the mivex command): they read the rules here instead of deriving
// them again.

const char *tl_kind_name(TLType type) {
  static const char *const names[TL_TYPE_COUNT] = {
      "int",    "long",   "double", "string", "bytes", "Bool",
      "vector", "object", "int",    "long",   "#",     "int128",
      "int256", "Bool",   "true",   "vector", "object", "object"};
  return (uint32_t)type < TL_TYPE_COUNT ? names[type] : "unknown";
}

// {"kind": ...} with what the node adds: "bare" for bare vectors and
// objects, "type" for objects of one result type, "constructor" for bare
// objects.
PyObject *tl_kind_node(TLType type, const TLNode *node) {
  Ref d = Ref::steal(Py_BuildValue("{ss}", "kind", tl_kind_name(type)));
  if (!d) return nullptr;
  bool bare = type == TL_TYPE_BARE_VECTOR || type == TL_TYPE_BARE_OBJECT;
  if (bare && PyDict_SetItemString(d.get(), "bare", Py_True) < 0) return nullptr;
  if (type == TL_TYPE_TYPED_OBJECT || type == TL_TYPE_BARE_OBJECT) {
    const TLConstructor *c = node->ctor;
    if (PyDict_SetItemString(d.get(), "type", c ? c->py_result : Py_None) < 0)
      return nullptr;
    if (type == TL_TYPE_BARE_OBJECT &&
        PyDict_SetItemString(d.get(), "constructor", c->py_name) < 0)
      return nullptr;
  }
  return d.release();
}

// The node of a value, and for a vector "element": its elements' node. A
// default-profile chain that derives to itself describes its elements with
// its own node, so the result may be cyclic. Vectors nest one inside the
// other, so the chain is walked in a loop.
PyObject *tl_type_node(TLType type, const TLNode *node) {
  Ref root = Ref::steal(tl_kind_node(type, node));
  if (!root) return nullptr;
  PyObject *parent = root.get();
  while (type == TL_TYPE_VECTOR || type == TL_TYPE_BARE_VECTOR) {
    const TLNode *elem = node ? node->elem : nullptr;
    TLType elem_type = elem ? elem->kind : TL_TYPE_INT;
    if (elem && elem == node) {
      if (PyDict_SetItemString(parent, "element", parent) < 0) return nullptr;
      break;
    }
    Ref child = Ref::steal(tl_kind_node(elem_type, elem));
    if (!child || PyDict_SetItemString(parent, "element", child.get()) < 0)
      return nullptr;
    parent = child.get();  // held by its parent from here on
    type = elem_type;
    node = elem;
  }
  return root.release();
}

// The name of flags word number `word` of a constructor: the field that is
// that word ("flags"/"flags2" in the default profile, whatever their number).
PyObject *tl_word_name(const TLConstructor &c, uint16_t word, bool standard) {
  if (!standard) return PyUnicode_FromString(word ? "flags2" : "flags");
  for (int32_t j = 0; j < c.field_count; j++)
    if (c.fields[j].role == TL_ROLE_FLAGS && c.fields[j].word == word)
      return Py_NewRef(c.fields[j].py_name);
  Py_RETURN_NONE;
}

PyObject *tl_describe_field(const TLConstructor &c, const TLField &f,
                            bool standard) {
  bool conditional = f.role == TL_ROLE_COND || f.role == TL_ROLE_COND_BOOL;
  const char *role = f.role == TL_ROLE_FLAGS ? "word"
                     : f.role == TL_ROLE_COND ? "cond"
                     : f.role == TL_ROLE_COND_BOOL ? "bit"
                                                   : "plain";
  Ref type = Ref::steal(tl_type_node(f.type, f.node));
  if (!type) return nullptr;
  if (!conditional)
    return Py_BuildValue("{sOsssOsOsO}", "name", f.py_name, "role", role,
                         "word", Py_None, "bit", Py_None, "type", type.get());
  Ref word = Ref::steal(tl_word_name(c, f.word, standard));
  if (!word) return nullptr;
  return Py_BuildValue("{sOsssOsisO}", "name", f.py_name, "role", role, "word",
                       word.get(), "bit", (int)f.bit_position, "type",
                       type.get());
}

PyObject *tl_describe_constructor(const TLConstructor &c, bool standard) {
  Ref fields = Ref::steal(PyList_New(c.field_count));
  if (!fields) return nullptr;
  for (int32_t j = 0; j < c.field_count; j++) {
    PyObject *field = tl_describe_field(c, c.fields[j], standard);
    if (!field) return nullptr;
    PyList_SET_ITEM(fields.get(), j, field);
  }
  return Py_BuildValue("{sOsksssOsO}", "name", c.py_name, "id",
                       (unsigned long)c.id, "kind",
                       c.is_method ? "method" : "constructor", "type",
                       c.py_result, "fields", fields.get());
}

// describe(): one dict per entry, in schema order.
PyObject *TLParser_describe(PyObject *o, PyObject *const *args,
                            Py_ssize_t nargs, PyObject *kwnames) {
  TLParserObject *self = (TLParserObject *)o;
  PyObject *none[1];
  if (tl_parse_args("describe", 0, nullptr, args, nargs, kwnames, none) < 0)
    return TL_FAIL_NULL("Mivex.tl.TLParser.describe");
  if (!self->_schema || self->_compiler == Py_None) {
    tl_unavailable(self);
    return TL_FAIL_NULL("Mivex.tl.TLParser.describe");
  }
  const TLSchema *schema = self->_schema;
  Ref out = Ref::steal(PyList_New(schema->constructor_count));
  if (!out) return TL_FAIL_NULL("Mivex.tl.TLParser.describe");
  for (int32_t i = 0; i < schema->constructor_count; i++) {
    PyObject *entry =
        tl_describe_constructor(schema->constructors[i], schema->standard);
    if (!entry) return TL_FAIL_NULL("Mivex.tl.TLParser.describe");
    PyList_SET_ITEM(out.get(), i, entry);
  }
  return out.release();
}

// --- Pickling refusals --------------------------------------------------------------
// Neither class can be rebuilt from state: its construction compiles a
// schema. Pickling and copy.copy/deepcopy all reach __reduce__.

PyObject *tl_refuse_reduce(const char *fname, Py_ssize_t n,
                           PyObject *const *names, PyObject *const *args,
                           Py_ssize_t nargs, PyObject *kwnames,
                           const char *entry) {
  PyObject *out[1];
  if (tl_parse_args(fname, n, names, args, nargs, kwnames, out) == 0)
    PyErr_SetString(PyExc_TypeError,
                    "no default __reduce__ due to non-trivial __cinit__");
  tl_traceback(entry, __LINE__);
  return nullptr;
}

PyObject *TLSchemaCompiler_reduce(PyObject *, PyObject *const *args,
                                  Py_ssize_t nargs, PyObject *kwnames) {
  return tl_refuse_reduce("__reduce__", 0, nullptr, args, nargs, kwnames,
                          "Mivex.tl.TLSchemaCompiler.__reduce__");
}

PyObject *TLSchemaCompiler_setstate(PyObject *, PyObject *const *args,
                                    Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *names[1] = {S.arg_state};
  return tl_refuse_reduce("__setstate__", 1, names, args, nargs, kwnames,
                          "Mivex.tl.TLSchemaCompiler.__setstate__");
}

PyObject *TLParser_reduce(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) {
  return tl_refuse_reduce("__reduce__", 0, nullptr, args, nargs, kwnames,
                          "Mivex.tl.TLParser.__reduce__");
}

PyObject *TLParser_setstate(PyObject *, PyObject *const *args,
                            Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *names[1] = {S.arg_state};
  return tl_refuse_reduce("__setstate__", 1, names, args, nargs, kwnames,
                          "Mivex.tl.TLParser.__setstate__");
}

// --- Module ---------------------------------------------------------------------

PyObject *g_module = nullptr;   // the one module object, once executed
int64_t g_interpreter_id = -1;  // interpreter of the first create step

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
      {&S.arg_standard, "standard"},
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

PyObject *tl_module_create(PyObject *spec, PyModuleDef *) {
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

// A failing step adds the "init Mivex.tl" entry; one that fails without an
// exception becomes an ImportError.
#define TL_INIT_CHECK(expr)                                  \
  do {                                                       \
    if ((expr) < 0) {                                        \
      if (!PyErr_Occurred())                                 \
        PyErr_SetString(PyExc_ImportError, "init Mivex.tl"); \
      tl_traceback("init Mivex.tl", __LINE__);               \
      return -1;                                             \
    }                                                        \
  } while (0)

int tl_check_version() {
  unsigned long run_major = (Py_Version >> 24) & 0xFF;
  unsigned long run_minor = (Py_Version >> 16) & 0xFF;
  if (run_major == PY_MAJOR_VERSION && run_minor == PY_MINOR_VERSION) return 0;
  return PyErr_WarnFormat(
      PyExc_RuntimeWarning, 1,
      "compile time Python version %d.%d of module '%.100s' %s runtime "
      "version %d.%d",
      PY_MAJOR_VERSION, PY_MINOR_VERSION, "Mivex.tl", "does not match",
      (int)run_major, (int)run_minor);
}

int tl_module_exec_steps(PyObject *module) {
  g_module = Py_NewRef(module);
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  TL_INIT_CHECK(builtins ? 0 : -1);
  TL_INIT_CHECK(PyModule_AddObjectRef(module, "__builtins__", builtins.get()));
  TL_INIT_CHECK(tl_check_version());
  TL_INIT_CHECK(tl_init_constants());
  TL_INIT_CHECK(tl_probe_dict_layout(S.underscore));
  TL_INIT_CHECK(tl_probe_long_digits());

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
  TL_INIT_CHECK(tl_bind_method(&TLParserType, "TLParser", "describe",
                               "($self, /)", TLParser_describe));

  Ref test = Ref::steal(PyDict_New());
  TL_INIT_CHECK(test ? 0 : -1);
  TL_INIT_CHECK(PyModule_AddObjectRef(module, "__test__", test.get()));
  return 0;
}

#undef TL_INIT_CHECK

int tl_module_exec(PyObject *module) {
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

PyModuleDef_Slot tl_module_slots[] = {
    {Py_mod_create, (void *)tl_module_create},
    {Py_mod_exec, (void *)tl_module_exec},
    {0, nullptr},
};

PyModuleDef tl_module_def = {
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

}  // namespace

PyMODINIT_FUNC PyInit_tl(void) { return PyModuleDef_Init(&tl_module_def); }
