#!/usr/bin/env bash
# Builds Quillmere with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-sanitize/ and runs the unit tests and the reference scenarios there.
# Any sanitizer report stops the program, so it fails the test that ran it.
# The build is a checked one (QM_VERIFY): every reference scenario has its
# data verified after every step of every generation.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
cmake -S "$top" -B "$top/build-sanitize" -G Ninja -DQM_TESTS=ON -DQM_SANITIZE=ON -DQM_VERIFY=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$top/build-sanitize"
cd "$top/build-sanitize"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$top/tests/lsan.supp
# The long-running client and scheduler tests are covered by the normal suite.
ctest --output-on-failure -j "$(nproc)" -LE slow
