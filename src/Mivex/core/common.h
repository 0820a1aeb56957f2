// Shared by every part of the native core: the reference owner, saved
// errors, branch hints, the module's interned strings, and the handful of
// error helpers that every part raises with.
//
// The core is one translation unit (tl.cpp includes each part in the order
// data flows), so everything lives in one anonymous namespace and the
// compiler inlines freely across parts.
#ifndef MIVEX_CORE_COMMON_H
#define MIVEX_CORE_COMMON_H

#include "compat.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "Mivex.tl stores words with memcpy and needs a little-endian host"
#endif

#define TL_LIKELY(x) __builtin_expect(!!(x), 1)
#define TL_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define TL_INLINE inline __attribute__((always_inline))
#define TL_NOINLINE __attribute__((noinline))

namespace {

// Owner of one strong reference. Borrowed references stay raw PyObject*
// and are never stored beyond the call that lent them.
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

// Sets aside the exception pending at construction (if any) while cleanup
// code runs, and puts it back at destruction; whatever the cleanup raised
// and did not handle is dropped.
class SavedError {
 public:
  SavedError() noexcept : exc_(tl_fetch_exception()) {}
  SavedError(const SavedError &) = delete;
  SavedError &operator=(const SavedError &) = delete;
  ~SavedError() {
    PyErr_Clear();
    tl_restore_exception(exc_);
  }

 private:
  PyObject *exc_;
};

// Traceback entries name the operation that failed ("Mivex.tl.TLParser.
// _write_object") and the line of the failing statement; defined with the
// error paths. The exception must already be set.
void tl_traceback(const char *funcname, int line);
#define TL_TB(op) tl_traceback("Mivex.tl." op, __LINE__)
// Adds the entry of operation `op` (its full name) and yields failure.
#define TL_FAIL(op) (tl_traceback(op, __LINE__), -1)
#define TL_FAIL_NULL(op) (tl_traceback(op, __LINE__), nullptr)

// Adds a note (PyUnicode_FromFormat's format) to the pending exception,
// leaving its type and message alone; defined with the error paths.
void tl_add_note(const char *format, ...);

// Interned strings, created once by the exec step and kept for the life of
// the process (the module is never unloaded).
struct Constants {
  PyObject *underscore, *get, *json, *loads, *compile;
  PyObject *constructors, *methods, *predicate, *method, *type, *id, *params,
      *name;
  PyObject *empty_str, *empty_bytes, *zero, *module_name;
  PyObject *arg_json_data, *arg_schema_json, *arg_value, *arg_data,
      *arg_state, *arg_standard, *arg_strict, *arg_buffer, *arg_offset;
  PyObject *dealloc_context, *add_note, *expected_prefix;
};
Constants S;

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

}  // namespace

#endif  // MIVEX_CORE_COMMON_H
