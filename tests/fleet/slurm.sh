#!/usr/bin/env bash
# Runs fleet/slurm/bench.sbatch on a throwaway one-node Slurm cluster on this
# machine: a private munged, slurmctld and slurmd, all on 127.0.0.1, with every
# file under one temporary directory, no systemd. The job runs each short-pass
# program twice on the node, so its summary has runs to compare; a second job
# whose BENCH_BIN_DIR lacks the programs must fail and leave no results.
# Every daemon is stopped by its PID and the directory removed on any exit.
set -euo pipefail
source "$(dirname "$0")/common.sh"

[ "$(id -u)" -eq 0 ] || skip "a Slurm cluster needs root"
install_missing slurmctld slurmd slurm-client munge
step "install"

work=$(mktemp -d /tmp/fleet-slurm.XXXXXX)
node=$(hostname -s)
pids=()
export SLURM_CONF=$work/slurm.conf

# Waits up to $1 seconds for the command that follows to succeed, giving up
# at once if a daemon has died.
wait_for() {
  local deadline=$((SECONDS + $1)) pid
  shift
  until "$@"; do
    for pid in "${pids[@]}"; do
      kill -0 "$pid" 2>/dev/null || fail "a daemon (PID $pid) has died while waiting for: $*"
    done
    [ $SECONDS -lt $deadline ] || fail "gave up waiting for: $*"
    sleep 0.1
  done
}

stop() {
  local pid=$1 deadline=$((SECONDS + 10))
  kill "$pid" 2>/dev/null || return 0
  while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

no_step_sockets() { [ -z "$(find "$work/spool" -type s -print -quit)" ]; }

teardown() {
  local status=$?
  set +e
  if [ $status -ne 0 ] && [ $status -ne 77 ]; then
    for log in "$work"/*.log; do
      echo "--- last lines of $log" >&2
      tail -n 15 "$log" >&2
    done
  fi
  if [ ${#pids[@]} -ge 2 ]; then
    scancel --quiet --user=root
    # slurmstepd outlives srun for a moment; slurmd must see it go.
    local deadline=$((SECONDS + 10))
    until no_step_sockets || [ $SECONDS -ge $deadline ]; do sleep 0.1; done
  fi
  # slurmd, slurmctld, then munged: the reverse of their start.
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop "${pids[i]}"; done
  rm -rf "$work"
  step "teardown"
  exit $status
}
trap teardown EXIT

# munged refuses a key not owned by its user or readable by others, and
# directories writable by group or others.
mkdir -m 0755 "$work/munge"
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none
chmod 0400 "$work/munge/munge.key"
mkdir -p "$work/state" "$work/spool" "$work/submit"
chmod 0755 "$work" "$work/state" "$work/spool"

# The node's real layout, as slurmd sees it; the node answers on 127.0.0.1.
hardware=$(slurmd -C | head -n 1 | sed "s/^NodeName=[^ ]*//")
cat >"$SLURM_CONF" <<EOF
ClusterName=fleetci
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=16817
SlurmdPort=16818
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$work/munge/munge.socket
CredType=cred/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
JobAcctGatherType=jobacct_gather/none
MailProg=/bin/true
ReturnToService=2
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
NodeName=$node NodeAddr=127.0.0.1 $hardware State=UNKNOWN
PartitionName=fleetci Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF

munged --foreground --force --key-file="$work/munge/munge.key" --socket="$work/munge/munge.socket" \
  --pid-file="$work/munge/munged.pid" --log-file="$work/munged.log" --seed-file="$work/munge/munged.seed" 2>>"$work/munged.log" &
pids+=($!)
wait_for 10 test -S "$work/munge/munge.socket"
slurmctld -D -f "$SLURM_CONF" >>"$work/slurmctld.log" 2>&1 &
pids+=($!)
slurmd -D -N "$node" -f "$SLURM_CONF" >>"$work/slurmd.log" 2>&1 &
pids+=($!)
step "daemons up"

node_idle() { [ "$(sinfo -h -n "$node" -o %T 2>/dev/null)" = idle ]; }
wait_for 60 node_idle
step "node idle"
# An idle node can still fail at its first step: only a step proves it works.
[ "$(timeout 60 srun -N 1 hostname)" = "$(hostname)" ] || fail "srun hostname on the node"
step "first step (srun hostname)"

# Polls the job until it has ended; prints its state and exit code.
job_state=""
job_done() {
  local line
  line=$(scontrol show job -o "$1")
  job_state=$(grep -o 'JobState=[A-Z_]*' <<<"$line" | cut -d= -f2)
  job_exit=$(grep -o ' ExitCode=[0-9:]*' <<<"$line" | cut -d= -f2)
  case "$job_state" in PENDING | CONFIGURING | RUNNING | COMPLETING | SUSPENDED | "") return 1 ;; esac
}
submit() {
  (cd "$work/submit" && env "$@" sbatch --parsable --nodes=1 "$source_dir/fleet/slurm/bench.sbatch")
}

bin=$work/bin
make_bin_dir "$bin"
mkdir "$work/textfile"
job=$(submit BENCH_BIN_DIR="$bin" BENCH_RUNS="$work/runs" BENCH_ARGS=processors,memory BENCH_REPEAT=2 \
  BENCH_TEXTFILE_DIR="$work/textfile" PATH="$(dirname "$report"):$PATH")
wait_for 300 job_done "$job"
step "job (2 x both programs)"
output=$work/submit/slurm-$job.out
if [ "$job_state" != COMPLETED ] || [ "$job_exit" != 0:0 ]; then
  cat "$output" >&2
  fail "job $job ended $job_state with exit code $job_exit"
fi
check_runs "$work/runs/$node" 2 2
grep -q '^bench_processors: 2 run(s)' "$output" || fail "the job's summary did not compare the runs"
check_textfile "$work/textfile/bench_report.prom" "$node"

# A recipe pointed at a folder without the programs fails loudly.
mkdir "$work/empty"
job=$(submit BENCH_BIN_DIR="$work/empty" BENCH_RUNS="$work/broken" PATH="$(dirname "$report"):$PATH")
wait_for 60 job_done "$job"
[ "$job_state" = FAILED ] || fail "a job without its programs ended $job_state, not FAILED"
grep -q "no executable program $work/empty/bench_processors" "$work/submit/slurm-$job.out" ||
  fail "a job without its programs does not say which is missing"
no_results_below "$work/broken" "a job without its programs"
step "job without its programs"
echo "$name: passed"
