// ux_rtl_info: the process information record — processor, system and the
// local time offset.
#pragma once

#include <cstdint>
#include <string>

namespace ux {

struct TRTL_INFO {
  struct {
    bool is_cpu_x86, is_cpu_arm, is_cpu_mips, is_cpu_powerpc, is_cpu_le, is_cpu_64bit;
    uint32_t processor_count;
    std::string CPU_TEXT;
  } cpu{};
  struct {
    bool is_windows, is_wince, is_winE, is_Android, is_linux, is_linux_desktop, is_ios,
        is_macos, is_openwrt, is_fs_utf8;
    std::string OS_Text;
  } os{};
  int32_t utc_offset_hours = 0;
  int32_t utc_offset_ms = 0;
};
// Filled once, on first use, before any worker thread exists.
const TRTL_INFO& rtl_info();

}  // namespace ux
