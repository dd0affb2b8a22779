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
  set_value(u"eng_1", u"Connected, start to downloading...");
  set_value(u"chn_1", u"连接成功，开始下载...");
  set_value(u"eng_2", u"%s / %s (%s)");
  set_value(u"chn_2", u"%s / %s (%s)");
  set_value(u"eng_3", u"Download OK! next to install...");
  set_value(u"chn_3", u"下载成功，开始安装...");
  set_value(u"eng_5", u"Abort");
  set_value(u"chn_5", u"中止");
  set_value(u"eng_6", u"connect server and download data.");
  set_value(u"chn_6", u"正在连接服务器...");
  set_value(u"eng_7", u"are you sure to abort this installtion ?");
  set_value(u"chn_7", u"确定要中断安装吗？");
  set_value(u"eng_8", u"Install completed!");
  set_value(u"chn_8", u"安装完毕！");
  set_value(u"eng_9", u"Close");
  set_value(u"chn_9", u"关闭");
  set_value(u"eng_11", u"QLYN Desktop Installer");
  set_value(u"chn_11", u"Qlyn客户端安装器");
  set_value(u"eng_12", u"connected ok, start to downloading...");
  set_value(u"chn_12", u"连接成功，开始下载...");
  set_value(u"eng_13", u"Start");
  set_value(u"chn_13", u"开始安装更新");
  set_value(u"eng_14", u"Destnation:");
  set_value(u"chn_14", u"安装目录：");
  set_value(u"eng_15", u"Will install QLYN client for Windows");
  set_value(u"chn_15", u"安装最新版本的Qlyn客户端软件");
  set_value(u"eng_16", u"Upgrade QLYN client for Windows");
  set_value(u"chn_16", u"升级更新Qlyn客户端软件");

  set_value(u"eng_17", u"Connection to the server failed, retrying...");
  set_value(u"chn_17", u"连接服务器失败，正在重试...");
  set_value(u"eng_18", u"Download failed (HTTP status %s).");
  set_value(u"chn_18", u"下载失败（HTTP 状态 %s）。");
  set_value(u"eng_19", u"Download failed: downloading is not available in this build.");
  set_value(u"chn_19", u"下载失败：此版本不支持下载。");
  set_value(u"eng_20", u"Installation failed: %s");
  set_value(u"chn_20", u"安装失败：%s");
  set_value(u"eng_21", u"Installing %s ...");
  set_value(u"chn_21", u"正在安装 %s ...");
  set_value(u"eng_22", u"Update failed: %s");
  set_value(u"chn_22", u"更新失败：%s");
  set_value(u"eng_23", u"Package not found: %s");
  set_value(u"chn_23", u"找不到安装包：%s");
  set_value(u"eng_24", u"Installation aborted.");
  set_value(u"chn_24", u"安装已中止。");
  set_value(u"eng_25", u"%s? [Y/n] ");
  set_value(u"chn_25", u"%s？[Y/n] ");
  set_value(u"eng_26", u"Download failed.");
  set_value(u"chn_26", u"下载失败。");
  set_value(u"eng_27", u"Start the client");
  set_value(u"chn_27", u"启动客户端");
  set_value(u"eng_28", u"Installation folder (Enter keeps %s): ");
  set_value(u"chn_28", u"安装目录（回车保留 %s）：");
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

uint16_t system_language() { return static_cast<uint16_t>(ux::system_language_id()); }

}  // namespace rk50
