#!/bin/bash
# Slurm job that merges the replicate folders rep-* of the submission folder
# into replicates.csv and report.html. Submit it to start only after every
# task of the replicate array ended with exit status 0:
#
#   sbatch --dependency=afterok:ARRAY_JOB_ID merge_slurm.sh
#
# (submit_replicates.sh does both submissions). The program is QUILLMERE when
# set, else quillmere on the PATH, else the build folder of the project this
# script belongs to.
#SBATCH --job-name=quillmere-merge
#SBATCH --ntasks=1
#SBATCH --cpus-per-task=1
#SBATCH --output=slurm-%j-merge.out
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
# Slurm runs a copy of this script; the original's folder is in the job's record.
here=$(cd "$(dirname "$0")" && pwd)
if [ -n "${SLURM_JOB_ID:-}" ] && command -v scontrol >/dev/null 2>&1; then
  cmd=$(scontrol show job "$SLURM_JOB_ID" -o 2>/dev/null | grep -o 'Command=[^ ]*' | head -n 1 | cut -d= -f2- || true)
  if [ -n "$cmd" ] && [ -f "$cmd" ]; then here=$(cd "$(dirname "$cmd")" && pwd); fi
fi
shopt -s nullglob
dirs=(rep-*)
if [ ${#dirs[@]} -eq 0 ]; then
  echo "merge_slurm.sh: no rep-* folders in $(pwd); submit it from the folder of the replicate array" >&2
  exit 1
fi
q=$(find_quillmere "$here")
"$q" merge "${dirs[@]}"
