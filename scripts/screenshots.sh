#!/usr/bin/env bash
# Renders the installer window on the offscreen platform in both languages:
# out/installer-chn.png and out/installer-eng.png.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target qlyn-setup
mkdir -p out
LC_ALL=zh_CN.UTF-8 QT_QPA_PLATFORM=offscreen build/installer/qlyn-setup --screenshot out/installer-chn.png
LC_ALL=en_US.UTF-8 QT_QPA_PLATFORM=offscreen build/installer/qlyn-setup --screenshot out/installer-eng.png
ls -l out/installer-chn.png out/installer-eng.png
