#include "common/platform/ux_process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace ux {

std::string executable_path() {
  std::string buf(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
  if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return {};
  buf.resize(static_cast<size_t>(n));
  return buf;
}

int spawn_detached(const std::string& program, const std::vector<std::string>& args,
                   const std::string& work_dir) {
  std::vector<std::string> argv_text;
  argv_text.push_back(program);
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  if (!work_dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, work_dir.c_str());
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return -1;
  std::thread([pid] {
    int status = 0;
    waitpid(pid, &status, 0);
  }).detach();
  return pid;
}

}  // namespace ux
