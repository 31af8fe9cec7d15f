#!/usr/bin/env bash
# Genomic BLUP per generation at 10,000, 50,000 and 100,000 reference animals
# on a 50,000-marker chip, on 1 and 2 threads (bench/gs_scale.cpp); every
# size and thread count in a process of its own, so that the peak memory is
# that of the one size. Prints a Markdown table.
# Usage: bench/gs_scale.sh [REFERENCE...]     (default 10000 50000 100000)
# Environment: THREADS="1 2", MARKERS=50000, K=3 (reference generations),
# TRAITS="1" (add 2 for the multi-trait evaluation of an index).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build-bench}
if [ ! -x "$build/bench/qm_gs_scale" ]; then
  bash "$top/scripts/setup.sh"
  cmake -S "$top" -B "$build" -G Ninja -DQM_TESTS=OFF -DQM_BENCH=ON >/dev/null
fi
ninja -C "$build" qm_gs_scale >/dev/null
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000 50000 100000)
echo "| reference animals | markers | traits | threads | start | record (s) | estimate (s) | estimate, CPU (s) | iterations | accuracy | peak memory (MB) |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
for n in "${sizes[@]}"; do
  for tr in ${TRAITS:-1}; do
  for t in ${THREADS:-1 2}; do
    out=$("$build/bench/qm_gs_scale" "$n" "$t" "${MARKERS:-50000}" "${K:-3}" "$tr")
    peak=$(awk -F'\t' '$1 == "peak_mb" {print $2}' <<<"$out")
    awk -F'\t' -v peak="$peak" -v tr="$tr" '$1 == "cold" || $1 == "warm" {
      printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", $2, $3, tr, $4, $1, $5, $6, $7, $8, $10, peak }' <<<"$out"
  done
  done
done
