#!/usr/bin/env bash
# Builds Quillmere and runs an example simulation in the folder run/ of the
# project (or the folder given as the first argument), with the example
# scheme or parameter file given as the second argument (default:
# examples/quickstart.toml).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
cmake -S "$top" -B "$top/build" -G Ninja -DQM_TESTS=OFF >/dev/null
ninja -C "$top/build" quillmere
out=${1:-$top/run}
par=${2:-$top/examples/quickstart.toml}
mkdir -p "$out"
cp "$par" "$out/"
cd "$out"
"$top/build/quillmere" "$(basename "$par")"
echo
echo "Result files in $out:"
ls "$out"
