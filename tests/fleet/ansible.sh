#!/usr/bin/env bash
# Runs fleet/ansible/bench.yml against this machine with a local connection:
# the short-pass bench_memory twice, fetched into a runs directory that
# bench_report then reads; and again with a bench_bin_dir that lacks the
# programs, which must fail and fetch nothing. Neither run may leave its
# scratch directory behind.
set -euo pipefail
source "$(dirname "$0")/common.sh"

if ! command -v ansible-playbook >/dev/null; then
  [ "$(id -u)" -eq 0 ] || skip "ansible-core is not installed, and installing it needs root"
  install_missing ansible-core
fi
step "install"

work=$(mktemp -d /tmp/fleet-ansible.XXXXXX)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C.UTF-8 ANSIBLE_NOCOLOR=1 ANSIBLE_LOCAL_TEMP=$work/ansible-local TMPDIR=$work
playbook() {
  ansible-playbook -i localhost, -c local -e ansible_python_interpreter=/usr/bin/python3 \
    "$source_dir/fleet/ansible/bench.yml" "$@" >"$work/play.log" 2>&1
}
no_scratch_left() {
  [ -z "$(find "$work" -maxdepth 1 -name 'bench-scratch.*' -print -quit)" ] || fail "$1 left its scratch directory"
}

make_bin_dir "$work/bin"
status=0
mkdir "$work/textfile"
playbook -e bench_bin_dir="$work/bin" -e runs_dir="$work/runs" -e bench_args=memory -e bench_repeat=2 \
  -e textfile_dir="$work/textfile" || status=$?
[ $status -eq 0 ] || { cat "$work/play.log" >&2; fail "ansible-playbook exited with status $status"; }
step "playbook (2 x bench_memory)"
check_runs "$work/runs/localhost" 0 2
check_textfile "$work/textfile/bench_report.prom" localhost
no_scratch_left "the playbook"

# A playbook pointed at a folder without the programs fails loudly.
mkdir "$work/empty"
status=0
playbook -e bench_bin_dir="$work/empty" -e runs_dir="$work/broken" || status=$?
[ $status -ne 0 ] || fail "the playbook passed without its programs"
grep -q "no executable program $work/empty/bench_processors" "$work/play.log" ||
  { cat "$work/play.log" >&2; fail "the playbook without its programs does not say which is missing"; }
no_results_below "$work/broken" "the playbook without its programs"
no_scratch_left "the failed playbook"
step "playbook without programs"
echo "$name: passed"
