// Schema compiler: JSON schema -> TLSchema records and the two maps.
//
// Everything the codec needs per constructor and field is derived here, once:
// kinds, roles, flag masks, vector element chains, interned keys, the key
// table and the template of decoded objects. The codec never looks at text.

namespace {

constexpr char kParseType[] = "Mivex.tl.TLSchemaCompiler._parse_type";
constexpr char kCreateConstructor[] =
    "Mivex.tl.TLSchemaCompiler._create_constructor";
constexpr char kParseJsonSchema[] =
    "Mivex.tl.TLSchemaCompiler._parse_json_schema";

// --- Type classification ------------------------------------------------------

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

// The kind of a param's type text; on failure the entry is added and the
// result is meaningless (callers test for a pending exception).
TLType TLSchemaCompiler_parse_type(PyObject *type_str) {
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

// The element kinds of a vector come from its type text by passes that
// each remove every "Vector<" and ">" (str.replace twice), the kind of pass
// k being that of the (k+1)-th vector level's elements. After the first pass
// no ">" is left, and a "Vector<" can only form where a pass joined two
// pieces, so later passes look only at those joints: the text lives in a
// linked list and every pass costs what it removes, not the whole text.
// Only the piece of the text the kind is read from is kept ("?" cannot be
// part of a match, so the pieces change independently).
class TLTypePasses {
 public:
  ~TLTypePasses() {
    free(ch_);
    free(next_);
    free(prev_);
    free(seen_);
    free(joints_);
    free(found_);
  }

  // The first pass over text[0..n); false when memory ran out.
  bool start(const char *text, size_t n, bool *changed) {
    size_t cap = n + 2;
    ch_ = (char *)malloc(n ? n : 1);
    next_ = (uint32_t *)malloc(cap * sizeof(uint32_t));
    prev_ = (uint32_t *)malloc(cap * sizeof(uint32_t));
    seen_ = (uint32_t *)calloc(cap, sizeof(uint32_t));
    joints_ = (uint32_t *)malloc(cap * sizeof(uint32_t));
    found_ = (uint32_t *)malloc(cap * sizeof(uint32_t));
    if (!ch_ || !next_ || !prev_ || !seen_ || !joints_ || !found_) return false;
    memcpy(ch_, text, n);
    size_t m = tl_remove_all(ch_, n, "Vector<", 7);
    m = tl_remove_all(ch_, m, ">", 1);
    *changed = m != n;
    head_ = (uint32_t)m;
    tail_ = (uint32_t)m + 1;
    for (uint32_t i = 0; i < m; i++) {
      next_[i] = i + 1;
      prev_[i] = i ? i - 1 : head_;
    }
    next_[head_] = m ? 0 : tail_;
    prev_[tail_] = m ? (uint32_t)m - 1 : head_;
    if (m) next_[m - 1] = tail_;
    // The next pass scans the whole text once: every node is a joint.
    joint_count_ = 0;
    joints_[joint_count_++] = head_;
    for (uint32_t i = 0; i < m; i++) joints_[joint_count_++] = i;
    return true;
  }

  // The kind of the text as it stands.
  TLType kind() const {
    char first[7];
    size_t len = 0;
    for (uint32_t i = next_[head_]; i != tail_ && len < 7; i = next_[i])
      first[len++] = ch_[i];
    return tl_classify(first, len);  // 7 characters equal no name
  }

  // One more pass; whether it removed anything.
  bool pass() {
    pass_++;
    size_t found = 0;
    for (size_t j = 0; j < joint_count_; j++) {
      // A match that spans the joint after node j starts at most 6 nodes
      // back from it, and at j itself when every node is a joint.
      uint32_t s = joints_[j];
      for (int back = 0; back < 7 && s != head_; back++, s = prev_[s]) {
        if (seen_[s] != pass_ && matches(s)) {
          seen_[s] = pass_;
          found_[found++] = s;
          break;
        }
      }
    }
    // Removed left to right (list order is index order), each joint is a
    // live node that no later removal of this pass can take.
    qsort(found_, found, sizeof(uint32_t), [](const void *a, const void *b) {
      uint32_t x = *(const uint32_t *)a, y = *(const uint32_t *)b;
      return (x > y) - (x < y);
    });
    joint_count_ = 0;
    for (size_t k = 0; k < found; k++) {
      uint32_t s = found_[k], last = s;
      for (int i = 0; i < 6; i++) last = next_[last];
      uint32_t before = prev_[s], after = next_[last];
      next_[before] = after;
      prev_[after] = before;
      joints_[joint_count_++] = before;
    }
    return found > 0;
  }

 private:
  bool matches(uint32_t s) const {
    static const char kPattern[] = "Vector<";
    for (int i = 0; i < 7; i++, s = next_[s])
      if (s == tail_ || ch_[s] != kPattern[i]) return false;
    return true;
  }

  char *ch_ = nullptr;
  uint32_t *next_ = nullptr, *prev_ = nullptr;
  uint32_t *seen_ = nullptr;    // pass in which a match at the node was found
  uint32_t *joints_ = nullptr;  // nodes after which the last pass joined
  uint32_t *found_ = nullptr;
  size_t joint_count_ = 0;
  uint32_t head_ = 0, tail_ = 0, pass_ = 0;
};

// The node of a default-profile vector field: its element node k describes
// the elements of the vector k levels below the field. The chain ends at a
// non-vector kind, or at a text that no longer changes, whose node then
// describes its own elements. `text` is the field's type text as UTF-8
// (ASCII patterns cannot match inside a multi-byte character, so bytes and
// characters agree). Null with an exception set on failure.
const TLNode *tl_vector_chain(TLSchema *schema, const char *text, size_t n) {
  const char *q = (const char *)memchr(text, '?', n);
  if (q) {
    const char *piece = q + 1;
    const char *end = (const char *)memchr(piece, '?', n - (size_t)(piece - text));
    n = end ? (size_t)(end - piece) : n - (size_t)(piece - text);
    text = piece;
  }
  TLTypePasses passes;
  bool changed;
  TLNode *field = tl_new_nodes(schema, 1);
  if (n > UINT32_MAX - 2 || !field || !passes.start(text, n, &changed)) {
    PyErr_NoMemory();
    return nullptr;
  }
  field->kind = TL_TYPE_VECTOR;
  for (TLNode *parent = field;;) {
    TLNode *link = tl_new_nodes(schema, 1);
    if (!link) {
      PyErr_NoMemory();
      return nullptr;
    }
    parent->elem = link;
    link->kind = passes.kind();
    if (link->kind != TL_TYPE_VECTOR) break;
    if (!changed) {  // element vectors have this same text
      link->elem = link;
      break;
    }
    parent = link;
    changed = passes.pass();
  }
  return field;
}

// --- Release ----------------------------------------------------------------

void TLSchemaCompiler_free_schema(TLSchemaCompilerObject *self) {
  TLSchema *schema = self->_schema;
  if (schema) {
    for (int32_t i = 0; schema->constructors && i < schema->constructor_count;
         i++) {
      TLConstructor *c = &schema->constructors[i];
      for (int32_t j = 0; c->fields && j < c->field_count; j++) {
        free(c->fields[j].type_text);
        Py_CLEAR(c->fields[j].py_name);
      }
      if (!c->packed) {
        free(c->fields);
        free(c->name);
        free(c->slot_keys);
        free(c->slots);
        free(c->key_table);
      }
      free(c->result);
      Py_CLEAR(c->py_name);
      Py_CLEAR(c->py_result);
      Py_CLEAR(c->py_template);
    }
    free(schema->constructors);
    for (TLArenaBlock *b = schema->arena; b;) {
      TLArenaBlock *next = b->next;
      free(b);
      b = next;
    }
    for (TLNodeBlock *b = schema->nodes; b;) {
      TLNodeBlock *next = b->next;
      for (size_t k = 0; k < b->used; k++) Py_CLEAR(b->nodes[k].name);
      free(b);
      b = next;
    }
    free(schema);
    self->_schema = nullptr;
  }
  self->_id_map.clear();
  self->_name_map.clear();
}

// --- Reading the JSON entries --------------------------------------------------
// Every lookup below is made on an exact dict; a value must be exactly the
// type named or None, and None fails later where the text is used.

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

// A heap copy of a str's whole UTF-8 encoding with a NUL after it, and its
// length. Null with an exception set on failure.
char *tl_utf8_copy(PyObject *text, size_t *len) {
  Py_ssize_t n;
  const char *utf8 = PyUnicode_AsUTF8AndSize(text, &n);
  if (!utf8) return nullptr;
  char *copy = (char *)malloc((size_t)n + 1);
  if (!copy) {
    PyErr_NoMemory();
    return nullptr;
  }
  memcpy(copy, utf8, (size_t)n + 1);
  *len = (size_t)n;
  return copy;
}

// dict.get(key, dflt) as a new reference; null with an exception set.
PyObject *tl_dict_get(PyObject *dict, PyObject *key, PyObject *dflt) {
  PyObject *v = PyDict_GetItemWithError(dict, key);
  if (v) return Py_NewRef(v);
  if (PyErr_Occurred()) return nullptr;
  return Py_NewRef(dflt);
}

// A value that must be exactly `type` (named `what` in the message) or None.
PyObject *tl_exact_or_none(PyObject *v, PyTypeObject *type, const char *what) {
  if (v && v != Py_None && Py_TYPE(v) != type) {
    tl_expected(what, v);
    Py_DECREF(v);
    return nullptr;
  }
  return v;
}

PyObject *tl_get_str(PyObject *dict, PyObject *key, PyObject *dflt) {
  return tl_exact_or_none(tl_dict_get(dict, key, dflt), &PyUnicode_Type,
                          "str");
}

// A list value, a new empty list when the key is missing.
PyObject *tl_get_list(PyObject *dict, PyObject *key) {
  PyObject *v = PyDict_GetItemWithError(dict, key);
  if (v) return tl_exact_or_none(Py_NewRef(v), &PyList_Type, "list");
  return PyErr_Occurred() ? nullptr : PyList_New(0);
}

// A key every param must have.
PyObject *tl_get_required_str(PyObject *dict, PyObject *key) {
  PyObject *v = PyDict_GetItemWithError(dict, key);
  if (!v) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  }
  return tl_exact_or_none(Py_NewRef(v), &PyUnicode_Type, "str");
}

// Python code run during compilation emptied or extended a list being read.
int tl_list_changed() {
  PyErr_SetString(PyExc_RuntimeError, "list changed size during compile");
  return -1;
}

// Id: an exact int as it is, anything else through int(); negative values
// wrap modulo 2**32 so that the signed and unsigned spellings agree.
int tl_read_id(PyObject *entry, uint32_t *out) {
  Ref id = Ref::steal(tl_dict_get(entry, S.id, S.zero));
  if (!id) return -1;
  if (!PyLong_CheckExact(id.get())) {
    id = Ref::steal(PyNumber_Long(id.get()));
    if (!id) return -1;
  }
  if (tl_long_sign(id.get()) < 0) {
    unsigned long long low = PyLong_AsUnsignedLongLongMask(id.get());
    if (low == (unsigned long long)-1 && PyErr_Occurred()) return -1;
    *out = (uint32_t)low;
    return 0;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(id.get());
  if (v == (unsigned long long)-1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
    PyErr_Clear();
  }
  if (v > 0xFFFFFFFFull) {
    PyErr_SetString(PyExc_OverflowError,
                    "value too large to convert to uint32_t");
    return -1;
  }
  *out = (uint32_t)v;
  return 0;
}

// The flag spec of a conditional type text ("flags.3" of "flags.3?int"):
// which word and bit. A spec without a dot leaves both at zero.
int tl_read_condition(PyObject *ptype, Py_ssize_t q, TLField *f) {
  Ref spec = Ref::steal(PyUnicode_Substring(ptype, 0, q));
  if (!spec) return -1;
  Py_ssize_t dot = PyUnicode_FindChar(spec.get(), '.', 0, q, 1);
  if (dot < 0) return dot == -2 ? -1 : 0;
  Py_ssize_t dot2 = PyUnicode_FindChar(spec.get(), '.', dot + 1, q, 1);
  if (dot2 == -2) return -1;
  if (dot2 >= 0) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                 (Py_ssize_t)2);
    return -1;
  }
  Ref word = Ref::steal(PyUnicode_Substring(spec.get(), 0, dot));
  Ref bit_text = Ref::steal(PyUnicode_Substring(spec.get(), dot + 1, q));
  if (!word || !bit_text) return -1;
  Ref bit = Ref::steal(PyNumber_Long(bit_text.get()));
  if (!bit) return -1;
  int overflow = 0;
  long long b = PyLong_AsLongLongAndOverflow(bit.get(), &overflow);
  if (b == -1 && PyErr_Occurred()) return -1;
  if (overflow || b < INT32_MIN || b > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return -1;
  }
  f->bit_position = (int32_t)b;
  f->word = tl_str_eq_ascii(word.get(), "flags2") ? 1 : 0;
  return 0;
}

// Fills field `f` from one param object of the entry. The standard
// profile's kinds and roles need the whole schema and are set afterwards.
int tl_build_field(TLSchema *schema, PyObject *param, TLField *f) {
  if (param != Py_None && !PyDict_CheckExact(param)) {
    tl_expected("dict", param);
    return -1;
  }
  if (param == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return -1;
  }
  Ref name = Ref::steal(tl_get_required_str(param, S.name));
  if (!name) return -1;
  // Kept at once, so that a failure further on can name the field.
  if (name.get() != Py_None) f->py_name = Py_NewRef(name.get());
  Ref ptype = Ref::steal(tl_get_required_str(param, S.type));
  if (!ptype) return -1;
  if (name.get() == Py_None) {
    tl_no_attribute("encode");
    return -1;
  }
  // The UTF-8 form is checked as the name map's keys are.
  if (PyUnicode_AsUTF8(name.get()) == nullptr) return -1;
  // Interned, so that keys written as literals in the caller's code (which
  // are interned too) match by identity without comparing text.
  PyUnicode_InternInPlace(&f->py_name);
  f->py_hash = PyObject_Hash(f->py_name);
  if (f->py_hash == -1) return -1;
  f->type = TLSchemaCompiler_parse_type(ptype.get());
  if (PyErr_Occurred()) return -1;
  PyObject *pt = ptype.get();
  if (!(f->type_text = tl_utf8_copy(pt, &f->type_len))) return -1;
  if (schema->standard) return 0;

  Py_ssize_t q = PyUnicode_FindChar(pt, '?', 0, PyUnicode_GET_LENGTH(pt), 1);
  if (q == -2) return -1;
  bool conditional = q >= 0;
  if (conditional && tl_read_condition(pt, q, f) < 0) return -1;
  if (tl_str_eq_ascii(f->py_name, "flags")) {
    f->role = TL_ROLE_FLAGS;
    f->word = 0;
  } else if (tl_str_eq_ascii(f->py_name, "flags2")) {
    f->role = TL_ROLE_FLAGS;
    f->word = 1;
  } else if (conditional) {
    f->role = f->type == TL_TYPE_BOOL ? TL_ROLE_COND_BOOL : TL_ROLE_COND;
  } else {
    f->role = TL_ROLE_PLAIN;
  }
  bool bit_valid = f->bit_position >= 0 && f->bit_position <= 31;
  f->mask = bit_valid ? (uint32_t)1 << f->bit_position : 0;
  if (f->type == TL_TYPE_VECTOR &&
      !(f->node = tl_vector_chain(schema, f->type_text, strlen(f->type_text))))
    return -1;
  return 0;
}

// --- Deriving the codec's view --------------------------------------------------

// The slot of `key` in a constructor's key table, or -1. The table has
// room for every field, so it never fills.
int32_t tl_table_slot(const TLConstructor *rec, PyObject *key, Py_hash_t hash,
                      size_t *at) {
  size_t i = (size_t)hash & rec->key_mask;
  for (;; i = (i + 1) & rec->key_mask) {
    const TLKeyEntry &e = rec->key_table[i];
    if (e.slot < 0) break;
    if (e.hash == hash && tl_str_eq(rec->slots[e.slot].key, key))
      return e.slot;
  }
  *at = i;
  return -1;
}

bool tl_holds_container(TLType type) {
  switch (type) {
    case TL_TYPE_VECTOR:
    case TL_TYPE_OBJECT:
    case TL_TYPE_BARE_VECTOR:
    case TL_TYPE_TYPED_OBJECT:
    case TL_TYPE_BARE_OBJECT:
      return true;
    default:
      return false;
  }
}

TLSlotKey tl_slot_key(PyObject *name, Py_hash_t hash) {
  Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  unsigned kind = length <= (Py_ssize_t)UINT32_MAX ? PyUnicode_KIND(name) : 0;
  return TLSlotKey{name, hash, (const char *)PyUnicode_DATA(name),
                   (uint32_t)length, kind};
}

// Everything the codec needs per constructor, derived once: the distinct
// field names with a table from name to slot (for packing), and the template
// that decoded objects are copied from (for unpacking). Names repeat rarely,
// but a schema is untrusted input: every name is found by hash, so the work
// stays linear in the number of fields.
int tl_derive_constructor(TLConstructor *rec) {
  rec->py_template = PyDict_New();
  if (!rec->py_template ||
      PyDict_SetItem(rec->py_template, S.underscore, rec->py_name) < 0)
    return -1;
  rec->bad_bit_field = -1;
  rec->underscore_slot = -1;
  const int32_t n = rec->field_count;
  size_t size = 4;
  while (size < 2 * (size_t)n) size *= 2;
  rec->key_table = (TLKeyEntry *)malloc(size * sizeof(TLKeyEntry));
  rec->key_mask = (uint32_t)(size - 1);
  // Keys and the entry of each slot in decoded objects, one per distinct name.
  rec->slot_keys = (PyObject **)calloc(n ? (size_t)n : 1, sizeof(PyObject *));
  rec->slots = (TLSlotKey *)calloc(n ? (size_t)n : 1, sizeof(TLSlotKey));
  int32_t *slot_entry = (int32_t *)malloc((n ? (size_t)n : 1) * sizeof(int32_t));
  if (!rec->key_table || !rec->slot_keys || !rec->slots || !slot_entry) {
    free(slot_entry);
    PyErr_NoMemory();
    return -1;
  }
  for (size_t i = 0; i < size; i++) rec->key_table[i] = TLKeyEntry{0, -1};
  int status = 0;
  Py_ssize_t entries = 1;  // "_"
  for (int32_t i = 0; i < n && status == 0; i++) {
    TLField *f = &rec->fields[i];
    bool conditional = f->role == TL_ROLE_COND || f->role == TL_ROLE_COND_BOOL;
    if (conditional) rec->cond_count++;
    if (conditional && !f->mask && rec->bad_bit_field < 0)
      rec->bad_bit_field = i;
    if (f->role == TL_ROLE_FLAGS) {
      f->slot = f->entry = -1;
      continue;
    }
    if (tl_holds_container(f->type)) rec->holds_containers = true;
    size_t at = 0;
    int32_t j = tl_table_slot(rec, f->py_name, f->py_hash, &at);
    if (j >= 0) {  // a name seen before shares its slot and key
      f->slot = j;
      f->entry = slot_entry[j];
      continue;
    }
    j = f->slot = rec->slot_count++;
    rec->slot_keys[j] = f->py_name;
    rec->slots[j] = tl_slot_key(f->py_name, f->py_hash);
    rec->key_table[at] = TLKeyEntry{f->py_hash, j};
    if (tl_str_eq(f->py_name, S.underscore)) {
      rec->underscore_slot = j;
      f->entry = 0;  // a field named "_" overwrites the name in decoded objects
    } else {
      f->entry = (int32_t)entries++;
      status = PyDict_SetItem(rec->py_template, f->py_name, Py_None);
    }
    slot_entry[j] = f->entry;
  }
  free(slot_entry);
  return status;
}

// Moves what packing and unpacking read of each constructor (name, keys and
// their text, fields, key table) into one run of memory, records in schema
// order: with thousands of constructors, an object's work then touches a few
// neighbouring cache lines instead of six scattered allocations. The name
// map is filed again, as it keys on the records' name text.
int tl_pack_records(TLSchemaCompilerObject *self) {
  TLSchema *schema = self->_schema;
  auto align = [](size_t n, size_t to) { return (n + to - 1) & ~(to - 1); };
  for (int32_t i = 0; i < schema->constructor_count; i++) {
    TLConstructor *c = &schema->constructors[i];
    const size_t n = (size_t)c->slot_count;
    size_t text = 0;
    for (size_t j = 0; j < n; j++)
      text += (size_t)c->slots[j].length * c->slots[j].kind;
    const size_t at_keys = align(c->name_len + 1, 8);
    const size_t at_slots = at_keys + n * sizeof(PyObject *);
    const size_t at_text = at_slots + n * sizeof(TLSlotKey);
    const size_t at_fields = align(at_text + text, 64);
    const size_t at_table =
        at_fields + (size_t)c->field_count * sizeof(TLField);
    const size_t size = at_table + ((size_t)c->key_mask + 1) * sizeof(TLKeyEntry);
    unsigned char *block = (unsigned char *)tl_arena_alloc(schema, size);
    if (!block) {
      PyErr_NoMemory();
      return -1;
    }
    memcpy(block, c->name, c->name_len + 1);
    if (n) memcpy((void *)(block + at_keys), c->slot_keys, n * sizeof(PyObject *));
    TLSlotKey *slots = (TLSlotKey *)(block + at_slots);
    char *texts = (char *)(block + at_text);
    for (size_t j = 0; j < n; j++) {
      slots[j] = c->slots[j];
      size_t bytes = (size_t)slots[j].length * slots[j].kind;
      if (bytes) memcpy(texts, slots[j].text, bytes);
      slots[j].text = texts;
      texts += bytes;
    }
    if (c->field_count)
      memcpy((void *)(block + at_fields), c->fields,
             (size_t)c->field_count * sizeof(TLField));
    memcpy((void *)(block + at_table), c->key_table,
           ((size_t)c->key_mask + 1) * sizeof(TLKeyEntry));
    free(c->name);
    free(c->slot_keys);
    free(c->slots);
    free(c->fields);
    free(c->key_table);
    c->name = (char *)block;
    c->slot_keys = (PyObject **)(block + at_keys);
    c->slots = slots;
    c->fields = c->field_count ? (TLField *)(block + at_fields) : nullptr;
    c->key_table = (TLKeyEntry *)(block + at_table);
    c->packed = true;
  }
  self->_name_map.clear();
  for (int32_t i = 0; i < schema->constructor_count; i++) {
    TLConstructor *c = &schema->constructors[i];
    if (!self->_name_map.assign(tl_name_key(c->name, c->name_len), c)) {
      PyErr_NoMemory();
      return -1;
    }
  }
  return 0;
}

// The standard profile's rules (standard.cpp).
int tl_standard_roles(TLConstructor *rec);
int tl_standard_schema(TLSchema *schema);

// --- One entry ------------------------------------------------------------------

// Name, result type and params of an entry: the name is "predicate", else
// "method", else "type", and every lookup is made.
int tl_read_entry_head(PyObject *entry, TLConstructor *rec, Ref *params) {
  Ref type_dflt = Ref::steal(tl_dict_get(entry, S.type, S.empty_str));
  if (!type_dflt) return -1;
  Ref method_dflt =
      Ref::steal(tl_dict_get(entry, S.method, type_dflt.get()));
  if (!method_dflt) return -1;
  Ref name = Ref::steal(tl_get_str(entry, S.predicate, method_dflt.get()));
  if (!name) return -1;
  Ref result_type = Ref::steal(tl_get_str(entry, S.type, S.empty_str));
  if (!result_type) return -1;
  *params = Ref::steal(tl_get_list(entry, S.params));
  if (!*params) return -1;
  if (name.get() == Py_None) {
    tl_no_attribute("encode");
    return -1;
  }
  if (!(rec->name = tl_utf8_dup(name.get()))) return -1;
  rec->name_len = strlen(rec->name);
  rec->py_name = PyUnicode_DecodeUTF8(rec->name, (Py_ssize_t)rec->name_len,
                                      nullptr);
  if (!rec->py_name) return -1;
  PyUnicode_InternInPlace(&rec->py_name);
  // The result type: the name stands in when it is missing or empty.
  PyObject *result = result_type.get();
  if (result == Py_None || PyUnicode_GET_LENGTH(result) == 0) result = name.get();
  if (!(rec->result = tl_utf8_copy(result, &rec->result_len))) return -1;
  rec->py_result = Py_NewRef(result);
  return 0;
}

// Fills the record at `index` of the schema from one entry of the JSON.
TLConstructor *TLSchemaCompiler_create_constructor(TLSchemaCompilerObject *self,
                                                   PyObject *constr_data,
                                                   int32_t index) {
  TLConstructor *rec = &self->_schema->constructors[index];
  if (constr_data == Py_None) {
    tl_no_attribute("get");
    return TL_FAIL_NULL(kCreateConstructor);
  }
  Ref params;
  if (tl_read_entry_head(constr_data, rec, &params) < 0 ||
      tl_read_id(constr_data, &rec->id) < 0)
    return TL_FAIL_NULL(kCreateConstructor);
  if (params.get() == Py_None) {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return TL_FAIL_NULL(kCreateConstructor);
  }
  Py_ssize_t count = PyList_GET_SIZE(params.get());
  if (count > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return TL_FAIL_NULL(kCreateConstructor);
  }
  rec->field_count = (int32_t)count;
  if (count > 0 &&
      !(rec->fields = (TLField *)calloc((size_t)count, sizeof(TLField)))) {
    PyErr_NoMemory();
    return TL_FAIL_NULL(kCreateConstructor);
  }
  // Code run by the lookups (a key's __eq__) may change the list: every item
  // is held while it is used, and a list that changes size fails the
  // compilation rather than leaving fields unfilled.
  for (Py_ssize_t i = 0; i < count; i++) {
    if (PyList_GET_SIZE(params.get()) != count) {
      tl_list_changed();
      return TL_FAIL_NULL(kCreateConstructor);
    }
    Ref param = Ref::own(PyList_GET_ITEM(params.get(), i));
    if (tl_build_field(self->_schema, param.get(), &rec->fields[i]) < 0) {
      self->_fail_param = (int32_t)i;
      return TL_FAIL_NULL(kCreateConstructor);
    }
  }
  if (PyList_GET_SIZE(params.get()) != count) {
    tl_list_changed();
    return TL_FAIL_NULL(kCreateConstructor);
  }
  rec->is_method = index >= self->_schema->method_start;
  if (self->_schema->standard) {
    // Kinds and the rest wait until every entry is known.
    if (tl_standard_roles(rec) < 0) return TL_FAIL_NULL(kCreateConstructor);
    return rec;
  }
  rec->word_count = 2;  // "flags" and "flags2"
  if (tl_derive_constructor(rec) < 0) return TL_FAIL_NULL(kCreateConstructor);
  return rec;
}

// --- The whole schema -------------------------------------------------------------

// The module's global `json`, looked up each time as a global name would be.
PyObject *tl_module_global(PyObject *name);

// Whether text starts like a JSON object, after JSON's white space (the
// four characters json.loads skips; Py_UNICODE_ISSPACE would also reach a
// private function of the interpreter).
bool tl_looks_like_json(PyObject *text) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < n; i++) {
    Py_UCS4 c = PyUnicode_READ_CHAR(text, i);
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return c == '{';
  }
  return false;
}

// The parsed schema: json.loads of text, or the mapping given.
PyObject *tl_load_schema(PyObject *json_data) {
  if (!PyUnicode_Check(json_data)) return Py_NewRef(json_data);
  Ref json_mod = Ref::steal(tl_module_global(S.json));
  if (!json_mod) return nullptr;
  Ref loads = Ref::steal(PyObject_GetAttr(json_mod.get(), S.loads));
  if (!loads) return nullptr;
  PyObject *parsed = PyObject_CallOneArg(loads.get(), json_data);
  if (!parsed && PyErr_ExceptionMatches(PyExc_ValueError) &&
      !tl_looks_like_json(json_data))
    tl_add_note("TLParser takes the schema as JSON; Mivex.schema.tl_to_json(text) "
                "converts TL schema text");
  return parsed;
}

// The entries to compile: "constructors" extended in place by "methods";
// *methods_at is where the methods begin.
PyObject *tl_schema_entries(PyObject *schema_dict, Py_ssize_t *methods_at) {
  if (schema_dict != Py_None && !PyDict_CheckExact(schema_dict))
    return tl_expected("dict", schema_dict);
  if (schema_dict == Py_None) return tl_no_attribute("get");
  Ref entries = Ref::steal(tl_get_list(schema_dict, S.constructors));
  if (!entries) return nullptr;
  if (entries.get() == Py_None) return tl_no_attribute("extend");
  *methods_at = PyList_GET_SIZE(entries.get());
  PyObject *methods = PyDict_GetItemWithError(schema_dict, S.methods);
  if (!methods && PyErr_Occurred()) return nullptr;
  if (methods && tl_list_extend(entries.get(), methods) < 0) return nullptr;
  return entries.release();
}

// A fresh, zero-filled schema of `count` records in _schema.
int tl_new_schema(TLSchemaCompilerObject *self, Py_ssize_t count) {
  TLSchema *schema = (TLSchema *)calloc(1, sizeof(TLSchema));
  if (!schema) {
    PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for schema");
    return -1;
  }
  self->_schema = schema;
  if (count > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return -1;
  }
  // calloc(0) may legally return null; one spare record keeps that apart
  // from a failure.
  schema->constructors = (TLConstructor *)calloc(
      count > 0 ? (size_t)count : 1, sizeof(TLConstructor));
  if (!schema->constructors) {
    free(schema);
    self->_schema = nullptr;
    PyErr_SetString(PyExc_MemoryError,
                    "Cannot allocate memory for constructors");
    return -1;
  }
  schema->constructor_count = (int32_t)count;
  return 0;
}

// The whole of compile(): parse, load the entries, build every record and
// file it in both maps.
// Where in the schema a failed compile was: "constructors[3] 'user',
// params[1] 'id'", as far as it is known.
void tl_add_compile_note(TLSchemaCompilerObject *self) {
  int32_t i = self->_fail_entry, j = self->_fail_param;
  const TLSchema *schema = self->_schema;
  if (i < 0 || !schema || i >= schema->constructor_count) return;
  const TLConstructor &c = schema->constructors[i];
  bool method = i >= schema->method_start;
  Ref where = Ref::steal(PyUnicode_FromFormat(
      "%s[%d]", method ? "methods" : "constructors",
      (int)(method ? i - schema->method_start : i)));
  if (where && c.py_name && PyUnicode_GET_LENGTH(c.py_name))
    where = Ref::steal(PyUnicode_FromFormat("%U '%U'", where.get(), c.py_name));
  if (where && j >= 0 && j < c.field_count) {
    PyObject *field = c.fields[j].py_name;
    where = Ref::steal(field ? PyUnicode_FromFormat("%U, params[%d] '%U'",
                                                    where.get(), (int)j, field)
                             : PyUnicode_FromFormat("%U, params[%d]",
                                                    where.get(), (int)j));
  }
  if (where)
    tl_add_note("while compiling %U", where.get());
  else
    PyErr_Clear();
}

int TLSchemaCompiler_parse_json_schema(TLSchemaCompilerObject *self,
                                       PyObject *json_data) {
  self->_fail_entry = self->_fail_param = -1;
  Ref schema_dict = Ref::steal(tl_load_schema(json_data));
  if (!schema_dict) return TL_FAIL(kParseJsonSchema);
  Py_ssize_t methods_at = 0;
  Ref entries = Ref::steal(tl_schema_entries(schema_dict.get(), &methods_at));
  if (!entries) return TL_FAIL(kParseJsonSchema);
  // A second compile replaces the schema; the old one goes first, together
  // with every map entry that points into it.
  TLSchemaCompiler_free_schema(self);
  Py_ssize_t count = PyList_GET_SIZE(entries.get());
  if (tl_new_schema(self, count) < 0) return TL_FAIL(kParseJsonSchema);
  self->_schema->method_start = (int32_t)(methods_at < count ? methods_at : count);
  self->_schema->standard = self->_standard;
  // The builder may run Python code (int() of an "id"), which could change
  // the list: items are held while used, and a list that changes size fails
  // the compilation.
  for (Py_ssize_t i = 0; i < count; i++) {
    if (PyList_GET_SIZE(entries.get()) != count) {
      tl_list_changed();
      return TL_FAIL(kParseJsonSchema);
    }
    self->_fail_entry = (int32_t)i;
    Ref item = Ref::own(PyList_GET_ITEM(entries.get(), i));
    if (item.get() != Py_None && !PyDict_CheckExact(item.get())) {
      tl_expected("dict", item.get());
      return TL_FAIL(kParseJsonSchema);
    }
    TLConstructor *c =
        TLSchemaCompiler_create_constructor(self, item.get(), (int32_t)i);
    if (!c) return TL_FAIL(kParseJsonSchema);
    if (!self->_id_map.assign(c->id, c) ||
        !self->_name_map.assign(tl_name_key(c->name, c->name_len), c)) {
      PyErr_NoMemory();
      return TL_FAIL(kParseJsonSchema);
    }
  }
  self->_fail_entry = -1;
  if (PyList_GET_SIZE(entries.get()) != count) {
    tl_list_changed();
    return TL_FAIL(kParseJsonSchema);
  }
  if (self->_schema->standard && tl_standard_schema(self->_schema) < 0)
    return TL_FAIL(kParseJsonSchema);
  if (tl_pack_records(self) < 0) return TL_FAIL(kParseJsonSchema);
  return 0;
}

}  // namespace
