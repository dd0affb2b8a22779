// ux_file_replace: giving a file new content in one step — the content goes
// into a new file beside it, which is then renamed over it.
#pragma once

#include <functional>
#include <string>

#include "common/ux_stream.h"

namespace ux {

// Fills the stream it is given with the new content; false abandons the
// replacement.
using TFileWriteFunc = std::function<bool(TStream& out)>;

// Replaces the content of the file at path (a byte string in the process code
// page) with what write puts in out. The content goes to a new file in the
// same folder, renamed over path once complete, so a failure at any step
// leaves the old file as it was; a new file gets 0666 less the umask, an old
// one keeps its permission bits. A symbolic link at path is written through:
// its target is truncated and written in place, and the link stays.
//
// False with nothing replaced for an empty path, a missing folder, a folder
// that refuses new files, a failed or abandoned write and a failed rename.
// Exceptions of write propagate after the new file is removed.
[[nodiscard]] bool replace_file(const std::string& path, const TFileWriteFunc& write);

}  // namespace ux
