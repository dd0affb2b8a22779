#include "installer/rk50_package_install.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

#include "archive/archive_library_deploy.h"
#include "common/ux_common.h"
#include "common/ux_file_io.h"
#include "common/platform/ux_process.h"

#ifndef QLYN_PACKAGE_PASSWORD_VALUE
#error "QLYN_PACKAGE_PASSWORD_VALUE (the package password constant) must be defined by the build"
#endif

namespace rk50 {

namespace {

constexpr double kPackagePasswordValue = QLYN_PACKAGE_PASSWORD_VALUE;

bool exists_os(const std::string& path) {
  struct stat st;
  return ::lstat(ux::text_to_os(path).c_str(), &st) == 0;
}

std::string dir_part(const std::string& path) {
  size_t p = path.find_last_of('/');
  return p == std::string::npos ? std::string() : path.substr(0, p);
}

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

ux::HRESULT on_archive_password(void*, std::u16string& password) {
  password = package_password_utf16();
  return 0;
}

ux::HRESULT on_extract_progress(void* sender, bool total, int64_t value) {
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

std::string default_archive_library() { return ux::exe_dir() + ux::kArchiveLibraryName; }

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

// The extraction sequence shared by both forms; callback may be null.
void run_extraction(const std::string& archive_path, const std::string& dest_path, void* sender,
                    ux::T7zProgressCallback callback, const std::string& library_path) {
  ux::force_dirs(dest_path);
  ux::TComPtr<ux::I7zInArchive> arc = ux::new_in_archive(ux::CLSID_CFormat7z, library_path);
  // Set before opening: packages with encrypted headers ask for it in Open.
  arc->UsePassword(package_password_utf16());
  arc->SetPasswordHandler(nullptr, on_archive_password);
  if (callback) arc->SetProgressHandler(sender, callback);
  arc->OpenArchive(archive_path);
  arc->ExtractAllToFolder(dest_path);
  arc->CloseArchive();
}

ux::HRESULT call_progress(void* sender, bool total, int64_t value) {
  (*static_cast<const TExtractProgressCall*>(sender))(total, value);
  return 0;
}

}  // namespace

void extract_package(const std::string& archive_path, const std::string& dest_path, TInstallProgress* progress,
                     const std::string& library_path) {
  run_extraction(archive_path, dest_path, progress, progress ? on_extract_progress : nullptr, library_path);
}

void extract_package_with_progress(const std::string& archive_path, const std::string& dest_path,
                                   const TExtractProgressCall& progress, const std::string& library_path) {
  run_extraction(archive_path, dest_path, const_cast<TExtractProgressCall*>(&progress),
                 progress ? call_progress : nullptr, library_path);
}

std::string desktop_dir() {
  const std::string home = ux::env_text("HOME");
  if (home.empty()) return {};
  std::string config = ux::env_text("XDG_CONFIG_HOME");
  if (config.empty() || config[0] != '/') config = home + "/.config";
  std::string d = user_dirs_value(config + "/user-dirs.dirs", "XDG_DESKTOP_DIR", home);
  return d.empty() ? home + "/Desktop" : d;
}

std::vector<std::string> create_desktop_shortcut(const std::string& target, const std::string& name) {
  const std::string folder = dir_part(target);
  std::string icon = "application-x-executable";
  const std::string png = join_path(folder, std::string(kClientExeName) + ".png");
  if (exists_os(png)) icon = png;

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
  const std::string entry_utf8 = ux::text_to_utf8(entry);

  std::vector<std::string> dirs;
  if (std::string d = desktop_dir(); !d.empty()) dirs.push_back(d);
  std::string data = ux::env_text("XDG_DATA_HOME");
  if (data.empty() || data[0] != '/') {
    const std::string home = ux::env_text("HOME");
    data = home.empty() ? std::string() : home + "/.local/share";
  }
  if (!data.empty()) dirs.push_back(data + "/applications");

  std::vector<std::string> written;
  const std::string file_name = name + ".desktop";
  for (const std::string& d : dirs) {
    ux::force_dirs(d);
    const std::string path = join_path(d, file_name);
    if (ux::write_text_to_file(entry_utf8, path) != static_cast<long long>(entry_utf8.size())) continue;
    ::chmod(ux::text_to_os(path).c_str(), 0755);
    written.push_back(path);
  }
  return written;
}

TFinishResult finish_install(const TFinishInstall& args) {
  TFinishResult r;
  if (args.delete_package && !args.saved_fname.empty()) ux::delete_file(args.saved_fname);
  const std::string win64 = join_path(args.dest_path, kPackageFolder);
  if (args.mode == 1) {
    ux::delete_file(join_path(win64, kIdentityFileName));
    r.shortcuts = create_desktop_shortcut(join_path(win64, kClientExeName), ux::utf8_to_text(kShortcutName));
  }
  const std::string self = args.self_path.empty() ? ux::os_to_text(ux::executable_path()) : args.self_path;
  if (self.empty()) throw ux::Exception("cannot find the running executable to copy as the updater");
  std::string target = join_path(win64, kUpdaterName);
  r.updater_path = target;
  // The updater copy installing into its own folder: deleting the target
  // would delete the running program and leave nothing to copy.
  struct stat self_st, target_st;
  if (::stat(ux::text_to_os(self).c_str(), &self_st) == 0 &&
      ::stat(ux::text_to_os(target).c_str(), &target_st) == 0 && self_st.st_dev == target_st.st_dev &&
      self_st.st_ino == target_st.st_ino)
    return r;
  ux::delete_file(target);
  if (exists_os(target)) target += kUpdaterPendingSuffix;
  if (!ux::TShareFile::CopyShareFile(self, target)) throw ux::Exception("Cannot copy " + self + " to " + target);
  ::chmod(ux::text_to_os(target).c_str(), 0755);
  r.updater_path = target;
  return r;
}

}  // namespace rk50
