#!/bin/bash
# Runs the Slurm recipes of examples/ on a real one-node Slurm cluster made up
# for the test on this machine, and checks what they leave behind.
#
#   bash tests/scheduler/slurm_test.sh
#
# It needs root and the packages slurm-wlm and munge (scripts/setup.sh
# installs them); it installs nothing itself. In a temporary folder it writes
# a munge key and a slurm.conf (this host as the only node, its cores as the
# node's CPUs, no accounting, no cgroups, ports far from the standard ones),
# starts munged, slurmctld and slurmd in the foreground in the background,
# waits until the node is idle, submits the replicate array and the dependent
# merge job with examples/submit_replicates.sh, waits for both (bounded) and
# checks their states and the merged output. Every daemon it started is
# stopped on exit, whatever happened. If Slurm cannot be started the test
# FAILS with the reason; it never passes without running the jobs.
#
# What runs is set by the environment:
#   QM_SLURM_BINARY  the binary the recipes call as quillmere
#                    (default: tests/scheduler/standin_quillmere.sh)
#   QM_SLURM_PAR     the parameter file given to the replicates
#                    (default: examples/quickstart.par)
#   QM_SLURM_TASKS   replicates in the array (default 3)
#   QM_SLURM_CHECK   a shell command run in the job folder after the jobs;
#                    it must exit 0 (default: the stand-in's merged.txt holds
#                    one line per replicate, 1..N in order)
#   QM_SLURM_WAIT    seconds the jobs may take (default 300)
# With the real binary, for example:
#   QM_SLURM_BINARY=$PWD/build/quillmere \
#   QM_SLURM_CHECK='test -s replicates.csv && test -s report.html' \
#   bash tests/scheduler/slurm_test.sh
set -uo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
binary=${QM_SLURM_BINARY:-$top/tests/scheduler/standin_quillmere.sh}
par=${QM_SLURM_PAR:-$top/examples/quickstart.par}
ntasks=${QM_SLURM_TASKS:-3}
wait_jobs=${QM_SLURM_WAIT:-300}
default_check='
  n=$(wc -l < merged.txt) && [ "$n" -eq '"$ntasks"' ] &&
  for k in $(seq 1 '"$ntasks"'); do
    [ "$(sed -n "${k}p" merged.txt | cut -d" " -f2)" = "$k" ] || exit 1
    [ -s "rep-$k/replicate.txt" ] || exit 1
  done'
check=${QM_SLURM_CHECK:-$default_check}

say() { echo "slurm_test: $*"; }
fail() {
  echo "slurm_test: FAIL: $*" >&2
  exit 1
}

# ---- prerequisites ---------------------------------------------------------
[ "$(id -u)" -eq 0 ] || fail "must run as root (slurmd runs jobs as their user and the test cluster runs as root)"
for c in munged slurmctld slurmd sbatch sinfo squeue scontrol scancel; do
  command -v "$c" >/dev/null 2>&1 || fail "$c not found: install slurm-wlm and munge (bash scripts/setup.sh)"
done
[ -x "$binary" ] || fail "binary $binary is not executable"
[ -f "$par" ] || fail "parameter file $par not found"

tmp=$(mktemp -d /tmp/qm-slurm.XXXXXX) || fail "cannot create a temporary folder"
chmod 755 "$tmp"
pids=()
jobs_submitted=()
status=1

cleanup() {
  local rc=$?
  if [ ${#jobs_submitted[@]} -gt 0 ] && [ -f "$tmp/slurm.conf" ]; then
    SLURM_CONF=$tmp/slurm.conf scancel "${jobs_submitted[@]}" >/dev/null 2>&1
    # Let slurmd end the job steps it started before it is stopped.
    for _ in $(seq 1 20); do
      [ -z "$(SLURM_CONF=$tmp/slurm.conf squeue -h -o %i 2>/dev/null)" ] && break
      sleep 0.5
    done
  fi
  # Stop the daemons in the reverse order of their start, by process id.
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[i]}" 2>/dev/null
  done
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    for _ in $(seq 1 50); do
      kill -0 "${pids[i]}" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "${pids[i]}" 2>/dev/null
    wait "${pids[i]}" 2>/dev/null
  done
  if [ $rc -ne 0 ] || [ $status -ne 0 ]; then
    for f in slurmctld.log slurmd.log munged.log; do
      [ -s "$tmp/$f" ] && { echo "---- last lines of $f"; tail -n 15 "$tmp/$f"; } >&2
    done
    for f in "$tmp"/work/slurm-*.out; do
      [ -s "$f" ] && { echo "---- $(basename "$f")"; cat "$f"; } >&2
    done
  fi
  rm -rf "$tmp"
  exit $rc
}
trap cleanup EXIT
trap 'exit 1' INT TERM

host=$(hostname -s)
ncpu=$(nproc)
# Ports in an unusual range, moved by the process id so that two runs do not meet.
base=$((26000 + ($$ % 1000) * 2))
ctld_port=$base
slurmd_port=$((base + 1))
mkdir -p "$tmp/munge" "$tmp/state" "$tmp/spool" "$tmp/work"
chmod 700 "$tmp/munge"

# ---- munge -----------------------------------------------------------------
head -c 1024 /dev/urandom > "$tmp/munge/munge.key"
chmod 400 "$tmp/munge/munge.key"
sock=$tmp/munge/munge.socket
munged -F --force --key-file="$tmp/munge/munge.key" --socket="$sock" \
  --pid-file="$tmp/munge/munged.pid" --log-file="$tmp/munged.log" \
  --seed-file="$tmp/munge/munged.seed" >"$tmp/munged.out" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do [ -S "$sock" ] && break; sleep 0.1; done
[ -S "$sock" ] || fail "munged did not start: $(cat "$tmp/munged.out" "$tmp/munged.log" 2>/dev/null | tail -n 5)"
say "munged running (pid ${pids[0]})"

# ---- slurm.conf ------------------------------------------------------------
: > "$tmp/plugstack.conf"
cat > "$tmp/slurm.conf" <<EOF
ClusterName=qmtest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$sock
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldLogFile=$tmp/slurmctld.log
SlurmdLogFile=$tmp/slurmd.log
SlurmctldDebug=info
SlurmdDebug=info
PlugStackConfig=$tmp/plugstack.conf
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/backfill
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/none
MpiDefault=none
ReturnToService=2
MinJobAge=600
NodeName=$host NodeAddr=127.0.0.1 CPUs=$ncpu State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF=$tmp/slurm.conf

# ---- slurmctld and slurmd --------------------------------------------------
slurmctld -D -i -f "$SLURM_CONF" >"$tmp/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" -N "$host" >"$tmp/slurmd.out" 2>&1 &
pids+=($!)
say "slurmctld (pid ${pids[1]}) and slurmd (pid ${pids[2]}) started, ports $ctld_port/$slurmd_port, node $host with $ncpu CPUs"

state=""
for _ in $(seq 1 120); do
  for i in 1 2; do
    kill -0 "${pids[i]}" 2>/dev/null ||
      fail "$( [ $i -eq 1 ] && echo slurmctld || echo slurmd) stopped: $(tail -n 5 "$tmp/$( [ $i -eq 1 ] && echo slurmctld || echo slurmd).out" "$tmp/$( [ $i -eq 1 ] && echo slurmctld || echo slurmd).log" 2>/dev/null)"
  done
  state=$(sinfo -h -N -n "$host" -o %T 2>/dev/null | head -n 1)
  [ "$state" = idle ] && break
  sleep 0.5
done
[ "$state" = idle ] || fail "node $host did not become idle within 60 s (sinfo says '${state:-nothing}')"
say "sinfo: $(sinfo -h -N -o '%N %P %T %c CPUs')"

# ---- the jobs --------------------------------------------------------------
cd "$tmp/work" || fail "no work folder"
cp "$par" ./run.par
out=$(QUILLMERE=$binary bash "$top/examples/submit_replicates.sh" -n "$ntasks" run.par 2>&1) ||
  fail "submit_replicates.sh failed: $out"
echo "$out" | sed 's/^/slurm_test: submit: /'
array=$(echo "$out" | awk '/^replicates:/ {print $2}')
merge=$(echo "$out" | awk '/^merge:/ {print $2}')
[ -n "$array" ] && [ -n "$merge" ] || fail "no job ids in the output of submit_replicates.sh"
jobs_submitted=("$array" "$merge")

deadline=$((SECONDS + wait_jobs))
while [ -n "$(squeue -h -j "$array,$merge" -o %i 2>/dev/null)" ]; do
  [ $SECONDS -lt $deadline ] || fail "jobs still queued or running after $wait_jobs s: $(squeue -j "$array,$merge" 2>&1)"
  sleep 1
done

bad=0
while read -r id st code; do
  say "job $id: $st exit $code"
  [ "$st" = COMPLETED ] && [ "$code" = 0:0 ] || bad=1
done < <({ scontrol -o show job "$array"; scontrol -o show job "$merge"; } 2>/dev/null |
  awk '{ id = ""; for (i = 1; i <= NF; i++) { split($i, kv, "=");
           if (kv[1] == "ArrayJobId") id = kv[2];
           else if (kv[1] == "JobId" && id == "") id = kv[2];
           else if (kv[1] == "ArrayTaskId") id = id "_" kv[2];
           else if (kv[1] == "JobState") st = kv[2];
           else if (kv[1] == "ExitCode") code = kv[2] }
         print id, st, code }')
[ "$(scontrol -o show job "$merge" 2>/dev/null | wc -l)" -eq 1 ] || fail "slurmctld does not know the merge job $merge any more"
ntask_done=$(scontrol -o show job "$array" 2>/dev/null | grep -c 'JobState=COMPLETED')
[ "$ntask_done" -eq "$ntasks" ] || fail "$ntask_done of $ntasks array tasks completed"
[ $bad -eq 0 ] || fail "a job did not complete with exit 0"
# The merge may start only once every replicate has ended.
field() { tr ' ' '\n' | sed -n "s/^$1=//p"; }
last_end=$(scontrol -o show job "$array" | field EndTime | sort | tail -n 1)
merge_start=$(scontrol -o show job "$merge" | field StartTime)
say "last replicate ended $last_end, merge started $merge_start"
[[ ! "$merge_start" < "$last_end" ]] || fail "the merge job started before the last replicate ended"

say "folder after the jobs: $(ls | tr '\n' ' ')"
( eval "$check" ) || fail "the check of the merged output failed: $check"
[ -f merged.txt ] && sed 's/^/slurm_test: merged.txt: /' merged.txt

# With the stand-in, one failing replicate must hold the merge back for good.
if [ -z "${QM_SLURM_BINARY:-}" ]; then
  mkdir "$tmp/work-fail" && cd "$tmp/work-fail" || fail "no second work folder"
  cp "$par" ./run.par
  out=$(QM_STANDIN_FAIL=2 QUILLMERE=$binary bash "$top/examples/submit_replicates.sh" -n "$ntasks" run.par 2>&1) ||
    fail "submit_replicates.sh failed: $out"
  array=$(echo "$out" | awk '/^replicates:/ {print $2}')
  merge=$(echo "$out" | awk '/^merge:/ {print $2}')
  jobs_submitted+=("$array" "$merge")
  deadline=$((SECONDS + wait_jobs))
  while [ -n "$(squeue -h -j "$array" -o %i 2>/dev/null)" ]; do
    [ $SECONDS -lt $deadline ] || fail "replicates of the failure case still running after $wait_jobs s"
    sleep 1
  done
  # slurmctld re-examines dependencies on its scheduling passes.
  for _ in $(seq 1 60); do
    reason=$(scontrol -o show job "$merge" | field Reason)
    mstate=$(scontrol -o show job "$merge" | field JobState)
    [ "$reason" = DependencyNeverSatisfied ] || [ "$mstate" != PENDING ] && break
    sleep 1
  done
  say "with replicate 2 failing: merge job $merge is $mstate ($reason)"
  [ "$mstate" = PENDING ] && [ "$reason" = DependencyNeverSatisfied ] ||
    fail "the merge job was not held back by the failed replicate"
  [ ! -e merged.txt ] || fail "the merge ran although a replicate failed"
  scancel "$merge"
fi

status=0
say "PASS: $ntasks replicates and the dependent merge ran on Slurm"
