#include "installer/rk50_update_script.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "archive/archive_library_deploy.h"
#include "common/ux_common.h"
#include "common/ux_file_io.h"
#include "installer/rk50_package_install.h"

namespace rk50 {

namespace {

// Scripts are a few lines; anything larger is not an update script.
constexpr long long kMaxScriptBytes = 4 * 1024 * 1024;
// Pending GUI events are processed at most this often during extraction.
constexpr int64_t kEventsIntervalMs = 50;

constexpr const char* kScriptFolder = "win64_update";
constexpr const char* kScriptName = "update.cmd";

// The platform's remove-directory call: only an empty folder goes.
bool remove_empty_dir(const std::string& path) {
  std::string p = ux::text_to_os(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return ::rmdir(p.c_str()) == 0;
}

bool is_file(const std::string& path) {
  struct stat st;
  return ::stat(ux::text_to_os(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string with_slash(std::string s) {
  if (s.empty() || s.back() != '/') s += '/';
  return s;
}

std::string folder_of(const std::string& path) {
  size_t p = path.find_last_of('/');
  return p == std::string::npos ? std::string("./") : path.substr(0, p + 1);
}

// An absolute path in the platform's encoding, relative paths against the
// current directory, without "." components or doubled separators. ".."
// components are dropped with the component before them when resolve_up,
// else they make the result empty. Empty too for a NUL byte, which no file
// name can hold.
std::string os_absolute(const std::string& path, bool resolve_up) {
  std::string os = ux::text_to_os(path);
  if (os.find('\0') != std::string::npos) return {};
  if (os.empty() || os[0] != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return {};
    os = std::string(cwd) + "/" + os;
  }
  std::string out;
  size_t i = 0;
  while (i < os.size()) {
    size_t j = os.find('/', i);
    if (j == std::string::npos) j = os.size();
    const std::string_view part(os.data() + i, j - i);
    if (part == "..") {
      if (!resolve_up) return {};
      const size_t cut = out.rfind('/');
      out.resize(cut == std::string::npos ? 0 : cut);
    } else if (!part.empty() && part != ".") {
      out += '/';
      out += part;
    }
    i = j + 1;
  }
  return out.empty() ? "/" : out;
}

// True when path is the folder or lies below it.
bool is_within(const std::string& path, const std::string& folder) {
  if (path.empty() || folder.empty()) return false;
  if (folder == "/") return true;
  return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

// True when path lies in folder as written or in the folder its links lead to.
bool is_within_folder(const std::string& path, const std::string& folder) {
  if (is_within(path, os_absolute(folder, true))) return true;
  char* real = ::realpath(ux::text_to_os(folder).c_str(), nullptr);
  const bool inside = real != nullptr && is_within(path, real);
  std::free(real);
  return inside;
}

// Throws unless path lies in one of the script's two folders. Script paths
// may not hold "..": the system resolves it after following links, so the
// text cannot tell where it leads. An empty path names no file and is left
// to the file calls, which refuse it.
void require_inside(const std::string& path, const std::string& script_folder, const std::string& install_folder) {
  if (path.empty()) return;
  const std::string abs = os_absolute(path, false);
  if (is_within_folder(abs, script_folder) || is_within_folder(abs, install_folder)) return;
  throw ux::Exception("Update script path outside the package and installation folders: " + path);
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

void run_script_line(const std::string& command, std::string rest, const std::string& script_folder,
                     const std::string& install_folder) {
  std::string source = ux::fetch_token(rest, " ");
  std::string destination = ux::fetch_token(rest, " ");

  if (ux::ci_pos("$sour$", source) > 0)
    source = ux::replace_all(source, "$sour$", script_folder);
  else if (ux::ci_pos("$dest$", source) == 0)
    source = script_folder + source;
  else
    source = ux::replace_all(source, "$dest$", install_folder);
  destination = ux::replace_all(destination, "$dest$", install_folder);

  // Scripts written for the Windows build use backslashes.
  source = ux::replace_char(source, '\\', '/');
  destination = ux::replace_char(destination, '\\', '/');

  if (ux::ci_equal(command, "cp")) {
    require_inside(source, script_folder, install_folder);
    require_inside(destination, script_folder, install_folder);
    (void)ux::TShareFile::CopyShareFile(source, destination);
  } else if (ux::ci_equal_any2(command, "mv", "ren")) {
    require_inside(source, script_folder, install_folder);
    require_inside(destination, script_folder, install_folder);
    (void)ux::TShareFile::MoveFile(source, destination);
  } else if (ux::ci_equal_any2(command, "del", "rm")) {
    require_inside(source, script_folder, install_folder);
    (void)ux::TShareFile::deleteFile(source);
  } else if (ux::ci_equal(command, "rd")) {
    require_inside(source, script_folder, install_folder);
    (void)remove_empty_dir(source);
  }
}

int run_script(const std::string& file_bytes, const std::string& script_folder,
               const std::string& install_folder, const std::function<void()>& after_line) {
  int lines_run = 0;
  for (std::string& line : script_lines(file_bytes)) {
    if (line.size() <= 3) continue;
    std::string command = ux::fetch_token(line, " ");
    run_script_line(command, line, script_folder, install_folder);
    ++lines_run;
    if (after_line) after_line();
  }
  return lines_run;
}

TUpdateResult run_update_package(const std::string& package_path, const std::string& install_dir,
                                 const std::function<void()>& process_events, const std::string& library_path) {
  TUpdateResult r;
  r.dest_path = with_slash(install_dir);
  const std::string package_folder = folder_of(package_path);
  if (process_events) {
    // No progress is shown in update mode, but the window keeps answering
    // while a large package extracts.
    int64_t last = ux::tick_ms();
    extract_package_with_progress(
        package_path, package_folder,
        [&](bool, int64_t) {
          const int64_t now = ux::tick_ms();
          if (now - last < kEventsIntervalMs) return;
          last = now;
          process_events();
        },
        library_path);
  } else {
    extract_package(package_path, package_folder, nullptr, library_path);
  }

  const std::string script_folder = package_folder + kScriptFolder + "/";
  const std::string script = script_folder + kScriptName;
  if (is_file(script)) {
    r.script_found = true;
    if (ux::file_size(script) > kMaxScriptBytes) throw ux::Exception("Update script too large: " + script);
    r.lines_run = run_script(ux::read_file_text(script), script_folder, r.dest_path, process_events);
  }
  r.applied = true;
  return r;
}

TUpdateResult apply_update_package(const std::string& package_path, IUpdateUi& ui, const std::string& install_dir,
                                   const std::string& library_path) {
  if (!is_file(package_path)) {
    TUpdateResult r;
    r.dest_path = with_slash(install_dir);
    return r;
  }
  ui.set_action_enabled(false);
  ui.process_pending_events();
  TUpdateResult r = run_update_package(package_path, install_dir, [&ui] { ui.process_pending_events(); }, library_path);
  ui.set_action_enabled(true);
  return r;
}

TUpdateResult apply_update_package(const std::string& package_path, IUpdateUi& ui) {
  // The updater copy carries the library: an installation may lack it.
  (void)ux::deploy_archive_library(ux::exe_dir());
  return apply_update_package(package_path, ui, ux::exe_dir(), default_archive_library());
}

}  // namespace rk50
