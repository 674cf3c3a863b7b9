#!/usr/bin/env bash
# Runs bench_processors and bench_memory on every node of a Slurm allocation,
# one whole node per task, then compares the nodes with bench_report.
#
# Submit it from a directory on a file system that every node shares, after
# installing the same ombrelune-bench package on every node:
#
#   sbatch --nodes=8 bench.sbatch
#   BENCH_RUNS=/shared/bench/runs BENCH_ARGS=memory sbatch --nodes=8 bench.sbatch
#
# Each node writes one directory per program run, under
# BENCH_RUNS/<short host name>/<UTC time>-<program>/, holding the results file
# and the console output (console.txt). The programs run with standard input
# at end of file, so they end without waiting for Enter. The batch step then
# prints `bench_report compare BENCH_RUNS --baseline median` into the job's
# output file; `bench_report chart BENCH_RUNS -o fleet.html` draws it later.
#
# Settings, from the environment at submission (sbatch passes it on):
#   BENCH_BIN_DIR  where the programs are on every node (default /usr/bin,
#                  where the package puts them)
#   BENCH_RUNS     output directory, on the shared file system (default runs
#                  in the submission directory; a relative path is taken from
#                  there). Runs accumulate: compare covers every run in it.
#   BENCH_ARGS     the programs to run, comma-separated: processors, memory or
#                  processors,memory (the default); also written as
#                  --programs LIST.
#   BENCH_REPEAT   runs of each program on each node (default 1, or the
#                  default of bench_report run, below). On a single node, use
#                  2 or more: compare needs two runs of a program, and a
#                  summary with nothing to compare fails.
#   BENCH_TEXTFILE_DIR  node_exporter's textfile directory on every node
#                  (--collector.textfile.directory; default none): after its
#                  runs each node writes there bench_report.prom, the
#                  `bench_report export --format openmetrics` of its latest
#                  run, renamed into place so a scrape never reads half of it.
#                  Needs bench_report in BENCH_BIN_DIR or on the PATH.
#
# When BENCH_BIN_DIR also holds a bench_report that has the `run` subcommand,
# each node calls `bench_report run --out BENCH_RUNS --bin-dir BENCH_BIN_DIR
# --programs LIST [--runs BENCH_REPEAT]` instead of the programs, which writes
# into the same BENCH_RUNS/<short host name>/ (one directory per run, named by
# its start), and any further words of BENCH_ARGS go to it as they are
# (--until-stable 3, for example); the settings above keep their meaning.
# Without it, words other than the program list are refused.
#
# The job fails (non-zero exit, state FAILED) when a program is missing or not
# executable on a node, when a run fails, or when the summary fails; the
# summary still runs over whatever the other nodes wrote.
#SBATCH --job-name=bench
#SBATCH --ntasks-per-node=1
#SBATCH --exclusive
set -euo pipefail

export BENCH_BIN_DIR=${BENCH_BIN_DIR:-/usr/bin}
BENCH_RUNS=${BENCH_RUNS:-runs}
case "$BENCH_RUNS" in
  /*) ;;
  *) BENCH_RUNS=${SLURM_SUBMIT_DIR:-$PWD}/$BENCH_RUNS ;;
esac
export BENCH_RUNS
export BENCH_ARGS=${BENCH_ARGS:-processors,memory}
export BENCH_REPEAT=${BENCH_REPEAT:-}
export BENCH_TEXTFILE_DIR=${BENCH_TEXTFILE_DIR:-}

# The part every node runs, as one task that owns the whole node.
read -r -d '' node_step <<'NODE' || true
set -euo pipefail
host=$(hostname -s)
fail() { echo "bench.sbatch: $host: $1" >&2; exit 1; }

read -r -a words <<<"$BENCH_ARGS"
list=processors,memory
case "${words[0]:-}" in
  --programs) list=${words[1]:-}; words=("${words[@]:2}") ;;
  --programs=*) list=${words[0]#--programs=}; words=("${words[@]:1}") ;;
  -*) ;;
  ?*) list=${words[0]}; words=("${words[@]:1}") ;;
esac
IFS=, read -r -a programs <<<"$list"
[ ${#programs[@]} -gt 0 ] || fail "BENCH_ARGS names no program"
for p in "${programs[@]}"; do
  case "$p" in
    processors | memory) ;;
    *) fail "BENCH_ARGS: unknown program \"$p\" (processors, memory)" ;;
  esac
done
[[ "$BENCH_REPEAT" =~ ^([1-9][0-9]*)?$ ]] || fail "BENCH_REPEAT must be a whole number of 1 or more"

out=$BENCH_RUNS/$host
report=$BENCH_BIN_DIR/bench_report
# The node's latest figures for node_exporter's textfile collector.
metrics() {
  [ -n "$BENCH_TEXTFILE_DIR" ] || return 0
  local r=$report
  [ -x "$r" ] || r=$(command -v bench_report) || fail "BENCH_TEXTFILE_DIR: no bench_report in $BENCH_BIN_DIR or on the PATH"
  "$r" export "$out" --label "$host" --format openmetrics -o "$BENCH_TEXTFILE_DIR/bench_report.prom" ||
    fail "cannot write $BENCH_TEXTFILE_DIR/bench_report.prom"
}
if [ -x "$report" ] && "$report" run --help >/dev/null 2>&1; then
  repeat=()
  [ -z "$BENCH_REPEAT" ] || repeat=(--runs "$BENCH_REPEAT")
  "$report" run --out "$BENCH_RUNS" --bin-dir "$BENCH_BIN_DIR" --programs "$list" \
    "${repeat[@]}" "${words[@]}" </dev/null
  metrics
  exit 0
fi
[ ${#words[@]} -eq 0 ] || fail "BENCH_ARGS: \"${words[*]}\" needs bench_report run, not found in $BENCH_BIN_DIR"

for p in "${programs[@]}"; do
  [ -x "$BENCH_BIN_DIR/bench_$p" ] || fail "no executable program $BENCH_BIN_DIR/bench_$p"
done
mkdir -p "$out"
for ((i = 1; i <= ${BENCH_REPEAT:-1}; i++)); do
  for p in "${programs[@]}"; do
    # One directory per run, named by its start; a second run within the same
    # second gets a number.
    name=$(date -u +%Y%m%dT%H%M%SZ)-$p
    dir=$out/$name
    for ((n = 2; ; n++)); do
      mkdir "$dir" 2>/dev/null && break
      [ -e "$dir" ] || fail "cannot create $dir"
      dir=$out/$name-$n
    done
    status=0
    (cd "$dir" && exec "$BENCH_BIN_DIR/bench_$p" </dev/null >console.txt) || status=$?
    [ "$status" -eq 0 ] || fail "bench_$p ended with status $status; its output is in $dir/console.txt"
  done
done
metrics
NODE

# The whole node for the task: every processor, no binding to one of them.
node_status=0
srun --ntasks-per-node=1 --whole --cpu-bind=none bash -c "$node_step" bench-node || node_status=$?

report=$BENCH_BIN_DIR/bench_report
[ -x "$report" ] || report=bench_report
summary_status=0
if [ -d "$BENCH_RUNS" ]; then
  "$report" compare "$BENCH_RUNS" --baseline median || summary_status=$?
fi

if [ "$node_status" -ne 0 ]; then
  echo "bench.sbatch: the benchmark step failed on at least one node (status $node_status)" >&2
  exit "$node_status"
fi
exit "$summary_status"
