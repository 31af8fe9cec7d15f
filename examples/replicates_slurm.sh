#!/bin/bash
# Slurm job array: one replicate of a Quillmere run per array task, each in
# its own folder rep-K (K = the array index), all in the folder the job was
# submitted from.
#
#   sbatch replicates_slurm.sh myrun.par              # replicates 1..100
#   sbatch --array=1-20 replicates_slurm.sh myrun.par # an --array on the command line wins
#
# Replicate K takes the seed derived from the parameter file's seed and K
# (replicate 0 would be the run with the file's own seed), so the folders are
# repeatable one by one. The program is QUILLMERE when set (sbatch passes the
# environment on to the tasks), else quillmere on the PATH, else the build
# folder of the project this script belongs to.
# Afterwards merge_slurm.sh combines the folders; submit_replicates.sh submits
# both with the right dependency.
#SBATCH --job-name=quillmere-rep
#SBATCH --array=1-100
#SBATCH --ntasks=1
#SBATCH --cpus-per-task=1
#SBATCH --output=slurm-%A_%a.out
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
par=${1:?usage: sbatch replicates_slurm.sh PARAMETER_FILE}
k=${SLURM_ARRAY_TASK_ID:?this script runs as a Slurm array task (sbatch --array=...)}
q=$(find_quillmere "$here")
"$q" --threads "${SLURM_CPUS_PER_TASK:-1}" --replicate "$k" --outdir "rep-$k" "$par"
