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
  - Fetches the configuration of every selected reader attached to the
    managed host (C(brinlet -a -g)), sends I(src) (C(brinlet -a -c)) in one
    run only to the readers whose configuration differs from it byte for
    byte, then fetches theirs again; a reader that does not give back
    exactly I(src) failed.
  - Nothing is retried; when any reader failed, the task fails naming those
    readers and still returns every reader's entry.
  - brinlet runs with an argument list, never through a shell; the fetched
    files live in a private folder that is removed afterwards.
version_added: "1.0.0"
author: brinlet developers
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
  brinlet:
    description:
      - The brinlet program on the managed host, a path or a name looked
        up on the C(PATH).
    type: str
    default: brinlet
notes:
  - Check mode fetches the configurations only and says which readers
    would be sent I(src); nothing is sent.
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
    result:
      description: C(unchanged), C(changed), C(would_change) (check mode), C(skipped) or C(failed).
      type: str
    changed:
      description: Whether this reader was (or in check mode would be) sent I(src).
      type: bool
    status:
      description: The exit status brinlet gives for this reader alone.
      type: int
    message:
      description: Why the reader failed or was skipped, else empty.
      type: str
    before:
      description: SHA-256 of the configuration the reader had.
      type: str
    after:
      description: SHA-256 of the configuration it has afterwards.
      type: str
diff:
  description: With C(--diff), one before/after pair per reader that differs.
  returned: when diff mode is on and a reader differs
  type: list
  elements: dict
failed_serials:
  description: Serial numbers of the readers that failed.
  returned: always
  type: list
  elements: str
brinlet_runs:
  description: Every brinlet run of the task, with its arguments, exit status and seconds.
  returned: always
  type: list
  elements: dict
"""

import hashlib
import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.norvane.brinlet.plugins.module_utils.brinlet import (
    COMMON_ARGS, Brinlet, BrinletError, apply_summary, entry, file_name_part, finish,
    in_list_order, select)


def read_bytes(path):
    with open(path, "rb") as handle:
        return handle.read()


def sha256(data):
    return hashlib.sha256(data).hexdigest() if data is not None else None


def fetch(brinlet, name, serials):
    """Every selected reader's configuration: the summary and each ok
    reader's bytes (by summary row)."""
    folder = os.path.join(brinlet.folder, name)
    os.mkdir(folder, 0o700)
    _, rows = brinlet.summary(["-g", "-o", os.path.join(folder, "%s")], serials)
    held = {}
    for row in rows:
        path = os.path.join(folder, file_name_part(row["serial"]))
        if row["result"] == "ok" and os.path.isfile(path):
            held[id(row)] = read_bytes(path)
    return rows, held


def text(data):
    return data.decode("utf-8", "replace")


def converge(module, brinlet, wanted):
    rows, held = fetch(brinlet, "before", brinlet.serials)
    pairs, todo = [], []
    for row in rows:
        if row["result"] != "ok":
            result = "skipped" if row["result"] == "skipped" else "failed"
            pairs.append((row, entry(row, result, status=int(row["status"]),
                                     message=row["message"])))
        elif id(row) not in held:
            pairs.append((row, entry(row, "failed", status=0, message="brinlet wrote no file")))
        elif held[id(row)] == wanted:
            pairs.append((row, entry(row, "unchanged", status=0, before=sha256(wanted),
                                     after=sha256(wanted))))
        else:
            todo.append(row)
    named, unnamed = select(rows, todo)
    for row in unnamed:
        pairs.append((row, entry(row, "failed", message=(
            "cannot be named by its serial number apart from other readers"))))
    todo = [row for row in todo if row not in unnamed]
    diffs = [dict(before=text(held[id(row)]), after=text(wanted),
                  before_header="%s (%s)" % (row["serial"], "reader"),
                  after_header=module.params["src"]) for row in todo]
    if module.check_mode or not todo:
        for row in todo:
            pairs.append((row, entry(row, "would_change", changed=True, before=sha256(held[id(row)]),
                                     after=sha256(wanted), message="would be sent the configuration")))
        return in_list_order(rows, pairs), diffs
    _, summary = brinlet.summary(["-c", "-i", module.params["src"]], named)
    again, again_held = fetch(brinlet, "after", named)
    now = {row["serial"].lower(): again_held.get(id(row)) for row in again}

    def describe(row, line):
        after = now.get(row["serial"].lower())
        if after != wanted:
            return entry(row, "failed", status=int(line["status"]), before=sha256(held[id(row)]),
                         after=sha256(after),
                         message="took the configuration but gives back other bytes")
        return entry(row, "changed", changed=True, status=int(line["status"]),
                     before=sha256(held[id(row)]), after=sha256(after))

    done = []
    apply_summary(todo, summary, done, describe)
    pairs.extend(zip(todo, done))
    return in_list_order(rows, pairs), diffs


def main():
    module = AnsibleModule(
        argument_spec=dict(COMMON_ARGS, src=dict(type="path", required=True)),
        supports_check_mode=True,
    )
    src = module.params["src"] = os.path.abspath(module.params["src"])
    try:
        wanted = read_bytes(src)
    except (IOError, OSError) as error:
        module.fail_json(msg="cannot read %s: %s" % (src, error), readers=[])
    with Brinlet(module) as brinlet:
        try:
            entries, diffs = converge(module, brinlet, wanted)
        except BrinletError as error:
            module.fail_json(msg=str(error), readers=[], changed=False)
        extra = dict(diff=diffs) if module._diff and diffs else {}
        finish(module, entries, any(item["changed"] for item in entries), brinlet, **extra)


if __name__ == "__main__":
    main()
