# -*- coding: utf-8 -*-
# SPDX-License-Identifier: GPL-2.0-or-later
"""Shared code of the norvane.brinlet modules: running brinlet with an
argument list, reading its tab-separated outputs strictly, the inventory of
the readers and the per-reader entries the modules return."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import os
import re
import shutil
import tempfile
import time

SUMMARY_COLUMNS = ("serial", "result", "status", "seconds", "message")
INVENTORY_COLUMNS = (
    "index", "serial", "model", "path", "firmware", "service_firmware",
    "service_status", "usb_mode", "protocol", "hardware", "hardware_serial",
    "library", "module_part", "module_firmware", "module_serial", "status",
    "result", "message",
)

# brinlet's exit status when a named reader is not attached.
STATUS_NOT_FOUND = 4

# The options every module has.
COMMON_ARGS = dict(
    brinlet=dict(type="path", default="brinlet"),
    serials=dict(type="list", elements="str"),
)


class BrinletError(Exception):
    """brinlet could not be run, or said something these modules cannot read."""


def parse_tsv(text, columns):
    """The rows of a brinlet table as dicts. The header must be exactly the
    expected one and every row must have every column: anything else means
    the program and the modules disagree, and guessing would be worse."""
    if not text.endswith("\n"):
        raise BrinletError("brinlet's table does not end with a line end")
    lines = text[:-1].split("\n")
    if tuple(lines[0].split("\t")) != columns:
        raise BrinletError("brinlet's table has the header %r, expected %r"
                           % (lines[0], "\t".join(columns)))
    rows = []
    for number, line in enumerate(lines[1:], 2):
        fields = line.split("\t")
        if len(fields) != len(columns):
            raise BrinletError("line %d of brinlet's table has %d fields, expected %d"
                               % (number, len(fields), len(columns)))
        rows.append(dict(zip(columns, fields)))
    return rows


def same_serial(first, second):
    # brinlet's -s ignores letter case.
    return first.lower() == second.lower()


def file_name_part(serial):
    """What brinlet makes of a serial number in an -o pattern's %s: it
    replaces byte by byte, so a character of several UTF-8 bytes becomes as
    many '_'."""
    return re.sub(rb"[^A-Za-z0-9_-]", b"_", serial.encode("utf-8")).decode("ascii") or "_"


def fail(module, message, brinlet=None):
    """Ends the module when no reader's entry can be given: every value the
    modules document as always returned is there, the runs made so far
    among them."""
    module.fail_json(msg=message, readers=[], changed=False, failed_serials=[],
                     brinlet_runs=brinlet.run_list() if brinlet is not None else [])


class Brinlet:
    """One module's runs of brinlet, with a private folder for their files."""

    def __init__(self, module):
        self.module = module
        self.program = module.params["brinlet"]
        self.serials = module.params.get("serials")
        self.runs = []  # (arguments, exit status, seconds) of every run
        self.folder = None
        for serial in self.serials or ():
            if serial == "" or "," in serial:
                fail(module, "serials: %r cannot name a reader" % serial)

    def __enter__(self):
        base = getattr(self.module, "tmpdir", None)
        self.folder = tempfile.mkdtemp(prefix="brinlet-", dir=base)
        os.chmod(self.folder, 0o700)
        return self

    def __exit__(self, *exc):
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None
        return False

    def run(self, arguments):
        """brinlet's exit status and output; never through a shell. The
        arguments reach brinlet as they are: no '~' or '$' in a serial
        number or a path is expanded. A program that cannot be started
        raises BrinletError here rather than ending the module inside
        run_command, so the failure still carries the documented values."""
        command = [self.program] + list(arguments)
        started = time.monotonic()
        try:
            rc, out, err = self.module.run_command(
                command, use_unsafe_shell=False, expand_user_and_vars=False,
                handle_exceptions=False, encoding="utf-8", errors="replace")
        except OSError as error:
            raise BrinletError("cannot run %s: %s" % (self.program, error))
        self.runs.append((command, rc, time.monotonic() - started))
        if rc == 127 or (rc != 0 and not out and "No such file" in err):
            raise BrinletError("cannot run %s: %s" % (self.program, err.strip()))
        return rc, out, err

    def run_list(self):
        """The runs so far as the modules return them (brinlet_runs)."""
        return [dict(argv=argv, rc=rc, seconds=round(seconds, 3)) for argv, rc, seconds in self.runs]

    def selection(self, serials):
        """The -a -s arguments for these serial numbers (all readers: none)."""
        return ["-a"] + (["-s", ",".join(serials)] if serials is not None else [])

    def table(self, arguments, columns, serials):
        rc, out, err = self.run(self.selection(serials) + arguments)
        if rc == STATUS_NOT_FOUND and serials and out in ("", "\t".join(columns) + "\n"):
            raise BrinletError("brinlet found no reader or not every reader named: %s"
                               % ", ".join(serials))
        if not out:
            raise BrinletError("brinlet %s gave status %d and no table: %s"
                               % (" ".join(arguments), rc, err.strip()))
        return rc, parse_tsv(out, columns)

    def inventory(self, serials):
        """-a -l: one dict per reader, every column as brinlet wrote it."""
        if serials is not None and not serials:
            return []
        rc, rows = self.table(["-l"], INVENTORY_COLUMNS, serials)
        if rc == STATUS_NOT_FOUND and not rows and serials is None:
            return []
        return rows

    def summary(self, arguments, serials):
        """-a with one operation: the summary, one dict per reader."""
        rc, rows = self.table(arguments, SUMMARY_COLUMNS, serials)
        return rc, rows


def select(rows, wanted):
    """The serial numbers to pass to -s for the rows to work on, or None
    for every reader. Readers without a serial number, or sharing one with
    a reader that must be left alone, cannot be named: they are returned
    apart."""
    unnamed = []
    named = []
    for row in wanted:
        twins = [other for other in rows if same_serial(other["serial"], row["serial"])]
        if row["serial"] == "" or any(other not in wanted for other in twins):
            unnamed.append(row)
        elif not any(same_serial(row["serial"], serial) for serial in named):
            named.append(row["serial"])
    return named, unnamed


def match_summary(rows, summary):
    """The summary row of each inventory row (by serial number, in list
    order), or None where brinlet reported nothing for the reader."""
    left = list(summary)
    matched = []
    for row in rows:
        found = None
        for line in left:
            if same_serial(line["serial"], row["serial"]):
                found = line
                break
        if found is not None:
            left.remove(found)
        matched.append(found)
    return matched


def entry(row, result, changed=False, status=None, message="", before=None, after=None):
    """One reader's entry in a module's result."""
    return dict(serial=row["serial"], path=row.get("path", ""), result=result,
                changed=changed, status=status, message=message,
                before=before, after=after)


def finish(module, entries, changed, brinlet, **extra):
    """Ends the module: fails naming the failed readers, yet returns every
    entry."""
    failed = [item for item in entries if item["result"] == "failed"]
    runs = brinlet.run_list()
    if failed:
        names = ", ".join("%s (%s)" % (item["serial"] or item["path"], item["message"])
                          for item in failed)
        module.fail_json(msg="%d of %d readers failed: %s" % (len(failed), len(entries), names),
                         readers=entries, changed=changed, failed_serials=[
                             item["serial"] for item in failed], brinlet_runs=runs, **extra)
    module.exit_json(readers=entries, changed=changed, failed_serials=[], brinlet_runs=runs,
                     **extra)


def apply_summary(rows, summary, entries, describe):
    """Entries from brinlet's summary for the rows it worked on; describe(row,
    line) gives the entry of a reader brinlet reported ok."""
    for row, line in zip(rows, match_summary(rows, summary)):
        if line is None:
            entries.append(entry(row, "failed", message="brinlet reported nothing for it"))
        elif line["result"] == "skipped":
            entries.append(entry(row, "skipped", status=int(line["status"]),
                                 message=line["message"]))
        elif line["result"] != "ok":
            entries.append(entry(row, "failed", status=int(line["status"]),
                                 message=line["message"] or "status %s" % line["status"]))
        else:
            entries.append(describe(row, line))


def in_list_order(rows, entries):
    """Entries in the order of brinlet's list (the inventory's order)."""
    position = {id(row): number for number, row in enumerate(rows)}
    return [item for _, item in sorted(entries, key=lambda pair: position[id(pair[0])])]


def converge(module, column, target, operation, noun):
    """Brings the inventory column of every selected reader to target by one
    -a run of operation on the readers that differ, then checks the
    inventory again. noun names the change in messages ("image")."""
    with Brinlet(module) as brinlet:
        try:
            rows = brinlet.inventory(brinlet.serials)
            entries = _converge(module, brinlet, rows, column, target, operation, noun)
        except BrinletError as error:
            fail(module, str(error), brinlet)
        changed = any(item["changed"] for item in entries)
        finish(module, entries, changed, brinlet)


def _converge(module, brinlet, rows, column, target, operation, noun):
    pairs = []
    todo = []
    for row in rows:
        if row["result"] != "ok":
            pairs.append((row, entry(row, "failed", message=row["message"] or "could not be asked")))
        elif row[column] == target:
            pairs.append((row, entry(row, "unchanged", status=0, before=target, after=target)))
        else:
            todo.append(row)
    named, unnamed = select(rows, todo)
    for row in unnamed:
        pairs.append((row, entry(row, "failed", before=row[column], message=(
            "cannot be named by its serial number apart from other readers"))))
    todo = [row for row in todo if row not in unnamed]
    if module.check_mode or not todo:
        for row in todo:
            pairs.append((row, entry(row, "would_change", changed=True, before=row[column],
                                     after=target, message="would be sent the " + noun)))
        return in_list_order(rows, pairs)
    every = brinlet.serials is None and len(todo) == len(rows)
    _, summary = brinlet.summary(operation, None if every else named)
    # The second inventory takes every reader: one named with -s that is no
    # longer attached would make brinlet refuse the whole list.
    now = {}
    for row in brinlet.inventory(None):
        now.setdefault(row["serial"].lower(), []).append(row)

    def describe(row, line):
        seen = now.get(row["serial"].lower())
        if not seen:
            return entry(row, "failed", status=int(line["status"]), before=row[column],
                         message="did not come back after taking the " + noun)
        after = seen.pop(0)
        if after["result"] != "ok":
            return entry(row, "failed", status=int(line["status"]), before=row[column],
                         message="took the %s but could not be asked afterwards: %s" % (
                             noun, after["message"] or "no answer"))
        if after[column] != target:
            return entry(row, "failed", status=int(line["status"]), before=row[column],
                         after=after[column], message="took the %s but reports %s" % (
                             noun, after[column] or "nothing"))
        return entry(row, "changed", changed=True, status=int(line["status"]),
                     before=row[column], after=after[column])

    done = []
    apply_summary(todo, summary, done, describe)
    for row, item in zip(todo, done):
        if item["before"] is None:
            item["before"] = row[column]
        pairs.append((row, item))
    return in_list_order(rows, pairs)
