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

// The message table, one line per message: X(name, number, English text,
// Chinese text). 1-16 are the installer's original table (4 and 10 have no
// entry); 17 and up were added for download failures, the front ends and
// installation errors. TStpMessage and the table are both made from this
// list, so a number cannot lose its texts.
#define RK50_STP_MESSAGES(X)                                                                              \
  X(connected, 1, u"Connected, start to downloading...", u"连接成功，开始下载...")                          \
  X(progress_fmt, 2, u"%s / %s (%s)", u"%s / %s (%s)")                                                     \
  X(download_ok, 3, u"Download OK! next to install...", u"下载成功，开始安装...")                          \
  X(abort, 5, u"Abort", u"中止")                                                                          \
  X(connecting, 6, u"connect server and download data.", u"正在连接服务器...")                             \
  X(abort_question, 7, u"are you sure to abort this installtion ?", u"确定要中断安装吗？")                 \
  X(install_completed, 8, u"Install completed!", u"安装完毕！")                                            \
  X(close, 9, u"Close", u"关闭")                                                                          \
  X(caption, 11, u"QLYN Desktop Installer", u"Qlyn客户端安装器")                                           \
  X(connected_ok, 12, u"connected ok, start to downloading...", u"连接成功，开始下载...")                  \
  X(start, 13, u"Start", u"开始安装更新")                                                                 \
  X(destination, 14, u"Destnation:", u"安装目录：")                                                        \
  X(title_install, 15, u"Will install QLYN client for Windows", u"安装最新版本的Qlyn客户端软件")             \
  X(title_update, 16, u"Upgrade QLYN client for Windows", u"升级更新Qlyn客户端软件")                        \
  X(conn_retry, 17, u"Connection to the server failed, retrying...", u"连接服务器失败，正在重试...")        \
  X(download_failed_http_fmt, 18, u"Download failed (HTTP status %s).", u"下载失败（HTTP 状态 %s）。")      \
  X(download_unavailable, 19, u"Download failed: downloading is not available in this build.",            \
    u"下载失败：此版本不支持下载。")                                                                       \
  X(install_failed_fmt, 20, u"Installation failed: %s", u"安装失败：%s")                                   \
  X(installing_fmt, 21, u"Installing %s ...", u"正在安装 %s ...")                                          \
  X(update_failed_fmt, 22, u"Update failed: %s", u"更新失败：%s")                                          \
  X(package_missing_fmt, 23, u"Package not found: %s", u"找不到安装包：%s")                                \
  X(install_aborted, 24, u"Installation aborted.", u"安装已中止。")                                        \
  X(prompt_fmt, 25, u"%s? [Y/n] ", u"%s？[Y/n] ")                                                          \
  X(download_failed, 26, u"Download failed.", u"下载失败。")                                               \
  X(start_client, 27, u"Start the client", u"启动客户端")                                                  \
  X(choose_folder, 28, u"Installation folder (Enter keeps %s): ", u"安装目录（回车保留 %s）：")          \
  X(install_busy_fmt, 29, u"Another installer is working on %s; try again when it has finished.",          \
    u"另一个安装程序正在处理 %s，请在它结束后重试。")                                                     \
  X(not_install_package_fmt, 30, u"%s is not an install package (it has no win64 folder).",                \
    u"%s 不是安装包（其中没有 win64 文件夹）。")                                                           \
  X(script_line_failed_fmt, 31, u"Update script line %s (%s): %s", u"更新脚本第 %s 行（%s）：%s")         \
  X(path_outside_fmt, 32, u"%s lies outside the installation; the line is refused.",                       \
    u"%s 不在安装目录内，该行已被拒绝。")                                                                 \
  X(script_note_fmt, 33, u"Note: update script line %s (%s) was passed over: %s",                          \
    u"提示：更新脚本第 %s 行（%s）已跳过：%s")                                                             \
  X(unknown_command, 34, u"unknown command", u"未知命令")                                                   \
  X(source_missing_fmt, 35, u"%s does not exist", u"%s 不存在")                                             \
  X(folder_not_empty_fmt, 36, u"folder %s is not empty", u"文件夹 %s 不为空")                              \
  X(not_restored_fmt, 37, u"%s; %s could not be restored and is kept in %s",                               \
    u"%s；%s 无法恢复，已保留在 %s")                                                                       \
  X(is_folder_fmt, 38, u"%s is a folder", u"%s 是文件夹")                                                   \
  X(not_folder_fmt, 39, u"%s is not a folder", u"%s 不是文件夹")                                             \
  X(protected_folder_fmt, 40, u"%s is the installation or update folder itself; the line is refused.",     \
    u"%s 是安装目录或更新目录本身，该行已被拒绝。")                                                         \
  X(download_busy_fmt, 41, u"Another installer is downloading into %s; try again when it has finished.",   \
    u"另一个安装程序正在下载到 %s，请在它结束后重试。")

enum TStpMessage : int32_t {
#define RK50_STP_MESSAGE_ENUM(name, n, eng, chn) msg_##name = n,
  RK50_STP_MESSAGES(RK50_STP_MESSAGE_ENUM)
#undef RK50_STP_MESSAGE_ENUM
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
// Selects "chn" when the system language is Chinese (PRC), "eng" otherwise.
void select_system_lang();

// The system's default language id from the locale (2052 for zh_CN).
uint16_t system_language();

}  // namespace rk50
