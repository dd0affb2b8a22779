#include "installer/rk50_update_script.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "common/ux_common.h"
#include "common/ux_file_io.h"
#include "common/ux_file_path.h"
#include "installer/rk50_package_install.h"
#include "installer/rk50_stp_common.h"
#include "installer/rk50_transaction.h"

namespace rk50 {

namespace {

// Scripts are a few lines; anything larger is not an update script.
constexpr long long kMaxScriptBytes = 4 * 1024 * 1024;
// Pending GUI events are processed at most this often during extraction.
constexpr int64_t kEventsIntervalMs = 50;

constexpr const char* kScriptFolder = "win64_update";
constexpr const char* kScriptName = "update.cmd";


bool is_file(const std::string& path) {
  struct stat st;
  return ::stat(ux::text_to_os(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string with_slash(std::string s) {
  if (s.empty() || s.back() != '/') s += '/';
  return s;
}

// The folder whose lock keeps out a second installer: the installation, of
// which install_dir is the "win64" folder where the updater runs.
std::string installation_root(const std::string& install_dir) {
  std::string dir = with_slash(install_dir);
  const std::string name = ux::TUX_Path::getPathLastName(dir);
  return name == kPackageFolder ? ux::TUX_Path::upLevelPath(dir) : dir;
}

std::u16string utf16_units(const std::string& bytes, size_t from, bool big_endian) {
  std::u16string r;
  r.reserve((bytes.size() - from) / 2);
  for (size_t i = from; i + 1 < bytes.size(); i += 2) {
    const auto a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
    r.push_back(big_endian ? char16_t((a << 8) | b) : char16_t((b << 8) | a));
  }
  return r;
}

}  // namespace

std::vector<std::string> script_lines(const std::string& file_bytes) {
  std::string text;
  if (file_bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
    text = ux::utf8_to_text(std::string_view(file_bytes).substr(3));
  else if (file_bytes.compare(0, 2, "\xFF\xFE") == 0)
    text = ux::utf16_to_text(utf16_units(file_bytes, 2, false));
  else if (file_bytes.compare(0, 2, "\xFE\xFF") == 0)
    text = ux::utf16_to_text(utf16_units(file_bytes, 2, true));
  else
    text = file_bytes;

  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

TScriptRunner::TScriptRunner(std::string script_folder, std::string install_folder, TFileTransaction& tx,
                             std::string excluded)
    : script_folder_(with_slash(std::move(script_folder))), install_folder_(with_slash(std::move(install_folder))),
      tx_(tx) {
  install_real_ = ux::resolved_os_path(ux::text_to_os(install_folder_));
  package_real_ = ux::resolved_os_path(ux::text_to_os(ux::TUX_Path::upLevelPath(script_folder_)));
  if (!excluded.empty()) excluded_real_ = ux::resolved_os_path(ux::text_to_os(excluded));
}

bool TScriptRunner::allowed(const std::string& real) const {
  if (ux::os_path_inside(real, package_real_)) return true;
  return ux::os_path_inside(real, install_real_) && !ux::os_path_inside(real, excluded_real_);
}

bool TScriptRunner::holds_own_folder(const std::string& real) const {
  for (const std::string* own : {&install_real_, &package_real_, &excluded_real_})
    if (!own->empty() && ux::os_path_inside(*own, real)) return true;
  return false;
}

std::string TScriptRunner::confined(const std::string& path, bool follow, bool changed) const {
  // The system calls would take the part before a NUL for the whole name.
  if (path.find('\0') != std::string::npos)
    throw ux::Exception("Script path holding a NUL byte refused: " + path.substr(0, path.find('\0')));
  std::string os = ux::text_to_os(path);
  if (os.empty() || os[0] != '/') {
    const std::string cwd = ux::text_to_os(ux::TUX_Path::ExtractPhyPath(""));
    os = with_slash(cwd) + os;
  }
  std::string norm = std::filesystem::path(os).lexically_normal().string();
  while (norm.size() > 1 && norm.back() == '/') norm.pop_back();

  // The deepest part that exists, resolved, with the rest appended: what
  // the system will reach through that path.
  std::string real;
  struct stat st;
  if (follow && ::stat(norm.c_str(), &st) == 0) {
    real = ux::resolved_os_path(norm);
  } else {
    std::string head = norm, tail;
    for (;;) {
      const size_t slash = head.rfind('/');
      const std::string name = head.substr(slash + 1);
      head = slash == 0 ? std::string("/") : head.substr(0, slash);
      tail = tail.empty() ? name : name + "/" + tail;
      if (::stat(head.c_str(), &st) == 0 || head == "/") break;
    }
    const std::string head_real = ux::resolved_os_path(head);
    if (!head_real.empty()) real = (head_real == "/" ? "" : head_real) + "/" + tail;
  }
  if (real.empty() || !allowed(real)) throw ux::Exception(lang_text_fmt(msg_path_outside_fmt, {path}));
  if (changed && holds_own_folder(real)) throw ux::Exception(lang_text_fmt(msg_protected_folder_fmt, {path}));
  return norm;
}

std::string TScriptRunner::run_line(const std::string& command, std::string rest) {
  std::string source = ux::fetch_token(rest, " ");
  std::string destination = ux::fetch_token(rest, " ");

  if (ux::ci_pos("$sour$", source) > 0)
    source = ux::replace_all(source, "$sour$", script_folder_);
  else if (ux::ci_pos("$dest$", source) == 0)
    source = script_folder_ + source;
  else
    source = ux::replace_all(source, "$dest$", install_folder_);
  destination = ux::replace_all(destination, "$dest$", install_folder_);

  // Scripts written for the Windows build use backslashes.
  source = ux::replace_char(source, '\\', '/');
  destination = ux::replace_char(destination, '\\', '/');

  const bool copy = ux::ci_equal(command, "cp");
  const bool move = ux::ci_equal_any2(command, "mv", "ren");
  const bool remove = ux::ci_equal_any2(command, "del", "rm");
  const bool remove_dir = ux::ci_equal(command, "rd");
  if (!copy && !move && !remove && !remove_dir) return lang_text(msg_unknown_command);

  const std::string src = confined(source, copy, !copy);
  struct stat src_st;
  if (::lstat(src.c_str(), &src_st) != 0) return lang_text_fmt(msg_source_missing_fmt, {source});
  const std::string src_text = ux::os_to_text(src);

  if (remove) {
    if (S_ISDIR(src_st.st_mode)) return lang_text_fmt(msg_is_folder_fmt, {source});
    tx_.keep_aside(src_text);
    return {};
  }
  if (remove_dir) {
    if (!S_ISDIR(src_st.st_mode)) return lang_text_fmt(msg_not_folder_fmt, {source});
    if (!tx_.remove_empty_dir(src_text)) return lang_text_fmt(msg_folder_not_empty_fmt, {source});
    return {};
  }

  const std::string dst = confined(destination, false, true);
  const std::string dst_text = ux::os_to_text(dst);
  struct stat dst_st;
  const bool dst_exists = ::lstat(dst.c_str(), &dst_st) == 0;
  if (copy) {
    struct stat st;
    if (::stat(src.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return lang_text_fmt(msg_source_missing_fmt, {source});
    const std::string folder = dst.substr(0, dst.rfind('/') + 1);
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      throw ux::Exception("Cannot copy " + source + " to " + destination + ": the folder does not exist");
    if (dst_exists && S_ISDIR(dst_st.st_mode))
      throw ux::Exception("Cannot copy " + source + " to " + destination + ": a folder is in the way");
    // A copy replaces a file as a copy in place would: with the file's mode.
    if (dst_exists) tx_.keep_aside(dst_text);
    tx_.record_created(dst_text);
    if (!ux::TShareFile::CopyShareFile(src_text, dst_text))
      throw ux::Exception("Cannot copy " + source + " to " + destination);
    if (dst_exists && S_ISREG(dst_st.st_mode)) ::chmod(dst.c_str(), dst_st.st_mode & 07777);
    return {};
  }
  // mv, ren: the destination's folder is made when missing.
  tx_.make_dirs(ux::TUX_Path::ExtractFilePath(dst_text));
  if (dst_exists) tx_.keep_aside(dst_text);
  tx_.move(src_text, dst_text);
  return {};
}

std::string run_script_line(const std::string& command, std::string rest, const std::string& script_folder,
                            const std::string& install_folder) {
  TFileTransaction tx;
  TScriptRunner runner(script_folder, install_folder, tx);
  std::string note = runner.run_line(command, std::move(rest));
  tx.commit();
  return note;
}

TUpdateResult run_update_package(const std::string& package_path, const std::string& install_dir,
                                 const std::function<void()>& process_events, TCancelFlag& cancel,
                                 const std::string& library_path) {
  TUpdateResult r;
  r.dest_path = with_slash(install_dir);
  if (!is_file(package_path)) throw ux::Exception(lang_text_fmt(msg_package_missing_fmt, {package_path}));
  TInstallLock lock(installation_root(r.dest_path));
  TFileTransaction tx;
  std::string work;
  try {
    throw_if_cancelled(cancel);
    (void)recover_leftovers(installation_root(r.dest_path), kInstallStagingPrefix);
    (void)recover_leftovers(r.dest_path, kUpdateStagingPrefix);
    work = tx.make_work_folder(r.dest_path, kUpdateStagingPrefix);
    tx.journal_to(work + kJournalName);
    tx.set_backup_dir(work + "old");
    const std::string package_root = work + "pkg/";

    // No progress is shown in update mode, but the window keeps answering
    // while a large package extracts.
    int64_t last = ux::tick_ms();
    extract_package(
        package_path, package_root,
        [&](bool, int64_t) {
          const int64_t now = ux::tick_ms();
          if (now - last >= kEventsIntervalMs) {
            last = now;
            if (process_events) process_events();
          }
          throw_if_cancelled(cancel);
        },
        library_path);

    const std::string script_folder = package_root + kScriptFolder + "/";
    const std::string script = script_folder + kScriptName;
    if (is_file(script)) {
      r.script_found = true;
      if (ux::file_size(script) > kMaxScriptBytes) throw ux::Exception("Update script too large: " + script);
      TScriptRunner runner(script_folder, r.dest_path, tx, work);
      const std::vector<std::string> lines = script_lines(ux::read_file_text(script));
      for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].size() <= 3) continue;
        throw_if_cancelled(cancel);
        const std::string number = std::to_string(i + 1);
        std::string rest = lines[i];
        const std::string command = ux::fetch_token(rest, " ");
        std::string note;
        try {
          note = runner.run_line(command, rest);
        } catch (const std::exception& e) {
          throw ux::Exception(lang_text_fmt(msg_script_line_failed_fmt, {number, lines[i], std::string(e.what())}));
        }
        if (!note.empty()) r.notes.push_back(lang_text_fmt(msg_script_note_fmt, {number, lines[i], note}));
        ++r.lines_run;
        if (process_events) process_events();
      }
    }
    if (!cancel.complete()) throw_if_cancelled(cancel);
  } catch (...) {
    rollback_and_rethrow(tx, cancel, work);
  }
  tx.commit();
  return r;
}

}  // namespace rk50
