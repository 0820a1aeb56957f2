// Error paths: traceback entries, the module's own error messages, and the
// note that tells where in a message a failure happened. Only failing calls
// come here; the success path pays nothing for any of it.

namespace {

const char kSourceName[] = "src/Mivex/tl";

TL_NOINLINE __attribute__((cold)) void tl_traceback(const char *funcname,
                                                    int line) {
  tl_add_traceback(funcname, kSourceName, line);
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
               "field '%U' of '%U' uses flag bit %d; flags words have bits 0 "
               "to 31",
               f->py_name, c->py_name, (int)f->bit_position);
  return -1;
}

TL_NOINLINE int tl_hex_error(const char *prefix, uint32_t word) {
  char hex[9];
  (void)snprintf(hex, sizeof hex, "%08x", (unsigned)word);
  PyErr_Format(PyExc_ValueError, "%s0x%s", prefix, hex);
  return -1;
}

// --- Where it failed -----------------------------------------------------------
// Each object and vector frame that a failure leaves through adds its step,
// innermost first. A short read, which unpack reports only at the end, stops
// all reading, so it too crosses each frame once.

// Returns whether the step was kept.
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

TL_INLINE void tl_path_reset(TLParserObject *self) {
  self->_path_len = 0;
  self->_path_root = nullptr;
  self->_path_lost = 0;
  self->_fail_missing = false;
  Py_CLEAR(self->_fail_given);
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

// Makes `exc` the context of `winner` (taking the reference to exc) the way
// the interpreter does when one exception interrupts another: never an
// exception its own context, and winner is first cut out of exc's chain, so
// that following __context__ always ends.
void tl_chain_context(PyObject *winner, PyObject *exc) {
  if (winner == exc) {
    Py_DECREF(exc);
    return;
  }
  // Floyd's walk: a chain that already loops is left as it is.
  PyObject *o = exc, *slow = exc;
  bool advance_slow = false;
  for (;;) {
    PyObject *ctx = PyException_GetContext(o);
    if (!ctx) break;
    Py_DECREF(ctx);  // o keeps it alive
    if (ctx == winner) {
      PyException_SetContext(o, nullptr);
      break;
    }
    o = ctx;
    if (advance_slow) {
      PyObject *next = PyException_GetContext(slow);
      Py_XDECREF(next);
      slow = next;
    }
    advance_slow = !advance_slow;
    if (o == slow) break;
  }
  PyException_SetContext(winner, exc);
}

// Adds `note` (a new reference, or null) to the pending exception, leaving
// its type and message alone. A note that cannot be made is left out, but an
// interrupt or exit raised by an overridden add_note wins, with the failure
// as its context.
TL_NOINLINE void tl_attach_note(PyObject *note_text) {
  Ref note = Ref::steal(note_text);
  PyObject *exc = tl_fetch_exception();
  if (!exc) return;
  if (!note) PyErr_Clear();
  Ref done;
  if (note)
    done = Ref::steal(PyObject_CallMethodOneArg(exc, S.add_note, note.get()));
  if (!done && PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) {
    PyObject *winner = tl_fetch_exception();
    if (winner) {
      tl_chain_context(winner, exc);
      tl_restore_exception(winner);
      return;
    }
  }
  PyErr_Clear();
  tl_restore_exception(exc);
}

// The note has to be made while the failure is pending: its text is built
// with the exception set aside.
void tl_add_note(const char *format, ...) {
  PyObject *exc = tl_fetch_exception();
  va_list args;
  va_start(args, format);
  PyObject *note = PyUnicode_FromFormatV(format, args);
  va_end(args);
  if (!note) PyErr_Clear();
  tl_restore_exception(exc);
  tl_attach_note(note);
}

// What the innermost value that failed to pack was expected to be.
PyObject *tl_fail_detail(TLParserObject *self) {
  if (self->_fail_missing)
    return PyUnicode_FromString(" (left out, and an object has no default)");
  if (!self->_fail_given) return PyUnicode_FromString("");
  const char *expected;
  switch (self->_fail_kind) {
    case TL_TYPE_DOUBLE:
      expected = "a float";
      break;
    case TL_TYPE_STRING:
      expected = "a str";
      break;
    case TL_TYPE_BYTES:
      expected = "bytes";
      break;
    case TL_TYPE_BOOL:
    case TL_TYPE_BOXED_BOOL:
    case TL_TYPE_TRUE:
      expected = "a bool";
      break;
    case TL_TYPE_VECTOR:
    case TL_TYPE_BARE_VECTOR:
      expected = "a list";
      break;
    case TL_TYPE_OBJECT:
    case TL_TYPE_TYPED_OBJECT:
    case TL_TYPE_BARE_OBJECT:
      expected = "a dict with \"_\"";
      break;
    default:
      expected = "an int";
  }
  return PyUnicode_FromFormat(" (expected %s, got %.200s)", expected,
                              ((PyTypeObject *)self->_fail_given)->tp_name);
}

// Whether a failure's own message leaves out what was expected: the
// interpreter's errors from a value of the wrong type ("'list' object has
// no attribute 'get'", "bad argument type for built-in operation"), and a
// left-out object. The module's own messages name both sides already.
bool tl_needs_detail(TLParserObject *self, PyObject *exc) {
  if (self->_fail_missing) return true;
  if (!self->_fail_given) return false;
  if (PyErr_GivenExceptionMatches(exc, PyExc_AttributeError)) return true;
  if (!PyErr_GivenExceptionMatches(exc, PyExc_TypeError)) return false;
  Ref text = Ref::steal(PyObject_Str(exc));
  if (!text) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Tailmatch(text.get(), S.expected_prefix, 0, 9, -1) != 1;
}

// The path of the failure as a note on the pending exception.
TL_NOINLINE void tl_add_path_note(TLParserObject *self, const char *verb,
                                  bool at_byte) {
  if (!self->_path_len || self->_path_lost || !self->_path_root) return;
  PyObject *exc = tl_fetch_exception();
  PyObject *note = tl_path_text(self, verb, at_byte);
  if (note && !at_byte && exc && tl_needs_detail(self, exc))
    tl_append(&note, tl_fail_detail(self));
  if (!note) PyErr_Clear();
  tl_restore_exception(exc);
  tl_attach_note(note);
}

// The innermost value that failed to pack: its kind and type, for the note.
TL_NOINLINE void tl_record_failure(TLParserObject *self, TLType kind,
                                   PyObject *value) {
  if (self->_path_len || self->_fail_given || self->_fail_missing) return;
  self->_fail_kind = kind;
  self->_fail_given = Py_NewRef((PyObject *)Py_TYPE(value));
}

}  // namespace
