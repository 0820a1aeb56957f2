// The standard profile's schema rules: flags words are the "#" fields,
// conditions name them, and type texts are read as standard TL reads them
// (boxed and bare objects of one result type, bare vectors, boxed Bool,
// int128/int256). Compiled once into the same records the codec reads.

namespace {

// A piece of a type text as a str, for messages.
PyObject *tl_text(const char *text, size_t len) {
  return PyUnicode_DecodeUTF8(text, (Py_ssize_t)len, "replace");
}

// ValueError "field 'x' of 'user': ...", naming the entry and field; the
// format takes what PyUnicode_FromFormat takes.
TL_NOINLINE int tl_field_error(const TLConstructor *rec, const TLField *f,
                               const char *format, ...) {
  va_list args;
  va_start(args, format);
  Ref detail = Ref::steal(PyUnicode_FromFormatV(format, args));
  va_end(args);
  if (detail)
    PyErr_Format(PyExc_ValueError, "field '%U' of '%U': %U", f->py_name,
                 rec->py_name, detail.get());
  return -1;
}

// Names of a constructor's "#" fields as they are declared, with their word
// numbers: a condition names the last one declared before it.
class TLWordNames {
 public:
  ~TLWordNames() { free(slots_); }

  bool init(int32_t fields) {
    size_t size = 4;
    while (size < 2 * (size_t)fields) size *= 2;
    slots_ = (Slot *)calloc(size, sizeof(Slot));
    mask_ = size - 1;
    return slots_ != nullptr;
  }
  void add(const char *text, size_t len, uint16_t word) {
    TLNameKey key = tl_name_key(text, len);
    size_t i = (size_t)key.hash & mask_;
    while (slots_[i].used && !(slots_[i].key == key)) i = (i + 1) & mask_;
    slots_[i] = Slot{key, word, true};
  }
  int find(const char *text, size_t len) const {
    TLNameKey key = tl_name_key(text, len);
    for (size_t i = (size_t)key.hash & mask_; slots_[i].used;
         i = (i + 1) & mask_)
      if (slots_[i].key == key) return slots_[i].word;
    return -1;
  }

 private:
  struct Slot {
    TLNameKey key;
    uint16_t word;
    bool used;
  };
  Slot *slots_ = nullptr;
  size_t mask_ = 0;
};

// Flags words and conditions of one entry: every "#" field is a word, and
// `NAME.N?T` makes a field conditional on bit N of the word NAME.
int tl_standard_roles(TLConstructor *rec) {
  TLWordNames words;
  if (!words.init(rec->field_count)) {
    PyErr_NoMemory();
    return -1;
  }
  for (int32_t i = 0; i < rec->field_count; i++) {
    TLField *f = &rec->fields[i];
    const char *text = f->type_text;
    const char *q = (const char *)memchr(text, '?', f->type_len);
    if (!q) {
      if (f->type_len == 1 && text[0] == '#') {
        if (rec->word_count == UINT16_MAX)
          return tl_field_error(rec, f, "too many flags words");
        f->role = TL_ROLE_FLAGS;
        f->type = TL_TYPE_NAT;
        f->word = (uint16_t)rec->word_count++;
        Py_ssize_t len;
        const char *name = PyUnicode_AsUTF8AndSize(f->py_name, &len);
        if (!name) return -1;
        words.add(name, (size_t)len, f->word);
      } else {
        f->role = TL_ROLE_PLAIN;
      }
      continue;
    }
    const char *dot = (const char *)memchr(text, '.', (size_t)(q - text));
    Ref spec = Ref::steal(tl_text(text, (size_t)(q - text)));
    if (!spec) return -1;
    if (!dot)
      return tl_field_error(rec, f, "condition '%U' has no dot: write "
                                    "NAME.BIT?TYPE", spec.get());
    int word = words.find(text, (size_t)(dot - text));
    if (word < 0)
      return tl_field_error(rec, f, "condition '%U' names no '#' field "
                                    "declared before it", spec.get());
    const char *digits = dot + 1;
    int bit = 0;
    bool ok = digits < q && q - digits <= 2;
    for (const char *d = digits; ok && d < q; d++) {
      ok = *d >= '0' && *d <= '9';
      bit = bit * 10 + (*d - '0');
    }
    if (!ok || bit > 31)
      return tl_field_error(rec, f, "flag bit in '%U' is not one of 0 to 31",
                            spec.get());
    f->word = (uint16_t)word;
    f->bit_position = bit;
    f->mask = (uint32_t)1 << bit;
    size_t rest = f->type_len - (size_t)(q + 1 - text);
    if (rest == 1 && q[1] == '#')
      return tl_field_error(rec, f, "a flags word cannot itself be "
                                    "conditional");
    f->role = rest == 4 && memcmp(q + 1, "true", 4) == 0 ? TL_ROLE_COND_BOOL
                                                          : TL_ROLE_COND;
  }
  // Fields sharing a bit must agree when packing: mark them.
  size_t n = rec->word_count ? (size_t)rec->word_count : 1;
  uint32_t *seen = (uint32_t *)calloc(2 * n, sizeof(uint32_t));
  if (!seen) {
    PyErr_NoMemory();
    return -1;
  }
  uint32_t *shared = seen + n;
  for (int32_t i = 0; i < rec->field_count; i++) {
    const TLField &f = rec->fields[i];
    if (f.role != TL_ROLE_COND && f.role != TL_ROLE_COND_BOOL) continue;
    if (seen[f.word] & f.mask) shared[f.word] |= f.mask;
    seen[f.word] |= f.mask;
  }
  for (int32_t i = 0; i < rec->field_count; i++) {
    TLField &f = rec->fields[i];
    if ((f.role == TL_ROLE_COND || f.role == TL_ROLE_COND_BOOL) &&
        (shared[f.word] & f.mask)) {
      f.shares_bit = true;
      rec->shares_bits = true;
    }
  }
  free(seen);
  return 0;
}

// --- Type texts --------------------------------------------------------------------

// What the type texts of one schema refer to: result types (of constructors;
// methods play no part) and constructors by name.
struct TLStandardNames {
  TLSchema *schema;
  TLMap<TLNameKey> by_result;  // result type -> its first constructor
  TLMap<TLNameKey> by_name;    // constructor name -> the last such
  int32_t *type_count;         // by first constructor: constructors of it

  ~TLStandardNames() {
    by_result.destroy();
    by_name.destroy();
    free(type_count);
  }

  bool init(TLSchema *s) {
    schema = s;
    int32_t n = s->constructor_count;
    type_count = (int32_t *)calloc(n ? (size_t)n : 1, sizeof(int32_t));
    if (!type_count) return false;
    for (int32_t i = 0; i < n; i++) {
      TLConstructor *c = &s->constructors[i];
      if (c->is_method) {
        c->type_index = -1;
        continue;
      }
      TLNameKey key = tl_name_key(c->result, c->result_len);
      TLConstructor *first = by_result.find(key);
      if (!first) {
        first = c;
        if (!by_result.assign(key, c)) return false;
      }
      c->type_index = (int32_t)(first - s->constructors);
      type_count[c->type_index]++;
      if (!by_name.assign(tl_name_key(c->name, c->name_len), c)) return false;
    }
    return true;
  }
};

// Is a type name bare? Judged by the first letter after its last dot.
bool tl_is_bare_name(const char *name, size_t len) {
  const char *last = name;
  for (size_t i = 0; i < len; i++)
    if (name[i] == '.') last = name + i + 1;
  return last < name + len && *last >= 'a' && *last <= 'z';
}

bool tl_name_is(const char *name, size_t len, const char *text) {
  return strlen(text) == len && memcmp(name, text, len) == 0;
}

// Built-in names keep their meaning whatever the schema declares.
bool tl_builtin_kind(const char *name, size_t len, TLType *kind) {
  static const struct {
    const char *text;
    TLType kind;
  } table[] = {
      {"int", TL_TYPE_SINT},       {"long", TL_TYPE_SLONG},
      {"double", TL_TYPE_DOUBLE},  {"string", TL_TYPE_STRING},
      {"bytes", TL_TYPE_BYTES},    {"int128", TL_TYPE_INT128},
      {"int256", TL_TYPE_INT256},  {"Bool", TL_TYPE_BOXED_BOOL},
      {"true", TL_TYPE_TRUE},      {"Object", TL_TYPE_OBJECT},
  };
  for (const auto &row : table)
    if (tl_name_is(name, len, row.text)) {
      *kind = row.kind;
      return true;
    }
  return false;
}

// Reads type texts of one field: "Vector<%geo.point>", "!X", "#" ...
class TLTypeReader {
 public:
  TLTypeReader(const TLStandardNames &names, const TLConstructor *rec,
               const TLField *f)
      : names_(names), rec_(rec), f_(f) {}

  // The kind and node of text[0..len), or -1 with ValueError set. Vectors
  // nest one inside the other, so they are read in a loop, not recursively:
  // a hostile text of any depth costs its length.
  int read(const char *text, size_t len, TLType *kind, const TLNode **node) {
    const char *p = text, *end = text + len;
    size_t levels = 0;
    TLNode *top = nullptr, *parent = nullptr;
    for (;;) {
      bool bare = p < end && *p == '%';
      if (bare) p++;
      if (p < end && *p == '!') {  // a type variable: any object at all
        const char *name = ++p;
        while (p < end && tl_name_char(*p)) p++;
        if (!tl_valid_name(name, (size_t)(p - name)))
          return cannot_read(text, len);
        return finish(text, len, p, end, levels, top, parent, TL_TYPE_OBJECT,
                      nullptr, kind, node);
      }
      if (p < end && *p == '#' && !bare)
        return finish(text, len, p + 1, end, levels, top, parent, TL_TYPE_NAT,
                      nullptr, kind, node);
      const char *name = p;
      while (p < end && tl_name_char(*p)) p++;
      size_t n = (size_t)(p - name);
      if (!tl_valid_name(name, n)) return cannot_read(text, len);
      bool vec = tl_name_is(name, n, "Vector"), bvec = tl_name_is(name, n, "vector");
      if ((vec || bvec) && p < end && *p == '<') {
        p++;
        TLNode *level = tl_new_nodes(names_.schema, 1);
        if (!level) return no_memory();
        level->kind = bvec || bare ? TL_TYPE_BARE_VECTOR : TL_TYPE_VECTOR;
        if (parent)
          parent->elem = level;
        else
          top = level;
        parent = level;
        levels++;
        continue;
      }
      // The whole text must read before any name in it is looked up, so
      // that a refusal quotes the type as written.
      if (!closes(p, end, levels)) return cannot_read(text, len);
      TLType leaf = TL_TYPE_INT;  // set by leaf_kind on success
      const TLConstructor *ctor = nullptr;
      int32_t type_index = -1;
      if (leaf_kind(text, len, name, n, bare, &leaf, &ctor, &type_index) < 0)
        return -1;
      TLNode *leaf_node = nullptr;
      if (leaf == TL_TYPE_TYPED_OBJECT || leaf == TL_TYPE_BARE_OBJECT) {
        if (!(leaf_node = tl_new_nodes(names_.schema, 1))) return no_memory();
        leaf_node->kind = leaf;
        leaf_node->ctor = ctor;
        leaf_node->type_index = type_index;
        if (!(leaf_node->name = tl_text(name, n))) return -1;
      }
      return finish(text, len, p, end, levels, top, parent, leaf, leaf_node,
                    kind, node);
    }
  }

 private:
  // Names are letters, digits and "_" in dot-separated parts, each part
  // starting with a letter; UTF-8 beyond ASCII counts as letters.
  static bool tl_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           (unsigned char)c >= 0x80;
  }
  static bool tl_valid_name(const char *name, size_t n) {
    for (size_t i = 0; i < n; i++) {
      unsigned char first = (unsigned char)name[i];
      bool letter = (first >= 'a' && first <= 'z') ||
                    (first >= 'A' && first <= 'Z') || first >= 0x80;
      if (!letter) return false;
      while (i < n && name[i] != '.') i++;
      if (i == n - 1) return false;  // a trailing dot
    }
    return n > 0;
  }

  int no_memory() {
    PyErr_NoMemory();
    return -1;
  }

  int cannot_read(const char *text, size_t len) {
    Ref shown = Ref::steal(tl_text(text, len));
    return shown ? tl_field_error(rec_, f_, "cannot read type '%U'", shown.get())
                 : -1;
  }

  // What follows the innermost type: one ">" per vector level, then the end.
  static bool closes(const char *p, const char *end, size_t levels) {
    if ((size_t)(end - p) != levels) return false;
    for (; p < end; p++)
      if (*p != '>') return false;
    return true;
  }

  int finish(const char *text, size_t len, const char *p, const char *end,
             size_t levels, TLNode *top, TLNode *parent, TLType leaf,
             TLNode *leaf_node, TLType *kind, const TLNode **node) {
    if (!closes(p, end, levels)) return cannot_read(text, len);
    if (!top) {
      *kind = leaf;
      *node = leaf_node;
      return 0;
    }
    if (!leaf_node) {
      if (!(leaf_node = tl_new_nodes(names_.schema, 1))) return no_memory();
      leaf_node->kind = leaf;
    }
    parent->elem = leaf_node;
    *kind = top->kind;
    *node = top;
    return 0;
  }

  int leaf_kind(const char *text, size_t len, const char *name, size_t n,
                bool bare, TLType *kind, const TLConstructor **ctor,
                int32_t *type_index) {
    if (tl_name_is(name, n, "Vector") || tl_name_is(name, n, "vector"))
      return cannot_read(text, len);
    if (tl_builtin_kind(name, n, kind)) {
      // A bare primitive is the primitive; a bare Bool or Object is not
      // a type this profile can read.
      if (bare && (*kind == TL_TYPE_BOXED_BOOL || *kind == TL_TYPE_OBJECT))
        return cannot_read(text, len);
      return 0;
    }
    TLNameKey key = tl_name_key(name, n);
    if (tl_is_bare_name(name, n)) {
      const TLConstructor *c = names_.by_name.find(key);
      if (!c) {
        Ref shown = Ref::steal(tl_text(name, n));
        return shown ? tl_field_error(rec_, f_, "lowercase type '%U' names "
                                                "no constructor", shown.get())
                     : -1;
      }
      *kind = TL_TYPE_BARE_OBJECT;
      *ctor = c;
      return 0;
    }
    const TLConstructor *first = names_.by_result.find(key);
    if (bare) {  // %T: the one constructor of type T
      int32_t count = first ? names_.type_count[first->type_index] : 0;
      if (count != 1) {
        Ref shown = Ref::steal(tl_text(name, n));
        if (!shown) return -1;
        return count ? tl_field_error(rec_, f_, "'%%%U' is ambiguous: %d "
                                                "constructors have type %U",
                                      shown.get(), (int)count, shown.get())
                     : tl_field_error(rec_, f_, "'%%%U' names no constructor",
                                      shown.get());
      }
      *kind = TL_TYPE_BARE_OBJECT;
      *ctor = first;
      return 0;
    }
    // A type no constructor produces (unknown, or generic) takes any
    // constructor: type index -1.
    *kind = TL_TYPE_TYPED_OBJECT;
    *type_index = first ? first->type_index : -1;
    *ctor = first;
    return 0;
  }

  const TLStandardNames &names_;
  const TLConstructor *rec_;
  const TLField *f_;
};

// --- Values that take no bytes -----------------------------------------------------
// An element that can take no bytes would let a short input declare any
// number of elements, and a bare object that can take none could nest or
// repeat without consuming input. Both are refused at construction, so
// memory and time stay proportional to the input for every schema.

constexpr uint32_t kNoValue = UINT32_MAX;  // a bare type with no finite value

uint32_t tl_add_size(uint32_t a, uint32_t b) {
  return a > kNoValue - b ? kNoValue : a + b;
}

uint32_t tl_min_size(TLType kind, const TLNode *node) {
  switch (kind) {
    case TL_TYPE_TRUE:
      return 0;
    case TL_TYPE_SLONG:
    case TL_TYPE_DOUBLE:
    case TL_TYPE_VECTOR:
      return 8;
    case TL_TYPE_INT128:
      return 16;
    case TL_TYPE_INT256:
      return 32;
    case TL_TYPE_BARE_OBJECT:
      return node->ctor->min_size;
    default:
      return 4;
  }
}

// The fewest bytes each constructor's fields take when it is written bare,
// in dependency order (Kahn's algorithm): a constructor is sized once every
// bare object among its plain fields is. Those left in a cycle have no
// finite value.
int tl_size_constructors(TLSchema *schema) {
  int32_t n = schema->constructor_count;
  size_t slots = n > 0 ? (size_t)n : 1;
  int32_t *pending = (int32_t *)calloc(slots, sizeof(int32_t));
  int32_t *queue = (int32_t *)malloc(slots * sizeof(int32_t));
  // Reverse edges: for each constructor, the (constructor) positions whose
  // plain fields hold it bare, as linked lists through `next`.
  size_t edges = 0;
  for (int32_t i = 0; i < n; i++) edges += (size_t)schema->constructors[i].field_count;
  int32_t *head = (int32_t *)malloc(slots * sizeof(int32_t));
  int32_t *next = (int32_t *)malloc((edges ? edges : 1) * sizeof(int32_t));
  int32_t *from = (int32_t *)malloc((edges ? edges : 1) * sizeof(int32_t));
  int status = 0;
  if (!pending || !queue || !head || !next || !from) {
    PyErr_NoMemory();
    status = -1;
  } else {
    size_t e = 0;
    int32_t tail = 0;
    for (int32_t i = 0; i < n; i++) head[i] = -1;
    for (int32_t i = 0; i < n; i++) {
      TLConstructor *c = &schema->constructors[i];
      c->min_size = kNoValue;
      for (int32_t j = 0; j < c->field_count; j++) {
        const TLField &f = c->fields[j];
        if (f.role != TL_ROLE_PLAIN || f.type != TL_TYPE_BARE_OBJECT) continue;
        int32_t child = (int32_t)(f.node->ctor - schema->constructors);
        from[e] = i;
        next[e] = head[child];
        head[child] = (int32_t)e++;
        pending[i]++;
      }
      if (!pending[i]) queue[tail++] = i;
    }
    for (int32_t k = 0; k < tail; k++) {
      TLConstructor *c = &schema->constructors[queue[k]];
      uint32_t size = 0;
      for (int32_t j = 0; j < c->field_count; j++) {
        const TLField &f = c->fields[j];
        if (f.role == TL_ROLE_FLAGS)
          size = tl_add_size(size, 4);
        else if (f.role == TL_ROLE_PLAIN)
          size = tl_add_size(size, tl_min_size(f.type, f.node));
      }
      c->min_size = size;
      for (int32_t x = head[queue[k]]; x >= 0; x = next[x])
        if (--pending[from[x]] == 0) queue[tail++] = from[x];
    }
  }
  free(pending);
  free(queue);
  free(head);
  free(next);
  free(from);
  return status;
}

// Refuses vectors whose elements, and bare objects that, can take no bytes.
int tl_check_sizes(const TLConstructor *rec, const TLField *f) {
  TLType kind = f->type;
  const TLNode *node = f->node;
  for (;;) {
    if (kind == TL_TYPE_BARE_OBJECT && node->ctor->min_size == 0)
      return tl_field_error(rec, f, "bare type '%U' can take no bytes, so "
                                    "nothing would bound how many there are",
                            node->ctor->py_name);
    if (kind != TL_TYPE_VECTOR && kind != TL_TYPE_BARE_VECTOR) return 0;
    const TLNode *elem = node->elem;
    if (tl_min_size(elem->kind, elem) == 0) {
      Ref shown = Ref::steal(tl_text(f->type_text, f->type_len));
      return shown ? tl_field_error(rec, f, "vector elements in '%U' take no "
                                            "bytes, so nothing would bound "
                                            "their count", shown.get())
                   : -1;
    }
    kind = elem->kind;
    node = elem;
  }
}

// Everything the standard profile derives once every entry is known: kinds
// and nodes of every field, sizes, then the codec's tables.
int tl_standard_schema(TLSchema *schema) {
  TLStandardNames names{};
  if (!names.init(schema)) {
    PyErr_NoMemory();
    return -1;
  }
  for (int32_t i = 0; i < schema->constructor_count; i++) {
    TLConstructor *c = &schema->constructors[i];
    for (int32_t j = 0; j < c->field_count; j++) {
      TLField *f = &c->fields[j];
      if (f->role == TL_ROLE_FLAGS) continue;
      if (f->role == TL_ROLE_COND_BOOL) {
        f->type = TL_TYPE_TRUE;
        continue;
      }
      const char *text = f->type_text;
      size_t len = f->type_len;
      if (f->role == TL_ROLE_COND) {
        const char *q = (const char *)memchr(text, '?', len);
        len -= (size_t)(q + 1 - text);
        text = q + 1;
      }
      TLTypeReader reader(names, c, f);
      if (reader.read(text, len, &f->type, &f->node) < 0) return -1;
    }
  }
  if (tl_size_constructors(schema) < 0) return -1;
  for (int32_t i = 0; i < schema->constructor_count; i++) {
    TLConstructor *c = &schema->constructors[i];
    for (int32_t j = 0; j < c->field_count; j++)
      if (c->fields[j].role != TL_ROLE_FLAGS &&
          tl_check_sizes(c, &c->fields[j]) < 0)
        return -1;
    if (tl_derive_constructor(c) < 0) return -1;
  }
  return 0;
}

}  // namespace
