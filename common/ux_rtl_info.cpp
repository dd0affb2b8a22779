#include "common/ux_rtl_info.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace ux {

namespace {

TRTL_INFO make_rtl_info() {
  TRTL_INFO info;
  const uint16_t probe = 1;
  unsigned char first;
  std::memcpy(&first, &probe, 1);
  info.cpu.is_cpu_le = first == 1;
  info.cpu.is_cpu_64bit = sizeof(void*) == 8;
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  info.cpu.processor_count = n > 0 ? uint32_t(n) : 1;
#if defined(__x86_64__) || defined(__i386__)
  info.cpu.is_cpu_x86 = true;
  info.cpu.CPU_TEXT = "X86";
#elif defined(__aarch64__) || defined(__arm__)
  info.cpu.is_cpu_arm = true;
  info.cpu.CPU_TEXT = "ARM";
#elif defined(__mips__)
  info.cpu.is_cpu_mips = true;
  info.cpu.CPU_TEXT = "MIPS";
#elif defined(__powerpc__)
  info.cpu.is_cpu_powerpc = true;
  info.cpu.CPU_TEXT = "PPC";
#endif
  if (info.cpu.is_cpu_64bit) info.cpu.CPU_TEXT += "_64";
  info.cpu.CPU_TEXT += info.cpu.is_cpu_le ? "-LE" : "-BE";

  info.os.is_linux = true;
  info.os.is_fs_utf8 = true;
  info.os.OS_Text = "Linux";
  info.os.is_linux_desktop = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
  if (access("/etc/openwrt_version", F_OK) == 0 || access("/etc/openwrt_release", F_OK) == 0) {
    info.os.is_openwrt = true;
    info.os.OS_Text = "WRT-OS";
  }
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  info.utc_offset_hours = int32_t(local.tm_gmtoff / 3600);
  info.utc_offset_ms = info.utc_offset_hours * 3600000;
  return info;
}

}  // namespace

const TRTL_INFO& rtl_info() {
  static const TRTL_INFO info = make_rtl_info();
  return info;
}

}  // namespace ux
