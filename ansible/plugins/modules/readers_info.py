#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: GPL-2.0-or-later

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: readers_info
short_description: Lists the Norvane card readers attached to a host, with their versions
description:
  - Runs C(brinlet -a -l) on the managed host and returns its inventory,
    one entry per reader with every column brinlet gives.
  - Changes nothing; nothing is written to any reader.
  - When a reader could not be asked the task fails naming it, and still
    returns every reader's entry.
version_added: "1.0.0"
author: brinlet developers
extends_documentation_fragment:
  - norvane.brinlet.brinlet
options:
  serials:
    description:
      - Serial numbers of the readers to list (letter case does not
        matter). Default is every attached reader. A serial number that is
        not attached fails the task.
    type: list
    elements: str
notes:
  - Supports check mode; it runs the same, since it changes nothing.
seealso:
  - module: norvane.brinlet.firmware
"""

EXAMPLES = r"""
- name: What is on the bench
  norvane.brinlet.readers_info:
  register: bench

- name: Readers not on 2.15.1 yet
  ansible.builtin.debug:
    msg: "{{ bench.readers | rejectattr('firmware', 'eq', '2.15.1') | map(attribute='serial') }}"
"""

RETURN = r"""
readers:
  description: One entry per reader in brinlet's list order; every value is the text brinlet wrote.
  returned: always
  type: list
  elements: dict
  contains:
    index: {description: The number brinlet -l gives the reader., type: str, sample: "0"}
    serial: {description: Its serial number., type: str, sample: RD2K004711}
    model: {description: "Its model's description, as brinlet -l prints it.", type: str}
    path: {description: Its USB path., type: str, sample: "1-4.2:1.1"}
    firmware: {description: "FWVERSION; empty in the service firmware.", type: str, sample: 2.14.3}
    service_firmware: {description: SERVICE_VER., type: str, sample: 1.0.3}
    service_status: {description: "C(ok), C(damaged) or empty.", type: str}
    usb_mode: {description: USBMODE as a number., type: str}
    protocol: {description: READERPROTOCOL as sent., type: str, sample: "4"}
    hardware: {description: "Hardware version A.B.C.", type: str}
    hardware_serial: {description: HWCFG_SERIAL., type: str}
    library: {description: The reader library's version text., type: str}
    module_part: {description: "The card reader module's part, when it has one.", type: str}
    module_firmware: {description: "The module's firmware A.B.C, empty when none.", type: str}
    module_serial: {description: "The module's serial number.", type: str}
    status: {description: "The reader's status text (not an exit status).", type: str}
    result: {description: "C(ok) when the reader could be asked, else C(failed).", type: str}
    message: {description: "For C(failed), what went wrong.", type: str}
failed_serials:
  description: Serial numbers of the readers that could not be asked; empty when the task failed before any reader's entry.
  returned: always
  type: list
  elements: str
brinlet_runs:
  description: Every brinlet run of the task, with its arguments, exit status and seconds (on a failure, the runs made until then).
  returned: always
  type: list
  elements: dict
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.norvane.brinlet.plugins.module_utils.brinlet import (
    COMMON_ARGS, Brinlet, BrinletError, fail, finish)


def main():
    module = AnsibleModule(argument_spec=dict(COMMON_ARGS), supports_check_mode=True)
    with Brinlet(module) as brinlet:
        try:
            rows = brinlet.inventory(brinlet.serials)
        except BrinletError as error:
            fail(module, str(error), brinlet)
        finish(module, rows, False, brinlet)


if __name__ == "__main__":
    main()
