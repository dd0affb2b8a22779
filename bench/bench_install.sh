#!/usr/bin/env bash
# bench_install: wall time of an offline install (`qlyn-setup --cli --yes
# --package P --dir D`) of a password-protected package, fresh and over an
# existing installation: until the program ends, and (in brackets) until it
# shows "Install completed!". Given two executables, their rounds alternate in
# one run so that both see the same machine load.
#
#   bench/bench_install.sh [--mb N] [--rounds N] [--dir DIR] EXE [EXE2]
#
# The package holds N MB (default 200) of content, most of it incompressible,
# packed with 7zz (LZMA2 -mx=1) under the default build's package password
# (QLYN_BENCH_PASSWORD overrides it for a build with another constant).
set -euo pipefail

mb=200
rounds=5
base=/tmp
exes=()
while [ $# -gt 0 ]; do
  case "$1" in
    --mb) mb=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --dir) base=$2; shift 2 ;;
    -*) echo "usage: $0 [--mb N] [--rounds N] [--dir DIR] EXE [EXE2]" >&2; exit 2 ;;
    *) exes+=("$(realpath "$1")"); shift ;;
  esac
done
[ ${#exes[@]} -ge 1 ] || { echo "usage: $0 [--mb N] [--rounds N] [--dir DIR] EXE [EXE2]" >&2; exit 2; }
command -v 7zz >/dev/null || { echo "bench_install: 7zz not on PATH" >&2; exit 1; }

password=${QLYN_BENCH_PASSWORD:-$(printf '%4.5f' 20190612.27182818)}
calc() { awk "BEGIN { print $1 }"; }
work=$(mktemp -d "$base/qlyn_bench_install_XXXXXX")
trap 'rm -rf "$work"' EXIT

# Content: 85 % pseudo-random bytes (deterministic), 15 % text, in large,
# medium and small files.
src=$work/src/win64
mkdir -p "$src/lib" "$src/res"
rnd() { { openssl enc -aes-128-ctr -nosalt -pass "pass:$2" -pbkdf2 </dev/zero 2>/dev/null || true; } | head -c "$1"; }
rnd $((mb * 1048576 * 40 / 100)) big1 >"$src/big1.bin"
rnd $((mb * 1048576 * 25 / 100)) big2 >"$src/big2.bin"
for i in $(seq 1 20); do rnd $((mb * 1048576 * 1 / 100)) "m$i" >"$src/lib/m$i.so"; done
{ yes 'qlyn client package installer update script archive folder' || true; } | head -c $((mb * 1048576 * 15 / 100)) >"$src/res/text.txt"
for i in $(seq 1 400); do head -c $((1024 + i * 7)) "$src/res/text.txt" >"$src/res/s$i.txt"; done
printf '#!/bin/sh\necho client\n' >"$src/rk50cli_dsk"
chmod 755 "$src/rk50cli_dsk"
package=$work/package.7z
(cd "$work/src" && 7zz a -bso0 -bsp0 -m0=lzma2 -mx=1 "-p$password" "$package" win64)
rm -rf "$work/src"
cat "$package" >/dev/null
printf 'package %.1f MB (content %d MB), %d rounds\n' "$(calc "$(stat -c %s "$package") / 1048576")" "$mb" "$rounds"

now() { date +%s.%N; }
# Runs one installation; sets t_end and t_msg (when the message appeared).
install() {
  local exe=$1 home=$2 dest=$3 line
  t_msg=
  HOME=$home XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share LANG=C.UTF-8 \
    "$exe" --cli --yes --package "$package" --dir "$dest" </dev/null | {
    while IFS= read -r line; do
      case $line in *"Install completed!"*) now >"$work/msg" ;; esac
    done
  }
  t_end=$(now)
  t_msg=$(cat "$work/msg" 2>/dev/null || echo "$t_end")
  rm -f "$work/msg"
}
declare -A fresh over fresh_msg over_msg
for r in $(seq 1 "$rounds"); do
  for i in "${!exes[@]}"; do
    exe=${exes[$i]}
    home=$work/home$i dest=$work/dest$i
    rm -rf "$home" "$dest"
    mkdir -p "$home"
    sync
    t0=$(now)
    install "$exe" "$home" "$dest"
    f=$(calc "$t_end - $t0") fm=$(calc "$t_msg - $t0")
    sync
    t0=$(now)
    install "$exe" "$home" "$dest"
    o=$(calc "$t_end - $t0") om=$(calc "$t_msg - $t0")
    fresh[$i]+="$f " fresh_msg[$i]+="$fm "
    over[$i]+="$o " over_msg[$i]+="$om "
    printf 'round %d exe %d: fresh %.3f s (%.3f), over an installation %.3f s (%.3f)\n' "$r" "$((i + 1))" \
      "$f" "$fm" "$o" "$om"
  done
done

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
for i in "${!exes[@]}"; do
  f=$(echo "${fresh[$i]}" | median) o=$(echo "${over[$i]}" | median)
  fm=$(echo "${fresh_msg[$i]}" | median) om=$(echo "${over_msg[$i]}" | median)
  printf 'median exe %d (%s): fresh %.3f s (%.3f), over an installation %.3f s (%.3f)\n' "$((i + 1))" "${exes[$i]}" \
    "$f" "$fm" "$o" "$om"
done
if [ ${#exes[@]} -eq 2 ]; then
  ratio() { calc "$(echo "$2" | median) / $(echo "$1" | median)"; }
  printf 'ratio exe 2 / exe 1: fresh %.3f (%.3f), over an installation %.3f (%.3f)\n' \
    "$(ratio "${fresh[0]}" "${fresh[1]}")" "$(ratio "${fresh_msg[0]}" "${fresh_msg[1]}")" \
    "$(ratio "${over[0]}" "${over[1]}")" "$(ratio "${over_msg[0]}" "${over_msg[1]}")"
fi
