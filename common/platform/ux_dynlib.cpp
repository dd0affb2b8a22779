#include "common/platform/ux_dynlib.h"

#include <dlfcn.h>

namespace ux {

bool TDynLib::open(const std::string& path) {
  close();
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* e = dlerror();
    error_ = e ? e : "dlopen failed";
    return false;
  }
  error_.clear();
  return true;
}

void TDynLib::close() noexcept {
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
}

void* TDynLib::symbol(const char* name) const noexcept {
  return handle_ ? dlsym(handle_, name) : nullptr;
}

}  // namespace ux
