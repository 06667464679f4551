#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds with coverage counters, runs the whole test suite (the long runs
# of make soak aside) and prints line and branch coverage of the program
# (src/) and of the reader emulator (emulator/). The package tests build
# their own binaries, so they are left out.
# Usage: scripts/coverage.sh [BUILD-DIR]   (default build-coverage)
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build=${1:-build-coverage}
sh scripts/setup.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DBRINLET_BENCH=OFF \
    -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_C_FLAGS=--coverage \
    -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$build" -j2
find "$build" -name '*.gcda' -delete
(cd "$build" && ctest -j"${TEST_JOBS:-16}" --output-on-failure -E 'Soak|package_contents|licence_headers') || echo "coverage: some tests failed" >&2
for part in src emulator; do
    echo "== $part/"
    gcovr --root . --filter "$part/" --exclude-unreachable-branches --exclude-throw-branches --gcov-ignore-parse-errors \
        --print-summary --output "$build/coverage-$part.txt" "$build" | grep -E '^(lines|branches):'
done
