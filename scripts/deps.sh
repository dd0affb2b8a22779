#!/usr/bin/env bash
# Installs every build, test and benchmark dependency (Debian 12, non-interactive, idempotent).
set -euo pipefail

PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config libssl-dev
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev valgrind
  libxxhash-dev nlohmann-json3-dev rapidjson-dev
  # locale sources and time zones used by the tests
  locales tzdata
  # 7-Zip format library (7z.so, carried by the build) and the 7zz packer used by tests and the demo
  p7zip-full 7zip
  # Qt 6 front end, its offscreen platform, a CJK-capable font
  qt6-base-dev qt6-qpa-plugins libgl-dev fonts-wqy-microhei
  # fuzz targets: clang with libFuzzer and the sanitizer runtimes, llvm-symbolizer for their reports
  clang libclang-rt-14-dev llvm
  # real network peers started by the tests on loopback (nginx with its echo module, curl,
  # the openssl command, a WebSocket server and a DNS responder for Debian's python3)
  nginx libnginx-mod-http-echo curl openssl python3-websockets python3-dnslib
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
