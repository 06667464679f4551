#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the fuzz targets with clang and runs each for the given seconds
# (default 60) from the committed seed corpus, two at a time. Any
# crash, leak, sanitizer report or input that runs past -timeout fails.
set -e
seconds=${1:-60}
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-fuzz"
targets="link batch reader_info card_test scenario"
# Line tables alone for debug information: reports still name file and line.
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DBRINLET_FUZZ=ON -DBRINLET_WERROR=ON -DBUILD_TESTING=OFF \
    -DBRINLET_BENCH=OFF -DCMAKE_CXX_FLAGS_RELWITHDEBINFO='-O2 -g1 -DNDEBUG' \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO='-O2 -g1 -DNDEBUG' >/dev/null
for target in $targets; do
    cmake --build "$build" -j2 --target "${target}_fuzzer"
done
# Each target runs on one core: two at a time on two cores.
run_one() {
    target=$1
    work="$top/fuzz/corpus-work/$target"
    mkdir -p "$work"
    log="$work.log"
    if ! "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work-" "$work" "$top/fuzz/corpus/$target" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz target $target failed" >&2
        return 1
    fi
    echo "fuzzed $target for $seconds s: $(grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$log" | tr '\n' ' ')corpus: $(ls "$work" | wc -l) files"
}
failed=0
set -- $targets
while [ $# -gt 0 ]; do
    run_one "$1" & first=$!
    second=
    if [ $# -gt 1 ]; then
        run_one "$2" & second=$!
        shift
    fi
    shift
    wait "$first" || failed=1
    [ -z "$second" ] || wait "$second" || failed=1
done
exit $failed
