#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: GPL-2.0-or-later

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: config
short_description: Gives Norvane card readers a configuration file
description:
  - Takes the inventory of the readers attached to the managed host
    (C(brinlet -a -l)), fetches the configuration of every selected reader
    (C(brinlet -a -g)), sends I(src) (C(brinlet -a -c)) in one run only to
    the readers whose configuration differs from it byte for byte, then
    fetches theirs again; a reader that does not give back exactly I(src)
    failed.
  - brinlet names each fetched file after the reader's serial number, every
    character but ASCII letters, digits, C(-) and C(_) made C(_). Readers
    whose serial numbers give the same file name (two empty ones, or
    C(A.B) and C(A_B)) cannot be told apart; they fail without being
    fetched, and the others go on.
  - Nothing is retried; when any reader failed, the task fails naming those
    readers and still returns every reader's entry.
  - brinlet runs with an argument list, never through a shell; the fetched
    files live in a private folder that is removed afterwards.
version_added: "1.0.0"
author: brinlet developers
extends_documentation_fragment:
  - norvane.brinlet.brinlet
options:
  src:
    description:
      - The configuration file, on the managed host (put it there with
        M(ansible.builtin.copy)).
    type: path
    required: true
  serials:
    description:
      - Serial numbers of the readers to work on (letter case does not
        matter). Default is every attached reader.
    type: list
    elements: str
notes:
  - Check mode takes the inventory and fetches the configurations only, and
    says which readers would be sent I(src); nothing is sent.
  - With C(--diff) each reader that differs gets a diff of its
    configuration against I(src).
  - Readers in their service firmware have no configuration; brinlet skips
    them and so does this module (C(skipped)).
seealso:
  - module: norvane.brinlet.readers_info
"""

EXAMPLES = r"""
- name: Put the configuration on the station
  ansible.builtin.copy:
    src: files/door.cfg
    dest: /var/tmp/door.cfg
    mode: "0644"

- name: Every reader with the door configuration
  norvane.brinlet.config:
    src: /var/tmp/door.cfg
  diff: true
"""

RETURN = r"""
readers:
  description: One entry per selected reader, in brinlet's list order.
  returned: always
  type: list
  elements: dict
  contains:
    serial:
      description: The reader's serial number.
      type: str
    path:
      description: Its USB path.
      type: str
    result:
      description: C(unchanged), C(changed), C(would_change) (check mode), C(skipped) or C(failed).
      type: str
    changed:
      description: Whether this reader was (or in check mode would be) sent I(src).
      type: bool
    status:
      description: The exit status brinlet gives for this reader alone; null where no run was made.
      type: int
    message:
      description: Why the reader failed or was skipped, else empty.
      type: str
    before:
      description: SHA-256 of the configuration the reader had; null where it was not fetched.
      type: str
    after:
      description: SHA-256 of the configuration it has afterwards (check mode, the one it would have); null where it was not fetched.
      type: str
diff:
  description: With C(--diff), one before/after pair per reader that differs.
  returned: when diff mode is on and a reader differs
  type: list
  elements: dict
failed_serials:
  description: Serial numbers of the readers that failed; empty when the task failed before any reader's entry.
  returned: always
  type: list
  elements: str
brinlet_runs:
  description: Every brinlet run of the task, with its arguments, exit status and seconds (on a failure, the runs made until then).
  returned: always
  type: list
  elements: dict
"""

import hashlib
import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.norvane.brinlet.plugins.module_utils.brinlet import (
    COMMON_ARGS, Brinlet, BrinletError, apply_summary, entry, fail, file_name_part, finish,
    in_list_order, match_summary, select)


def read_bytes(path):
    with open(path, "rb") as handle:
        return handle.read()


def sha256(data):
    return hashlib.sha256(data).hexdigest() if data is not None else None


def fetch(brinlet, name, serials):
    """The selected readers' configurations: brinlet's summary as (row,
    bytes) pairs, bytes None where it wrote no file."""
    folder = os.path.join(brinlet.folder, name)
    os.mkdir(folder, 0o700)
    _, rows = brinlet.summary(["-g", "-o", os.path.join(folder, "%s")], serials)
    fetched = []
    for row in rows:
        path = os.path.join(folder, file_name_part(row["serial"]))
        ok = row["result"] == "ok" and os.path.isfile(path)
        fetched.append((row, read_bytes(path) if ok else None))
    return fetched


def by_reader(rows, fetched):
    """The (summary row, bytes) of each inventory row, None where brinlet
    reported nothing for it."""
    lines = [line for line, _ in fetched]
    data = {id(line): held for line, held in fetched}
    return [(line, data[id(line)]) if line is not None else None
            for line in match_summary(rows, lines)]


def clashes(rows):
    """(row, other) for each listed reader whose serial number makes the
    same file name as another's: brinlet refuses a whole -a -g -o DIR/%s
    run with such a pair in it. brinlet leaves the readers it skips out of
    that comparison, but which models it skips is its own table's
    business, so every listed reader counts here."""
    apart = []
    for row in rows:
        name = file_name_part(row["serial"])
        others = [other for other in rows
                  if other is not row and file_name_part(other["serial"]) == name]
        if others:
            apart.append((row, others[0]))
    return apart


def text(data):
    return data.decode("utf-8", "replace")


def set_apart(brinlet, rows, pairs):
    """The rows to fetch and the -s serial numbers naming them; readers
    that cannot be fetched by name get failed entries in pairs."""
    apart = clashes(rows)
    for row, other in apart:
        pairs.append((row, entry(row, "failed", message=(
            "cannot be told apart by file name from reader %s" % (other["serial"] or other["path"])))))
    if not apart:
        return rows, brinlet.serials
    rest = [row for row in rows if not any(row is gone for gone, _ in apart)]
    named, unnamed = select(rows, rest)
    for row in unnamed:
        pairs.append((row, entry(row, "failed", message=(
            "cannot be named by its serial number apart from other readers"))))
    return [row for row in rest if not any(row is gone for gone in unnamed)], named


def sort_fetched(rows, fetched, pairs):
    """Entries for the readers whose configuration could not be compared;
    the others as (row, their bytes)."""
    compared = []
    for row, got in zip(rows, by_reader(rows, fetched)):
        line, held = got if got is not None else (None, None)
        if line is None:
            pairs.append((row, entry(row, "failed", message="brinlet reported nothing for it")))
        elif line["result"] != "ok":
            result = "skipped" if line["result"] == "skipped" else "failed"
            pairs.append((row, entry(row, result, status=int(line["status"]),
                                     message=line["message"])))
        elif held is None:
            pairs.append((row, entry(row, "failed", status=0, message="brinlet wrote no file")))
        else:
            compared.append((row, held))
    return compared


def converge(module, brinlet, wanted):
    listed = brinlet.inventory(brinlet.serials)
    pairs = []
    rows, serials = set_apart(brinlet, listed, pairs)
    fetched = fetch(brinlet, "before", serials) if rows else []
    held, todo = {}, []
    for row, data in sort_fetched(rows, fetched, pairs):
        held[id(row)] = data
        if data == wanted:
            pairs.append((row, entry(row, "unchanged", status=0, before=sha256(wanted),
                                     after=sha256(wanted))))
        else:
            todo.append(row)
    named, unnamed = select(listed, todo)
    for row in unnamed:
        pairs.append((row, entry(row, "failed", message=(
            "cannot be named by its serial number apart from other readers"))))
    todo = [row for row in todo if not any(row is gone for gone in unnamed)]
    diffs = [dict(before=text(held[id(row)]), after=text(wanted),
                  before_header="%s (%s)" % (row["serial"], "reader"),
                  after_header=module.params["src"]) for row in todo]
    if module.check_mode or not todo:
        for row in todo:
            pairs.append((row, entry(row, "would_change", changed=True, before=sha256(held[id(row)]),
                                     after=sha256(wanted), message="would be sent the configuration")))
        return in_list_order(listed, pairs), diffs
    _, summary = brinlet.summary(["-c", "-i", module.params["src"]], named)
    again = by_reader(todo, fetch(brinlet, "after", named))
    now = {id(row): got[1] if got is not None else None for row, got in zip(todo, again)}

    def describe(row, line):
        after = now[id(row)]
        if after != wanted:
            return entry(row, "failed", status=int(line["status"]), before=sha256(held[id(row)]),
                         after=sha256(after),
                         message="took the configuration but gives back other bytes")
        return entry(row, "changed", changed=True, status=int(line["status"]),
                     before=sha256(held[id(row)]), after=sha256(after))

    done = []
    apply_summary(todo, summary, done, describe)
    pairs.extend(zip(todo, done))
    return in_list_order(listed, pairs), diffs


def main():
    module = AnsibleModule(
        argument_spec=dict(COMMON_ARGS, src=dict(type="path", required=True)),
        supports_check_mode=True,
    )
    src = module.params["src"] = os.path.abspath(module.params["src"])
    try:
        wanted = read_bytes(src)
    except (IOError, OSError) as error:
        fail(module, "cannot read %s: %s" % (src, error))
    with Brinlet(module) as brinlet:
        try:
            entries, diffs = converge(module, brinlet, wanted)
        except BrinletError as error:
            fail(module, str(error), brinlet)
        extra = dict(diff=diffs) if module._diff and diffs else {}
        finish(module, entries, any(item["changed"] for item in entries), brinlet, **extra)


if __name__ == "__main__":
    main()
