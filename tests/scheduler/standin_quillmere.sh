#!/bin/bash
# Stands in for the quillmere binary in the Slurm test until the binary has
# --replicate, --outdir and merge. It accepts the same command lines as the
# recipes in examples/:
#   standin_quillmere.sh [--threads N] --replicate K --outdir DIR FILE
#       writes DIR/replicate.txt: "replicate K of FILE" plus where it ran;
#       exits 1 instead when K equals $QM_STANDIN_FAIL
#   standin_quillmere.sh merge DIR...
#       writes merged.txt: the replicate.txt of every DIR, in the order given
set -euo pipefail
if [ "${1:-}" = merge ]; then
  shift
  [ $# -gt 0 ] || { echo "standin: merge needs folders" >&2; exit 2; }
  for d in "$@"; do cat "$d/replicate.txt"; done > merged.txt.part
  mv merged.txt.part merged.txt
  exit 0
fi
k="" out="" file=""
while [ $# -gt 0 ]; do
  case $1 in
    --threads) shift 2 ;;
    --replicate) k=$2; shift 2 ;;
    --outdir) out=$2; shift 2 ;;
    -*) echo "standin: unknown option $1" >&2; exit 2 ;;
    *) file=$1; shift ;;
  esac
done
[ -n "$k" ] && [ -n "$out" ] && [ -f "$file" ] || { echo "standin: needs --replicate K --outdir DIR FILE" >&2; exit 2; }
if [ "$k" = "${QM_STANDIN_FAIL:-}" ]; then
  echo "standin: replicate $k fails as asked (QM_STANDIN_FAIL)" >&2
  exit 1
fi
mkdir -p "$out"
echo "replicate $k of $(basename "$file") on $(hostname -s) as job ${SLURM_ARRAY_JOB_ID:-?}_${SLURM_ARRAY_TASK_ID:-?}" > "$out/replicate.txt"
