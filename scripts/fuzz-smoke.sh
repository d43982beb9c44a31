#!/bin/bash
# fuzz-smoke.sh [SECONDS] — builds the libFuzzer harnesses in build-fuzz (clang
# with ASan/UBSan) and runs each over its seed corpus plus SECONDS of fuzzing
# (default 20). Fails on any crash, leak, timeout or out-of-memory. Without
# clang it says so and succeeds: the harnesses cannot be built there.
# Environment: BUILD_FUZZ (build folder), JOBS (harnesses run side by side),
# FUZZ_RUNS (stop a harness after this many executions even before SECONDS).
set -euo pipefail
seconds=${1:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_FUZZ:-$root/build-fuzz}
jobs=${JOBS:-2}

if ! command -v clang >/dev/null 2>&1 || ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang not found, harnesses not built"
  exit 0
fi
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLON_BUILD_FUZZ=ON -DQUILLON_BUILD_GUI=OFF -DQUILLON_BUILD_BENCH=OFF -DQUILLON_BUILD_TESTS=OFF >/dev/null
list=$build/fuzz/harnesses.txt
[ -s "$list" ] || { echo "fuzz: no harnesses configured"; exit 1; }
mapfile -t names < <(cut -d' ' -f1 "$list")
cmake --build "$build" -j "$jobs" --target "${names[@]}"

logs=$build/fuzz/logs
mkdir -p "$logs"
run_one() {  # name corpus dict
  local log=$logs/$1.log
  local extra=()
  [ -z "${FUZZ_RUNS:-}" ] || extra=(-runs="$FUZZ_RUNS")
  if "$root/fuzz/run-harness.sh" "$build/fuzz/$1" "$2" "$3" "$seconds" "$build/fuzz/work/$1" "${extra[@]}" >"$log" 2>&1; then
    echo "fuzz: $1 ok ($(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$') runs, $(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1))"
  else
    echo "fuzz: $1 FAILED, log $log"; tail -40 "$log"; return 1
  fi
}
export -f run_one
export root build seconds logs
# xargs exits non-zero when any harness failed.
xargs -P "$jobs" -L 1 bash -c 'run_one "$0" "$1" "$2"' <"$list"
