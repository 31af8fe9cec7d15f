#!/bin/bash
# Slurm job that merges the replicate folders rep-* of the submission folder
# into replicates.csv and report.html. Submit it to start only after every
# task of the replicate array ended with exit status 0:
#
#   sbatch --dependency=afterok:ARRAY_JOB_ID merge_slurm.sh
#
# (submit_replicates.sh does both submissions). The quillmere found on PATH
# is used unless QUILLMERE names another binary.
#SBATCH --job-name=quillmere-merge
#SBATCH --ntasks=1
#SBATCH --cpus-per-task=1
#SBATCH --output=slurm-%j-merge.out
set -euo pipefail
shopt -s nullglob
dirs=(rep-*)
if [ ${#dirs[@]} -eq 0 ]; then
  echo "merge_slurm.sh: no rep-* folders in $(pwd); submit it from the folder of the replicate array" >&2
  exit 1
fi
"${QUILLMERE:-quillmere}" merge "${dirs[@]}"
