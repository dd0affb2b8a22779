#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs the whole test suite.
#   scripts/test.sh             release build in build/
#   scripts/test.sh --sanitize  also ASan+UBSan (build-asan/) and TSan (build-tsan/)
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=0
for a in "$@"; do
  case "$a" in
    --sanitize) sanitize=1 ;;
    *) echo "usage: $0 [--sanitize]" >&2; exit 2 ;;
  esac
done

scripts/deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

run_suite() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ $sanitize -eq 1 ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DQLYN_SANITIZE=address -DQLYN_BUILD_BENCH=OFF
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    run_suite build-tsan -DCMAKE_BUILD_TYPE=Debug -DQLYN_SANITIZE=thread -DQLYN_BUILD_BENCH=OFF
fi
echo "test.sh: all tests passed"
