// ux_process: the running executable and starting programs. Paths and
// arguments here are in the file-name encoding (UTF-8), not the process code
// page: convert with text_to_os / os_to_text at the call site.
#pragma once

#include <string>
#include <vector>

namespace ux {

// Absolute path of the running executable (from /proc/self/exe); empty on failure.
std::string executable_path();

// Starts program with args in its own session, working directory work_dir
// (empty: inherited), without waiting for it; the child is reaped by a
// detached waiter. Returns the child's pid, or -1 when it could not start.
int spawn_detached(const std::string& program, const std::vector<std::string>& args,
                   const std::string& work_dir = {});

}  // namespace ux
