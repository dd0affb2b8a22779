#include "installer/rk50_stp_common.h"

#include "common/ux_common.h"
#include "common/platform/ux_locale.h"

namespace rk50 {

namespace {

bool ascii_ci_equal16(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = char16_t(x + 32);
    if (y >= u'A' && y <= u'Z') y = char16_t(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

TUX_STP_lang_str::TUX_STP_lang_str() : f_lang_id("chn") { fill_lang_table(); }

void TUX_STP_lang_str::set_value(std::u16string name, std::u16string value) {
  for (auto& line : list) {
    if (ascii_ci_equal16(line.first, name)) {
      line.second = std::move(value);
      return;
    }
  }
  list.emplace_back(std::move(name), std::move(value));
}

void TUX_STP_lang_str::fill_lang_table() {
  struct TRow {
    int32_t n;
    const char16_t* eng;
    const char16_t* chn;
  };
#define RK50_STP_MESSAGE_ROW(name, n, eng, chn) TRow{n, eng, chn},
  static constexpr TRow rows[] = {RK50_STP_MESSAGES(RK50_STP_MESSAGE_ROW)};
#undef RK50_STP_MESSAGE_ROW
  for (const TRow& r : rows) {
    const std::u16string number = ux::text_to_utf16(std::to_string(r.n));
    set_value(u"eng_" + number, r.eng);
    set_value(u"chn_" + number, r.chn);
  }
}

std::u16string TUX_STP_lang_str::value_of(std::u16string_view name) const {
  for (const auto& line : list) {
    if (ascii_ci_equal16(line.first, name)) return line.second;
  }
  return {};
}

std::u16string TUX_STP_lang_str::lang_str16(int32_t idx) const {
  std::string key = lang_id() + "_" + std::to_string(idx);
  return value_of(ux::text_to_utf16(key));
}

std::string TUX_STP_lang_str::lang_str(int32_t idx) const {
  return ux::utf16_to_text(lang_str16(idx));
}

void TUX_STP_lang_str::set_lang(std::string_view lang_id) {
  std::lock_guard<std::mutex> g(lang_lock_);
  f_lang_id.assign(lang_id);
}

std::string TUX_STP_lang_str::lang_id() const {
  std::lock_guard<std::mutex> g(lang_lock_);
  return f_lang_id;
}

TLangArg::TLangArg(char c) : text_(ux::text_to_utf16(std::string(1, c))) {}
TLangArg::TLangArg(const char* s) : text_(ux::text_to_utf16(s ? s : "")) {}
TLangArg::TLangArg(const std::string& s) : text_(ux::text_to_utf16(s)) {}
TLangArg::TLangArg(std::string_view s) : text_(ux::text_to_utf16(s)) {}
TLangArg::TLangArg(std::u16string s) : text_(std::move(s)) {}
TLangArg::TLangArg(const char16_t* s) : text_(s ? s : u"") {}

std::u16string format_lang_text(std::u16string_view fmt, std::initializer_list<TLangArg> args) {
  std::u16string out;
  auto next = args.begin();
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] != u'%') {
      out += fmt[i];
      continue;
    }
    if (i + 1 >= fmt.size()) return {};
    char16_t conv = fmt[++i];
    if (conv == u'%') {
      out += u'%';
    } else if (conv == u's') {
      if (next == args.end()) return {};
      out += next->text();
      ++next;
    } else {
      return {};
    }
  }
  return out;
}

TUX_STP_lang_str& lang_table() {
  static TUX_STP_lang_str table;
  return table;
}

std::string lang_text(int32_t n) { return lang_table().lang_str(n); }

std::string lang_text_fmt(int32_t n, std::initializer_list<TLangArg> args) {
  return ux::utf16_to_text(format_lang_text(lang_table().lang_str16(n), args));
}

void select_lang(std::string_view id) { lang_table().set_lang(id); }

void select_system_lang() { select_lang(system_language() == lang_id_chinese_prc ? "chn" : "eng"); }

uint16_t system_language() { return static_cast<uint16_t>(ux::system_language_id()); }

}  // namespace rk50
