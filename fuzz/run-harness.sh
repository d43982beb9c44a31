#!/bin/sh
# run-harness.sh BINARY CORPUS DICT SECONDS WORKDIR [extra libFuzzer options]
# Runs one harness: first over every checked-in seed, then SECONDS of fuzzing.
# New inputs go to WORKDIR; the checked-in corpus is only read. A crash,
# leak, timeout or out-of-memory makes libFuzzer exit non-zero, and so do we.
set -eu
bin=$1 corpus=$2 dict=$3 seconds=$4 work=$5
shift 5
mkdir -p "$work" "$work/artifacts"
set -- -rss_limit_mb=2048 -malloc_limit_mb=256 -timeout=10 -max_len=4096 \
  -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$@"
[ "$dict" = "-" ] || set -- -dict="$dict" "$@"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# Every seed once, on its own, so that a seed that crashes is named.
"$bin" "$@" -runs=0 "$corpus"
"$bin" "$@" -max_total_time="$seconds" "$work" "$corpus"
