// archive_library_deploy: the 7-Zip format library carried by the build as
// Base64 text, and writing it out beside the executable when it is missing.
#pragma once

#include <string>
#include <string_view>

namespace ux {

// File name of the deployed library.
inline constexpr const char* kArchiveLibraryName = "7z.so";

// The carried library as one line of standard Base64 (generated at build time
// from the 7z.so found at configure time).
std::string_view archive_library_text() noexcept;

// When no file named kArchiveLibraryName exists in dir (default: the
// executable's folder), decodes archive_library_text() and writes it there
// (mode 0755). An existing file is never replaced or examined. The bytes go
// to a temporary file first and are linked into place only when complete, so
// a failed write leaves no partial library. Returns true when it wrote the
// file.
bool deploy_archive_library(const std::string& dir = {});

}  // namespace ux
