#!/usr/bin/env bash
# Renders the installer window on the offscreen platform in both languages:
# out/installer-chn.png and out/installer-eng.png; and the window during a
# real download from the resource server on loopback:
# out/installer-download.png.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target qlyn-setup test_qt_window_download
mkdir -p out
LC_ALL=zh_CN.UTF-8 QT_QPA_PLATFORM=offscreen build/installer/qlyn-setup --screenshot out/installer-chn.png
LC_ALL=en_US.UTF-8 QT_QPA_PLATFORM=offscreen build/installer/qlyn-setup --screenshot out/installer-eng.png
QLYN_SCREENSHOT_DIR="$PWD/out" QT_QPA_PLATFORM=offscreen build/tests/test_qt_window_download >/dev/null
ls -l out/installer-chn.png out/installer-eng.png out/installer-download.png
