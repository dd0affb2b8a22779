#include "common/ux_json_v2.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "common/ux_file_replace.h"

namespace ux {

namespace {

constexpr const char* kUnit = "ux_json_v2";

inline bool is_gbk() { return code_page() == CP_GBK; }

inline char upper_ascii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }
inline char16_t upper_unit(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

// UTF-8 to UTF-16 code units; an invalid byte becomes U+FFFD and is skipped alone.
std::u16string utf8_units(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int len = 0;
    uint32_t cp = 0;
    uint32_t min = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2, cp = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3, cp = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4, cp = b & 0x07, min = 0x10000;
    }
    bool ok = len > 0 && i + len <= n;
    for (int k = 1; ok && k < len; ++k) {
      const unsigned char t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (t & 0x3F);
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(char16_t(0xD800 + (cp >> 10)));
      out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(char16_t(cp));
    }
    i += len;
  }
  return out;
}

int ci_bytes_compare(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = upper_ascii(a[i]), y = upper_ascii(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    out.push_back(char(0xC0 | (cp >> 6)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(char(0xE0 | (cp >> 12)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (cp >> 18)));
    out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
}

// Decimal integer: optional sign, digits, nothing else.
bool text_to_int64(std::string_view s, int64_t& out) {
  if (s.size() > 1 && s[0] == '+' && s[1] != '-') s.remove_prefix(1);
  if (s.empty()) return false;
  int64_t v = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return false;
  out = v;
  return true;
}

// Decimal number: optional sign, digits with optional fraction and exponent.
bool text_to_double(std::string_view s, double& out) {
  if (s.size() > 1 && s[0] == '+' && s[1] != '-') s.remove_prefix(1);
  const size_t first = (!s.empty() && s[0] == '-') ? 1 : 0;
  if (s.size() <= first) return false;
  const char c = s[first];
  if (!((c >= '0' && c <= '9') || c == '.')) return false;
  double v = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return false;
  out = v;
  return true;
}

int64_t double_to_int64(double d) {
  if (std::isnan(d)) return 0;
  const double r = std::nearbyint(d);
  if (r >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (r <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(r);
}

std::string substitute_names(std::string_view s) {
  if (!is_gbk() || s.find("\xFC\x5C") == std::string_view::npos) return std::string(s);
  return replace_all(s, "\xFC\x5C", "\xBA\xDA", true);
}

inline bool is_ws(unsigned char c) {
  return c == 0x20 || c == 0x09 || c == 0x0A || c == 0x0D || c == 0x08;
}

inline bool is_number_byte(unsigned char c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

// Bytes a value string needs to escape: control bytes, the quote, "/" and "\".
struct EscapeTable {
  bool need[256];
  constexpr EscapeTable() : need() {
    for (int i = 0; i < 0x20; ++i) need[i] = true;
    need[int('"')] = true;
    need[int('/')] = true;
    need[int('\\')] = true;
  }
};
constexpr EscapeTable kEscape;

const char kHex[] = "0123456789abcdef";

}  // namespace

// ---------------------------------------------------------------- name order

int json_name_compare(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  size_t i = 0;
  for (; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if ((x | y) >= 0x80) break;
    const unsigned char ux_ = upper_ascii(char(x)), uy = upper_ascii(char(y));
    if (ux_ != uy) return ux_ < uy ? -1 : 1;
  }
  if (i == n) return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
  // Everything before i is single-byte ASCII, so i starts a character in both.
  const std::string_view ra = a.substr(i), rb = b.substr(i);
  const std::u16string ua = is_gbk() ? text_to_utf16(ra) : utf8_units(ra);
  const std::u16string ub = is_gbk() ? text_to_utf16(rb) : utf8_units(rb);
  const size_t m = ua.size() < ub.size() ? ua.size() : ub.size();
  for (size_t k = 0; k < m; ++k) {
    const char16_t x = upper_unit(ua[k]), y = upper_unit(ub[k]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (ua.size() != ub.size()) return ua.size() < ub.size() ? -1 : 1;
  return ci_bytes_compare(ra, rb);
}

// ---------------------------------------------------------------- writers

TJsonWriterString::TJsonWriterString(int64_t max_size)
    : FBuf(new char[64]), FSize(64), FMaxSize(max_size < 64 ? 64 : max_size) {}

bool TJsonWriterString::AppendGrow(const char* bytes, size_t n) {
  if (FFailed) return false;
  const int64_t need = FBPos + static_cast<int64_t>(n);
  if (need > FSize) {
    if (need > FMaxSize) {
      FFailed = true;
      return false;
    }
    int64_t grown = FSize * 2;
    if (grown < need + 64) grown = need + 64;
    if (grown > FMaxSize) grown = FMaxSize;
    std::unique_ptr<char[]> nb(new char[static_cast<size_t>(grown)]);
    if (FDataLen > 0) std::memcpy(nb.get(), FBuf.get(), static_cast<size_t>(FDataLen));
    FBuf = std::move(nb);
    FSize = grown;
  }
  if (n > 0) std::memcpy(FBuf.get() + FBPos, bytes, n);
  FBPos = need;
  FDataLen = need;
  return true;
}

void TJsonWriterString::Reset() {
  FBPos = 0;
  FDataLen = 0;
  FFailed = false;
}

TJsonWriterStream::TJsonWriterStream(TStream& stream) : FStream(stream) { FStage.reserve(65536); }

TJsonWriterStream::~TJsonWriterStream() { Flush(); }

bool TJsonWriterStream::Flush() {
  if (FStage.empty()) return !FFailed;
  if (!FFailed) {
    try {
      if (FStream.Write(FStage.data(), static_cast<int64_t>(FStage.size())) !=
          static_cast<int64_t>(FStage.size()))
        FFailed = true;
    } catch (const std::exception&) {
      FFailed = true;
    }
  }
  FStage.clear();
  return !FFailed;
}

bool TJsonWriterStream::Append(const char* bytes, size_t n) {
  if (FFailed) return false;
  if (FStage.size() + n > 65536) {
    if (!Flush()) return false;
    if (n >= 65536) {
      try {
        if (FStream.Write(bytes, static_cast<int64_t>(n)) != static_cast<int64_t>(n)) FFailed = true;
      } catch (const std::exception&) {
        FFailed = true;
      }
      return !FFailed;
    }
  }
  FStage.append(bytes, n);
  return true;
}

void TJsonWriterStream::Reset() {
  FStage.clear();
  FFailed = false;
  try {
    FStream.SetSize(0);
    FStream.Seek(0, TSeekOrigin::soBeginning);
  } catch (const std::exception&) {
    FFailed = true;
  }
}

namespace {

template <class W>
void write_indent(W& w, int level) {
  static const char kBlanks[] = "\n                                                               ";
  constexpr int kChunk = int(sizeof(kBlanks)) - 2;  // blanks after the LF
  const int first = level < kChunk ? level : kChunk;
  w.Append(kBlanks, size_t(first) + 1);
  for (level -= first; level > 0; level -= kChunk) w.Append(kBlanks + 1, size_t(level < kChunk ? level : kChunk));
}

// With dbcs_rule (string values under code page 936) the byte after a lead
// byte is written as it stands, since the parser reads it so. A NUL or a
// double quote cannot stand there: such a pair is not a character, and its
// lead byte is written as "?", as conversions do with invalid text.
template <class W>
void write_escaped(W& w, std::string_view s, bool dbcs_rule) {
  const char* p = s.data();
  const size_t n = s.size();
  size_t run = 0;
  bool trail = false;  // the byte at i is the second byte of a double-byte pair
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (dbcs_rule) {
      const bool is_trail = trail;
      trail = !is_trail && c >= 0x80;
      if (is_trail) {
        if (c != 0 && c != '"') continue;
        if (i - 1 > run) w.Append(p + run, i - 1 - run);
        w.Append("?", 1);
        run = i;
      }
    }
    if (!kEscape.need[c]) continue;
    if (i > run) w.Append(p + run, i - run);
    run = i + 1;
    switch (c) {
      case 0x08: w.Append("\\b", 2); break;
      case 0x09: w.Append("\\t", 2); break;
      case 0x0A: w.Append("\\n", 2); break;
      case 0x0D: w.Append("\\r", 2); break;
      case '"': w.Append("\\\"", 2); break;
      case '/': w.Append("\\/", 2); break;
      case '\\': w.Append("\\\\", 2); break;
      default: {
        const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        w.Append(esc, 6);
      }
    }
  }
  if (n > run) w.Append(p + run, n - run);
}

}  // namespace

template <class W>
void TJsonWriter::WriteTree(W& w, const TJsonObject* obj, bool format, int level) {
  // One frame per open container. An object's frame owns the part of nodes
  // above its base: the pending left spine of its in-order walk.
  struct Frame {
    const TJsonObject* v;
    size_t base;
    int32_t idx;
  };
  std::vector<Frame> st;
  std::vector<PJsonAvlEntry> nodes;
  const bool gbk = is_gbk();
  auto push_left = [&nodes](PJsonAvlEntry e) {
    for (; e; e = e->FChild[0]) {
      __builtin_prefetch(e->FObj);
      if (e->FChild[1]) __builtin_prefetch(e->FChild[1]);
      nodes.push_back(e);
    }
  };
  auto value = [&](const TJsonObject* v) {
    char buf[400];
    switch (v ? v->FJsonType : json_type_null) {
      case json_type_object:
        w.Append("{", 1);
        ++level;
        st.push_back(Frame{v, nodes.size(), 0});
        push_left(v->o.c_object->FRoot);
        break;
      case json_type_array:
        w.Append("[", 1);
        ++level;
        if (format) write_indent(w, level);
        st.push_back(Frame{v, 0, 0});
        break;
      case json_type_boolean:
        if (v->o.c_boolean)
          w.Append("true", 4);
        else
          w.Append("false", 5);
        break;
      case json_type_double: {
        const double d = v->o.c_double;
        const auto r = std::isfinite(d) ? std::to_chars(buf, buf + sizeof(buf), d, std::chars_format::fixed, 4)
                                        : std::to_chars_result{buf, std::errc::value_too_large};
        if (r.ec == std::errc())
          w.Append(buf, size_t(r.ptr - buf));
        else
          w.Append("null", 4);  // no JSON text for not-a-number and infinities
        break;
      }
      case json_type_int: {
        const auto r = std::to_chars(buf, buf + sizeof(buf), v->o.c_int);
        w.Append(buf, size_t(r.ptr - buf));
        break;
      }
      case json_type_string:
        w.Append("\"", 1);
        write_escaped(w, v->o.c_string, gbk);
        w.Append("\"", 1);
        break;
      default:
        w.Append("null", 4);
    }
  };
  value(obj);
  while (!st.empty() && !w.FFailed) {
    Frame& f = st.back();
    if (f.v->FJsonType == json_type_object) {
      if (nodes.size() > f.base) {
        const PJsonAvlEntry e = nodes.back();
        nodes.pop_back();
        push_left(e->FChild[1]);
        if (f.idx++ > 0) w.Append(",", 1);
        if (format) write_indent(w, level);
        w.Append("\"", 1);
        write_escaped(w, e->FName, false);  // escaped, as the parser decodes names
        w.Append("\":", 2);
        value(e->FObj);  // may invalidate f
      } else {
        --level;
        if (format && f.idx > 0) write_indent(w, level);
        w.Append("}", 1);
        st.pop_back();
      }
    } else {
      const TJsonArray* a = f.v->o.c_array;
      if (f.idx < a->FLength) {
        if (f.idx > 0) w.Append(",", 1);
        value(a->FArray[size_t(f.idx++)]);  // may invalidate f
      } else {
        --level;
        w.Append("]", 1);
        st.pop_back();
      }
    }
  }
}

int TJsonWriter::Write(const TJsonObject* obj, bool format, int level) {
  if (obj && obj->FJsonType != json_type_null) {
    if (auto* ws = dynamic_cast<TJsonWriterString*>(this))
      WriteTree(*ws, obj, format, level);
    else
      WriteTree(*this, obj, format, level);
  }
  if (auto* st = dynamic_cast<TJsonWriterStream*>(this)) st->Flush();
  return FFailed ? -1 : 0;
}

// ---------------------------------------------------------------- AVL tree

namespace {

// Rotates the subtree at *slot whose balance became +2 or -2; returns true
// when the subtree's height is unchanged by the rotation (deletion case).
bool avl_rebalance(PJsonAvlEntry* slot) {
  PJsonAvlEntry x = *slot;
  const int d = x->FBf > 0 ? 1 : 0;  // heavy side
  const int8_t s = d ? 1 : -1;
  PJsonAvlEntry c = x->FChild[d];
  if (c->FBf == -s) {
    // Double rotation through the inner grandchild g.
    PJsonAvlEntry g = c->FChild[1 - d];
    c->FChild[1 - d] = g->FChild[d];
    x->FChild[d] = g->FChild[1 - d];
    g->FChild[d] = c;
    g->FChild[1 - d] = x;
    if (g->FBf == s) {
      x->FBf = -s;
      c->FBf = 0;
    } else if (g->FBf == -s) {
      x->FBf = 0;
      c->FBf = s;
    } else {
      x->FBf = 0;
      c->FBf = 0;
    }
    g->FBf = 0;
    *slot = g;
    return false;
  }
  x->FChild[d] = c->FChild[1 - d];
  c->FChild[1 - d] = x;
  *slot = c;
  if (c->FBf == 0) {
    x->FBf = s;
    c->FBf = -s;
    return true;
  }
  x->FBf = 0;
  c->FBf = 0;
  return false;
}

// Frees the entry shells of a tree iteratively; values are passed to take.
template <class Take>
void avl_free_all(PJsonAvlEntry root, Take take) {
  std::vector<PJsonAvlEntry> st;
  if (root) st.push_back(root);
  while (!st.empty()) {
    PJsonAvlEntry e = st.back();
    st.pop_back();
    if (e->FChild[0]) st.push_back(e->FChild[0]);
    if (e->FChild[1]) st.push_back(e->FChild[1]);
    take(e);
  }
}

}  // namespace

TJsonAvlTree::~TJsonAvlTree() {
  // A derived tree has already cleared itself; entries left here hold no owned values.
  avl_free_all(FRoot, [](PJsonAvlEntry e) { delete e; });
  FRoot = nullptr;
}

void TJsonAvlTree::Clear() {
  PJsonAvlEntry root = FRoot;
  FRoot = nullptr;
  FCount = 0;
  avl_free_all(root, [this](PJsonAvlEntry e) { doDeleteEntry(e, true); });
}

void TJsonAvlTree::doDeleteEntry(PJsonAvlEntry entry, bool) { delete entry; }

int TJsonAvlTree::CompareNodeNode(PJsonAvlEntry a, PJsonAvlEntry b) const {
  return json_name_compare(a->FName, b->FName);
}

int TJsonAvlTree::CompareKeyNode(std::string_view k, PJsonAvlEntry p) const {
  return json_name_compare(k, p->FName);
}

PJsonAvlEntry TJsonAvlTree::Insert(PJsonAvlEntry e) {
  PJsonAvlEntry* links[JSON_AVL_MAX_HEIGHT];
  int dirs[JSON_AVL_MAX_HEIGHT];
  int n = 0;
  PJsonAvlEntry* slot = &FRoot;
  while (*slot) {
    const int c = CompareNodeNode(e, *slot);
    if (c == 0) return *slot;
    if (n >= JSON_AVL_MAX_HEIGHT) assertion_failed("AVL tree too high", kUnit, __LINE__);
    links[n] = slot;
    dirs[n] = c > 0 ? 1 : 0;
    slot = &(*slot)->FChild[dirs[n]];
    ++n;
  }
  e->FChild[0] = e->FChild[1] = nullptr;
  e->FBf = 0;
  *slot = e;
  ++FCount;
  for (int i = n - 1; i >= 0; --i) {
    PJsonAvlEntry x = *links[i];
    x->FBf = int8_t(x->FBf + (dirs[i] ? 1 : -1));
    if (x->FBf == 0) break;
    if (x->FBf == 1 || x->FBf == -1) continue;
    avl_rebalance(links[i]);
    break;
  }
  return e;
}

PJsonAvlEntry TJsonAvlTree::Search(std::string_view k, TJsonAvlSearchTypes st) const {
  PJsonAvlEntry p = FRoot;
  PJsonAvlEntry below = nullptr, above = nullptr;
  while (p) {
    const int c = CompareKeyNode(k, p);
    if (c == 0) {
      if (st & stEQual) return p;
      TJsonAvlIterator it(this);
      it.Search(k, st);
      return it.GetIter();
    }
    if (c > 0) {
      below = p;
      p = p->FChild[1];
    } else {
      above = p;
      p = p->FChild[0];
    }
  }
  if (st & stLess) return below;
  if (st & stGreater) return above;
  return nullptr;
}

PJsonAvlEntry TJsonAvlTree::Unlink(std::string_view k) {
  PJsonAvlEntry* links[JSON_AVL_MAX_HEIGHT + 1];
  int dirs[JSON_AVL_MAX_HEIGHT + 1];
  int n = 0;
  PJsonAvlEntry* slot = &FRoot;
  for (;;) {
    if (!*slot) return nullptr;
    const int c = CompareKeyNode(k, *slot);
    if (c == 0) break;
    if (n >= JSON_AVL_MAX_HEIGHT) assertion_failed("AVL tree too high", kUnit, __LINE__);
    links[n] = slot;
    dirs[n] = c > 0 ? 1 : 0;
    slot = &(*slot)->FChild[dirs[n]];
    ++n;
  }
  PJsonAvlEntry target = *slot;
  if (target->FChild[0] && target->FChild[1]) {
    // Swap the payload with the in-order successor, then unlink the successor.
    links[n] = slot;
    dirs[n] = 1;
    ++n;
    PJsonAvlEntry* s = &target->FChild[1];
    while ((*s)->FChild[0]) {
      if (n >= JSON_AVL_MAX_HEIGHT) assertion_failed("AVL tree too high", kUnit, __LINE__);
      links[n] = s;
      dirs[n] = 0;
      ++n;
      s = &(*s)->FChild[0];
    }
    PJsonAvlEntry succ = *s;
    std::swap(target->FName, succ->FName);
    std::swap(target->FObj, succ->FObj);
    *s = succ->FChild[1];
    target = succ;
  } else {
    *slot = target->FChild[0] ? target->FChild[0] : target->FChild[1];
  }
  target->FChild[0] = target->FChild[1] = nullptr;
  --FCount;
  for (int i = n - 1; i >= 0; --i) {
    PJsonAvlEntry x = *links[i];
    x->FBf = int8_t(x->FBf + (dirs[i] ? -1 : 1));
    if (x->FBf == 1 || x->FBf == -1) break;
    if (x->FBf == 0) continue;
    if (avl_rebalance(links[i])) break;
  }
  return target;
}

void TJsonAvlTree::Delete(std::string_view k) {
  PJsonAvlEntry e = Unlink(k);
  if (e) doDeleteEntry(e, false);
}

// ---------------------------------------------------------------- iterator

void TJsonAvlIterator::Descend(PJsonAvlEntry p, int dir) {
  while (p) {
    if (FDepth + 1 >= JSON_AVL_MAX_HEIGHT) assertion_failed("AVL iterator path too long", kUnit, __LINE__);
    if (FDepth >= 0) {
      if (dir)
        FBranch |= uint64_t(1) << FDepth;
      else
        FBranch &= ~(uint64_t(1) << FDepth);
    }
    FPath[++FDepth] = p;
    p = p->FChild[dir];
  }
}

void TJsonAvlIterator::First() {
  FDepth = -1;
  FBranch = 0;
  if (FTree) Descend(FTree->FRoot, 0);
}

void TJsonAvlIterator::Last() {
  FDepth = -1;
  FBranch = 0;
  if (FTree) Descend(FTree->FRoot, 1);
}

namespace {

// One in-order step towards dir (1 = higher). path[0..depth] is the walk from
// the root, branch bit i the direction taken at path[i]; descend(e, d) extends
// it from e towards d. depth becomes -1 past the end.
template <class Descend>
void avl_step(PJsonAvlEntry* path, int32_t& depth, uint64_t& branch, int dir, Descend descend) {
  if (depth < 0) return;
  PJsonAvlEntry p = path[depth];
  if (p->FChild[dir]) {
    branch = (branch & ~(uint64_t(1) << depth)) | (uint64_t(dir) << depth);
    path[++depth] = p->FChild[dir];
    descend(p->FChild[dir]->FChild[1 - dir], 1 - dir);
    return;
  }
  for (;;) {
    if (depth == 0) {
      depth = -1;
      return;
    }
    --depth;
    if (int((branch >> depth) & 1) != dir) return;
  }
}

}  // namespace

void TJsonAvlIterator::Next() {
  avl_step(FPath, FDepth, FBranch, 1, [this](PJsonAvlEntry e, int d) { Descend(e, d); });
}

void TJsonAvlIterator::Prior() {
  avl_step(FPath, FDepth, FBranch, 0, [this](PJsonAvlEntry e, int d) { Descend(e, d); });
}

void TJsonAvlIterator::Search(std::string_view k, TJsonAvlSearchTypes st) {
  FDepth = -1;
  FBranch = 0;
  if (!FTree) return;
  int below = -1, above = -1;  // path depth of the nearest lower / higher entry
  PJsonAvlEntry p = FTree->FRoot;
  while (p) {
    if (FDepth + 1 >= JSON_AVL_MAX_HEIGHT) assertion_failed("AVL iterator path too long", kUnit, __LINE__);
    FPath[++FDepth] = p;
    const int c = FTree->CompareKeyNode(k, p);
    if (c == 0) {
      if (st & stEQual) return;
      if (st & stLess) {
        Prior();
      } else if (st & stGreater) {
        Next();
      } else {
        FDepth = -1;
      }
      return;
    }
    if (c > 0) {
      below = FDepth;
      FBranch |= uint64_t(1) << FDepth;
    } else {
      above = FDepth;
      FBranch &= ~(uint64_t(1) << FDepth);
    }
    p = p->FChild[c > 0 ? 1 : 0];
  }
  if (st & stLess)
    FDepth = below;
  else if (st & stGreater)
    FDepth = above;
  else
    FDepth = -1;
}

// ---------------------------------------------------------------- member table

TJsonTableString::~TJsonTableString() { Clear(); }

void TJsonTableString::doDeleteEntry(PJsonAvlEntry entry, bool) {
  delete entry->FObj;
  delete entry;
}

void TJsonTableString::TakeAll(std::vector<TJsonObject*>& values, std::vector<PJsonAvlEntry>& nodes) {
  nodes.clear();
  if (FRoot) nodes.push_back(FRoot);
  FRoot = nullptr;
  FCount = 0;
  while (!nodes.empty()) {
    PJsonAvlEntry e = nodes.back();
    nodes.pop_back();
    if (e->FChild[0]) nodes.push_back(e->FChild[0]);
    if (e->FChild[1]) nodes.push_back(e->FChild[1]);
    if (e->FObj) values.push_back(e->FObj);
    delete e;
  }
}

TJsonObject* TJsonTableString::Get(std::string_view k) const {
  const PJsonAvlEntry e = Search(k, stEQual);
  return e ? e->FObj : nullptr;
}

TJsonObject* TJsonTableString::Put(std::string_view k, std::unique_ptr<TJsonObject> obj) {
  if (!obj) {
    Delete(k);
    return nullptr;
  }
  PJsonAvlEntry e = new RJsonAvlEntry;
  e->FName.assign(k.data(), k.size());
  const PJsonAvlEntry at = Insert(e);
  if (at != e) {
    // Same name (ignoring case): the later member replaces the earlier one.
    delete e;
    delete at->FObj;
    at->FName.assign(k.data(), k.size());
    at->FObj = obj.release();
    return at->FObj;
  }
  e->FObj = obj.release();
  return e->FObj;
}

std::string TJsonTableString::KeyOF(int32_t index, TJsonObject*& v) const {
  v = nullptr;
  if (index < 0 || index >= FCount) return {};
  TJsonAvlIterator it(this);
  it.First();
  for (int32_t i = 0; i < index; ++i) it.Next();
  const PJsonAvlEntry e = it.GetIter();
  if (!e) return {};
  v = e->FObj;
  return e->FName;
}

// ---------------------------------------------------------------- arrays

TJsonArray::TJsonArray() = default;

TJsonArray::~TJsonArray() {
  for (int32_t i = 0; i < FLength; ++i) delete FArray[size_t(i)];
}

bool TJsonArray::Grow(int32_t index) {
  if (index < 0 || index >= JSON_ARRAY_MAX_LENGTH) return false;
  if (index >= FSize) {
    int64_t grown = int64_t(FSize) * 2;
    if (grown <= index) grown = int64_t(index) + 32;
    if (grown > JSON_ARRAY_MAX_LENGTH) grown = JSON_ARRAY_MAX_LENGTH;
    FSize = int32_t(grown);
  }
  if (size_t(index) >= FArray.size()) {
    // Storage follows the logical capacity lazily: small arrays stay small.
    size_t phys = FArray.size() < 4 ? 4 : FArray.size() * 2;
    if (phys <= size_t(index)) phys = size_t(index) + 1;
    if (phys > size_t(FSize)) phys = size_t(FSize);
    FArray.resize(phys, nullptr);
  }
  return true;
}

int32_t TJsonArray::Add(std::unique_ptr<TJsonObject> data) {
  const int32_t at = FLength;
  Put(at, std::move(data));
  return at;
}

int32_t TJsonArray::Add(std::string_view data) { return Add(TJsonObject::Create(data)); }

int32_t TJsonArray::Add(int64_t data) { return Add(TJsonObject::Create(data)); }

int32_t TJsonArray::AddObject(std::string_view text) {
  std::unique_ptr<TJsonObject> v = TJsonObject::Parse(text);
  if (!v) return -1;
  return Add(std::move(v));
}

TJsonObject* TJsonArray::Get(int32_t i) const {
  if (i < 0 || i >= FLength) return nullptr;
  return FArray[size_t(i)];
}

void TJsonArray::Put(int32_t i, std::unique_ptr<TJsonObject> data) {
  if (!data || !Grow(i)) return;
  TJsonObject*& slot = FArray[size_t(i)];
  if (i < FLength) delete slot;
  slot = data.release();
  if (i >= FLength) FLength = i + 1;
}

void TJsonArray::Remove(int32_t i) {
  if (i < 0 || i >= FLength) return;
  delete FArray[size_t(i)];
  FArray[size_t(i)] = FArray[size_t(FLength - 1)];
  FArray[size_t(FLength - 1)] = nullptr;
  --FLength;
}

void TJsonArray::Clear() {
  for (int32_t i = 0; i < FLength; ++i) delete FArray[size_t(i)];
  FArray.clear();
  FLength = 0;
}

std::unique_ptr<TJsonObject> TJsonArray::Take(int32_t i) {
  if (i < 0 || i >= FLength) return nullptr;
  std::unique_ptr<TJsonObject> v(FArray[size_t(i)]);
  FArray[size_t(i)] = nullptr;
  return v;
}

TJObjectEnumerator::TJObjectEnumerator(TJsonObject* array_value)
    : JsonArray(array_value ? array_value->AsArray() : nullptr), JsonObject(array_value) {}

bool TJObjectEnumerator::MoveNext() {
  if (!JsonArray) return false;
  if (FIndex < JsonArray->Length()) ++FIndex;
  return FIndex < JsonArray->Length();
}

TJsonObject* TJObjectEnumerator::GetCurrent() const {
  return JsonArray ? JsonArray->Get(FIndex) : nullptr;
}

// ---------------------------------------------------------------- values

TJsonObject::TJsonObject(TJsonType jt) : FJsonType(jt) {
  switch (jt) {
    case json_type_object: o.c_object = new TJsonTableString; break;
    case json_type_array: o.c_array = new TJsonArray; break;
    case json_type_string: new (&o.c_string) std::string(); break;
    case json_type_boolean: o.c_boolean = false; break;
    case json_type_double: o.c_double = 0; break;
    default: o.c_int = 0;
  }
}

namespace {

// Moves the children of v out of its container into work, leaving the
// container empty, so that destroying v does not descend into them. nodes is
// scratch space for the member tree walk.
void harvest_children(TJsonObject* v, std::vector<TJsonObject*>& work, std::vector<PJsonAvlEntry>& nodes) {
  if (TJsonArray* a = v->AsArray()) {
    for (int32_t i = a->Length() - 1; i >= 0; --i)
      if (std::unique_ptr<TJsonObject> c = a->Take(i)) work.push_back(c.release());
    a->Clear();
  } else if (TJsonTableString* t = v->AsObject()) {
    t->TakeAll(work, nodes);
  }
}

}  // namespace

TJsonObject::~TJsonObject() {
  if (FJsonType == json_type_object || FJsonType == json_type_array) {
    std::vector<TJsonObject*> work;
    std::vector<PJsonAvlEntry> nodes;
    harvest_children(this, work, nodes);
    while (!work.empty()) {
      TJsonObject* v = work.back();
      work.pop_back();
      harvest_children(v, work, nodes);
      delete v;
    }
    if (FJsonType == json_type_object)
      delete o.c_object;
    else
      delete o.c_array;
  } else if (FJsonType == json_type_string) {
    o.c_string.~basic_string();
  }
}

void TJsonObject::SetStringRaw(std::string&& s) { o.c_string = std::move(s); }

std::unique_ptr<TJsonObject> TJsonObject::Create(TJsonType jt) { return std::make_unique<TJsonObject>(jt); }

std::unique_ptr<TJsonObject> TJsonObject::Create(bool b) {
  auto v = std::make_unique<TJsonObject>(json_type_boolean);
  v->o.c_boolean = b;
  return v;
}

std::unique_ptr<TJsonObject> TJsonObject::Create(uint32_t i) { return Create(int64_t(i)); }

std::unique_ptr<TJsonObject> TJsonObject::Create(int64_t i) {
  auto v = std::make_unique<TJsonObject>(json_type_int);
  v->o.c_int = i;
  return v;
}

std::unique_ptr<TJsonObject> TJsonObject::Create(double d) {
  auto v = std::make_unique<TJsonObject>(json_type_double);
  v->o.c_double = d;
  return v;
}

std::unique_ptr<TJsonObject> TJsonObject::Create(std::string_view s) {
  auto v = std::make_unique<TJsonObject>(json_type_string);
  v->SetStringRaw(substitute_names(s));
  return v;
}

std::unique_ptr<TJsonObject> TJsonObject::Create(const std::vector<uint8_t>& buf) {
  return CreateBytes(std::string_view(reinterpret_cast<const char*>(buf.data()), buf.size()));
}

std::unique_ptr<TJsonObject> TJsonObject::CreateBytes(std::string_view buf) {
  auto v = std::make_unique<TJsonObject>(json_type_string);
  v->SetStringRaw(std::string(buf));
  return v;
}

std::string_view TJsonObject::StringView() const noexcept {
  return FJsonType == json_type_string ? std::string_view(o.c_string) : std::string_view();
}

bool TJsonObject::AsBoolean() const {
  switch (FJsonType) {
    case json_type_boolean: return o.c_boolean;
    case json_type_double: return o.c_double != 0;
    case json_type_int: return o.c_int != 0;
    case json_type_string: return !o.c_string.empty();
    default: return true;
  }
}

int64_t TJsonObject::AsInteger() const {
  switch (FJsonType) {
    case json_type_boolean: return o.c_boolean ? 1 : 0;
    case json_type_double: return double_to_int64(o.c_double);
    case json_type_int: return o.c_int;
    case json_type_string: {
      int64_t v = 0;
      return text_to_int64(o.c_string, v) ? v : 0;
    }
    default: return 0;
  }
}

double TJsonObject::AsDouble() const {
  switch (FJsonType) {
    case json_type_boolean: return o.c_boolean ? 1 : 0;
    case json_type_double: return o.c_double;
    case json_type_int: return double(o.c_int);
    case json_type_string: {
      double v = 0;
      return text_to_double(o.c_string, v) ? v : 0;
    }
    default: return 0;
  }
}

std::string TJsonObject::AsString(int32_t len) const {
  if (FJsonType == json_type_string) {
    if (len < 0 || size_t(len) >= o.c_string.size()) return o.c_string;
    return o.c_string.substr(0, size_t(len));
  }
  TJsonWriterString w;
  if (w.Write(this, false, 0) != 0) return {};
  return w.GetData();
}

std::string TJsonObject::asBytes() const { return AsString(-1); }

std::string TJsonObject::AsJSon(bool format) {
  if (!FText) FText = std::make_unique<TJsonTextCache>();
  TJsonWriterString& pb = FText->Fpb;
  pb.Reset();
  if (pb.Write(this, format, 0) == 0)
    FText->FCacheJsonString.assign(pb.View());
  else
    FText->FCacheJsonString.clear();
  return FText->FCacheJsonString;
}

TDataRec TJsonObject::AsJSonData(bool format) {
  AsJSon(format);
  const std::string& t = FText->FCacheJsonString;
  return TDataRec{t.data(), uint32_t(t.size())};
}

int64_t TJsonObject::SaveTo(TStream& stream, bool format) const {
  bool ok;
  {
    TJsonWriterStream w(stream);
    ok = w.Write(this, format, 0) == 0 && w.Flush();
  }
  try {
    if (ok) return stream.GetSize();
    stream.SetSize(0);
  } catch (const std::exception&) {
  }
  return 0;
}

int64_t TJsonObject::SaveTo(const std::string& FileName, bool format) const {
  int64_t size = 0;
  const bool replaced = replace_file(FileName, [&](TStream& out) {
    size = SaveTo(out, format);
    return size > 0 || CalcSize(format) == 0;
  });
  return replaced ? size : 0;
}

int64_t TJsonObject::CalcSize(bool format) const {
  TJsonWriterFake w;
  w.Write(this, format, 0);
  return w.Size();
}

namespace {

// A copy of v without its members or elements; string bytes kept unchanged.
TJsonObject* shallow_copy(const TJsonObject* v) {
  if (!v) return nullptr;
  switch (v->JsonType()) {
    case json_type_boolean: return TJsonObject::Create(v->AsBoolean()).release();
    case json_type_double: return TJsonObject::Create(v->AsDouble()).release();
    case json_type_int: return TJsonObject::Create(v->AsInteger()).release();
    case json_type_string: return TJsonObject::CreateBytes(v->StringView()).release();
    default: return TJsonObject::Create(v->JsonType()).release();
  }
}

}  // namespace

std::unique_ptr<TJsonObject> TJsonObject::Clone() const {
  std::unique_ptr<TJsonObject> root(shallow_copy(this));
  std::vector<std::pair<const TJsonObject*, TJsonObject*>> work;
  work.emplace_back(this, root.get());
  while (!work.empty()) {
    const auto [src, dst] = work.back();
    work.pop_back();
    if (const TJsonArray* a = src->AsArray()) {
      TJsonArray* da = dst->AsArray();
      for (int32_t i = 0; i < a->Length(); ++i) {
        TJsonObject* c = shallow_copy(a->Get(i));
        if (!da->Grow(i)) {
          delete c;
          break;
        }
        da->FArray[size_t(i)] = c;
        da->FLength = i + 1;
        if (c && (c->FJsonType == json_type_object || c->FJsonType == json_type_array))
          work.emplace_back(a->Get(i), c);
      }
    } else if (const TJsonTableString* t = src->AsObject()) {
      TJsonTableString* dt = dst->AsObject();
      TJsonAvlIterator it(t);
      for (it.First(); it.GetIter(); it.Next()) {
        const PJsonAvlEntry e = it.GetIter();
        PJsonAvlEntry ne = new RJsonAvlEntry;
        ne->FName = e->FName;
        ne->FObj = shallow_copy(e->FObj);
        if (dt->Insert(ne) != ne) {
          delete ne->FObj;
          delete ne;
          continue;
        }
        if (ne->FObj && (ne->FObj->FJsonType == json_type_object || ne->FObj->FJsonType == json_type_array))
          work.emplace_back(e->FObj, ne->FObj);
      }
    }
  }
  return root;
}

TJsonCompareResult TJsonObject::Compare(const TJsonObject* obj) const {
  if (!obj) return cpError;
  auto numeric = [](TJsonType t) {
    return t == json_type_boolean || t == json_type_double || t == json_type_int;
  };
  const TJsonType a = FJsonType, b = obj->FJsonType;
  if (numeric(a) && numeric(b)) {
    if (a != json_type_double && b != json_type_double) {
      const int64_t x = AsInteger(), y = obj->AsInteger();
      return x < y ? cpLess : (x == y ? cpEqu : cpGreat);
    }
    const double diff = AsDouble() - obj->AsDouble();
    if (std::isnan(diff)) return cpGreat;
    return diff < 0 ? cpLess : (diff == 0 ? cpEqu : cpGreat);
  }
  if ((a == json_type_string && (numeric(b) || b == json_type_string)) ||
      (b == json_type_string && numeric(a))) {
    const int c = json_name_compare(AsString(-1), obj->AsString(-1));
    return c < 0 ? cpLess : (c == 0 ? cpEqu : cpGreat);
  }
  return cpError;
}

// ---- object members

TJsonObject* TJsonObject::GetObject(std::string_view key) const {
  const TJsonTableString* t = AsObject();
  return t ? t->Get(key) : nullptr;
}

std::string TJsonObject::GetString(std::string_view key, std::string_view def) const {
  if (FJsonType != json_type_object) return std::string(def);
  const TJsonObject* v = GetObject(key);
  if (!v) return std::string(def);
  return v->AsString(-1);
}

int64_t TJsonObject::GetInt(std::string_view key, int64_t def) const {
  const TJsonObject* v = GetObject(key);
  return v ? v->AsInteger() : def;
}

double TJsonObject::GetFloat(std::string_view key, double def) const {
  const TJsonObject* v = GetObject(key);
  return v ? v->AsDouble() : def;
}

TDateTime TJsonObject::GetDateTime(std::string_view key) const {
  try {
    return parse_datetime_text(GetString(key, {}), 0);
  } catch (const std::exception&) {
    return 0;
  }
}

TVarRec TJsonObject::GetField(std::string_view key) const { return TVarRec(GetString(key, {})); }

void TJsonObject::SetField(std::string_view key, const TVarRec& value) { Put(key, value.text()); }

int32_t TJsonObject::GetBin(std::string_view key, std::string& buf) const {
  buf.clear();
  const TJsonObject* v = GetObject(key);
  if (!v) return 0;
  const std::string text = v->AsString(-1);
  if (text.size() < 5 || !ci_equal(std::string_view(text).substr(0, 5), ":BIN:")) return 0;
  buf = base64_decode_text(std::string_view(text).substr(5));
  return int32_t(buf.size());
}

void TJsonObject::Put(std::string_view key, std::string_view value) {
  if (key.empty()) return;
  Put(key, Create(value));
}

void TJsonObject::Put(std::string_view key, int64_t value) { Put(key, Create(value)); }

void TJsonObject::Put(std::string_view key, bool value) { Put(key, Create(value)); }

void TJsonObject::Put(std::string_view key, double value) { Put(key, Create(value)); }

void TJsonObject::Put(std::string_view key, std::unique_ptr<TJsonObject> value) {
  if (TJsonTableString* t = AsObject()) t->Put(key, std::move(value));
}

void TJsonObject::put(std::string_view key, const void* Data, int32_t datalen) {
  if (!Data || datalen <= 0) return;
  std::string text = ":BIN:";
  text += base64_encode_text(std::string_view(static_cast<const char*>(Data), size_t(datalen)));
  Put(key, CreateBytes(text));
}

std::string TJsonObject::KeyOf(int32_t index) const {
  const TJsonTableString* t = AsObject();
  if (!t) return {};
  TJsonObject* v = nullptr;
  return t->KeyOF(index, v);
}

int32_t TJsonObject::KeyCount() const noexcept {
  const TJsonTableString* t = AsObject();
  return t ? t->count() : 0;
}

bool TJsonObject::ObjectFindFirst(const TJsonObject* obj, TJsonObjectIter& F) {
  const TJsonTableString* t = obj ? obj->AsObject() : nullptr;
  F.Ite.Create(t);
  F.Ite.First();
  const PJsonAvlEntry e = F.Ite.GetIter();
  F.key = e ? e->FName : std::string();
  F.val = e ? e->FObj : nullptr;
  return e != nullptr;
}

bool TJsonObject::ObjectFindNext(TJsonObjectIter& F) {
  F.Ite.Next();
  const PJsonAvlEntry e = F.Ite.GetIter();
  F.key = e ? e->FName : std::string();
  F.val = e ? e->FObj : nullptr;
  return e != nullptr;
}

// ---- array elements

int32_t TJsonObject::ArrayLength() const noexcept {
  const TJsonArray* a = AsArray();
  return a ? a->Length() : 0;
}

TJsonObject* TJsonObject::GetArray_Item(int32_t idx) const {
  const TJsonArray* a = AsArray();
  return a ? a->Get(idx) : nullptr;
}

TJsonObject* TJsonObject::asArray_Get(int32_t idx1, int32_t idx2) const {
  const TJsonObject* v = GetArray_Item(idx1);
  return v ? v->GetArray_Item(idx2) : nullptr;
}

void TJsonObject::SetArray_Item(int32_t idx, std::unique_ptr<TJsonObject> Value) {
  TJsonArray* a = AsArray();
  if (!a || idx < 0) return;
  if (idx < a->Length()) {
    delete a->FArray[size_t(idx)];
    a->FArray[size_t(idx)] = Value.release();
  } else {
    a->Add(std::move(Value));
  }
}

TJsonObject* TJsonObject::addToArray(std::unique_ptr<TJsonObject> jso) {
  if (TJsonArray* a = AsArray()) a->Add(std::move(jso));
  return this;
}

std::unique_ptr<TJsonObject> TJsonObject::First_InArray() const {
  const TJsonObject* v = GetArray_Item(0);
  return v ? v->Clone() : nullptr;
}

std::unique_ptr<TJObjectEnumerator> TJsonObject::GetEnumerator() {
  if (FJsonType != json_type_array) return nullptr;
  return std::make_unique<TJObjectEnumerator>(this);
}

// ---- null-safe reads

bool json_as_boolean(const TJsonObject* obj) { return obj ? obj->AsBoolean() : false; }
int64_t json_as_integer(const TJsonObject* obj) { return obj ? obj->AsInteger() : 0; }
double json_as_double(const TJsonObject* obj) { return obj ? obj->AsDouble() : 0; }
std::string json_as_string(const TJsonObject* obj, int32_t len) { return obj ? obj->AsString(len) : std::string(); }
std::string json_as_text(TJsonObject* obj, bool format) { return obj ? obj->AsJSon(format) : std::string(); }

// ---------------------------------------------------------------- tokener

TJsonTokener::TJsonTokener(int64_t max_token) : pb(max_token) { Reset(); }

void TJsonTokener::ResetLevel(int adepth) {
  if (adepth < 0 || adepth >= JSON_TOKENER_MAX_DEPTH) return;
  TJsonTokenerSrec& l = stack[adepth];
  l.state = json_tokener_state_eatws;
  l.saved_state = json_tokener_state_start;
  l.current.reset();
  l.obj.reset();
  l.obj_field_name.clear();
}

void TJsonTokener::Reset() {
  for (int i = 0; i < JSON_TOKENER_MAX_DEPTH; ++i) ResetLevel(i);
  depth = 0;
  err = json_tokener_success;
  pb.Reset();
  is_double = 0;
  st_pos = 0;
  char_offset = 0;
  ucs_char = 0;
  ucs_high = 0;
  quote_char = '"';
  dbcs_pos = 0;
  dbcs_trail = false;
  literal_true = false;
}

bool TJsonTokener::IsDbcsTrail(int64_t pos) {
  while (dbcs_pos < pos) {
    const unsigned char b = static_cast<unsigned char>(str[size_t(dbcs_pos)]);
    if (dbcs_trail)
      dbcs_trail = false;
    else if (b >= 0x80)
      dbcs_trail = true;
    ++dbcs_pos;
  }
  return dbcs_trail;
}

std::unique_ptr<TJsonObject> TJsonObject::ParseEx(TJsonTokener&, const char*, int32_t) { return nullptr; }

std::unique_ptr<TJsonObject> TJsonObject::Parse(std::string_view s) {
  if (s.empty()) return nullptr;
  TJsonTokener tok;
  return ParseEx_New(tok, s);
}

namespace {

// Appends a decoded \u code point in the process code page.
void append_code_point(TJsonWriterString& pb, uint32_t cp, bool gbk) {
  if (cp < 0x80) {
    pb.Append(char(cp));
    return;
  }
  std::string u8;
  append_utf8(u8, cp);
  if (gbk) u8 = utf8_to_text(u8);
  pb.Append(u8);
}

// Skips white space and comments at this level, then goes on in next.
inline void skip_ws_then(TJsonTokenerSrec& level, TJsonTokenerState next) {
  level.saved_state = next;
  level.state = json_tokener_state_eatws;
}

// After an element or member: close ends the container, "," goes on in
// next. False for any other byte.
inline bool after_item(TJsonTokenerSrec& level, unsigned char c, char close, TJsonTokenerState next) {
  if (c == static_cast<unsigned char>(close))
    level.state = json_tokener_state_finish;
  else if (c == ',')
    skip_ws_then(level, next);
  else
    return false;
  return true;
}

// Bytes that may end a run of plain string bytes: either quote, "\\", NUL.
struct StringStopTable {
  bool stop[256];
  constexpr StringStopTable() : stop() {
    stop[int('"')] = true;
    stop[int('\'')] = true;
    stop[int('\\')] = true;
    stop[0] = true;
  }
};
constexpr StringStopTable kStringStop;

// Index of the first byte from pos on that ends a run of plain string bytes
// (the quote q, "\\" or NUL), len when there is none.
inline int64_t plain_run_end(const char* p, int64_t pos, int64_t len, char q) {
  for (;;) {
    while (pos < len && !kStringStop.stop[static_cast<unsigned char>(p[pos])]) ++pos;
    if (pos >= len || p[pos] == q || p[pos] == '\\' || p[pos] == 0) return pos;
    ++pos;  // the other quote character is plain text here
  }
}

// Starts a nested value one level down; the current level resumes in resume
// once it is read. False at the depth limit.
inline bool open_level(TJsonTokener& tok, TJsonTokenerState resume) {
  if (tok.depth >= JSON_TOKENER_MAX_DEPTH - 1) return false;
  tok.stack[tok.depth].state = resume;
  ++tok.depth;
  tok.ResetLevel(tok.depth);
  return true;
}

}  // namespace

// One parse of one text: the read position and a handler for each tokener
// state, run by ParseEx_New on the state of the current level. A handler
// that consumes the byte at the read position returns next(); one that only
// changes the state returns go_on without moving, so that the same byte is
// read again in the new state. The handlers are forced inline, so that the
// dispatch loop compiles to one function with the read position in a register.
class TJsonParser {
 public:
  enum class TStep {
    go_on,  // keep reading at the read position
    stop,   // stop reading: the input ended inside a token, or a NUL byte ends the text
    done,   // the top-level value is complete
    fail,   // the text does not parse; tok.err says why
  };

  TJsonParser(TJsonTokener& tok, std::string_view text)
      : tok_(tok), p_(text.data()), len_(int64_t(text.size())), gbk_(is_gbk()) {
    tok_.Reset();
    tok_.str = text;
  }

  bool more() const noexcept { return pos_ < len_; }
  // The outcome once reading stopped: the document when done, else null
  // with the reason in tok.err. Leaves the tokener empty.
  std::unique_ptr<TJsonObject> result(bool done);

  TStep eat_ws();
  TStep start();
  TStep finish();
  TStep null_literal();
  TStep boolean_literal();
  TStep comment_start();
  TStep comment();  // block and line comments
  TStep comment_end();
  TStep string();  // string values and member names
  TStep string_escape();
  TStep escape_unicode();
  TStep number();
  TStep array();
  TStep array_add();
  TStep array_sep();
  TStep object_field_start();
  TStep object_field_end();
  TStep object_value();
  TStep object_value_add();
  TStep object_sep();

 private:
  TJsonTokenerSrec& level() noexcept { return tok_.stack[tok_.depth]; }
  unsigned char byte() const noexcept { return static_cast<unsigned char>(p_[pos_]); }
  // Consumes the byte at the read position; a NUL byte ends the text once it
  // has been processed.
  TStep next() noexcept {
    if (p_[pos_] == 0) return TStep::stop;
    ++pos_;
    return TStep::go_on;
  }
  TStep fail(TJsonTokenerError e) noexcept {
    tok_.err = e;
    return TStep::fail;
  }
  // The fourth hex digit of a \u escape is read: the code unit is complete.
  TStep code_unit();

  TJsonTokener& tok_;
  const char* const p_;
  const int64_t len_;
  const bool gbk_;
  int64_t pos_ = 0;
};

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::eat_ws() {
  int64_t pos = pos_;
  while (is_ws(static_cast<unsigned char>(p_[pos]))) {
    if (++pos >= len_) {
      pos_ = pos;
      return TStep::stop;
    }
  }
  pos_ = pos;
  TJsonTokenerSrec& l = level();
  if (byte() == '/') {
    l.state = json_tokener_state_comment_start;
    return next();
  }
  l.state = l.saved_state;
  return TStep::go_on;
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::start() {
  TJsonTokenerSrec& l = level();
  const unsigned char c = byte();
  switch (c) {
    case '"':
    case '\'':
      tok_.quote_char = char(c);
      tok_.pb.Reset();
      l.state = json_tokener_state_string;
      return next();
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
      tok_.pb.Reset();
      tok_.is_double = 0;
      l.state = json_tokener_state_number;
      return TStep::go_on;
    case 't': case 'f': case 'T': case 'F':
      tok_.st_pos = 0;
      tok_.literal_true = c == 't' || c == 'T';
      l.state = json_tokener_state_boolean;
      return TStep::go_on;
    case 'n': case 'N':
      tok_.st_pos = 0;
      l.state = json_tokener_state_null;
      return TStep::go_on;
    case '[':
      l.current = TJsonObject::Create(json_type_array);
      skip_ws_then(l, json_tokener_state_array);
      return next();
    case '{':
      l.current = TJsonObject::Create(json_type_object);
      skip_ws_then(l, json_tokener_state_object_field_start);
      return next();
    default:
      return fail(json_tokener_error_parse_unexpected);
  }
}

// A closed value goes here without skipping white space: at level 0 the next
// byte, whatever it is (also "/"), is not read.
[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::finish() {
  if (tok_.depth == 0) return TStep::done;
  std::unique_ptr<TJsonObject> v = std::move(level().current);
  tok_.ResetLevel(tok_.depth);
  --tok_.depth;
  level().obj = std::move(v);
  return TStep::go_on;
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::null_literal() {
  TJsonTokenerSrec& l = level();
  if (tok_.st_pos == 4) {
    l.current.reset();
    l.state = json_tokener_state_finish;
    return TStep::go_on;
  }
  if (byte() != static_cast<unsigned char>("null"[tok_.st_pos])) return fail(json_tokener_error_parse_null);
  ++tok_.st_pos;
  return next();
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::boolean_literal() {
  TJsonTokenerSrec& l = level();
  const char* lit = tok_.literal_true ? "true" : "false";
  const int n = tok_.literal_true ? 4 : 5;
  if (tok_.st_pos == n) {
    l.current = TJsonObject::Create(tok_.literal_true);
    l.state = json_tokener_state_finish;
    return TStep::go_on;
  }
  if (byte() != static_cast<unsigned char>(lit[tok_.st_pos])) return fail(json_tokener_error_parse_boolean);
  ++tok_.st_pos;
  return next();
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::comment_start() {
  TJsonTokenerSrec& l = level();
  const unsigned char c = byte();
  if (c == '*')
    l.state = json_tokener_state_comment;
  else if (c == '/')
    l.state = json_tokener_state_comment_eol;
  else
    return fail(json_tokener_error_parse_comment);
  return next();
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::comment() {
  TJsonTokenerSrec& l = level();
  const bool block = l.state == json_tokener_state_comment;
  const unsigned char end = block ? '*' : '\n';
  for (unsigned char c = byte(); c != end; c = byte()) {
    if (c == 0 || ++pos_ >= len_) return TStep::stop;
  }
  l.state = block ? json_tokener_state_comment_end : json_tokener_state_eatws;
  return next();
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::comment_end() {
  TJsonTokenerSrec& l = level();
  const unsigned char c = byte();
  if (c == '/')
    l.state = json_tokener_state_eatws;
  else if (c != '*')
    l.state = json_tokener_state_comment;
  return next();
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::string() {
  TJsonTokenerSrec& l = level();
  const bool is_name = l.state == json_tokener_state_object_field;
  const TJsonTokenerError error =
      is_name ? json_tokener_error_parse_object_key_name : json_tokener_error_parse_string;
  const char q = tok_.quote_char;
  int64_t pos = pos_;
  int64_t start = pos;
  unsigned char c;
  for (;;) {
    pos = plain_run_end(p_, pos, len_, q);
    const bool appended = pos == start || tok_.pb.Append(p_ + start, size_t(pos - start));
    pos_ = pos;
    if (!appended) return fail(error);
    if (pos >= len_) return TStep::stop;
    c = static_cast<unsigned char>(p_[pos]);
    if (c == '\\' && !is_name && gbk_ && tok_.IsDbcsTrail(pos)) {
      start = pos++;
      continue;  // the backslash is the second byte of a character: kept as is
    }
    break;
  }
  if (c == 0) return TStep::stop;
  if (c == '\\') {
    l.saved_state = l.state;
    l.state = json_tokener_state_string_escape;
    return next();
  }
  if (tok_.pb.Failed()) return fail(error);  // a token beyond the buffer cap
  if (is_name) {
    l.obj_field_name.assign(tok_.pb.View());
    skip_ws_then(l, json_tokener_state_object_field_end);
  } else {
    l.current = TJsonObject::Create(tok_.pb.View());
    l.state = json_tokener_state_finish;
  }
  return next();
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::string_escape() {
  TJsonTokenerSrec& l = level();
  const unsigned char c = byte();
  char decoded;
  switch (c) {
    case '"':
    case '\\':
    case '/': decoded = char(c); break;
    case 'b': decoded = '\b'; break;
    case 'f': decoded = '\f'; break;
    case 'n': decoded = '\n'; break;
    case 'r': decoded = '\r'; break;
    case 't': decoded = '\t'; break;
    case 'u':
      tok_.ucs_char = 0;
      tok_.st_pos = 0;
      l.state = json_tokener_state_escape_unicode;
      return next();
    default:
      return fail(json_tokener_error_parse_string);
  }
  tok_.pb.Append(decoded);
  l.state = l.saved_state;
  return next();
}

// st_pos 0..3: hex digits read; 4: a high surrogate was read and "\" of its
// pair is expected; 5: "u" of the pair is expected.
[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::escape_unicode() {
  TJsonTokenerSrec& l = level();
  const unsigned char c = byte();
  if (tok_.st_pos == 4 || tok_.st_pos == 5) {
    if (c == (tok_.st_pos == 4 ? '\\' : 'u')) {
      if (tok_.st_pos == 4) {
        tok_.st_pos = 5;
      } else {
        tok_.ucs_char = 0;
        tok_.st_pos = 0;
      }
      return next();
    }
    // No low surrogate follows: the lone high one is replaced, and the byte
    // is read again as text (after "\": as an escape).
    append_code_point(tok_.pb, 0xFFFD, gbk_);
    tok_.ucs_high = 0;
    l.state = tok_.st_pos == 4 ? l.saved_state : json_tokener_state_string_escape;
    return TStep::go_on;
  }
  const int h = hex_value(c);
  if (h < 0) return fail(json_tokener_error_parse_string);
  tok_.ucs_char = (tok_.ucs_char << 4) | uint32_t(h);
  if (++tok_.st_pos < 4) return next();
  return code_unit();
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::code_unit() {
  TJsonTokenerSrec& l = level();
  const uint32_t u = tok_.ucs_char;
  if (tok_.ucs_high != 0) {
    const uint32_t hi = tok_.ucs_high;
    tok_.ucs_high = 0;
    if (u >= 0xDC00 && u <= 0xDFFF) {
      append_code_point(tok_.pb, 0x10000 + ((hi - 0xD800) << 10) + (u - 0xDC00), gbk_);
      l.state = l.saved_state;
      return next();
    }
    append_code_point(tok_.pb, 0xFFFD, gbk_);
  }
  if (u >= 0xD800 && u <= 0xDBFF) {
    tok_.ucs_high = u;
    tok_.st_pos = 4;
    return next();
  }
  append_code_point(tok_.pb, (u >= 0xDC00 && u <= 0xDFFF) ? 0xFFFD : u, gbk_);
  l.state = l.saved_state;
  return next();
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::number() {
  int64_t pos = pos_;
  const int64_t start = pos;
  bool is_double = false;
  while (pos < len_ && is_number_byte(static_cast<unsigned char>(p_[pos]))) {
    const char b = p_[pos];
    is_double |= b == '.' || b == 'e' || b == 'E';
    ++pos;
  }
  if (is_double) tok_.is_double = 1;
  pos_ = pos;
  if (pos > start && !tok_.pb.Append(p_ + start, size_t(pos - start))) return fail(json_tokener_error_parse_number);
  if (pos >= len_) return TStep::stop;
  TJsonTokenerSrec& l = level();
  const std::string_view text = tok_.pb.View();
  if (tok_.is_double) {
    double d = 0;
    l.current = TJsonObject::Create(text_to_double(text, d) ? d : 0.0);
  } else {
    int64_t i = 0;
    double d = 0;
    if (text_to_int64(text, i))
      l.current = TJsonObject::Create(i);
    else if (text_to_double(text, d))
      l.current = TJsonObject::Create(d);  // integer beyond the signed 64-bit range
    else
      l.current = TJsonObject::Create(int64_t(0));
  }
  l.state = json_tokener_state_finish;
  return TStep::go_on;
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::array() {
  if (byte() == ']') {
    level().state = json_tokener_state_finish;
    return next();
  }
  if (!open_level(tok_, json_tokener_state_array_add)) return fail(json_tokener_error_depth);
  return TStep::go_on;
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::array_add() {
  TJsonTokenerSrec& l = level();
  if (l.obj) l.current->AsArray()->Add(std::move(l.obj));
  skip_ws_then(l, json_tokener_state_array_sep);
  return TStep::go_on;
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::array_sep() {
  if (!after_item(level(), byte(), ']', json_tokener_state_array)) return fail(json_tokener_error_parse_array);
  return next();
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::object_field_start() {
  TJsonTokenerSrec& l = level();
  const unsigned char c = byte();
  if (c == '}') {
    l.state = json_tokener_state_finish;
  } else if (c == '"' || c == '\'') {
    tok_.quote_char = char(c);
    tok_.pb.Reset();
    l.state = json_tokener_state_object_field;
  } else {
    return fail(json_tokener_error_parse_object_key_name);
  }
  return next();
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::object_field_end() {
  if (byte() != ':') return fail(json_tokener_error_parse_object_key_sep);
  skip_ws_then(level(), json_tokener_state_object_value);
  return next();
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::object_value() {
  if (!open_level(tok_, json_tokener_state_object_value_add)) return fail(json_tokener_error_depth);
  return TStep::go_on;
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::object_value_add() {
  TJsonTokenerSrec& l = level();
  l.current->AsObject()->Put(l.obj_field_name, std::move(l.obj));
  l.obj_field_name.clear();
  skip_ws_then(l, json_tokener_state_object_sep);
  return TStep::go_on;
}

[[gnu::always_inline]] inline TJsonParser::TStep TJsonParser::object_sep() {
  if (!after_item(level(), byte(), '}', json_tokener_state_object_field_start))
    return fail(json_tokener_error_parse_object_value_sep);
  return next();
}

[[gnu::always_inline]] inline std::unique_ptr<TJsonObject> TJsonParser::result(bool done) {
  tok_.char_offset = pos_;
  tok_.str = {};
  const bool at_nul = pos_ < len_ && p_[pos_] == 0;
  if (!done && tok_.err == json_tokener_success) {
    if (at_nul)
      tok_.err = json_tokener_error_parse_eof;
    else if (tok_.depth == 0 && tok_.stack[0].state == json_tokener_state_finish)
      done = true;
    else
      tok_.err = json_tokener_continue;
  } else if (!done && at_nul) {
    tok_.err = json_tokener_error_parse_eof;
  }
  std::unique_ptr<TJsonObject> value;
  if (done) {
    tok_.err = json_tokener_success;
    value = std::move(tok_.stack[0].current);
  }
  for (int i = 0; i < JSON_TOKENER_MAX_DEPTH; ++i) tok_.ResetLevel(i);
  tok_.depth = 0;
  return value;
}

std::unique_ptr<TJsonObject> TJsonObject::ParseEx_New(TJsonTokener& tok, std::string_view SourStr) {
  using TStep = TJsonParser::TStep;
  TJsonParser ps(tok, SourStr);
  TStep step = TStep::go_on;
  while (step == TStep::go_on && ps.more()) {
    switch (tok.stack[tok.depth].state) {
      case json_tokener_state_eatws: step = ps.eat_ws(); break;
      case json_tokener_state_start: step = ps.start(); break;
      case json_tokener_state_finish: step = ps.finish(); break;
      case json_tokener_state_null: step = ps.null_literal(); break;
      case json_tokener_state_boolean: step = ps.boolean_literal(); break;
      case json_tokener_state_comment_start: step = ps.comment_start(); break;
      case json_tokener_state_comment:
      case json_tokener_state_comment_eol: step = ps.comment(); break;
      case json_tokener_state_comment_end: step = ps.comment_end(); break;
      case json_tokener_state_string:
      case json_tokener_state_object_field: step = ps.string(); break;
      case json_tokener_state_string_escape: step = ps.string_escape(); break;
      case json_tokener_state_escape_unicode: step = ps.escape_unicode(); break;
      case json_tokener_state_number: step = ps.number(); break;
      case json_tokener_state_array: step = ps.array(); break;
      case json_tokener_state_array_add: step = ps.array_add(); break;
      case json_tokener_state_array_sep: step = ps.array_sep(); break;
      case json_tokener_state_object_field_start: step = ps.object_field_start(); break;
      case json_tokener_state_object_field_end: step = ps.object_field_end(); break;
      case json_tokener_state_object_value: step = ps.object_value(); break;
      case json_tokener_state_object_value_add: step = ps.object_value_add(); break;
      case json_tokener_state_object_sep: step = ps.object_sep(); break;
    }
  }
  return ps.result(step == TStep::done);
}

}  // namespace ux
