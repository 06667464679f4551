#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The norvane.brinlet collection run for real: ansible-playbook on three
hosts (local connection), each with its own emulated bench.
Usage: harness.py TEST SOURCE_DIR BUILD_DIR; exit 77 when Ansible is
missing (the test is reported skipped)."""

import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402

SKIP = 77
HOSTS = {
    "alpha": (3, dict(current=(1,))),
    "bravo": (5, dict()),
    "charlie": (8, dict(current=(0, 3))),
}


class Site:
    def __init__(self, source, build, hosts=None):
        self.root = tempfile.mkdtemp(prefix="brinlet-ansible-")
        self.source, self.build = source, build
        self.hosts = hosts or HOSTS
        self.env = bench.make_site(self.root, self.hosts, source, build)

    def folder(self, host):
        return os.path.join(self.root, host)

    def play(self, *options, json_out=True, playbook="site.yml"):
        env = dict(self.env)
        if json_out:
            env["ANSIBLE_STDOUT_CALLBACK"] = "results_json"
            env["ANSIBLE_CALLBACK_PLUGINS"] = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                           "callback_plugins")
        command = ["ansible-playbook", "-i", os.path.join(self.root, "hosts.ini"),
                   "-e", "playbook_files=" + os.path.join(self.root, "files"),
                   os.path.join(self.source, "tests", "ansible", playbook)] + list(options)
        done = subprocess.run(command, env=env, cwd=self.root, capture_output=True, text=True)
        if json_out:
            try:
                return done.returncode, json.loads(done.stdout), done.stderr
            except ValueError:
                fail("ansible-playbook gave no JSON:\n" + done.stdout + done.stderr)
        return done.returncode, done.stdout, done.stderr

    def brinlet(self, host, *arguments):
        done = subprocess.run([os.path.join(self.folder(host), "brinlet")] + list(arguments),
                              capture_output=True, text=True)
        return done.returncode, done.stdout

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


def results(report, task):
    """{host: result} of the task named task in the json callback's report."""
    for play in report["plays"]:
        for item in play["tasks"]:
            if item["task"]["name"] == task:
                return item["hosts"]
    return {}


def recap(report):
    return report["stats"]


def by_serial(entries):
    return {item["serial"]: item for item in entries}


def inventory(site, host):
    rc, out = site.brinlet(host, "-a", "-l")
    lines = out.rstrip("\n").split("\n")
    header = lines[0].split("\t")
    return rc, [dict(zip(header, line.split("\t"))) for line in lines[1:]]


def test_converge(site):
    """First run: what differs is updated and configured; second: nothing."""
    rc, report, err = site.play()
    check(rc == 0, "first run failed: %s %s" % (json.dumps(recap(report)), err))
    for host, stats in recap(report).items():
        check(stats["changed"] >= 3 and stats["failures"] == 0, "first run on %s: %s" % (host, stats))
    firmware = results(report, "Firmware 2.15.1")
    for host, (count, kwargs) in site.hosts.items():
        entries = firmware[host]["readers"]
        check(len(entries) == count, "%s: %d firmware entries" % (host, len(entries)))
        for number, item in enumerate(entries):
            expected = "unchanged" if number in kwargs.get("current", ()) else "changed"
            check(item["result"] == expected and item["after"] == bench.VERSION,
                  "%s reader %d: %s" % (host, number, item))
        rc, rows = inventory(site, host)
        check(rc == 0 and all(row["firmware"] == bench.VERSION and row["protocol"] == "2"
                              for row in rows), "%s after the run: %s" % (host, rows))
        config = by_serial(results(report, "Door configuration")[host]["readers"])
        check(all(item["result"] in ("changed", "unchanged") for item in config.values()),
              "%s configuration: %s" % (host, config))
    rc, report, err = site.play()
    check(rc == 0, "second run failed: %s" % err)
    for host, stats in recap(report).items():
        check(stats["changed"] == 0 and stats["failures"] == 0, "second run on %s: %s" % (host, stats))
    print(json.dumps(recap(report), sort_keys=True))


def test_check_diff(site):
    """Check mode with --diff sends nothing and says what would change.
    Check mode copies nothing either: the files are put in place first."""
    for host in site.hosts:
        for name in ("usb2-2.15.1.fw", "door.cfg"):
            shutil.copy(os.path.join(site.root, "files", name), site.folder(host))
    rc, out, err = site.play("--check", "--diff", json_out=False)
    check(rc == 0, "check run failed:\n" + out + err)
    check("+SOUND=1" in out and "changed: [bravo]" in out, "no diff or change shown:\n" + out)
    for host in site.hosts:
        history = os.path.join(site.folder(host), "history")
        check(not os.path.exists(history) or "started" not in open(history).read(),
              "%s: brinlet changed readers in check mode" % host)
        check(not os.path.exists(os.path.join(site.folder(host), "state")),
              "%s: a reader changed in check mode" % host)
    rc, report, err = site.play("--check")
    firmware = results(report, "Firmware 2.15.1")
    for host, (count, kwargs) in site.hosts.items():
        would = [item["serial"] for item in firmware[host]["readers"] if item["result"] == "would_change"]
        check(len(would) == count - len(kwargs.get("current", ())), "%s would update %s" % (host, would))
        check(recap(report)[host]["changed"] >= 1, "check mode on %s says nothing changes" % host)


def test_refuse(site):
    """One reader refuses the image: its host's task fails naming it, every
    other entry is intact, the other hosts go on."""
    rc, report, err = site.play()
    check(rc != 0, "a refused image did not fail the run")
    stats = recap(report)
    check(stats["bravo"]["failures"] == 1, "bravo: %s" % stats["bravo"])
    for host in ("alpha", "charlie"):
        check(stats[host]["failures"] == 0 and stats[host]["changed"] >= 3, "%s: %s" % (host, stats[host]))
    failed = results(report, "Firmware 2.15.1")["bravo"]
    check(failed.get("failed") and "BRAVO-0003" in failed["msg"], "bravo's task: %s" % failed.get("msg"))
    entries = failed["readers"]
    check(len(entries) == 5, "bravo has %d entries" % len(entries))
    for item in entries:
        expected = "failed" if item["serial"] == "BRAVO-0003" else "changed"
        check(item["result"] == expected, "bravo entry %s" % item)
    check(failed["failed_serials"] == ["BRAVO-0003"], "failed serials %s" % failed["failed_serials"])
    rc, rows = inventory(site, "bravo")
    others = [row for row in rows if row["serial"] != "BRAVO-0003"]
    check(all(row["firmware"] == bench.VERSION for row in others), "bravo after: %s" % rows)


def test_info(site):
    """readers_info returns what brinlet -a -l says, every column."""
    rc, report, err = site.play(playbook="info.yml")
    check(rc == 0, "info run failed: %s" % err)
    info = results(report, "What the readers say")
    for host in site.hosts:
        _, rows = inventory(site, host)
        check(info[host]["readers"] == rows, "%s: %s\n!=\n%s" % (host, info[host]["readers"], rows))
        check(info[host]["changed"] is False, "readers_info changed something")
        history = os.path.join(site.folder(host), "history")
        check(not os.path.exists(history) or "started" not in open(history).read(),
              "readers_info wrote to a reader")
    # serials narrows it, letter case aside.
    rc, report, err = site.play("-e", "serials=charlie-0002,CHARLIE-0005", playbook="info.yml")
    narrowed = results(report, "What the readers say")["charlie"]["readers"]
    check([row["serial"] for row in narrowed] == ["CHARLIE-0002", "CHARLIE-0005"],
          "serials: %s" % narrowed)
    # A program that cannot be started fails the task with every value
    # documented as always returned.
    missing = os.path.join(site.root, "no-such-brinlet")
    rc, report, err = site.play("-e", "program=" + missing, playbook="info.yml")
    for host, result in results(report, "What the readers say").items():
        check(result.get("failed") and "cannot run " + missing in result.get("msg", "")
              and result.get("readers") == [] and result.get("failed_serials") == []
              and result.get("brinlet_runs") == [], "%s without brinlet: %s" % (host, result))


def test_doc(site):
    """ansible-doc renders every module (its documentation is valid)."""
    for module in ("readers_info", "firmware", "config", "protocol"):
        done = subprocess.run(["ansible-doc", "norvane.brinlet." + module], env=site.env,
                              capture_output=True, text=True)
        check(done.returncode == 0 and "OPTIONS" in done.stdout and "EXAMPLES" in done.stdout
              and "- brinlet" in done.stdout
              and "RETURN VALUES" in done.stdout and not done.stderr.strip(),
              "%s: %s%s" % (module, done.stdout[:500], done.stderr))


TESTS = {"converge": (test_converge, None), "check_diff": (test_check_diff, None),
         "refuse": (test_refuse, {"alpha": HOSTS["alpha"], "bravo": (5, dict(refuse=2)),
                                  "charlie": HOSTS["charlie"]}),
         "info": (test_info, None), "doc": (test_doc, None)}


def main():
    name, source, build = sys.argv[1:4]
    if shutil.which("ansible-playbook") is None or shutil.which("ansible-doc") is None:
        print("SKIP: ansible-core is not installed (scripts/setup.sh installs it)")
        return SKIP
    test, hosts = TESTS[name]
    site = Site(os.path.abspath(source), os.path.abspath(build), hosts)
    try:
        test(site)
    finally:
        if os.environ.get("BRINLET_KEEP") is None:
            site.remove()
    print("ok " + name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
