// ux_files: whole-file helpers over path names — folders, replacing, reading
// and appending whole files, sizes and times, folder walks and file
// fingerprints.
//
// Paths are byte strings in the process code page. Helpers never throw for
// bad input: they return 0, -1, false or an empty string.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/ux_clock.h"

namespace ux {

// Something other than a folder at path (a file, a device, a pipe),
// symbolic links followed; false for an empty path. The probe to call before
// reading, copying or replacing a file.
bool file_exists(const std::string& path);
// Any entry at path, a symbolic link itself (not followed) included; false
// for an empty path. Tells whether the name is taken.
bool name_exists(const std::string& path);

// Directory of the executable (or of this module), with the trailing "/".
std::string exe_dir(bool use_module = false);
// Creates path and every missing parent; failures are not reported.
void force_dirs(const std::string& path);
int delete_file(const std::string& path);
// Replaces the file with text. Bytes written, -1 on failure (the old file is
// then left as it was), 0 when path is empty.
long long write_text_to_file(std::string_view text, const std::string& path);
// 1 whenever path is not empty, 0 otherwise.
int write_buf_to_file(const void* buffer, long long n, const std::string& path);
std::string read_file_text(const std::string& path);
// Appends under one process-wide lock; errors are swallowed. Returns text's length.
long long append_text_to_file(std::string_view text, const std::string& path);
long long file_size(const std::string& path);

// Modification time; 1980-01-01 when unknown; 0 when the file does not exist.
TDateTime file_time(const std::string& path);

// keep_going starts true; clearing it stops the walk. dir is the listed
// folder's absolute path with trailing "/". Errors raised by the callback are
// ignored. The current directory is never changed.
using TWalkDirCallback = std::function<void(void* user_data, const std::string& dir, bool is_dir,
                                            const std::string& name, bool& keep_going)>;
void walk_dir(const std::string& path, void* user_data, const TWalkDirCallback& callback,
              bool recursive);

// Lower-case hex MD5 of a regular file; empty when it cannot be read.
std::string md5_file_hex(const std::string& path);
// md5_file_hex for files below 1000001 bytes; for larger ones the MD5 of the
// hex MD5s of the first and the last 65536 bytes followed by the size.
std::string file_fingerprint(const std::string& path);

// Confinement checks on file-system paths (platform encoding, not process
// text). The absolute path os_path resolves to, every link followed; empty
// when it does not resolve.
std::string resolved_os_path(const std::string& os_path);
// True when the resolved path real is root_real or lies below it (both as
// resolved_os_path gives them; "/" holds every absolute path, an empty root
// none).
bool os_path_inside(const std::string& real, const std::string& root_real);

}  // namespace ux
