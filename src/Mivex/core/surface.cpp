// The Python surface: the two classes with construction, teardown and
// collector hooks, the pickling refusals, and module initialisation.

namespace {

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
  t.tp_doc =
      "Compiles a schema; TLParser makes one of its own. Exposed to check a "
      "schema on its own.";
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
      if (status < 0) tl_add_compile_note(c);
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
  PyObject *names[3] = {S.arg_schema_json, S.arg_standard, S.arg_strict};
  PyObject *given[3];
  if (tl_parse_args_tuple("__cinit__", 1, 2, names, args, kwds, given) < 0 ||
      tl_flag_argument(given[1], &self->_standard) < 0 ||
      tl_flag_argument(given[2], &self->_strict) < 0)
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
    Py_CLEAR(self->_fail_given);
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

PyObject *TLParser_get_strict(PyObject *o, void *) {
  return PyBool_FromLong(((TLParserObject *)o)->_strict);
}

PyGetSetDef TLParser_getset[] = {
    {"standard", TLParser_get_standard, nullptr,
     "Whether the parser speaks the standard TL profile (read-only).", nullptr},
    {"strict", TLParser_get_strict, nullptr,
     "Whether pack refuses what it would otherwise coerce, default or ignore "
     "(read-only).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject TLParserType = [] {
  PyTypeObject t = tl_static_type("Mivex.tl.TLParser");
  t.tp_basicsize = sizeof(TLParserObject);
  // A signature only: __doc__ stays None, __text_signature__ reads
  // "(schema_json)".
  t.tp_doc =
      "TLParser(schema_json, *, standard=False, strict=False)\n--\n\n"
      "Packs dicts into TL bytes and unpacks them, by one compiled schema "
      "(JSON text, or the parsed dict).\n\n"
      "standard=True selects the standard TL wire profile that other TL "
      "peers speak; strict=True makes pack refuse unknown keys, missing "
      "fields and values it would otherwise convert. A parser serves one "
      "call at a time.";
  t.tp_dealloc = TLParser_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
               Py_TPFLAGS_IMMUTABLETYPE;
  t.tp_traverse = TLParser_traverse;
  t.tp_clear = TLParser_clear;
  t.tp_new = TLParser_new;
  t.tp_getset = TLParser_getset;
  return t;
}();

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
      {&S.arg_strict, "strict"},
      {&S.arg_buffer, "buffer"},
      {&S.arg_offset, "offset"},
      {&S.dealloc_context, "Mivex.tl.TLSchemaCompiler.__dealloc__"},
      {&S.add_note, "add_note"},
      {&S.expected_prefix, "Expected "},
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
  TL_INIT_CHECK(PyType_Ready(&TLUnpackIterType));
  TL_INIT_CHECK(tl_register_class(
      module, &TLSchemaCompilerType, "TLSchemaCompiler",
      {TLSchemaCompiler_reduce, TLSchemaCompiler_setstate}));
  TL_INIT_CHECK(tl_register_class(module, &TLParserType, "TLParser",
                                  {TLParser_reduce, TLParser_setstate}));

  Ref json = Ref::steal(PyImport_Import(S.json));
  TL_INIT_CHECK(json ? 0 : -1);
  TL_INIT_CHECK(PyModule_AddObjectRef(module, "json", json.get()));

  TL_INIT_CHECK(tl_bind_method(
      &TLSchemaCompilerType, "TLSchemaCompiler", "compile",
      "($self, /, json_data)", TLSchemaCompiler_compile,
      "Compile a schema (JSON text, or the parsed dict), replacing the one "
      "before.\n\nRaises RuntimeError while this compiler is compiling or "
      "once a parser owns it."));
  TL_INIT_CHECK(tl_bind_method(
      &TLParserType, "TLParser", "unpack", "($self, /, data)", TLParser_unpack,
      "Parse one object from data, which must be exactly bytes.\n\nBytes "
      "after the object are ignored. Input that ends too early raises "
      "RuntimeError \"Parse error at position N\"; an unknown constructor "
      "or vector id raises ValueError."));
  TL_INIT_CHECK(tl_bind_method(
      &TLParserType, "TLParser", "pack", "($self, /, value)", TLParser_pack,
      "Serialize one object to bytes: a dict whose \"_\" names its "
      "constructor and whose other keys are its fields."));
  TL_INIT_CHECK(tl_bind_method(
      &TLParserType, "TLParser", "describe", "($self, /)", TLParser_describe,
      "The compiled schema as the codec sees it: one dict per constructor "
      "and method, with its fields' roles, flag bits and types."));
  TL_INIT_CHECK(tl_bind_method(
      &TLParserType, "TLParser", "unpack_from", "($self, /, buffer, offset=0)",
      TLParser_unpack_from,
      "Parse one object at offset of any C-contiguous buffer, without "
      "copying it; returns (object, end), end being the offset just past "
      "it. Error positions count from the start of the buffer."));
  TL_INIT_CHECK(tl_bind_method(
      &TLParserType, "TLParser", "iter_unpack", "($self, /, buffer, offset=0)",
      TLParser_iter_unpack,
      "An iterator over the objects stored back to back in buffer from "
      "offset to the end. The buffer cannot be resized or released while "
      "it lives; an object cut off at the end raises the parse error after "
      "the ones before it."));
  TL_INIT_CHECK(tl_bind_method(
      &TLParserType, "TLParser", "pack_into",
      "($self, /, value, buffer, offset=0)", TLParser_pack_into,
      "Pack value into a bytearray from offset (-1: its end), which then "
      "ends exactly where the object does. Returns None."));

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
