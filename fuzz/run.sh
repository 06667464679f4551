#!/bin/sh
# Builds the fuzz targets with clang and runs each for the given seconds
# (default 60) from the committed seed corpus. Any crash fails.
set -e
seconds=${1:-60}
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-fuzz"
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DBRINLET_FUZZ=ON -DBUILD_TESTING=OFF \
    -DBRINLET_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target link_fuzzer
for target in link; do
    work="$top/fuzz/corpus-work/$target"
    mkdir -p "$work"
    echo "fuzzing $target for $seconds s"
    log="$work.log"
    if ! "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 "$work" "$top/fuzz/corpus/$target" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz target $target failed" >&2
        exit 1
    fi
    tail -n 8 "$log"
done
