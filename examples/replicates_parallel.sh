#!/bin/bash
# Runs N replicates of a Quillmere run with GNU parallel on this machine, one
# replicate per core, each in its own folder rep-K (K = 1..N), then merges
# them into replicates.csv and report.html.
#
#   bash replicates_parallel.sh [-n N] PARAMETER_FILE
#
# N defaults to 100. Replicate K takes the seed derived from the parameter
# file's seed and K, so any replicate can be rerun alone and gives the same
# folder. The program is QUILLMERE when set, else quillmere on the PATH, else
# the project's build folder; JOBS sets the number of simultaneous runs
# (default: every core).
# A failing replicate stops the launch of new ones (--halt soon,fail=1); its
# folder's log.txt says why, and the merge is not run.
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
n=100
if [ "${1:-}" = "-n" ]; then
  n=${2:?-n needs a number of replicates}
  shift 2
fi
par=${1:?usage: bash replicates_parallel.sh [-n N] PARAMETER_FILE}
[ -f "$par" ] || { echo "replicates_parallel.sh: parameter file $par not found" >&2; exit 1; }
q=$(find_quillmere "$(cd "$(dirname "$0")" && pwd)")

parallel --jobs "${JOBS:-$(nproc)}" --halt soon,fail=1 --joblog replicates.joblog \
  "$q" --threads 1 --replicate {} --outdir rep-{} "$par" ::: $(seq 1 "$n")
"$q" merge $(seq -f 'rep-%g' 1 "$n")

# Across several machines that share this folder (NFS or similar) and have
# quillmere on their PATH, let parallel log in with ssh and run the
# replicates there; ":" is this machine, "4/" caps a host at 4 runs:
#
# parallel --sshlogin :,4/node1,4/node2 --workdir "$PWD" --halt soon,fail=1 \
#   --joblog replicates.joblog \
#   quillmere --threads 1 --replicate {} --outdir rep-{} "$par" ::: $(seq 1 "$n")
# quillmere merge $(seq -f 'rep-%g' 1 "$n")
#
# Without a shared folder, add  --basefile "$par" --return rep-{} --cleanup
# so that parallel copies the parameter file out and the results back.
