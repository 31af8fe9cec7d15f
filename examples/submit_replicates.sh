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
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
n=100
if [ "${1:-}" = "-n" ]; then
  n=${2:?-n needs a number of replicates}
  shift 2
fi
par=${1:?usage: bash submit_replicates.sh [-n N] PARAMETER_FILE}
[ -f "$par" ] || { echo "submit_replicates.sh: parameter file $par not found" >&2; exit 1; }
case $n in ''|*[!0-9]*|0) echo "submit_replicates.sh: -n needs a positive whole number, not '$n'" >&2; exit 1 ;; esac
# shellcheck disable=SC2086
array=$(sbatch --parsable ${SBATCH_EXTRA:-} --array="1-$n" "$here/replicates_slurm.sh" "$par")
array=${array%%;*}  # --parsable may add ";cluster"
# shellcheck disable=SC2086
merge=$(sbatch --parsable ${SBATCH_EXTRA:-} --dependency="afterok:$array" "$here/merge_slurm.sh")
merge=${merge%%;*}
echo "replicates: $array"
echo "merge: $merge"
