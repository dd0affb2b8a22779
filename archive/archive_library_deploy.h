// archive_library_deploy: the 7-Zip format library carried by the build, the
// private copy of it that the binding loads, and writing it out beside the
// executable.
#pragma once

#include <string>
#include <string_view>

namespace ux {

// File name of the deployed library.
inline constexpr const char* kArchiveLibraryName = "7z.so";

// The carried library's bytes: the 7z.so found at configure time, included
// in the program at build time (empty when there was none).
std::string_view archive_library_data() noexcept;

// The carried library as one line of standard Base64, made on first use.
std::string_view archive_library_text();

// A path the loader can open that holds exactly the carried library and that
// nothing else can change: a sealed memory file ("/proc/self/fd/N"), or,
// where the system forbids running code from memory files, a
// private_library_copy (removed when the process exits); made on first use
// and kept for the life of the process. Thread-safe. Throws
// ux::Exception("Error loading library 7z.so: <reason>") when neither can be
// made; a later call tries again.
const std::string& carried_archive_library();

// Writes bytes as kArchiveLibraryName into a new folder below base that only
// this user can enter (mode 0700, name "qlyn-7z-" and six random
// characters), read-only, and checks that the file holds exactly bytes and
// that code can be mapped from it (base not mounted noexec). Returns the
// file's path. Throws ux::Exception("Error loading library 7z.so: <reason>"),
// leaving nothing behind, when it cannot.
std::string private_library_copy(std::string_view bytes, const std::string& base);

// Writes the carried library as kArchiveLibraryName into dir (default: the
// executable's folder) unless a file with the same bytes is already there.
// A missing or different file (a link, a damaged or foreign library) is
// replaced through a temporary name and a rename, so nobody ever sees a
// partial library. A folder that cannot be written is left alone. Never
// throws; true when it wrote the file.
bool deploy_archive_library(const std::string& dir = {});

}  // namespace ux
