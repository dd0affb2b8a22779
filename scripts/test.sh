#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs the whole test suite,
# then replays every fuzz target's seeds (scripts/fuzz.sh, build-fuzz/).
#   scripts/test.sh             release build in build/
#   scripts/test.sh --sanitize  also ASan+UBSan (build-asan/) and TSan (build-tsan/)
#   scripts/test.sh --no-fuzz   without the fuzz targets
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=0
fuzz=1
for a in "$@"; do
  case "$a" in
    --sanitize) sanitize=1 ;;
    --no-fuzz) fuzz=0 ;;
    *) echo "usage: $0 [--sanitize] [--no-fuzz]" >&2; exit 2 ;;
  esac
done
# The fuzz targets replay their checked-in seeds here (0 seconds of
# exploration), so the result depends on the tree alone; exploring runs use
# scripts/fuzz.sh, and what they find becomes seeds and regression tests.
fuzz_seconds=0

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
if [ $fuzz -eq 1 ]; then
  QLYN_FUZZ_JOBS=$jobs scripts/fuzz.sh all "$fuzz_seconds"
fi
echo "test.sh: all tests passed"
