#include "installer/rk50_package_install.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <type_traits>

#include "archive/archive_library_deploy.h"
#include "archive/io_compress_7zip.h"
#include "common/net/ux_http_cli_downloader.h"
#include "common/ux_common.h"
#include "common/ux_fd_stream.h"
#include "common/ux_file_io.h"
#include "common/ux_file_path.h"
#include "common/platform/ux_process.h"
#include "installer/rk50_stp_common.h"
#include "installer/rk50_transaction.h"

#ifndef QLYN_PACKAGE_PASSWORD_VALUE
#error "QLYN_PACKAGE_PASSWORD_VALUE (the package password constant) must be defined by the build"
#endif

namespace rk50 {

namespace {

constexpr double kPackagePasswordValue = QLYN_PACKAGE_PASSWORD_VALUE;

// Value of KEY in ~/.config/user-dirs.dirs form: KEY="$HOME/Desktop".
std::string user_dirs_value(const std::string& file, const std::string& key, const std::string& home) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] == '#') continue;
    if (line.compare(i, key.size(), key) != 0) continue;
    size_t eq = line.find('=', i + key.size());
    if (eq == std::string::npos || line.find_first_not_of(" \t", i + key.size()) != eq) continue;
    // The file is in the file-system encoding; home is process text.
    std::string v = ux::os_to_text(line.substr(eq + 1));
    while (!v.empty() && (v.back() == '\r' || v.back() == ' ')) v.pop_back();
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    if (v.rfind("$HOME", 0) == 0) v = home + v.substr(5);
    if (v.empty() || v[0] != '/') continue;
    while (v.size() > 1 && v.back() == '/') v.pop_back();
    return v;
  }
  return {};
}

// Desktop-entry string values: escapes \ and line breaks.
std::string desktop_escape(const std::string& s) {
  std::string r;
  for (char c : s) {
    if (c == '\\') r += "\\\\";
    else if (c == '\n') r += "\\n";
    else if (c == '\r') r += "\\r";
    else r += c;
  }
  return r;
}

// Exec= argument quoting of the desktop-entry format.
std::string exec_quote(const std::string& s) {
  std::string r = "\"";
  for (char c : s) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') r += '\\';
    r += c;
  }
  r += '"';
  // '%' is a field code even inside quotes; it is written as "%%".
  return desktop_escape(ux::replace_all(r, "%", "%%", true));
}

}  // namespace

std::string package_password() { return ux::format_text("%4.5f", {kPackagePasswordValue}); }

std::u16string package_password_utf16() { return ux::text_to_utf16(package_password()); }

static_assert(std::is_same_v<TArchiveCallbackResult, ux::HRESULT>);

TArchiveCallbackResult on_archive_password(void*, std::u16string& password) {
  password = package_password_utf16();
  return 0;
}

TArchiveCallbackResult on_extract_progress(void* sender, bool total, int64_t value) {
  auto* p = static_cast<TInstallProgress*>(sender);
  if (!p) return 0;
  const int64_t now = ux::now_ms();
  if (total) {
    p->sum_size = value;
    p->at_last_pop_ev = now;
    p->pos = 0;
  } else if (value > 0) {
    p->pos = value;
    if (now - p->at_last_pop_ev > 1000) {
      double ratio = p->sum_size > 0 ? double(value) / double(p->sum_size) * 100.0 : 0.0;
      p->percent = int32_t(std::min(99.0, std::nearbyint(ratio)));
      p->at_last_pop_ev = now;
      if (p->sink) p->sink->set_progress_position(p->percent);
    }
  }
  return 0;
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  std::string d = dir;
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  size_t i = 0;
  while (i < name.size() && name[i] == '/') ++i;
  if (d != "/") d += '/';
  d.append(name, i, std::string::npos);
  return d;
}

namespace {

ux::HRESULT call_progress(void* sender, bool total, int64_t value) {
  (*static_cast<const TExtractProgressFn*>(sender))(total, value);
  return 0;
}

}  // namespace

namespace {

// True when some item of arc lies in a top-level folder named folder.
bool has_top_folder(ux::I7zInArchive& arc, const std::string& folder) {
  const std::u16string want = ux::text_to_utf16(folder);
  const uint32_t n = arc.ItemCount();
  for (uint32_t i = 0; i < n; ++i) {
    const std::u16string path = arc.ItemPath(i);
    const size_t end = path.find_first_of(u"/\\");
    if (end != std::u16string::npos && path.compare(0, end, want) == 0) return true;
    if (end == std::u16string::npos && path == want && arc.ItemIsFolder(i)) return true;
  }
  return false;
}

}  // namespace

void extract_package(const std::string& archive_path, const std::string& dest_path,
                     const TExtractProgressFn& progress, const std::string& library_path,
                     const std::string& required_folder) {
  ux::TComPtr<ux::I7zInArchive> arc = ux::new_in_archive(ux::CLSID_CFormat7z, library_path);
  // Set before opening: packages with encrypted headers ask for it in Open.
  arc->UsePassword(package_password_utf16());
  arc->SetPasswordHandler(nullptr, on_archive_password);
  if (progress) arc->SetProgressHandler(const_cast<TExtractProgressFn*>(&progress), call_progress);
  arc->OpenArchive(archive_path);
  if (!required_folder.empty() && !has_top_folder(*arc, required_folder))
    throw ux::Exception(lang_text_fmt(msg_not_install_package_fmt, {archive_path}));
  ux::force_dirs(dest_path);
  arc->ExtractAllToFolder(dest_path);
  arc->CloseArchive();
}

std::string desktop_dir() {
  const std::string home = ux::env_text("HOME");
  if (home.empty()) return {};
  std::string config = ux::env_text("XDG_CONFIG_HOME");
  if (config.empty() || config[0] != '/') config = home + "/.config";
  std::string d = user_dirs_value(config + "/user-dirs.dirs", "XDG_DESKTOP_DIR", home);
  return d.empty() ? home + "/Desktop" : d;
}

std::string desktop_entry_text(const std::string& target, const std::string& name, const std::string& icon) {
  std::string folder = ux::TUX_Path::ExtractFilePath(target);
  if (folder.size() > 1) folder.pop_back();
  std::string entry;
  entry += "[Desktop Entry]\n";
  entry += "Type=Application\n";
  entry += "Version=1.0\n";
  entry += "Name=" + desktop_escape(name) + "\n";
  entry += "Comment=" + desktop_escape(name) + "\n";
  entry += "Exec=" + exec_quote(target) + "\n";
  entry += "Path=" + desktop_escape(folder) + "\n";
  entry += "Icon=" + desktop_escape(icon) + "\n";
  entry += "Terminal=false\n";
  entry += "Categories=Network;FileTransfer;\n";
  // Desktop entries are UTF-8 whatever the process code page.
  return ux::text_to_utf8(entry);
}

namespace {

constexpr const char* kThemeIcon = "application-x-executable";

bool exists_os(const std::string& os_path) {
  struct stat st;
  return ::lstat(os_path.c_str(), &st) == 0;
}

// A desktop entry written beside its final name, moved over it at the end.
struct TStagedEntry {
  std::string staged;
  std::string final_path;
};

// The folders that get a desktop entry.
std::vector<std::string> desktop_entry_dirs() {
  std::vector<std::string> dirs;
  if (std::string d = desktop_dir(); !d.empty()) dirs.push_back(d);
  std::string data = ux::env_text("XDG_DATA_HOME");
  if (data.empty() || data[0] != '/') {
    const std::string home = ux::env_text("HOME");
    data = home.empty() ? std::string() : home + "/.local/share";
  }
  if (!data.empty()) dirs.push_back(data + "/applications");
  return dirs;
}

// Writes bytes as the file at path (mode 0755), replacing one of that name.
bool write_entry_file(const std::string& path, const std::string& bytes) {
  const int fd = ::open(ux::text_to_os(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0755);
  if (fd < 0) return false;
  ux::TFdStream out(fd);
  const bool written = ::fchmod(fd, 0755) == 0 && out.Write(bytes.data(), int64_t(bytes.size())) == int64_t(bytes.size());
  return out.Close() && written;
}

// Writes the entry beside each final name, recorded in tx; a folder that
// cannot take it is skipped.
std::vector<TStagedEntry> stage_desktop_entries(TFileTransaction& tx, const std::string& entry_utf8,
                                                const std::string& name) {
  std::vector<TStagedEntry> staged;
  const std::string file_name = name + ".desktop";
  for (const std::string& d : desktop_entry_dirs()) {
    try {
      tx.make_dirs(d);
      TStagedEntry e{join_path(d, "." + file_name + ".rk50-" + std::to_string(::getpid())), join_path(d, file_name)};
      tx.record_created(e.staged);
      if (!write_entry_file(e.staged, entry_utf8)) continue;
      staged.push_back(std::move(e));
    } catch (const ux::Exception&) {
      // A desktop entry that cannot be written does not stop the installation.
    }
  }
  return staged;
}

std::vector<std::string> place_desktop_entries(TFileTransaction& tx, const std::vector<TStagedEntry>& entries) {
  std::vector<std::string> written;
  for (const TStagedEntry& e : entries) {
    tx.keep_aside(e.final_path);
    tx.move(e.staged, e.final_path);
    written.push_back(e.final_path);
  }
  return written;
}

// Refuses, before anything moves, a staged tree that cannot be placed over
// dest: a file where a folder is, a folder where a file is, a linked folder
// that leads outside the installation. OS paths without trailing "/".
void check_placeable(const std::string& staged, const std::string& dest, const std::string& dest_real) {
  for (const auto& entry : std::filesystem::directory_iterator(staged)) {
    const std::string name = entry.path().filename().string();
    const std::string s = staged + "/" + name, d = dest + "/" + name;
    struct stat st;
    if (::lstat(d.c_str(), &st) != 0) continue;  // the whole entry moves as it is
    const bool staged_dir = entry.is_directory();
    if (!staged_dir) {
      if (S_ISDIR(st.st_mode)) throw ux::Exception("Cannot install " + ux::os_to_text(d) + ": a folder is in the way");
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      struct stat target;
      if (::stat(d.c_str(), &target) != 0 || !S_ISDIR(target.st_mode) || !ux::os_path_inside(ux::resolved_os_path(d), dest_real))
        throw ux::Exception("Cannot install " + ux::os_to_text(d) + ": the link leads outside the installation");
    } else if (!S_ISDIR(st.st_mode)) {
      throw ux::Exception("Cannot install " + ux::os_to_text(d) + ": a file is in the way");
    }
    check_placeable(s, d, dest_real);
  }
}

// Moves the staged tree into dest, keeping what it replaces. A folder that
// dest lacks moves whole.
void place_tree(TFileTransaction& tx, const std::string& staged, const std::string& dest, const TCancelFlag& cancel) {
  for (const auto& entry : std::filesystem::directory_iterator(staged)) {
    throw_if_cancelled(cancel);
    const std::string name = entry.path().filename().string();
    const std::string s = staged + "/" + name, d = dest + "/" + name;
    if (!exists_os(d)) {
      tx.move(ux::os_to_text(s), ux::os_to_text(d));
    } else if (entry.is_directory()) {
      place_tree(tx, s, d, cancel);
    } else {
      tx.keep_aside(ux::os_to_text(d));
      tx.move(ux::os_to_text(s), ux::os_to_text(d));
    }
  }
}

// Where the staging happens, and what the finishing steps staged.
struct TStaging {
  std::string dest;  // installation folder, trailing "/"
  std::string work;  // dest + ".rk50-install-XXXXXX/"
  std::string root;  // work + "new/": the package's files
  std::vector<TStagedEntry> entries;
  TFinishResult result;
};

// The finishing steps, staged: identity file dropped, desktop entries
// written beside their final names, the updater copy in the staged win64.
void finish_install(TStaging& st, TFileTransaction& tx, const TFinishInstall& args) {
  const std::string staged_win64 = st.root + kPackageFolder + "/";
  const std::string win64 = st.dest + kPackageFolder + "/";
  if (args.mode == 1) {
    ux::delete_file(staged_win64 + kIdentityFileName);
    const std::string target = win64 + kClientExeName;
    const std::string png = std::string(kClientExeName) + ".png";
    const bool has_icon =
        exists_os(ux::text_to_os(staged_win64 + png)) || exists_os(ux::text_to_os(win64 + png));
    st.entries = stage_desktop_entries(
        tx, desktop_entry_text(target, ux::utf8_to_text(kShortcutName), has_icon ? win64 + png : kThemeIcon),
        ux::utf8_to_text(kShortcutName));
  }

  const std::string self = args.self_path.empty() ? ux::os_to_text(ux::executable_path()) : args.self_path;
  if (self.empty()) throw ux::Exception("cannot find the running executable to copy as the updater");
  std::string name = kUpdaterName;
  st.result.updater_path = win64 + name;
  struct stat self_st, target_st;
  const bool target_exists = ::lstat(ux::text_to_os(win64 + name).c_str(), &target_st) == 0;
  // The updater copy installing into its own folder keeps itself.
  if (target_exists && ::stat(ux::text_to_os(self).c_str(), &self_st) == 0 &&
      ::stat(ux::text_to_os(win64 + name).c_str(), &target_st) == 0 && self_st.st_dev == target_st.st_dev &&
      self_st.st_ino == target_st.st_ino)
    return;
  // A folder holding the name cannot be replaced: the copy waits beside it.
  if (target_exists && S_ISDIR(target_st.st_mode)) name += kUpdaterPendingSuffix;
  const std::string staged = staged_win64 + name;
  if (!ux::TShareFile::CopyShareFile(self, staged) || ::chmod(ux::text_to_os(staged).c_str(), 0755) != 0)
    throw ux::Exception("Cannot copy " + self + " to " + win64 + name);
  st.result.updater_path = win64 + name;
}

}  // namespace

TFinishResult install_package(const TFinishInstall& args, const TExtractProgressFn& progress, TCancelFlag& cancel,
                              const std::string& library_path) {
  if (args.dest_path.empty()) throw ux::Exception("No installation folder given");
  TStaging st;
  st.dest = join_path(args.dest_path, "");
  TFileTransaction tx;
  std::optional<TInstallLock> lock;
  try {
    throw_if_cancelled(cancel);
    tx.make_dirs(st.dest);
    lock.emplace(st.dest);
    (void)recover_leftovers(st.dest, kInstallStagingPrefix);
    (void)recover_leftovers(st.dest + kPackageFolder, kUpdateStagingPrefix);
    st.work = tx.make_work_folder(st.dest, kInstallStagingPrefix);
    tx.journal_to(st.work + kJournalName);
    st.root = st.work + "new/";
    tx.set_backup_dir(st.work + "old");

    extract_package(
        args.saved_fname, st.root,
        [&](bool total, int64_t value) {
          if (progress) progress(total, value);
          throw_if_cancelled(cancel);
        },
        library_path, kPackageFolder);
    throw_if_cancelled(cancel);
    finish_install(st, tx, args);

    const std::string dest_os = ux::text_to_os(join_path(st.dest, "")), root_os = ux::text_to_os(st.root);
    check_placeable(root_os.substr(0, root_os.size() - 1), dest_os.substr(0, dest_os.size() - 1),
                    ux::resolved_os_path(dest_os));
    if (args.mode == 1) tx.keep_aside(st.dest + kPackageFolder + "/" + kIdentityFileName);
    place_tree(tx, root_os.substr(0, root_os.size() - 1), dest_os.substr(0, dest_os.size() - 1), cancel);
    st.result.shortcuts = place_desktop_entries(tx, st.entries);
    if (!cancel.complete()) throw_if_cancelled(cancel);
  } catch (...) {
    rollback_and_rethrow(tx, cancel, st.work);
  }
  try {
    st.result.removal = tx.commit_in_background();
  } catch (...) {
    tx.commit();
  }
  if (args.delete_package) (void)ux::delete_downloaded_file(args.saved_fname);
  return st.result;
}

std::vector<std::string> create_desktop_shortcut(const std::string& target, const std::string& name) {
  std::string folder = ux::TUX_Path::ExtractFilePath(target);
  const std::string png = folder + kClientExeName + ".png";
  TFileTransaction tx;
  const std::vector<TStagedEntry> staged =
      stage_desktop_entries(tx, desktop_entry_text(target, name, exists_os(ux::text_to_os(png)) ? png : kThemeIcon), name);
  std::vector<std::string> written = place_desktop_entries(tx, staged);
  tx.commit();
  return written;
}

}  // namespace rk50
