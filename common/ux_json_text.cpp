#include "common/ux_json_text.h"

#include <vector>

#include "common/ux_codepage.h"
#include "common/ux_text.h"

namespace ux {

// Under code page 936 (raw false) a lead byte and the byte after it are
// copied as one character, as json_text_field reads them. A lead byte that
// ends s or stands before a double quote would be read with the closing or
// escaped quote as its pair: it is not a character and is written as "?".
std::string json_escape(std::string_view s, bool raw) {
  const bool double_byte = !raw && code_page() == CP_GBK;
  std::string out;
  out.reserve(s.size() + 8);
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (double_byte && uint8_t(c) >= 0x80) {
      if (i + 1 < s.size() && s[i + 1] != '"') {
        out += c;
        out += s[++i];
      } else {
        out += '?';
      }
      continue;
    }
    switch (c) {
      case '\0': out += "\\u0000"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '/': out += "\\/"; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  return out;
}

std::string json_unescape(std::string_view s) {
  if (s.find('\\') == std::string_view::npos) return std::string(s);
  const bool gbk = code_page() == CP_GBK;
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (gbk && uint8_t(c) >= 0x80 && i + 1 < s.size()) {
      out += c;
      out += s[++i];
      continue;
    }
    if (c != '\\' || i + 1 >= s.size()) {
      out += c;
      continue;
    }
    switch (s[i + 1]) {
      case '"': out += '"'; ++i; break;
      case '/': out += '/'; ++i; break;
      case '\\': out += '\\'; ++i; break;
      case 'b': case 'B': out += '\b'; ++i; break;
      case 'n': case 'N': out += '\n'; ++i; break;
      case 'r': case 'R': out += '\r'; ++i; break;
      case 't': case 'T': out += '\t'; ++i; break;
      default: out += c;  // the next character is processed on its own
    }
  }
  return out;
}

namespace {

// Marks the bytes of json that are second bytes of double-byte characters.
std::vector<bool> trail_bytes(std::string_view json) {
  std::vector<bool> trail(json.size(), false);
  if (code_page() != CP_GBK) return trail;
  for (size_t i = 0; i + 1 < json.size(); ++i)
    if (uint8_t(json[i]) >= 0x80) trail[++i] = true;
  return trail;
}

// 0-based index of the byte that ends the value starting at `start` (its
// closing quote or bracket), or npos when it does not end. Strings honour
// backslash escapes; arrays and objects count nesting outside strings.
size_t value_end(std::string_view json, size_t start, const std::vector<bool>& trail) {
  const char open = json[start];
  if (open == '"') {
    for (size_t i = start + 1; i < json.size(); ++i) {
      if (json[i] == '\\' && !trail[i]) { ++i; continue; }
      if (json[i] == '"' && !trail[i]) return i;
    }
    return std::string_view::npos;
  }
  const char close = open == '[' ? ']' : '}';
  int depth = 0;
  bool in_string = false;
  for (size_t i = start; i < json.size(); ++i) {
    const char c = json[i];
    if (trail[i]) continue;
    if (c == '\\') { ++i; continue; }
    if (in_string) {
      if (c == '"') in_string = false;
      continue;
    }
    if (c == '"') in_string = true;
    else if (c == '[' || c == '{') ++depth;
    else if (c == ']' || c == '}') {
      if (--depth == 0) return c == close ? i : std::string_view::npos;
    }
  }
  return std::string_view::npos;
}

struct TKeyMatch {
  size_t pos = 0;    // 1-based start of the quoted name; 0 when absent
  size_t colon = 0;  // 1-based position of its ":"; 0 when none follows
};

// First occurrence of quoted (case-insensitive) that is a key: a match whose
// ":" (searched from colon_offset bytes after the match's start) is preceded
// by a "," was a value, and the search goes on after it. A match without any
// ":" after it ends the search with colon 0.
TKeyMatch find_json_key(std::string_view json, std::string_view quoted, long long colon_offset) {
  for (size_t p = ci_pos(quoted, json); p != 0; p = ci_pos(quoted, json, (long long)p + 1)) {
    const size_t colon = ci_pos(":", json, (long long)p + colon_offset);
    if (colon == 0) return {p, 0};
    const size_t name_end = p - 1 + quoted.size();  // 0-based, just after the quoted name
    if (colon - 1 > name_end && json.substr(name_end, colon - 1 - name_end).find(',') != std::string_view::npos)
      continue;
    return {p, colon};
  }
  return {};
}

}  // namespace

std::string json_text_field(std::string_view json, std::string_view name) {
  const std::string quoted = concat_texts("\"", name, "\"");
  const size_t colon = find_json_key(json, quoted, 3).colon;  // 1-based
  if (colon == 0) return {};

  const std::vector<bool> trail = trail_bytes(json);
  size_t i = colon;  // 0-based index just after ':'
  for (; i < json.size(); ++i) {
    const char c = json[i];
    if (c == '\\' && !trail[i]) { ++i; continue; }
    if (c == ',') return {};
    if (c == '"' || c == '[' || c == '{' || c == '-' || c == '.' || (c >= '0' && c <= '9')) break;
  }
  if (i >= json.size()) return {};
  const char kind = json[i];
  if (kind == '"') {
    const size_t e = value_end(json, i, trail);
    const size_t stop = e == std::string_view::npos ? json.size() : e;
    return json_unescape(json.substr(i + 1, stop - i - 1));
  }
  if (kind == '[' || kind == '{') {
    const size_t e = value_end(json, i, trail);
    if (e == std::string_view::npos) return std::string(json.substr(i)) + (kind == '[' ? "]" : "}");
    return std::string(json.substr(i, e - i + 1));
  }
  size_t e = i;
  while (e < json.size() && json[e] != ',' && json[e] != '}') ++e;
  return trim_text(json.substr(i, e - i));
}

int64_t json_text_int(std::string_view json, std::string_view name, int64_t default_value) {
  int64_t v = 0;
  if (try_parse_int64(trim_text(json_text_field(json, name)), v)) return v;
  return default_value;
}

int json_text_set(std::string& json, std::string_view name, std::string_view value_text) {
  if (name.empty()) return 0;
  if (json.empty()) json = "{}";
  const std::string quoted = concat_texts("\"", name, "\"");
  // A value that spells the quoted name is not the field.
  TKeyMatch key = find_json_key(json, quoted, 2);
  if (key.pos != 0 && key.colon == 0) {
    size_t before = key.pos - 1;  // 0-based index of the opening quote
    while (before > 0 && uint8_t(json[before - 1]) <= 32) --before;
    if (before > 0 && json[before - 1] == ':') key = {};
  }
  const size_t p = key.pos;
  if (p == 0) {
    const size_t brace = json.rfind('}');
    if (brace != std::string::npos) json.resize(brace);
    const bool has_fields = json.find(':') != std::string::npos;
    json += concat_texts(has_fields ? ", " : "", quoted, ":", value_text, "}");
    return 1;
  }
  if (p == 1) return 0;
  const size_t colon = key.colon;
  if (colon == 0) return 0;
  // The old value ends at its real end (a string's closing quote, a matching
  // bracket), then at the next "," or "}".
  const std::vector<bool> trail = trail_bytes(json);
  size_t scan = colon;
  while (scan < json.size() && uint8_t(json[scan]) <= 32) ++scan;
  if (scan < json.size() && (json[scan] == '"' || json[scan] == '[' || json[scan] == '{')) {
    const size_t e = value_end(json, scan, trail);
    scan = e == std::string::npos ? json.size() : e + 1;
  }
  size_t stop = json.find_first_of(",}", scan);
  if (stop == std::string::npos) stop = json.size();
  json.replace(colon, stop - colon, value_text);
  return 1;
}

int json_text_set_int(std::string& json, std::string_view name, int64_t n) {
  return json_text_set(json, name, int_text(n));
}

int json_text_set_str(std::string& json, std::string_view name, std::string_view s) {
  return json_text_set(json, name, concat_texts("\"", json_escape(s, false), "\""));
}

std::string build_json_text(TVarRecs pairs) {
  std::string out = "{";
  bool first = true;
  for (const TVarRec* it = pairs.begin(); it != pairs.end() && it + 1 != pairs.end(); it += 2) {
    const std::string name = it->text();
    if (name.empty()) continue;
    const TVarRec& v = *(it + 1);
    std::string value;
    if (v.kind == TVarRec::vBool) value = v.b ? "1" : "0";
    else value = v.text();
    if (!first) out += ", ";
    first = false;
    out += concat_texts("\"", name, "\":");
    if (value.empty()) out += "\"\"";
    else if (v.kind == TVarRec::vString || v.kind == TVarRec::vChar)
      out += concat_texts("\"", json_escape(value, false), "\"");
    else out += value;
  }
  out += "}";
  return out;
}

}  // namespace ux
