// qlyn-setup: installs the Qlyn client (install mode) or applies an update
// package ("updator upd PACKAGE"), in a Qt window or on the console.
//
//   qlyn-setup [--cli] [--yes] [--dir PATH] [--package FILE] [upd|update PACKAGE]
//   qlyn-setup --screenshot OUT.png     render the window offscreen to a PNG
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/ux_common.h"
#include "installer/console/rk50_console.h"
#include "installer/rk50_services.h"
#include "installer/rk50_stp_common.h"
#ifdef QLYN_HAVE_QT
#include "installer/qt/rk50_qt_window.h"
#endif

namespace {

void usage(FILE* f) {
  std::fputs(
      "usage: qlyn-setup [--cli] [--yes] [--dir PATH] [--package FILE] [update|upd PACKAGE]\n"
      "       qlyn-setup --screenshot OUT.png\n"
      "  --cli         console front end (also used when no display is available)\n"
      "  --yes         answer every prompt with the default that continues\n"
      "  --dir PATH    installation folder\n"
      "  --package F   install the package file F instead of downloading it\n"
      "  --screenshot  render the window on the offscreen platform to a PNG\n",
      f);
}

bool have_display() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform && *platform) return true;
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

}  // namespace

int main(int argc, char** argv) {
  rk50::TFrontendOptions options;
  bool cli = false;
  std::string screenshot;
  for (int i = 1; i < argc; ++i) {
    std::string a = ux::os_to_text(argv[i]);
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qlyn-setup: %s needs a value\n", argv[i]);
        std::exit(2);
      }
      out = ux::os_to_text(argv[++i]);
    };
    if (a == "--cli") {
      cli = true;
    } else if (a == "--yes" || a == "-y") {
      options.yes = true;
    } else if (a == "--dir") {
      value(options.dir);
    } else if (a == "--package") {
      value(options.start.package_file);
    } else if (a == "--screenshot") {
      value(screenshot);
    } else if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      std::fprintf(stderr, "qlyn-setup: unknown option %s\n", argv[i]);
      usage(stderr);
      return 2;
    } else {
      options.start.args.push_back(a);
    }
  }

  if (!options.start.package_file.empty()) {
    FILE* f = std::fopen(ux::text_to_os(options.start.package_file).c_str(), "rb");
    if (!f) {
      const int e = errno;
      rk50::select_system_lang();
      std::fprintf(stderr, "%s (%s)\n",
                   ux::text_to_os(rk50::lang_text_fmt(rk50::msg_package_missing_fmt, {options.start.package_file}))
                       .c_str(),
                   std::strerror(e));
      return 1;
    }
    std::fclose(f);
  }

#ifdef QLYN_HAVE_QT
  if (!screenshot.empty()) return rk50::render_screenshot(screenshot, options.start);
  if (!cli && have_display()) {
    rk50::TProductionServices services;
    return rk50::run_qt_window(argc, argv, options, services);
  }
#else
  if (!screenshot.empty()) {
    std::fputs("qlyn-setup: built without the Qt window, --screenshot is not available\n", stderr);
    return 2;
  }
  (void)cli;
  (void)have_display;
#endif
  rk50::TProductionServices services;
  return rk50::run_console(options, services);
}
