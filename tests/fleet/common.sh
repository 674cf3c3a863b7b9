# Shared by the fleet recipe tests: arguments, timing, installing, the
# short-pass programs under their real names, and the checks on what a recipe
# wrote. Sourced, not run.
#
# Arguments of every test: SOURCE_DIR BENCH_REPORT QUICK_PROCESSORS QUICK_MEMORY

[ $# -eq 4 ] || { echo "usage: $0 SOURCE_DIR BENCH_REPORT QUICK_PROCESSORS QUICK_MEMORY" >&2; exit 2; }
source_dir=$1
report=$2
quick_processors=$3
quick_memory=$4
name=$(basename "$0" .sh)

# CTest's SKIP_RETURN_CODE.
skip() {
  echo "$name: skipped: $1"
  exit 77
}

# Prints how long the step that ends now took, and starts the next one.
step_start=${EPOCHREALTIME/[.,]/}
step() {
  local now=${EPOCHREALTIME/[.,]/} us
  us=$((now - step_start))
  printf '%s: %-30s %4d.%d s\n' "$name" "$1" $((us / 1000000)) $((us % 1000000 / 100000))
  step_start=$now
}

fail() {
  echo "$name: FAILED: $1" >&2
  exit 1
}

# Installs the packages that are not installed yet.
install_missing() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "$name: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}" >/dev/null ||
    { apt-get -o DPkg::Lock::Timeout=600 update >/dev/null &&
      apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}" >/dev/null; }
}

# A folder in which the short-pass builds stand under the installed names.
make_bin_dir() {
  mkdir -p "$1"
  ln -s "$quick_processors" "$1/bench_processors"
  ln -s "$quick_memory" "$1/bench_memory"
  # With bench_report beside them, the recipes hand each node's runs to
  # `bench_report run`, as on a machine with the package installed.
  ln -s "$report" "$1/bench_report"
}

# check_runs DIR PROCESSOR_RUNS MEMORY_RUNS: DIR holds exactly that many runs
# of each program, one directory a run with its results file and its console
# output, every one complete and on every processor; bench_report lists them
# and compares them, one table per program present.
check_runs() {
  local dir=$1 want_processors=$2 want_memory=$3 listing consoles=() table
  local threads="$(nproc) thread(s)"
  # One line a run, as list prints it where the width allows.
  listing=$(COLUMNS=1000 "$report" list "$dir") || fail "bench_report list $dir exited with status $?"
  echo "$listing"
  [ "$(grep -c ' bench_processors ' <<<"$listing")" -eq "$want_processors" ] ||
    fail "expected $want_processors bench_processors run(s) in $dir"
  [ "$(grep -c ' bench_memory ' <<<"$listing")" -eq "$want_memory" ] ||
    fail "expected $want_memory bench_memory run(s) in $dir"
  ! grep -v "$threads  complete" <<<"$listing" || fail "a run above is partial or not on $threads"

  mapfile -d '' consoles < <(find "$dir" -name console.txt -print0)
  [ ${#consoles[@]} -eq $((want_processors + want_memory)) ] ||
    fail "expected one console.txt per run in $dir, found ${#consoles[@]}"
  listing=$(COLUMNS=1000 "$report" list "${consoles[@]}") || fail "bench_report cannot read every console.txt"
  ! grep -v "$threads  complete" <<<"$listing" || fail "a console.txt above is partial"

  table=$("$report" compare "$dir" --baseline median) || fail "bench_report compare $dir exited with status $?"
  local program count
  for program in processors memory; do
    count=want_$program
    if [ "${!count}" -gt 0 ]; then
      grep -q "^bench_$program: ${!count} run(s)" <<<"$table" || fail "compare has no table of ${!count} bench_$program runs"
    else
      ! grep -q "^bench_$program:" <<<"$table" || fail "compare shows bench_$program, which was not asked for"
    fi
  done
}

# A results file anywhere below DIR.
no_results_below() {
  [ ! -e "$1" ] || [ -z "$(find "$1" -name 'results_*' -print -quit)" ] || fail "$2 left results in $1"
}

# The textfile a recipe wrote for node_exporter: samples of the label's rates,
# no leftover temporary file beside it, and (where promtool is installed) an
# exposition it accepts.
check_textfile() {
  local file=$1 label=$2
  [ -f "$file" ] || fail "no $file written"
  grep -q "^bench_report_rate{host=\"[^\"]*\",label=\"$label\"," "$file" || fail "$file has no rate of $label"
  [ -z "$(find "$(dirname "$file")" -name '.bench_report.prom.*' -print -quit)" ] || fail "a temporary file is left beside $file"
  if command -v promtool >/dev/null; then
    promtool check metrics <"$file" || fail "promtool refuses $file"
  fi
}
