#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Long runs of card test mode: eight emulated readers, card events as fast
# as they are taken in and one reader after another pulled and plugged
# back, for SECONDS (default 180) in the AddressSanitizer and
# ThreadSanitizer builds, and for a third of that under valgrind memcheck
# in the plain build. Each run prints its counts; any
# sanitizer or valgrind report, leak or failed check fails the script.
# Usage: scripts/soak.sh [SECONDS]
set -e
seconds=${1:-180}
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
sh scripts/setup.sh --soak
filter='--gtest_filter=CardTestSoakSlow.*'

build_tree() { # DIR CMAKE-ARGS...
    dir=$1
    shift
    cmake -S . -B "$dir" -DBRINLET_BENCH=OFF -DBRINLET_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j2 --target cardtest_tests
}

build_tree build-asan -DBRINLET_SANITIZE=address
echo "== AddressSanitizer+UndefinedBehaviorSanitizer, $seconds s"
BRINLET_SOAK_SECONDS=$seconds ASAN_OPTIONS=detect_leaks=1 build-asan/tests/cardtest_tests "$filter"

build_tree build-tsan -DBRINLET_SANITIZE=thread
echo "== ThreadSanitizer, $seconds s"
BRINLET_SOAK_SECONDS=$seconds TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/cardtest_tests "$filter"

build_tree build
grind=$((seconds / 3))
echo "== valgrind memcheck, $grind s"
BRINLET_SOAK_SECONDS=$grind valgrind --quiet --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
    build/tests/cardtest_tests "$filter"
echo "soak: all runs clean"
