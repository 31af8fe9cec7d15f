#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan in build-fuzz/ and
# runs each for the given seconds (default 60):
#  - fuzz_parameters, the parameter reader, on a seed corpus of the example
#    and test parameter files (build-fuzz/corpus);
#  - fuzz_scheme, the scheme-file (TOML) reader, on the example schemes and
#    the test parameter files converted to schemes (build-fuzz/scheme_corpus),
#    with a dictionary of the keys;
#  - fuzz_history, the history reader and the checks of what a history
#    means, on histories that this build makes from the target's parameter
#    files (build-fuzz/history_corpus); its mutator seals every mutant again.
# A crash or slow input is written as build-fuzz/crash-* or slow-unit-* and
# fails the run.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-60}
bash "$top/scripts/setup.sh"
cxx=$(command -v clang++-14 || command -v clang++ || true)
[ -n "$cxx" ] || { echo "fuzz: clang++ is missing (Debian package clang-14)" >&2; exit 1; }
cmake -S "$top" -B "$top/build-fuzz" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DQM_FUZZ=ON -DQM_SANITIZE=ON \
  -DQM_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$top/build-fuzz" fuzz_parameters fuzz_scheme fuzz_history quillmere
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

corpus="$top/build-fuzz/corpus"
mkdir -p "$corpus"
cp "$top"/examples/*.par "$top"/tests/data/scenarios/*.par "$top"/tests/fuzz/regressions/* "$corpus/" 2>/dev/null || true
cd "$top/build-fuzz"
./tests/fuzz/fuzz_parameters -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 "$corpus"

# The scheme target: the example schemes and every test file converted.
scorpus="$top/build-fuzz/scheme_corpus"
mkdir -p "$scorpus"
cp "$top"/examples/*.toml "$scorpus/"
for par in "$top"/tests/data/scenarios/*.par; do
  "$top/build-fuzz/quillmere" convert "$par" -o "$scorpus/$(basename "$par" .par).toml" 2>/dev/null || true
done
dict="$top/build-fuzz/scheme.dict"
{
  for w in title seed genome traits qtl stage chromosomes markers_per_chromosome map length_morgan \
    marker_mutation_rate candidate_qtl_mutation_rate count heritability genetic_correlations \
    residual_correlations threshold_trait incidence uncommon_qtl distribution variance variance_trait1 \
    shape rate sires dams animals generations mutation mating selection even random none normal gamma \
    nested random_avoid_sibs tbv phenotype pedigree_blup genomic_blup true false '[[stage]]' '[genome]' \
    '[traits]' '[qtl]' ' = ' '[[' ']]' '1e-3' '0.5' index '[stage.index]' criterion weights recorded_on both \
    females males '[chip]' markers min_maf '[stage.contributions]' method ocs delta_f relationship genomic \
    pedigree max_offspring '[stage.mating_rules]' avoid full_sibs half_sibs parent_offspring \
    max_matings_per_sire '[stage.ages]' sire_generations dam_generations min_coancestry dominance mean sd \
    '{' '}' '[[line]]' name lines cross within sire_line dam_line; do
    printf '"%s"\n' "$w"
  done
} > "$dict"
cd "$top/build-fuzz"
./tests/fuzz/fuzz_scheme -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
  -dict="$dict" "$scorpus"

# The seeds of the history target: one history of each of its parameter files.
hcorpus="$top/build-fuzz/history_corpus"
mkdir -p "$hcorpus"
seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
for par in "$top"/tests/data/history/random_map.par "$top"/tests/fuzz/history/*.par; do
  name=$(basename "$par" .par)
  (cd "$seeds" && "$top/build-fuzz/quillmere" --save-history "$hcorpus/seed-$name.qmh" --outdir "run-$name" "$par" >/dev/null)
done
./tests/fuzz/fuzz_history -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
  "$hcorpus"
