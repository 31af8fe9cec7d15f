#!/bin/bash
# Submits N replicates of a Quillmere run as a Slurm job array and a merge job
# that starts when every replicate has ended with exit status 0.
#
#   bash submit_replicates.sh [-n N] PARAMETER_FILE
#
# Run it from the folder that is to hold rep-1 .. rep-N, replicates.csv and
# report.html; N defaults to 100. Prints the two job ids as
#   replicates: JOBID
#   merge: JOBID
# Extra sbatch options (a partition, an account, a time limit) can be given in
# SBATCH_EXTRA, e.g. SBATCH_EXTRA="--partition=long --time=2:00:00".
# The program is found here (QUILLMERE when set, else quillmere on the PATH,
# else the project's build folder) and handed to the jobs as QUILLMERE.
set -euo pipefail
# The program: QUILLMERE when set, else quillmere on the PATH (scripts/install.sh
# puts it there), else the build folder of the project this script belongs to.
find_quillmere() {
  local here=$1 b
  if [ -n "${QUILLMERE:-}" ]; then printf '%s\n' "$QUILLMERE"; return 0; fi
  if command -v quillmere >/dev/null 2>&1; then command -v quillmere; return 0; fi
  for b in "$here/../build" "$here/../build-install"; do
    if [ -x "$b/quillmere" ]; then printf '%s/quillmere\n' "$(cd "$b" && pwd)"; return 0; fi
  done
  echo "$(basename "$0"): quillmere is neither on the PATH nor built in $here/../build:" \
    "install it (bash scripts/install.sh) or build it (bash scripts/test.sh)" >&2
  return 1
}
here=$(cd "$(dirname "$0")" && pwd)
n=100
if [ "${1:-}" = "-n" ]; then
  n=${2:?-n needs a number of replicates}
  shift 2
fi
par=${1:?usage: bash submit_replicates.sh [-n N] PARAMETER_FILE}
[ -f "$par" ] || { echo "submit_replicates.sh: parameter file $par not found" >&2; exit 1; }
QUILLMERE=$(find_quillmere "$here")
export QUILLMERE
case $n in ''|*[!0-9]*|0) echo "submit_replicates.sh: -n needs a positive whole number, not '$n'" >&2; exit 1 ;; esac
# shellcheck disable=SC2086
array=$(sbatch --parsable ${SBATCH_EXTRA:-} --array="1-$n" "$here/replicates_slurm.sh" "$par")
array=${array%%;*}  # --parsable may add ";cluster"
# shellcheck disable=SC2086
merge=$(sbatch --parsable ${SBATCH_EXTRA:-} --dependency="afterok:$array" "$here/merge_slurm.sh")
merge=${merge%%;*}
echo "replicates: $array"
echo "merge: $merge"
