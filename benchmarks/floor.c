/*
 * The C reference codec: for each shape of the benchmark corpus, hand-written
 * C for that shape alone, doing the work of a TL codec for CPython the plain
 * way.  (Its key in the benchmarks is still "floor".)
 *
 * pack<N>(dict) -> bytes
 *   checks that each object is an exact dict naming the expected constructor
 *   under "_", does one dictionary lookup per schema field with interned
 *   keys, the exact type check and value extraction of each value, computes
 *   the exact size, allocates one bytes object and writes the same bytes as
 *   Mivex into it.
 * unpack<N>(bytes) -> dict
 *   reads straight from the caller's bytes with bounds checks, checks the
 *   constructor and vector ids, and builds exactly the Python objects of the
 *   result: presized dicts with interned keys, cached constructor names,
 *   ints, floats, bools, UTF-8-checked str and bytes.
 *
 * There is no schema interpretation, no buffer growth and no per-field
 * dispatch.  It is a reference point, not a lower bound: Mivex is faster on
 * most shapes (its unpack copies a prepared dict instead of building one key
 * by key).  Constructor ids come from the build (-DID_<name>=...), taken from
 * benchmarks/shapes.py.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <string.h>

#define VECTOR_ID 0x1cb5c415u
#define MAX_BYTES 0xFFFFFF

#define LIKELY(x) __builtin_expect(!!(x), 1)
#define UNLIKELY(x) __builtin_expect(!!(x), 0)

/* ---------------------------------------------------------------------- */
/* Keys and constructor names, interned once                              */
/* ---------------------------------------------------------------------- */

#define KEYS(X)                                                              \
  X(_) X(id) X(access_hash) X(date) X(version) X(rating) X(verified)        \
  X(first_name) X(lang_code) X(caption) X(data) X(out) X(mentioned)         \
  X(pinned) X(views) X(reply_to_id) X(post_author) X(edit_date)             \
  X(grouped_id) X(via_bot_id) X(message) X(sender) X(silent) X(user_id)     \
  X(username) X(photo) X(premium) X(photo_id) X(dc_id) X(w) X(h) X(aspect)  \
  X(users) X(ids)

#define NAMES(X)                                                             \
  X(benchUser) X(benchDocument) X(benchChannelPost) X(benchMessage)         \
  X(benchPeer) X(benchPhoto) X(benchUserList) X(benchIdList)                \
  X(benchFilePart)

#define DECLARE_KEY(k) static PyObject *k_##k;
#define DECLARE_NAME(n) static PyObject *n_##n;
KEYS(DECLARE_KEY)
NAMES(DECLARE_NAME)

/* ---------------------------------------------------------------------- */
/* Errors (out of line)                                                   */
/* ---------------------------------------------------------------------- */

static __attribute__((noinline)) int err_missing(PyObject *key) {
  if (!PyErr_Occurred())
    PyErr_Format(PyExc_KeyError, "missing field %R", key);
  return -1;
}

static __attribute__((noinline)) int err_type(const char *want, PyObject *v) {
  PyErr_Format(PyExc_TypeError, "expected %s, got %.200s", want,
               Py_TYPE(v)->tp_name);
  return -1;
}

static __attribute__((noinline)) int err_ctor(PyObject *v) {
  PyErr_Format(PyExc_ValueError, "Unknown constructor: %R", v);
  return -1;
}

static __attribute__((noinline)) int err_parse(const unsigned char *at,
                                               const unsigned char *start) {
  PyErr_Format(PyExc_RuntimeError, "Parse error at position %zd",
               (Py_ssize_t)(at - start));
  return -1;
}

static __attribute__((noinline)) int err_id(const char *what, uint32_t id) {
  PyErr_Format(PyExc_ValueError, "%s: 0x%08x", what, (unsigned)id);
  return -1;
}

/* ---------------------------------------------------------------------- */
/* Value extraction for packing: exact types first, generic fallback      */
/* ---------------------------------------------------------------------- */

typedef struct {
  const char *s;
  Py_ssize_t n;
} Span;

static inline PyObject *field(PyObject *d, PyObject *key) {
  PyObject *v = PyDict_GetItemWithError(d, key);
  if (UNLIKELY(!v)) err_missing(key);
  return v;
}

/* An exact dict whose "_" names `name` (interned, so identity is the usual
 * hit; equal text is accepted too). */
static inline int check_object(PyObject *d, PyObject *name) {
  if (UNLIKELY(!PyDict_CheckExact(d))) return err_type("dict", d);
  PyObject *t = PyDict_GetItemWithError(d, k__);
  if (UNLIKELY(!t)) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_ValueError, "Object must have '_' field");
    return -1;
  }
  if (LIKELY(t == name)) return 0;
  if (PyUnicode_Check(t) && PyUnicode_Compare(t, name) == 0) return 0;
  if (PyErr_Occurred()) return -1;
  return err_ctor(t);
}

static __attribute__((noinline)) int u64_slow(PyObject *v, uint64_t *out) {
  if (!PyLong_Check(v)) return err_type("int", v);
  unsigned long long x = PyLong_AsUnsignedLongLong(v);
  if (x == (unsigned long long)-1 && PyErr_Occurred()) return -1;
  *out = x;
  return 0;
}

/* The 30-bit digits of an int and their signed count, read directly: the
   layout moved into lv_tag in 3.12 (cpython/longintrepr.h). */
static inline Py_ssize_t digits_of(PyObject *v, const digit **dg) {
#if PY_VERSION_HEX >= 0x030C0000
  const PyLongObject *o = (const PyLongObject *)v;
  uintptr_t tag = o->long_value.lv_tag;
  Py_ssize_t n = (Py_ssize_t)(tag >> _PyLong_NON_SIZE_BITS);
  *dg = o->long_value.ob_digit;
  return (tag & _PyLong_SIGN_MASK) == 2 ? -n : n;
#else
  *dg = ((PyLongObject *)v)->ob_digit;
  return Py_SIZE(v);
#endif
}

/* Reads the digits directly for up to 64 bits. */
static inline int get_u64(PyObject *v, uint64_t *out) {
  if (LIKELY(PyLong_CheckExact(v))) {
    const digit *dg;
    switch (digits_of(v, &dg)) {
      case 0: *out = 0; return 0;
      case 1: *out = dg[0]; return 0;
      case 2: *out = (uint64_t)dg[0] | (uint64_t)dg[1] << 30; return 0;
      case 3:
        if (dg[2] < 16) {
          *out = (uint64_t)dg[0] | (uint64_t)dg[1] << 30 | (uint64_t)dg[2] << 60;
          return 0;
        }
        break;
    }
  }
  return u64_slow(v, out);
}

static __attribute__((noinline)) int i32_slow(PyObject *v, int32_t *out) {
  if (!PyLong_Check(v)) return err_type("int", v);
  long x = PyLong_AsLong(v);
  if (x == -1 && PyErr_Occurred()) return -1;
  if (x < INT32_MIN || x > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int32_t");
    return -1;
  }
  *out = (int32_t)x;
  return 0;
}

static inline int get_i32(PyObject *v, int32_t *out) {
  if (LIKELY(PyLong_CheckExact(v))) {
    const digit *dg;
    switch (digits_of(v, &dg)) {
      case 0: *out = 0; return 0;
      case 1: *out = (int32_t)dg[0]; return 0;
      case -1: *out = -(int32_t)dg[0]; return 0;
      case 2: {
        uint64_t x = (uint64_t)dg[0] | (uint64_t)dg[1] << 30;
        if (x <= INT32_MAX) { *out = (int32_t)x; return 0; }
        break;
      }
      case -2: {
        uint64_t x = (uint64_t)dg[0] | (uint64_t)dg[1] << 30;
        if (x <= (uint64_t)INT32_MAX + 1) { *out = (int32_t)(-(int64_t)x); return 0; }
        break;
      }
    }
  }
  return i32_slow(v, out);
}

static inline int get_f64(PyObject *v, double *out) {
  if (LIKELY(PyFloat_CheckExact(v))) {
    *out = PyFloat_AS_DOUBLE(v);
    return 0;
  }
  double x = PyFloat_AsDouble(v);
  if (x == -1.0 && PyErr_Occurred()) return -1;
  *out = x;
  return 0;
}

static inline int get_bool(PyObject *v, uint32_t *out) {
  if (v == Py_True) { *out = 1; return 0; }
  if (v == Py_False) { *out = 0; return 0; }
  int t = PyObject_IsTrue(v);
  if (t < 0) return -1;
  *out = (uint32_t)t;
  return 0;
}

static inline int get_str(PyObject *v, Span *out) {
  if (UNLIKELY(!PyUnicode_CheckExact(v))) return err_type("str", v);
  if (LIKELY(PyUnicode_IS_COMPACT_ASCII(v))) {
    out->s = (const char *)PyUnicode_DATA(v);
    out->n = PyUnicode_GET_LENGTH(v);
  } else {
    out->s = PyUnicode_AsUTF8AndSize(v, &out->n);
    if (!out->s) return -1;
  }
  if (UNLIKELY(out->n > MAX_BYTES)) {
    PyErr_SetString(PyExc_ValueError, "byte string too long");
    return -1;
  }
  return 0;
}

static inline int get_bytes(PyObject *v, Span *out) {
  if (UNLIKELY(!PyBytes_CheckExact(v))) return err_type("bytes", v);
  out->s = PyBytes_AS_STRING(v);
  out->n = PyBytes_GET_SIZE(v);
  if (UNLIKELY(out->n > MAX_BYTES)) {
    PyErr_SetString(PyExc_ValueError, "byte string too long");
    return -1;
  }
  return 0;
}

/* Lookup, exact check and extraction of one field, in a function
 * returning int (GET) or a pointer (GETN). */
#define GET(d, key, getter, dst)                          \
  do {                                                    \
    PyObject *v_ = field((d), (key));                     \
    if (UNLIKELY(!v_) || UNLIKELY(getter(v_, (dst)) < 0)) \
      return -1;                                          \
  } while (0)

#define GETN(d, key, getter, dst)                          \
  do {                                                     \
    PyObject *v_ = field((d), (key));                      \
    if (UNLIKELY(!v_) || UNLIKELY(getter(v_, (dst)) < 0))  \
      return NULL;                                         \
  } while (0)

/* ---------------------------------------------------------------------- */
/* Writing                                                                */
/* ---------------------------------------------------------------------- */

static inline Py_ssize_t bsize(Py_ssize_t n) {
  return n < 254 ? (n + 4) & ~(Py_ssize_t)3 : (n + 7) & ~(Py_ssize_t)3;
}

static inline unsigned char *put32(unsigned char *p, uint32_t v) {
  memcpy(p, &v, 4);
  return p + 4;
}

static inline unsigned char *put64(unsigned char *p, uint64_t v) {
  memcpy(p, &v, 8);
  return p + 8;
}

static inline unsigned char *putf(unsigned char *p, double v) {
  memcpy(p, &v, 8);
  return p + 8;
}

static inline unsigned char *putb(unsigned char *p, Span b) {
  Py_ssize_t total = bsize(b.n);
  unsigned char *end = p + total;
  size_t n = (size_t)b.n;
  if (n < 254) {
    *p++ = (unsigned char)n;
  } else {
    p = put32(p, 0xFEu | (uint32_t)n << 8);
  }
  memcpy(p, b.s, n);
  p += n;
  memset(p, 0, (size_t)(end - p));
  return end;
}

static inline PyObject *new_bytes(Py_ssize_t size, unsigned char **p) {
  PyObject *out = PyBytes_FromStringAndSize(NULL, size);
  if (out) *p = (unsigned char *)PyBytes_AS_STRING(out);
  return out;
}

/* ---------------------------------------------------------------------- */
/* Reading                                                                */
/* ---------------------------------------------------------------------- */

typedef struct {
  const unsigned char *p, *end, *start;
} Rd;

static inline int rd32(Rd *r, uint32_t *v) {
  if (UNLIKELY(r->end - r->p < 4)) return err_parse(r->p, r->start);
  memcpy(v, r->p, 4);
  r->p += 4;
  return 0;
}

static inline int rd64(Rd *r, uint64_t *v) {
  if (UNLIKELY(r->end - r->p < 8)) return err_parse(r->p, r->start);
  memcpy(v, r->p, 8);
  r->p += 8;
  return 0;
}

static inline int rdf(Rd *r, double *v) {
  if (UNLIKELY(r->end - r->p < 8)) return err_parse(r->p, r->start);
  memcpy(v, r->p, 8);
  r->p += 8;
  return 0;
}

static inline int rdb(Rd *r, Span *out) {
  const unsigned char *p = r->p;
  Py_ssize_t avail = r->end - p, hdr, n;
  if (UNLIKELY(avail < 1)) return err_parse(p, r->start);
  if (p[0] == 0xFE) {
    if (UNLIKELY(avail < 4)) return err_parse(p, r->start);
    n = (Py_ssize_t)(p[1] | p[2] << 8 | p[3] << 16);
    hdr = 4;
  } else {
    n = p[0];
    hdr = 1;
  }
  if (UNLIKELY(n > avail - hdr)) return err_parse(p, r->start);
  out->s = (const char *)p + hdr;
  out->n = n;
  Py_ssize_t total = (hdr + n + 3) & ~(Py_ssize_t)3;
  r->p = total <= avail ? p + total : r->end; /* padding may be cut off */
  return 0;
}

static inline int rd_ctor(Rd *r, uint32_t want) {
  uint32_t id;
  if (rd32(r, &id) < 0) return -1;
  if (UNLIKELY(id != want)) return err_id("Unknown constructor ID", id);
  return 0;
}

/* The count of a vector whose elements take at least `min` bytes each. */
static inline int rd_vector(Rd *r, Py_ssize_t min, Py_ssize_t *count) {
  uint32_t id, n;
  if (rd32(r, &id) < 0) return -1;
  if (UNLIKELY(id != VECTOR_ID)) return err_id("Invalid vector ID", id);
  if (rd32(r, &n) < 0) return -1;
  if (UNLIKELY((int32_t)n < 0 || (Py_ssize_t)n > (r->end - r->p) / min))
    return err_parse(r->p, r->start);
  *count = (Py_ssize_t)n;
  return 0;
}

static inline Rd reader(PyObject *data, int *ok) {
  Rd r = {NULL, NULL, NULL};
  *ok = PyBytes_CheckExact(data);
  if (!*ok) {
    err_type("bytes", data);
    return r;
  }
  r.start = r.p = (const unsigned char *)PyBytes_AS_STRING(data);
  r.end = r.p + PyBytes_GET_SIZE(data);
  return r;
}

/* Stores a new reference under an interned key; steals `v`. */
static inline int put(PyObject *d, PyObject *key, PyObject *v) {
  if (UNLIKELY(!v)) return -1;
  int rc = PyDict_SetItem(d, key, v);
  Py_DECREF(v);
  return rc;
}

static inline PyObject *new_dict(Py_ssize_t keys) {
  return keys > 5 ? _PyDict_NewPresized(keys) : PyDict_New();
}

/* Each reader that uses PUT has a `fail:` label releasing what it holds. */
#define PUT(d, key, expr)                                  \
  do {                                                     \
    if (UNLIKELY(put((d), (key), (expr)) < 0)) goto fail;  \
  } while (0)

static inline PyObject *py_u32(uint32_t v) { return PyLong_FromUnsignedLong(v); }
static inline PyObject *py_u64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
static inline PyObject *py_bool(uint32_t v) { return Py_NewRef(v ? Py_True : Py_False); }
static inline PyObject *py_str(Span s) { return PyUnicode_DecodeUTF8(s.s, s.n, NULL); }
static inline PyObject *py_bytes(Span s) { return PyBytes_FromStringAndSize(s.s, s.n); }

/* ====================================================================== */
/* benchUser (shapes 1 and 5)                                             */
/* ====================================================================== */

typedef struct {
  uint64_t id, access_hash;
  int32_t date, version;
  double rating;
  uint32_t verified;
  Span first_name, lang_code;
} User;

static inline int user_get(PyObject *d, User *u) {
  if (UNLIKELY(check_object(d, n_benchUser) < 0)) return -1;
  GET(d, k_id, get_u64, &u->id);
  GET(d, k_access_hash, get_u64, &u->access_hash);
  GET(d, k_date, get_i32, &u->date);
  GET(d, k_version, get_i32, &u->version);
  GET(d, k_rating, get_f64, &u->rating);
  GET(d, k_verified, get_bool, &u->verified);
  GET(d, k_first_name, get_str, &u->first_name);
  GET(d, k_lang_code, get_str, &u->lang_code);
  return 0;
}

static inline Py_ssize_t user_size(const User *u) {
  return 4 + 8 + 8 + 4 + 4 + 8 + 4 + bsize(u->first_name.n) + bsize(u->lang_code.n);
}

static inline unsigned char *user_put(unsigned char *p, const User *u) {
  p = put32(p, ID_benchUser);
  p = put64(p, u->id);
  p = put64(p, u->access_hash);
  p = put32(p, (uint32_t)u->date);
  p = put32(p, (uint32_t)u->version);
  p = putf(p, u->rating);
  p = put32(p, u->verified);
  p = putb(p, u->first_name);
  return putb(p, u->lang_code);
}

static inline PyObject *user_read(Rd *r) {
  uint64_t id, ah;
  uint32_t date, version, verified;
  double rating;
  Span fn, lc;
  if (rd_ctor(r, ID_benchUser) < 0 || rd64(r, &id) < 0 || rd64(r, &ah) < 0 ||
      rd32(r, &date) < 0 || rd32(r, &version) < 0 || rdf(r, &rating) < 0 ||
      rd32(r, &verified) < 0 || rdb(r, &fn) < 0 || rdb(r, &lc) < 0)
    return NULL;
  PyObject *d = new_dict(9);
  if (!d) return NULL;
  PUT(d, k__, Py_NewRef(n_benchUser));
  PUT(d, k_id, py_u64(id));
  PUT(d, k_access_hash, py_u64(ah));
  PUT(d, k_date, py_u32(date));
  PUT(d, k_version, py_u32(version));
  PUT(d, k_rating, PyFloat_FromDouble(rating));
  PUT(d, k_verified, py_bool(verified));
  PUT(d, k_first_name, py_str(fn));
  PUT(d, k_lang_code, py_str(lc));
  return d;
fail:
  Py_DECREF(d);
  return NULL;
}

static PyObject *pack1(PyObject *m, PyObject *o) {
  User u;
  unsigned char *p;
  if (user_get(o, &u) < 0) return NULL;
  PyObject *out = new_bytes(user_size(&u), &p);
  if (out) user_put(p, &u);
  return out;
}

static PyObject *unpack1(PyObject *m, PyObject *data) {
  int ok;
  Rd r = reader(data, &ok);
  return ok ? user_read(&r) : NULL;
}

/* ====================================================================== */
/* Shape 2: benchDocument                                                 */
/* ====================================================================== */

static PyObject *pack2(PyObject *m, PyObject *o) {
  uint64_t id;
  Span caption, data;
  unsigned char *p;
  if (check_object(o, n_benchDocument) < 0) return NULL;
  GETN(o, k_id, get_u64, &id);
  GETN(o, k_caption, get_str, &caption);
  GETN(o, k_data, get_bytes, &data);
  PyObject *out = new_bytes(4 + 8 + bsize(caption.n) + bsize(data.n), &p);
  if (!out) return NULL;
  p = put32(p, ID_benchDocument);
  p = put64(p, id);
  p = putb(p, caption);
  putb(p, data);
  return out;
}

static PyObject *unpack2(PyObject *m, PyObject *data) {
  int ok;
  Rd r = reader(data, &ok);
  uint64_t id;
  Span caption, raw;
  if (!ok || rd_ctor(&r, ID_benchDocument) < 0 || rd64(&r, &id) < 0 ||
      rdb(&r, &caption) < 0 || rdb(&r, &raw) < 0)
    return NULL;
  PyObject *d = PyDict_New();
  if (!d) return NULL;
  PUT(d, k__, Py_NewRef(n_benchDocument));
  PUT(d, k_id, py_u64(id));
  PUT(d, k_caption, py_str(caption));
  PUT(d, k_data, py_bytes(raw));
  return d;
fail:
  Py_DECREF(d);
  return NULL;
}

/* ====================================================================== */
/* Shape 3: benchChannelPost, flags and 10 conditional fields             */
/* ====================================================================== */

static PyObject *pack3(PyObject *m, PyObject *o) {
  if (check_object(o, n_benchChannelPost) < 0) return NULL;
  PyObject *out_, *mentioned, *pinned, *views, *reply_to_id, *post_author,
      *edit_date, *grouped_id, *rating, *via_bot_id;
  /* Absent keys are allowed here: a conditional field may be missing. */
#define OPT(var, key)                                          \
  var = PyDict_GetItemWithError(o, key);                       \
  if (!var && PyErr_Occurred()) return NULL;                   \
  if (var == Py_None) var = NULL;
  OPT(out_, k_out) OPT(mentioned, k_mentioned) OPT(pinned, k_pinned)
  OPT(views, k_views) OPT(reply_to_id, k_reply_to_id)
  OPT(post_author, k_post_author) OPT(edit_date, k_edit_date)
  OPT(grouped_id, k_grouped_id) OPT(rating, k_rating) OPT(via_bot_id, k_via_bot_id)
#undef OPT
  uint32_t flags = (out_ == Py_True) << 0 | (mentioned == Py_True) << 1 |
                   (pinned == Py_True) << 2 | (views != NULL) << 3 |
                   (reply_to_id != NULL) << 4 | (post_author != NULL) << 5 |
                   (edit_date != NULL) << 6 | (grouped_id != NULL) << 7 |
                   (rating != NULL) << 8 | (via_bot_id != NULL) << 9;
  int32_t v_views = 0, v_edit_date = 0;
  uint64_t v_reply = 0, v_grouped = 0, v_via = 0;
  double v_rating = 0;
  Span v_author = {NULL, 0};
  Py_ssize_t size = 8;
  if (views) { if (get_i32(views, &v_views) < 0) return NULL; size += 4; }
  if (reply_to_id) { if (get_u64(reply_to_id, &v_reply) < 0) return NULL; size += 8; }
  if (post_author) { if (get_str(post_author, &v_author) < 0) return NULL; size += bsize(v_author.n); }
  if (edit_date) { if (get_i32(edit_date, &v_edit_date) < 0) return NULL; size += 4; }
  if (grouped_id) { if (get_u64(grouped_id, &v_grouped) < 0) return NULL; size += 8; }
  if (rating) { if (get_f64(rating, &v_rating) < 0) return NULL; size += 8; }
  if (via_bot_id) { if (get_u64(via_bot_id, &v_via) < 0) return NULL; size += 8; }
  unsigned char *p;
  PyObject *res = new_bytes(size, &p);
  if (!res) return NULL;
  p = put32(p, ID_benchChannelPost);
  p = put32(p, flags);
  if (views) p = put32(p, (uint32_t)v_views);
  if (reply_to_id) p = put64(p, v_reply);
  if (post_author) p = putb(p, v_author);
  if (edit_date) p = put32(p, (uint32_t)v_edit_date);
  if (grouped_id) p = put64(p, v_grouped);
  if (rating) p = putf(p, v_rating);
  if (via_bot_id) p = put64(p, v_via);
  return res;
}

static PyObject *unpack3(PyObject *m, PyObject *data) {
  int ok;
  Rd r = reader(data, &ok);
  uint32_t flags = 0, views = 0, edit_date = 0;
  uint64_t reply = 0, grouped = 0, via = 0;
  double rating = 0;
  Span author = {NULL, 0};
  if (!ok || rd_ctor(&r, ID_benchChannelPost) < 0 || rd32(&r, &flags) < 0)
    return NULL;
  if ((flags & 1u << 3 && rd32(&r, &views) < 0) ||
      (flags & 1u << 4 && rd64(&r, &reply) < 0) ||
      (flags & 1u << 5 && rdb(&r, &author) < 0) ||
      (flags & 1u << 6 && rd32(&r, &edit_date) < 0) ||
      (flags & 1u << 7 && rd64(&r, &grouped) < 0) ||
      (flags & 1u << 8 && rdf(&r, &rating) < 0) ||
      (flags & 1u << 9 && rd64(&r, &via) < 0))
    return NULL;
  PyObject *d = new_dict(11);
  if (!d) return NULL;
  PUT(d, k__, Py_NewRef(n_benchChannelPost));
  PUT(d, k_out, py_bool(flags & 1u << 0));
  PUT(d, k_mentioned, py_bool(flags & 1u << 1));
  PUT(d, k_pinned, py_bool(flags & 1u << 2));
  PUT(d, k_views, flags & 1u << 3 ? py_u32(views) : Py_NewRef(Py_None));
  PUT(d, k_reply_to_id, flags & 1u << 4 ? py_u64(reply) : Py_NewRef(Py_None));
  PUT(d, k_post_author, flags & 1u << 5 ? py_str(author) : Py_NewRef(Py_None));
  PUT(d, k_edit_date, flags & 1u << 6 ? py_u32(edit_date) : Py_NewRef(Py_None));
  PUT(d, k_grouped_id, flags & 1u << 7 ? py_u64(grouped) : Py_NewRef(Py_None));
  PUT(d, k_rating, flags & 1u << 8 ? PyFloat_FromDouble(rating) : Py_NewRef(Py_None));
  PUT(d, k_via_bot_id, flags & 1u << 9 ? py_u64(via) : Py_NewRef(Py_None));
  return d;
fail:
  Py_DECREF(d);
  return NULL;
}

/* ====================================================================== */
/* Shape 4: benchMessage > benchPeer > benchPhoto                         */
/* ====================================================================== */

typedef struct {
  uint64_t id;
  int32_t date, views;
  Span message;
  uint32_t silent;
  uint64_t user_id, access_hash;
  Span username;
  uint32_t premium;
  uint64_t photo_id;
  int32_t dc_id, w, h;
  double aspect;
} Nested;

static int nested_get(PyObject *o, Nested *n) {
  PyObject *sender, *photo;
  if (check_object(o, n_benchMessage) < 0) return -1;
  GET(o, k_id, get_u64, &n->id);
  GET(o, k_date, get_i32, &n->date);
  GET(o, k_message, get_str, &n->message);
  if (!(sender = field(o, k_sender)) || check_object(sender, n_benchPeer) < 0)
    return -1;
  GET(sender, k_user_id, get_u64, &n->user_id);
  GET(sender, k_access_hash, get_u64, &n->access_hash);
  GET(sender, k_username, get_str, &n->username);
  if (!(photo = field(sender, k_photo)) || check_object(photo, n_benchPhoto) < 0)
    return -1;
  GET(photo, k_photo_id, get_u64, &n->photo_id);
  GET(photo, k_dc_id, get_i32, &n->dc_id);
  GET(photo, k_w, get_i32, &n->w);
  GET(photo, k_h, get_i32, &n->h);
  GET(photo, k_aspect, get_f64, &n->aspect);
  GET(sender, k_premium, get_bool, &n->premium);
  GET(o, k_silent, get_bool, &n->silent);
  GET(o, k_views, get_i32, &n->views);
  return 0;
}

static PyObject *pack4(PyObject *m, PyObject *o) {
  Nested n;
  unsigned char *p;
  if (nested_get(o, &n) < 0) return NULL;
  Py_ssize_t size = (4 + 8 + 4 + bsize(n.message.n) + 4 + 4) +
                    (4 + 8 + 8 + bsize(n.username.n) + 4) + (4 + 8 + 4 + 4 + 4 + 8);
  PyObject *out = new_bytes(size, &p);
  if (!out) return NULL;
  p = put32(p, ID_benchMessage);
  p = put64(p, n.id);
  p = put32(p, (uint32_t)n.date);
  p = putb(p, n.message);
  p = put32(p, ID_benchPeer);
  p = put64(p, n.user_id);
  p = put64(p, n.access_hash);
  p = putb(p, n.username);
  p = put32(p, ID_benchPhoto);
  p = put64(p, n.photo_id);
  p = put32(p, (uint32_t)n.dc_id);
  p = put32(p, (uint32_t)n.w);
  p = put32(p, (uint32_t)n.h);
  p = putf(p, n.aspect);
  p = put32(p, n.premium);
  p = put32(p, n.silent);
  put32(p, (uint32_t)n.views);
  return out;
}

static PyObject *unpack4(PyObject *m, PyObject *data) {
  int ok;
  Rd r = reader(data, &ok);
  uint64_t id, user_id, ah, photo_id;
  uint32_t date, silent, views, premium, dc_id, w, h;
  double aspect;
  Span message, username;
  if (!ok || rd_ctor(&r, ID_benchMessage) < 0 || rd64(&r, &id) < 0 ||
      rd32(&r, &date) < 0 || rdb(&r, &message) < 0 ||
      rd_ctor(&r, ID_benchPeer) < 0 || rd64(&r, &user_id) < 0 ||
      rd64(&r, &ah) < 0 || rdb(&r, &username) < 0 ||
      rd_ctor(&r, ID_benchPhoto) < 0 || rd64(&r, &photo_id) < 0 ||
      rd32(&r, &dc_id) < 0 || rd32(&r, &w) < 0 || rd32(&r, &h) < 0 ||
      rdf(&r, &aspect) < 0 || rd32(&r, &premium) < 0 ||
      rd32(&r, &silent) < 0 || rd32(&r, &views) < 0)
    return NULL;
  PyObject *ph = NULL, *peer = NULL, *d = NULL;
  if (!(ph = new_dict(6)) || !(peer = new_dict(6)) || !(d = new_dict(7))) goto fail;
  PUT(ph, k__, Py_NewRef(n_benchPhoto));
  PUT(ph, k_photo_id, py_u64(photo_id));
  PUT(ph, k_dc_id, py_u32(dc_id));
  PUT(ph, k_w, py_u32(w));
  PUT(ph, k_h, py_u32(h));
  PUT(ph, k_aspect, PyFloat_FromDouble(aspect));
  PUT(peer, k__, Py_NewRef(n_benchPeer));
  PUT(peer, k_user_id, py_u64(user_id));
  PUT(peer, k_access_hash, py_u64(ah));
  PUT(peer, k_username, py_str(username));
  PUT(peer, k_photo, Py_NewRef(ph));
  PUT(peer, k_premium, py_bool(premium));
  PUT(d, k__, Py_NewRef(n_benchMessage));
  PUT(d, k_id, py_u64(id));
  PUT(d, k_date, py_u32(date));
  PUT(d, k_message, py_str(message));
  PUT(d, k_sender, Py_NewRef(peer));
  PUT(d, k_silent, py_bool(silent));
  PUT(d, k_views, py_u32(views));
  Py_DECREF(ph);
  Py_DECREF(peer);
  return d;
fail:
  Py_XDECREF(ph);
  Py_XDECREF(peer);
  Py_XDECREF(d);
  return NULL;
}

/* ====================================================================== */
/* Shape 5: benchUserList, a vector of benchUser                          */
/* ====================================================================== */

static PyObject *pack5(PyObject *m, PyObject *o) {
  PyObject *list, *out = NULL;
  unsigned char *p;
  if (check_object(o, n_benchUserList) < 0 || !(list = field(o, k_users)))
    return NULL;
  if (!PyList_CheckExact(list)) {
    err_type("list", list);
    return NULL;
  }
  Py_ssize_t n = PyList_GET_SIZE(list), size = 4 + 8;
  /* One pass extracts every value and the exact size; the second writes. */
  User *users = PyMem_Malloc((size_t)(n ? n : 1) * sizeof(User));
  if (!users) return PyErr_NoMemory();
  for (Py_ssize_t i = 0; i < n; i++) {
    if (user_get(PyList_GET_ITEM(list, i), &users[i]) < 0) goto done;
    size += user_size(&users[i]);
  }
  if (!(out = new_bytes(size, &p))) goto done;
  p = put32(p, ID_benchUserList);
  p = put32(p, VECTOR_ID);
  p = put32(p, (uint32_t)n);
  for (Py_ssize_t i = 0; i < n; i++) p = user_put(p, &users[i]);
done:
  PyMem_Free(users);
  return out;
}

static PyObject *unpack5(PyObject *m, PyObject *data) {
  int ok;
  Rd r = reader(data, &ok);
  Py_ssize_t n;
  if (!ok || rd_ctor(&r, ID_benchUserList) < 0 || rd_vector(&r, 4, &n) < 0)
    return NULL;
  PyObject *list = PyList_New(n);
  if (!list) return NULL;
  for (Py_ssize_t i = 0; i < n; i++) {
    PyObject *u = user_read(&r);
    if (!u) { Py_DECREF(list); return NULL; }
    PyList_SET_ITEM(list, i, u);
  }
  PyObject *d = PyDict_New();
  if (!d) goto fail;
  PUT(d, k__, Py_NewRef(n_benchUserList));
  PUT(d, k_users, Py_NewRef(list));
  Py_DECREF(list);
  return d;
fail:
  Py_DECREF(list);
  Py_XDECREF(d);
  return NULL;
}

/* ====================================================================== */
/* Shape 6: benchIdList, a vector of 100,000 longs                        */
/* ====================================================================== */

static PyObject *pack6(PyObject *m, PyObject *o) {
  PyObject *list;
  unsigned char *p;
  if (check_object(o, n_benchIdList) < 0 || !(list = field(o, k_ids))) return NULL;
  if (!PyList_CheckExact(list)) {
    err_type("list", list);
    return NULL;
  }
  Py_ssize_t n = PyList_GET_SIZE(list);
  PyObject *out = new_bytes(4 + 8 + 8 * n, &p);
  if (!out) return NULL;
  p = put32(p, ID_benchIdList);
  p = put32(p, VECTOR_ID);
  p = put32(p, (uint32_t)n);
  for (Py_ssize_t i = 0; i < n; i++) {
    uint64_t v;
    if (get_u64(PyList_GET_ITEM(list, i), &v) < 0) {
      Py_DECREF(out);
      return NULL;
    }
    p = put64(p, v);
  }
  return out;
}

static PyObject *unpack6(PyObject *m, PyObject *data) {
  int ok;
  Rd r = reader(data, &ok);
  Py_ssize_t n;
  if (!ok || rd_ctor(&r, ID_benchIdList) < 0 || rd_vector(&r, 8, &n) < 0)
    return NULL;
  PyObject *list = PyList_New(n);
  if (!list) return NULL;
  const unsigned char *p = r.p;
  for (Py_ssize_t i = 0; i < n; i++, p += 8) {
    uint64_t v;
    memcpy(&v, p, 8);
    PyObject *x = py_u64(v);
    if (!x) { Py_DECREF(list); return NULL; }
    PyList_SET_ITEM(list, i, x);
  }
  PyObject *d = PyDict_New();
  if (!d) goto fail;
  PUT(d, k__, Py_NewRef(n_benchIdList));
  PUT(d, k_ids, Py_NewRef(list));
  Py_DECREF(list);
  return d;
fail:
  Py_DECREF(list);
  Py_XDECREF(d);
  return NULL;
}

/* ====================================================================== */
/* Shape 7: benchFilePart, one 1 MiB byte string                          */
/* ====================================================================== */

static PyObject *pack7(PyObject *m, PyObject *o) {
  Span data;
  unsigned char *p;
  if (check_object(o, n_benchFilePart) < 0) return NULL;
  GETN(o, k_data, get_bytes, &data);
  PyObject *out = new_bytes(4 + bsize(data.n), &p);
  if (!out) return NULL;
  p = put32(p, ID_benchFilePart);
  putb(p, data);
  return out;
}

static PyObject *unpack7(PyObject *m, PyObject *data) {
  int ok;
  Rd r = reader(data, &ok);
  Span raw;
  if (!ok || rd_ctor(&r, ID_benchFilePart) < 0 || rdb(&r, &raw) < 0) return NULL;
  PyObject *d = PyDict_New();
  if (!d) return NULL;
  PUT(d, k__, Py_NewRef(n_benchFilePart));
  PUT(d, k_data, py_bytes(raw));
  return d;
fail:
  Py_DECREF(d);
  return NULL;
}

/* ---------------------------------------------------------------------- */
/* Module                                                                 */
/* ---------------------------------------------------------------------- */

static PyMethodDef methods[] = {
    {"pack1", pack1, METH_O, NULL}, {"unpack1", unpack1, METH_O, NULL},
    {"pack2", pack2, METH_O, NULL}, {"unpack2", unpack2, METH_O, NULL},
    {"pack3", pack3, METH_O, NULL}, {"unpack3", unpack3, METH_O, NULL},
    {"pack4", pack4, METH_O, NULL}, {"unpack4", unpack4, METH_O, NULL},
    {"pack5", pack5, METH_O, NULL}, {"unpack5", unpack5, METH_O, NULL},
    {"pack6", pack6, METH_O, NULL}, {"unpack6", unpack6, METH_O, NULL},
    {"pack7", pack7, METH_O, NULL}, {"unpack7", unpack7, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_mivex_floor", NULL, -1,
                                    methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__mivex_floor(void) {
#define INTERN_KEY(k) if (!(k_##k = PyUnicode_InternFromString(#k))) return NULL;
#define INTERN_NAME(n) if (!(n_##n = PyUnicode_InternFromString(#n))) return NULL;
  KEYS(INTERN_KEY)
  NAMES(INTERN_NAME)
  return PyModule_Create(&module);
}
