#!/usr/bin/env bash
# Builds Quillmere with its tests and runs them all (unit tests and the
# byte-for-byte conformance runs of every reference scenario).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
cmake -S "$top" -B "$top/build" -G Ninja -DQM_TESTS=ON >/dev/null
ninja -C "$top/build"
cd "$top/build"
ctest --output-on-failure -j "$(nproc)"
