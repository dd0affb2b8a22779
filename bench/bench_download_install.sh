#!/usr/bin/env bash
# bench_download_install: install mode end to end on loopback.
#
#   1. Side by side, rounds alternating: `qlyn-setup --cli --yes --dir D`
#      downloading an N MB package over udp-http from qlyn-resource-server and
#      installing it, against `curl` fetching the same package over plain
#      HTTP from the same server followed by `7zz x`. Total seconds of each
#      and the ratio.
#   2. With --rss-mb M: peak resident memory of `qlyn-setup --cli` (VmHWM,
#      read every 20 ms) while it downloads an M MB package, and over its
#      whole run (the extraction included).
#
#   bench/bench_download_install.sh [--mb N] [--rounds N] [--rss-mb M] [--dir DIR] BUILD_DIR
#
# The package holds N MB of pseudo-random bytes in one file plus two small
# ones, stored (-mx=0) under the default build's package password
# (QLYN_BENCH_PASSWORD overrides it).
set -euo pipefail
source "$(dirname "$(realpath "$0")")/../scripts/lib/server_tool.sh"

mb=200
rounds=3
rss_mb=0
base=/tmp
build=
usage() { echo "usage: $0 [--mb N] [--rounds N] [--rss-mb M] [--dir DIR] BUILD_DIR" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --mb) mb=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --rss-mb) rss_mb=$2; shift 2 ;;
    --dir) base=$2; shift 2 ;;
    -*) usage ;;
    *) build=$(realpath "$1"); shift ;;
  esac
done
[ -n "$build" ] || usage
setup=$build/installer/qlyn-setup
server=$build/server/qlyn-resource-server
for f in "$setup" "$server"; do [ -x "$f" ] || { echo "bench: $f not built" >&2; exit 1; }; done
command -v 7zz >/dev/null && command -v curl >/dev/null || { echo "bench: needs 7zz and curl" >&2; exit 1; }

password=${QLYN_BENCH_PASSWORD:-$(LC_NUMERIC=C printf '%4.5f' 20190612.27182818)}
pkg_path=down/win64/rk50cli_dsk.win64.newest.7z
work=$(mktemp -d "$base/qlyn_bench_down_XXXXXX")
server_pid=
cleanup() {
  stop_server
  rm -rf "$work"
}
trap cleanup EXIT
now() { date +%s.%N; }
calc() { awk "BEGIN { print $1 }"; }
rnd() { { openssl enc -aes-128-ctr -nosalt -pass "pass:$2" -pbkdf2 </dev/zero 2>/dev/null || true; } | head -c "$1"; }

# make_package MB: the package under $work/www.
make_package() {
  rm -rf "$work/src" "$work/www"
  mkdir -p "$work/src/win64" "$work/www/down/win64"
  rnd $(($1 * 1048576)) "bench$1" >"$work/src/win64/data.bin"
  printf '#!/bin/sh\necho client\n' >"$work/src/win64/rk50cli_dsk"
  echo "1.0.0" >"$work/src/win64/version.txt"
  (cd "$work/src" && 7zz a -bd -mx=0 -p"$password" "$work/www/$pkg_path" win64 >/dev/null)
  rm -rf "$work/src"
}

start_server() {
  start_resource_server "$server" "$work/www" "$work/server.out" ||
    { echo "bench: the resource server did not start" >&2; exit 1; }
  mkdir -p "$work/setup"
  cp "$setup" "$work/setup/qlyn-setup"
  printf '[common]\nsvr_url=udp-http://127.0.0.1:%s\n' "$port" >"$work/setup/config.ini"
}

export HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" XDG_CONFIG_HOME="$work/home/.config"
unset LOCALAPPDATA DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME"

make_package "$mb"
size=$(stat -c %s "$work/www/$pkg_path")
start_server
echo "package: $mb MB of content, $size bytes; server 127.0.0.1:$port"
printf '%-6s %12s %22s %8s\n' round "qlyn-setup s" "curl http + 7zz x s" ratio
ours_all=() theirs_all=()
for r in $(seq "$rounds"); do
  rm -rf "$work/inst" "$work/ref" "$work/dl.7z" "$HOME"
  mkdir -p "$HOME"
  t0=$(now)
  "$work/setup/qlyn-setup" --cli --yes --dir "$work/inst" >"$work/setup.log" 2>&1 ||
    { echo "bench: qlyn-setup failed" >&2; tail -5 "$work/setup.log" >&2; exit 1; }
  t1=$(now)
  curl -sS -o "$work/dl.7z" "http://127.0.0.1:$port/$pkg_path"
  7zz x -bd -y -p"$password" -o"$work/ref" "$work/dl.7z" >/dev/null
  rm -f "$work/dl.7z"
  t2=$(now)
  cmp -s "$work/inst/win64/data.bin" "$work/ref/win64/data.bin" || { echo "bench: installed files differ" >&2; exit 1; }
  ours=$(calc "$t1 - $t0")
  theirs=$(calc "$t2 - $t1")
  ours_all+=("$ours") theirs_all+=("$theirs")
  printf '%-6s %12.2f %22.2f %8.2f\n' "$r" "$ours" "$theirs" "$(calc "$ours / $theirs")"
done
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
mo=$(median "${ours_all[@]}")
mt=$(median "${theirs_all[@]}")
printf '%-6s %12.2f %22.2f %8.2f\n' median "$mo" "$mt" "$(calc "$mo / $mt")"

if [ "$rss_mb" -gt 0 ]; then
  stop_server
  rm -rf "$work/inst" "$work/ref" "$HOME"; mkdir -p "$HOME"
  make_package "$rss_mb"
  size=$(stat -c %s "$work/www/$pkg_path")
  start_server
  dl="$work/setup/temp/rk50cli_dsk.win64.newest.7z"
  "$work/setup/qlyn-setup" --cli --yes --dir "$work/inst" >"$work/setup.log" 2>&1 &
  pid=$!
  peak_download=0 peak_all=0
  while kill -0 "$pid" 2>/dev/null; do
    hwm=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status" 2>/dev/null || true)
    if [ -n "$hwm" ]; then
      peak_all=$hwm
      have=$(stat -c %s "$dl" 2>/dev/null || echo 0)
      [ "$have" -lt "$size" ] && peak_download=$hwm
    fi
    sleep 0.02
  done
  wait "$pid" || { echo "bench: qlyn-setup failed" >&2; tail -5 "$work/setup.log" >&2; exit 1; }
  echo "peak RSS of qlyn-setup --cli, $rss_mb MB package ($size bytes):" \
    "$((peak_download / 1024)) MB while downloading, $((peak_all / 1024)) MB over the whole run"
fi
