// rk50_stp_common: the installer's bilingual message table ("chn", "eng").
//
// Every text the installer shows comes from here, addressed by number. The
// process-wide table is filled once on first use and read-only afterwards;
// lookups may run on any thread. The current language is guarded, so
// select_lang may be called while other threads look texts up.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rk50 {

// Message numbers. 1-16 are the installer's original table (4 and 10 have no
// entry); 17 and up were added for download failures and the front ends.
enum TStpMessage : int32_t {
  msg_connected = 1,
  msg_progress_fmt = 2,
  msg_download_ok = 3,
  msg_abort = 5,
  msg_connecting = 6,
  msg_abort_question = 7,
  msg_install_completed = 8,
  msg_close = 9,
  msg_caption = 11,
  msg_connected_ok = 12,
  msg_start = 13,
  msg_destination = 14,
  msg_title_install = 15,
  msg_title_update = 16,
  msg_conn_retry = 17,
  msg_download_failed_http_fmt = 18,
  msg_download_unavailable = 19,
  msg_install_failed_fmt = 20,
  msg_installing_fmt = 21,
  msg_update_failed_fmt = 22,
  msg_package_missing_fmt = 23,
  msg_install_aborted = 24,
  msg_prompt_fmt = 25,
  msg_download_failed = 26,
  msg_start_client = 27,
  msg_choose_folder = 28,
};

// Language id of Chinese (PRC), the one id that selects "chn".
inline constexpr uint16_t lang_id_chinese_prc = 2052;

class TUX_STP_lang_str {
 public:
  TUX_STP_lang_str();

  // Message idx in the current language, as a byte string in the process code
  // page; empty when the number or the language has no entry.
  std::string lang_str(int32_t idx) const;
  // Raw UTF-16 form of lang_str.
  std::u16string lang_str16(int32_t idx) const;
  // No validation: an unknown code makes every lookup empty.
  void set_lang(std::string_view lang_id);
  std::string lang_id() const;

 private:
  void fill_lang_table();
  void set_value(std::u16string name, std::u16string value);
  std::u16string value_of(std::u16string_view name) const;

  mutable std::mutex lang_lock_;
  std::string f_lang_id;
  std::vector<std::pair<std::u16string, std::u16string>> list;  // name=value, in insertion order
};

// One argument of lang_text_fmt: a single character, a byte string (process
// code page) or a UTF-16 string.
class TLangArg {
 public:
  TLangArg(char c);
  TLangArg(const char* s);
  TLangArg(const std::string& s);
  TLangArg(std::string_view s);
  TLangArg(std::u16string s);
  TLangArg(const char16_t* s);
  const std::u16string& text() const noexcept { return text_; }

 private:
  std::u16string text_;
};

// Substitutes args in order for the "%s" markers of fmt ("%%" gives "%");
// args beyond the last marker are ignored. Any other conversion, or fewer
// args than markers, gives an empty result.
std::u16string format_lang_text(std::u16string_view fmt, std::initializer_list<TLangArg> args);

// The process-wide table (created on first use).
TUX_STP_lang_str& lang_table();
std::string lang_text(int32_t n);
std::string lang_text_fmt(int32_t n, std::initializer_list<TLangArg> args);
void select_lang(std::string_view id);

// The system's default language id from the locale (2052 for zh_CN).
uint16_t system_language();

}  // namespace rk50
