#!/bin/bash
# make_manifest.sh GOLDEN_DIR [SCENARIO_DIR] > golden.sha256
#
# Writes the manifest that tests/golden/golden_test.cpp checks a build
# against. GOLDEN_DIR holds one folder per scenario (result files *.out,
# log.txt, exit_code); SCENARIO_DIR (default: scenarios/ beside this script)
# holds NAME.par for each. Per scenario the manifest has the lines
#   NAME exit CODE
#   NAME out FILE SHA256        (one per expected result file, sorted)
#   NAME log SHA256             (log.txt after masking)
# The masking of log.txt:
#  - time-stamp lines            -> " <time stamp>"
#  - the run-time line           -> "         <run time>"
#  - banner lines 3-6 and 9-10, only when still 10 blanks and a |...| box
#    of 40 characters            -> "          <banner line>"
#  - the seed line when param.par asks for a clock seed (seed 0)
#                                -> "        With random seed  <clock>"
#  - for a run that stopped (exit code not 0) whose last message (the last
#    line that is not a time stamp) is not one of the fixed run-time
#    messages: that line -> "<error text>" (its wording is free).
set -u
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 GOLDEN_DIR [SCENARIO_DIR] > golden.sha256" >&2
  exit 2
fi
golden=$1
here=$(cd "$(dirname "$0")" && pwd)
scen=${2:-$here/scenarios}
export LC_ALL=C

fixed_msgs='No. sire larger than dam. Program cannot run.
Parameter Error in genotype_module! code 1
No QTL generated! Task failed!
tqtl litter than qtlp1
please choose normal distribution because of No Mutiple-Gamma for 2 or above traits with uncommon_QTL==0!
put new seed!
RANDOM GAMMA DISTRIBUTION parameter error!
Parameter error in select_module! code 1
Parameter Error in select_module! code 2
Sib mate cannot be avoided. Program cannot run.
Too many alleles at one locus: allele number above 127.'

hash() { sha256sum | awk '{print $1}'; }

for dir in "$golden"/*/; do
  name=$(basename "$dir")
  [ -f "$dir/exit_code" ] || continue
  par="$scen/$name.par"
  if [ ! -f "$par" ]; then echo "no parameter file for $name: $par" >&2; exit 1; fi
  rc=$(tr -d ' \n\r' < "$dir/exit_code")
  echo "$name exit $rc"
  (cd "$dir" && ls -1 -- *.out 2>/dev/null) | sort | while IFS= read -r f; do
    echo "$name out $f $(hash < "$dir/$f")"
  done
  seed=$(sed -n '16p' "$par" | tr ',' ' ' | awk '{print $3}')
  masked=$(mktemp)
  sed -E \
    -e 's#^ [0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}$# <time stamp>#' \
    -e 's#^         [0-9]{2}:[0-9]{2}:[0-9]{2} --> [0-9]{2}:[0-9]{2}:[0-9]{2}$#         <run time>#' \
    -e '3,6s#^          \|.{38}\|$#          <banner line>#' \
    -e '9,10s#^          \|.{38}\|$#          <banner line>#' \
    "$dir/log.txt" > "$masked"
  if [ "$seed" = "0" ]; then
    sed -i -E 's#^        With random seed  .{14}$#        With random seed  <clock>#' "$masked"
  fi
  if [ "$rc" != 0 ]; then
    last=$(grep -v '^ <time stamp>$' "$masked" | tail -n 1)
    isfixed=0
    while IFS= read -r m; do [ "$last" = "$m" ] && isfixed=1; done <<< "$fixed_msgs"
    if [ "$isfixed" = 0 ]; then
      awk -v m="$last" '{ if ($0 == m) last = NR; lines[NR] = $0 }
        END { for (i = 1; i <= NR; i++) print (i == last ? "<error text>" : lines[i]) }' \
        "$masked" > "$masked.2" && mv "$masked.2" "$masked"
    fi
  fi
  echo "$name log $(hash < "$masked")"
  rm -f "$masked"
done
