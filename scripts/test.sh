#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs the whole test suite,
# then every fuzz target for a short time (scripts/fuzz.sh, build-fuzz/).
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
# Seconds each fuzz target runs here: enough to replay its seeds and the
# regression inputs and to catch shallow faults; long runs use scripts/fuzz.sh.
fuzz_seconds=20

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
