#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The collection's playbook (tests/ansible/site.yml) on fresh emulated
benches of 8 readers: one host, then three hosts side by side, in the same
run; and each module's own time per host beyond brinlet's runs (Ansible's
start of the module on the host included). Prints figures; asserts nothing.
Usage: bench/ansible_bench.py [BUILD_DIR]"""

import os
import shutil
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
source = os.path.dirname(here)
sys.path.insert(0, os.path.join(source, "tests", "ansible"))
import harness  # noqa: E402

MODULES = ("Firmware 2.15.1", "Door configuration", "Protocol 2", "What the readers say now")


def one(build, count):
    site = harness.Site(source, build, {"h%d" % n: (8, {}) for n in range(count)})
    try:
        started = time.monotonic()
        rc, report, err = site.play()
        wall = time.monotonic() - started
        if rc != 0:
            sys.exit("playbook failed: " + err)
        overhead = {}
        for task in MODULES:
            for host, result in harness.results(report, task).items():
                brinlet = sum(run["seconds"] for run in result["brinlet_runs"])
                overhead.setdefault(host, []).append((task, result["_seconds"], brinlet))
        return wall, overhead
    finally:
        site.remove()


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(source, "build"))
    if shutil.which("ansible-playbook") is None:
        print("ansible-playbook is not installed; nothing measured")
        return 0
    single, _ = one(build, 1)
    triple, overhead = one(build, 3)
    print("site.yml, fresh benches of 8 emulated readers each (update, configuration, protocol, inventory)")
    print("  1 host:   %6.2f s" % single)
    print("  3 hosts:  %6.2f s  (%.2fx one host's; goal <= 1.5x)" % (triple, triple / single))
    print("module time beyond brinlet's runs, per host of the 3-host run:")
    for host, tasks in sorted(overhead.items()):
        parts = ", ".join("%s %.2f s (brinlet %.2f s)" % (task.split()[0].lower(), total - runs, runs)
                          for task, total, runs in tasks)
        print("  %s: %s; total %.2f s" % (host, parts, sum(t - r for _, t, r in tasks)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
