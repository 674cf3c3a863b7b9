#!/usr/bin/env bash
# Compares the multi-thread integer loop of a build with the minimal loop
# beside this script (same operations, same values, no range handling).
#   compare.sh [BUILD_DIR] [counts|rates|same]   (default: build, counts)
# counts: instructions per iteration of each thread, under callgrind (exact,
#         unaffected by other load); rates: best rates of many short passes,
#         the two loops in turn; same: both loops leave the same cell values.
# Both loops are built with the project's flags (-O2, no tuning).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-build}")
mode=${2:-counts}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --build "$build" --target processors_lib >/dev/null
g++ -std=c++20 -O2 -Wall -Wextra -fopenmp -o "$work/driver" "$here/driver.cpp" \
    "$here/minimal_loop.cpp" "$build/processors/libprocessors_lib.a" "$build/harness/libharness.a"

case $mode in
counts)
    n=40960
    for loop in ours minimal; do
        fn=$([ $loop = ours ] && echo integer_thread || echo minimal_thread)
        valgrind --tool=callgrind --separate-threads=yes --toggle-collect="$fn*" \
            --callgrind-out-file="$work/$loop.%p" "$work/driver" $loop $n 2 >/dev/null 2>&1
        for f in "$work/$loop".*-*; do
            total=$(awk '/^totals:/ {print $2}' "$f")
            echo "$loop, thread $((10#${f##*-} - 1)): $((total / n)) instructions per iteration"
        done
    done
    ;;
rates) "$work/driver" best 4096 3000 2 ;;
same)
    for team in 2 10; do "$work/driver" same 20000 $team; done
    ;;
*) echo "unknown mode $mode" >&2; exit 2 ;;
esac
