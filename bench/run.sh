#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs every benchmark of a build tree and prints its figures.
set -e
build=${1:-build}
for b in link_bench cardtest_bench usb_bench all_bench inventory_bench; do
    if [ -x "$build/bench/$b" ]; then
        echo "== $b"
        "$build/bench/$b"
    fi
done
# The Ansible collection on three emulated hosts (skipped without Ansible).
echo "== ansible_bench"
python3 "$(dirname "$0")/ansible_bench.py" "$build"
