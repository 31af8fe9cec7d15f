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
# repeatable one by one. The quillmere found on PATH is used unless QUILLMERE
# names another binary (sbatch passes the environment on to the tasks).
# Afterwards merge_slurm.sh combines the folders; submit_replicates.sh submits
# both with the right dependency.
#SBATCH --job-name=quillmere-rep
#SBATCH --array=1-100
#SBATCH --ntasks=1
#SBATCH --cpus-per-task=1
#SBATCH --output=slurm-%A_%a.out
set -euo pipefail
par=${1:?usage: sbatch replicates_slurm.sh PARAMETER_FILE}
k=${SLURM_ARRAY_TASK_ID:?this script runs as a Slurm array task (sbatch --array=...)}
"${QUILLMERE:-quillmere}" --threads "${SLURM_CPUS_PER_TASK:-1}" --replicate "$k" --outdir "rep-$k" "$par"
