#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan+UBSan) in build-fuzz/
# and runs them, each on one core at low priority.
#   scripts/fuzz.sh [TARGET|all] [SECONDS]    every target, 60 s each, by default
#   scripts/fuzz.sh [TARGET|all] 0            replays the checked-in seeds only
#                                              (deterministic: what CI runs)
#   scripts/fuzz.sh --list                     the target names
#   scripts/fuzz.sh --hours                    clean hours per target, all machines
#   scripts/fuzz.sh --record NOTE              moves this machine's clean runs into
#                                              fuzz/ledger.txt under the line "# NOTE"
# TARGET is a name such as json_parse (the executable is fuzz_json_parse).
# QLYN_FUZZ_JOBS=N runs N targets at once (default 1: the machine may be shared).
# QLYN_FUZZ_FORK=N runs each target as N processes sharing its corpus
# (libFuzzer's -fork), for targets that wait on loopback sockets and so use
# little of a core each; its runs and exec/s are read from its last status
# line, and its "cov" counts differently (not comparable with single runs).
# Each run starts from the seeds in fuzz/corpus/TARGET (read only) and the
# inputs earlier runs found, kept outside the tree in build-fuzz/corpus/TARGET.
# A failing input stays in build-fuzz/artifacts/TARGET/ and a one-line command
# that reproduces it is printed (and kept in build-fuzz/artifacts/REPRODUCE).
# Every clean run adds a line "TARGET SECONDS CPU_SECONDS" to
# build-fuzz/logs/clean_seconds; the summary shows the totals per target in
# hours (on a loaded machine a run of SECONDS gets fewer CPU seconds), counting
# also the runs of earlier machines kept in fuzz/ledger.txt.
# The exit status is 1 when any target failed.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-fuzz
targets_of_tree() { # the targets, from the sources
  for f in fuzz/fuzz_*.cpp; do n=${f#fuzz/fuzz_}; echo "${n%.cpp}"; done
}

ledger=fuzz/ledger.txt
local_ledger=$build/logs/clean_seconds

# "WALL_HOURS CPU_HOURS" of one target's clean runs, on every machine.
clean_hours() {
  cat "$ledger" "$local_ledger" 2>/dev/null |
    awk -v t="$1" '$1 == t { s += $2; c += $3 } END { printf "%.2f %.2f", s / 3600, c / 3600 }'
}

case "${1:-}" in
  --list) targets_of_tree; exit 0 ;;
  --hours)
    printf '%-20s %8s %8s\n' target "clean(h)" "cpu(h)"
    for t in $(targets_of_tree); do printf '%-20s %8s %8s\n' "$t" $(clean_hours "$t"); done
    exit 0 ;;
  --record)
    [ -n "${2:-}" ] || { echo "usage: $0 --record NOTE" >&2; exit 2; }
    [ -s "$local_ledger" ] || { echo "fuzz: no clean runs in $local_ledger" >&2; exit 1; }
    exec 9>>"$local_ledger"
    flock 9
    { echo "# $2"; cat "$local_ledger"; } >>"$ledger"
    : >"$local_ledger"
    echo "fuzz: recorded in $ledger"
    exit 0 ;;
esac
target=${1:-all}
seconds=${2:-60}
jobs=${QLYN_FUZZ_JOBS:-1}
fork=${QLYN_FUZZ_FORK:-0}
case "$seconds$jobs$fork" in ''|*[!0-9]*) echo "usage: $0 [TARGET|all] [SECONDS]" >&2; exit 2 ;; esac
if [ "$target" = all ]; then
  mapfile -t targets < <(targets_of_tree)
else
  [ -f "fuzz/fuzz_$target.cpp" ] || { echo "fuzz: no target '$target' (see $0 --list)" >&2; exit 2; }
  targets=("$target")
fi

scripts/deps.sh
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQLYN_BUILD_FUZZ=ON \
  -DQLYN_BUILD_TESTS=OFF -DQLYN_BUILD_BENCH=OFF -DQLYN_BUILD_GUI=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

# The format's dictionary: fuzz/dict/TARGET.dict, or the one of its family.
dict_for() {
  local t=$1
  case "$t" in json_* | ws_file_proto) t=json ;; http_response | http_client | res_request) t=http ;; esac
  [ -f "fuzz/dict/$t.dict" ] && echo "-dict=fuzz/dict/$t.dict"
  return 0
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/logs" "$build/artifacts"
touch "$local_ledger"

# Runs one target; its summary line goes to logs/TARGET.result.
run_one() {
  local t=$1 exe=$build/fuzz/fuzz_$1 corpus=$build/corpus/$1
  local artifacts=$PWD/$build/artifacts/$1/ log=$build/logs/$1.log status=0
  local seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds=("fuzz/corpus/$t")
  mkdir -p "$corpus" "$artifacts"
  # -timeout: one input running longer is a finding (generous, since a low
  # priority run on a busy machine may wait long for a core); the outer
  # timeout only guards against a fuzzer that does not stop by itself. It is
  # wide: -max_total_time counts only from the end of the first pass over the
  # corpus, and a starved run of a target that waits on loopback sockets
  # spends minutes on that pass.
  local mode=(-max_total_time="$seconds" $(dict_for "$t") "$corpus" "${seeds[@]}")
  if [ "$fork" -gt 1 ]; then mode=(-fork="$fork" "${mode[@]}"); fi
  if [ "$seconds" -eq 0 ]; then
    # Replay: every seed once, nothing new explored or kept.
    [ ${#seeds[@]} -gt 0 ] || seeds=("$corpus")
    mode=(-runs=0 "${seeds[@]}")
  fi
  local TIMEFORMAT='%3U %3S' times=$build/logs/$t.cpu
  { time timeout --kill-after=30 $((2 * seconds + 300)) nice -n 10 "$exe" \
    -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts" "${mode[@]}" >"$log" 2>&1; } 2>"$times" || status=$?
  local runs speed cov result cpu
  cpu=$(awk '{ printf "%d", $1 + $2 + 0.5 }' "$times")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  if [ -z "$runs" ]; then # fork mode: "#RUNS: cov: ... exec/s SPEED ..."
    runs=$(sed -n 's/^#\([0-9]*\): cov:.*/\1/p' "$log" | tail -1)
    speed=$(sed -n 's/^#[0-9]*: cov:.* exec\/s \([0-9]*\).*/\1/p' "$log" | tail -1)
  fi
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  if [ "$status" -eq 0 ]; then
    result=clean
    if [ "$seconds" -gt 0 ]; then
      flock "$local_ledger" sh -c "echo '$t $seconds $cpu' >>'$local_ledger'"
    fi
  elif [ "$status" -eq 124 ]; then
    result="NOT STOPPED (outer timeout; an overloaded machine? log $log)"
  else
    result="FAILED (status $status, log $log)"
  fi
  local hours
  hours=$(clean_hours "$t")
  {
    printf '%-20s %8s %6s %10s %8s %12s %8s %8s  %s\n' "$t" "$seconds" "$cpu" "${runs:-?}" "${speed:-?}" \
      "${cov:-?}" ${hours} "$result"
    if [ "$status" -ne 0 ]; then
      grep -E '^(==[0-9]+==ERROR|SUMMARY|fuzz property failed|outside the)' "$log" | head -5 | sed 's/^/    /'
      for a in $(ls -t "$artifacts" 2>/dev/null | head -3); do echo "    reproduce: $exe $artifacts$a"; done
    fi
  } >"$build/logs/$t.result"
  return "$status"
}

for t in "${targets[@]}"; do
  rm -f "$build/logs/$t.result"
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run_one "$t" &
done
wait || true

failed=()
printf '%-20s %8s %6s %10s %8s %12s %8s %8s  %s\n' target seconds "cpu(s)" runs exec/s "cov(edges)" "clean(h)" \
  "cpu(h)" result
for t in "${targets[@]}"; do
  [ -f "$build/logs/$t.result" ] || echo "$t: FAILED (no result, see $build/logs/$t.log)" >"$build/logs/$t.result"
  cat "$build/logs/$t.result"
  if ! grep -q '  clean$' "$build/logs/$t.result"; then
    failed+=("$t")
    sed -n 's/^    reproduce: //p' "$build/logs/$t.result" >>"$build/artifacts/REPRODUCE"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: all targets ran clean"
