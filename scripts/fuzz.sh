#!/usr/bin/env bash
# Builds the libFuzzer target of the parameter reader with clang, ASan and
# UBSan in build-fuzz/, and runs it for the given seconds (default 60) on a
# seed corpus of the example and test parameter files. New inputs go to
# build-fuzz/corpus; a crash or slow input is written as build-fuzz/crash-*
# or slow-unit-* and fails the run.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-60}
bash "$top/scripts/setup.sh"
cxx=$(command -v clang++-14 || command -v clang++ || true)
[ -n "$cxx" ] || { echo "fuzz: clang++ is missing (Debian package clang-14)" >&2; exit 1; }
cmake -S "$top" -B "$top/build-fuzz" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DQM_FUZZ=ON -DQM_SANITIZE=ON \
  -DQM_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$top/build-fuzz" fuzz_parameters
corpus="$top/build-fuzz/corpus"
mkdir -p "$corpus"
cp "$top"/examples/*.par "$top"/tests/data/scenarios/*.par "$top"/tests/fuzz/regressions/* "$corpus/" 2>/dev/null || true
cd "$top/build-fuzz"
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
./tests/fuzz/fuzz_parameters -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 "$corpus"
