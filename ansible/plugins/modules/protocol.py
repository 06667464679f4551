#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: GPL-2.0-or-later

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: protocol
short_description: Sets the card reader protocol of Norvane card readers
description:
  - Takes the inventory of the readers attached to the managed host
    (C(brinlet -a -l)) and sets the protocol (C(brinlet -a -p)) on every
    selected reader whose inventory C(protocol) differs from I(protocol),
    in one run. Readers already on it are left alone.
  - Afterwards the inventory must show I(protocol) on each of them, else
    that reader failed. Nothing is retried; when any reader failed, the task
    fails naming those readers and still returns every reader's entry.
  - brinlet runs with an argument list, never through a shell.
version_added: "1.0.0"
author: brinlet developers
extends_documentation_fragment:
  - norvane.brinlet.brinlet
options:
  protocol:
    description:
      - The protocol number, as C(brinlet -p) takes it and the inventory
        shows it, from 0 to 2147483647. Leading zeros do not count; C(04)
        is protocol C(4), and is compared and sent as C(4).
    type: str
    required: true
  serials:
    description:
      - Serial numbers of the readers to work on (letter case does not
        matter). Default is every attached reader.
    type: list
    elements: str
notes:
  - Check mode takes the inventory only and says which readers would
    change; nothing is sent to any reader.
  - A reader whose personality cannot take the protocol (in its service
    firmware) is reported C(skipped), as brinlet reports it.
seealso:
  - module: norvane.brinlet.readers_info
"""

EXAMPLES = r"""
- name: Every reader speaks protocol 2
  norvane.brinlet.protocol:
    protocol: "2"

- name: Only the reader at the door
  norvane.brinlet.protocol:
    protocol: "4"
    serials: [RD2K004711]
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
      description: Whether this reader was (or in check mode would be) changed.
      type: bool
    status:
      description: The exit status brinlet gives for this reader alone; null where no run was made.
      type: int
    message:
      description: Why the reader failed or was skipped, else empty.
      type: str
    before:
      description: The protocol the reader had; null when it could not be asked.
      type: str
      sample: "1"
    after:
      description: The protocol it has afterwards (check mode, the one it would have); null where it was not read.
      type: str
      sample: "2"
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

import re

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.norvane.brinlet.plugins.module_utils.brinlet import (
    COMMON_ARGS, converge, fail)

# brinlet reads -p's value into a signed 32-bit number.
PROTOCOL_MAX = 2 ** 31 - 1


def main():
    module = AnsibleModule(
        argument_spec=dict(COMMON_ARGS, protocol=dict(type="str", required=True)),
        supports_check_mode=True,
    )
    given = module.params["protocol"]
    if not re.fullmatch(r"[0-9]+", given) or int(given) > PROTOCOL_MAX:
        fail(module, "protocol must be a number from 0 to %d, not %r" % (PROTOCOL_MAX, given))
    # brinlet sends the number in plain decimal and the inventory shows it
    # so: "04" is protocol "4", and only "4" ever matches the inventory.
    protocol = str(int(given))
    converge(module, "protocol", protocol, ["-p", protocol], "protocol")


if __name__ == "__main__":
    main()
