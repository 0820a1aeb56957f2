// What Python calls on a parser: pack and unpack, their stream and buffer
// forms (unpack_from, iter_unpack, pack_into), and describe.

namespace {

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

// The output of one pack, released on every exit unless taken: a new bytes
// object about as long as the parser's last result, or for pack_into the
// caller's bytearray, written from `offset` and cut to the object's end.
struct OutScope {
  TLParserObject *self;
  size_t original = 0;  // a bytearray's length before
  explicit OutScope(TLParserObject *parser) : self(parser) {}
  OutScope(const OutScope &) = delete;
  OutScope &operator=(const OutScope &) = delete;
  ~OutScope() {
    if (self->_out_is_array) {
      // A failed pack_into leaves the bytearray at its old length.
      SavedError saved;
      if (self->_out_view.obj) PyBuffer_Release(&self->_out_view);
      if (self->_out) (void)PyByteArray_Resize(self->_out, (Py_ssize_t)original);
      self->_out_view.obj = nullptr;
      self->_out_is_array = false;
    }
    Py_CLEAR(self->_out);
    self->_buffer = nullptr;
    self->_buffer_alloc_size = 0;
  }

  // Messages of one parser tend to be alike: the last length is the best
  // guess, and a result that fits exactly needs no resize at the end. The
  // writers ask for a little more room than they use.
  size_t guess() const {
    size_t hint = self->_out_hint;
    return hint ? hint + 32 + hint / 64 : kMinCapacity;
  }

  int open_bytes() {
    size_t cap = guess();
    self->_out = PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)cap);
    if (!self->_out) return -1;
    self->_buffer = (unsigned char *)PyBytes_AS_STRING(self->_out);
    self->_buffer_alloc_size = cap;
    self->_position = 0;
    return 0;
  }

  int open_array(PyObject *array, size_t offset) {
    original = (size_t)PyByteArray_GET_SIZE(array);
    self->_out = Py_NewRef(array);
    self->_out_is_array = true;
    self->_out_view.obj = nullptr;
    self->_position = offset;
    size_t cap = offset + guess();
    return tl_out_resize(self, cap > original ? cap : original);
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

  // pack_into: the bytearray ends where the object does.
  int finish_array(size_t start) {
    size_t end = self->_position;
    // Done writing: the export goes first, so the cut needs no new one.
    PyBuffer_Release(&self->_out_view);
    self->_out_view.obj = nullptr;
    if ((size_t)PyByteArray_GET_SIZE(self->_out) != end &&
        PyByteArray_Resize(self->_out, (Py_ssize_t)end) < 0)
      return -1;
    self->_out_is_array = false;
    self->_out_hint = end - start;
    Py_CLEAR(self->_out);
    return 0;
  }
};

// Writes one top-level object at the cursor of an open output.
int tl_pack_object(TLParserObject *self, PyObject *value) {
  self->_origin = self->_position;
  self->_error = 0;
  tl_path_reset(self);
  if (TLParser_write_object(self, value, nullptr, 1) < 0) {
    if (!self->_path_len && !PyDict_Check(value))
      tl_add_note("pack takes a dict whose \"_\" names the constructor, got "
                  "%.200s", Py_TYPE(value)->tp_name);
    tl_add_path_note(self, "packing", false);
    return -1;
  }
  return 0;
}

PyObject *tl_pack(TLParserObject *self, PyObject *value) {
  if (TL_UNLIKELY(!tl_available(self))) return tl_unavailable(self);
  BusyScope busy(self);
  OutScope out(self);
  if (out.open_bytes() < 0 || tl_pack_object(self, value) < 0) return nullptr;
  return out.take(self->_position);
}

// Reads one top-level object from data[offset..size), which the caller
// holds for the whole call; *end is where it ended (at most size).
PyObject *tl_unpack_at(TLParserObject *self, const unsigned char *data,
                       size_t size, size_t offset, size_t *end) {
  if (TL_UNLIKELY(!tl_available(self))) return tl_unavailable(self);
  BusyScope busy(self);
  self->_input = data;
  self->_buffer_size = size;
  self->_position = offset;
  self->_origin = offset;
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
  // A last byte string may end without its padding.
  *end = self->_position < size ? self->_position : size;
  return parsed.release();
}

// Reads straight from the caller's bytes, which are immutable and held by
// the caller for the whole call.
PyObject *tl_unpack(TLParserObject *self, PyObject *data) {
  if (data == Py_None) {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return nullptr;
  }
  size_t end;
  return tl_unpack_at(self, (const unsigned char *)PyBytes_AS_STRING(data),
                      (size_t)PyBytes_GET_SIZE(data), 0, &end);
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

// --- Buffers and streams ----------------------------------------------------------

// A read-only export of any C-contiguous buffer; -1 with TypeError (the
// exporter's own error as its cause) for anything else.
int tl_read_buffer(PyObject *obj, Py_buffer *view) {
  if (PyObject_GetBuffer(obj, view, PyBUF_SIMPLE) == 0) return 0;
  if (!PyErr_ExceptionMatches(PyExc_BufferError) &&
      !PyErr_ExceptionMatches(PyExc_TypeError) &&
      !PyErr_ExceptionMatches(PyExc_ValueError))
    return -1;
  PyObject *cause = tl_fetch_exception();
  tl_expected("a C-contiguous buffer", obj);
  PyObject *exc = tl_fetch_exception();
  PyException_SetContext(exc, Py_NewRef(cause));
  PyException_SetCause(exc, cause);
  tl_restore_exception(exc);
  return -1;
}

// An offset into `size` bytes: 0 to size, or -1 standing for size when
// `end_ok`; ValueError otherwise.
int tl_offset(PyObject *obj, size_t size, bool end_ok, size_t *out) {
  if (!obj) {
    *out = 0;
    return 0;
  }
  Py_ssize_t offset = PyNumber_AsSsize_t(obj, nullptr);  // clamps huge ints
  if (offset == -1 && PyErr_Occurred()) return -1;
  if (offset == -1 && end_ok) {
    *out = size;
    return 0;
  }
  if (offset < 0 || (size_t)offset > size) {
    PyErr_Format(PyExc_ValueError,
                 "offset %zd is out of range for a buffer of %zu bytes%s",
                 offset, size, end_ok ? " (-1 is its end)" : "");
    return -1;
  }
  *out = (size_t)offset;
  return 0;
}

// Releases a buffer export at the end of a call.
struct BufferScope {
  Py_buffer view{};
  BufferScope() = default;
  BufferScope(const BufferScope &) = delete;
  BufferScope &operator=(const BufferScope &) = delete;
  ~BufferScope() {
    if (view.obj) PyBuffer_Release(&view);
  }
};

// unpack_from(buffer, offset=0) -> (object, end)
PyObject *TLParser_unpack_from(PyObject *o, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames) {
  constexpr char kOp[] = "Mivex.tl.TLParser.unpack_from";
  PyObject *names[2] = {S.arg_buffer, S.arg_offset};
  PyObject *given[2];
  if (tl_parse_args_opt("unpack_from", 2, 1, names, args, nargs, kwnames,
                        given) < 0)
    return TL_FAIL_NULL(kOp);
  BufferScope in;
  const unsigned char *data;
  size_t size, offset, end;
  if (PyBytes_CheckExact(given[0])) {  // immutable: no export needed
    data = (const unsigned char *)PyBytes_AS_STRING(given[0]);
    size = (size_t)PyBytes_GET_SIZE(given[0]);
  } else {
    if (tl_read_buffer(given[0], &in.view) < 0) return TL_FAIL_NULL(kOp);
    data = (const unsigned char *)in.view.buf;
    size = (size_t)in.view.len;
  }
  if (tl_offset(given[1], size, false, &offset) < 0) return TL_FAIL_NULL(kOp);
  Ref parsed = Ref::steal(
      tl_unpack_at((TLParserObject *)o, data, size, offset, &end));
  if (!parsed) return TL_FAIL_NULL(kOp);
  // Built by hand: Py_BuildValue parses its format on every call, which
  // cost more than the rest of unpack_from's own work.
  Ref stop = Ref::steal(PyLong_FromSsize_t((Py_ssize_t)end));
  if (!stop) return TL_FAIL_NULL(kOp);
  PyObject *result = PyTuple_New(2);
  if (!result) return TL_FAIL_NULL(kOp);
  PyTuple_SET_ITEM(result, 0, parsed.release());
  PyTuple_SET_ITEM(result, 1, stop.release());
  return result;
}

// pack_into(value, buffer, offset=0): writes into a bytearray from offset
// (-1: its end) and cuts it to end where the object does.
PyObject *TLParser_pack_into(PyObject *o, PyObject *const *args,
                             Py_ssize_t nargs, PyObject *kwnames) {
  constexpr char kOp[] = "Mivex.tl.TLParser.pack_into";
  TLParserObject *self = (TLParserObject *)o;
  PyObject *names[3] = {S.arg_value, S.arg_buffer, S.arg_offset};
  PyObject *given[3];
  if (tl_parse_args_opt("pack_into", 3, 2, names, args, nargs, kwnames,
                        given) < 0)
    return TL_FAIL_NULL(kOp);
  PyObject *array = given[1];
  if (!PyByteArray_Check(array)) {
    tl_expected("bytearray", array);
    return TL_FAIL_NULL(kOp);
  }
  size_t offset;
  if (tl_offset(given[2], (size_t)PyByteArray_GET_SIZE(array), true, &offset) <
      0)
    return TL_FAIL_NULL(kOp);
  if (TL_UNLIKELY(!tl_available(self))) {
    tl_unavailable(self);
    return TL_FAIL_NULL(kOp);
  }
  BusyScope busy(self);
  OutScope out(self);
  if (out.open_array(array, offset) < 0 || tl_pack_object(self, given[0]) < 0 ||
      out.finish_array(offset) < 0)
    return TL_FAIL_NULL(kOp);
  Py_RETURN_NONE;
}

// The iterator of iter_unpack: objects back to back from an offset to the
// end. It holds the buffer's export while it is alive, so the buffer cannot
// be resized or released under it; the parser is busy only during a step.
struct TLUnpackIterObject {
  PyObject_HEAD
  PyObject *parser;  // owned; null once finished
  Py_buffer view;    // held until finished
  size_t offset;
};

void tl_iter_finish(TLUnpackIterObject *it) {
  if (it->view.obj) PyBuffer_Release(&it->view);
  it->view.obj = nullptr;
  Py_CLEAR(it->parser);
}

PyObject *TLUnpackIter_next(PyObject *o) {
  TLUnpackIterObject *it = (TLUnpackIterObject *)o;
  if (!it->parser) return nullptr;
  size_t size = (size_t)it->view.len, end;
  if (it->offset >= size) {
    tl_iter_finish(it);
    return nullptr;  // StopIteration
  }
  TLParserObject *parser = (TLParserObject *)it->parser;
  if (!tl_available(parser)) {  // busy elsewhere: this step may be retried
    tl_unavailable(parser);
    TL_TB("TLParser.iter_unpack");
    return nullptr;
  }
  PyObject *parsed = tl_unpack_at(
      parser, (const unsigned char *)it->view.buf, size, it->offset, &end);
  if (!parsed) {
    // After a failure there is nothing more to read: the next call stops.
    tl_iter_finish(it);
    TL_TB("TLParser.iter_unpack");
    return nullptr;
  }
  it->offset = end;
  return parsed;
}

void TLUnpackIter_dealloc(PyObject *o) {
  PyObject_GC_UnTrack(o);
  tl_iter_finish((TLUnpackIterObject *)o);
  Py_TYPE(o)->tp_free(o);
}

int TLUnpackIter_traverse(PyObject *o, visitproc visit, void *arg) {
  TLUnpackIterObject *it = (TLUnpackIterObject *)o;
  Py_VISIT(it->parser);
  Py_VISIT(it->view.obj);
  return 0;
}

int TLUnpackIter_clear(PyObject *o) {
  tl_iter_finish((TLUnpackIterObject *)o);
  return 0;
}

PyTypeObject TLUnpackIterType = [] {
  PyTypeObject t = tl_static_type("Mivex.tl.TLUnpackIterator");
  t.tp_basicsize = sizeof(TLUnpackIterObject);
  t.tp_dealloc = TLUnpackIter_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
               Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  t.tp_traverse = TLUnpackIter_traverse;
  t.tp_clear = TLUnpackIter_clear;
  t.tp_iter = PyObject_SelfIter;
  t.tp_iternext = TLUnpackIter_next;
  return t;
}();

// iter_unpack(buffer, offset=0)
PyObject *TLParser_iter_unpack(PyObject *o, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames) {
  constexpr char kOp[] = "Mivex.tl.TLParser.iter_unpack";
  PyObject *names[2] = {S.arg_buffer, S.arg_offset};
  PyObject *given[2];
  if (tl_parse_args_opt("iter_unpack", 2, 1, names, args, nargs, kwnames,
                        given) < 0)
    return TL_FAIL_NULL(kOp);
  TLUnpackIterObject *it =
      PyObject_GC_New(TLUnpackIterObject, &TLUnpackIterType);
  if (!it) return TL_FAIL_NULL(kOp);
  it->parser = nullptr;
  it->view.obj = nullptr;
  it->offset = 0;
  Ref owner = Ref::steal((PyObject *)it);
  if (tl_read_buffer(given[0], &it->view) < 0) {
    it->view.obj = nullptr;
    return TL_FAIL_NULL(kOp);
  }
  if (tl_offset(given[1], (size_t)it->view.len, false, &it->offset) < 0)
    return TL_FAIL_NULL(kOp);
  it->parser = Py_NewRef(o);
  PyObject_GC_Track((PyObject *)it);
  return owner.release();
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
    // The type as written; a bare object's is its constructor's type.
    PyObject *name = type == TL_TYPE_BARE_OBJECT ? c->py_result
                     : node->name                ? node->name
                                                 : Py_None;
    if (PyDict_SetItemString(d.get(), "type", name) < 0) return nullptr;
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

}  // namespace
