#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: GPL-2.0-or-later

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: firmware
short_description: Brings Norvane card readers to a firmware version
description:
  - Takes the inventory of the readers attached to the managed host
    (C(brinlet -a -l)) and updates, in one C(brinlet -a) run, every selected
    reader that does not report I(version) yet.
  - Readers already reporting I(version) are left alone. Afterwards the
    inventory must show I(version) on each updated reader, else that reader
    failed (C(took the image but reports X)).
  - Nothing is retried; brinlet's summary and exit status are the truth.
    When any reader failed, the task fails with a message naming those
    readers and still returns every reader's entry.
  - brinlet runs with an argument list, never through a shell.
version_added: "1.0.0"
author: brinlet developers
extends_documentation_fragment:
  - norvane.brinlet.brinlet
options:
  image:
    description:
      - The firmware image, a file on the managed host (put it there with
        M(ansible.builtin.copy)).
    type: path
    required: true
  kind:
    description:
      - Which firmware the image is. C(standard) updates the standard
        firmware (C(-u)), C(service) the service firmware (C(-w)),
        C(module) the card reader module's firmware (C(-X)).
      - It names the inventory column compared with I(version), one of
        C(firmware), C(service_firmware) or C(module_firmware).
    type: str
    choices: [standard, service, module]
    default: standard
  version:
    description:
      - The version the readers must report afterwards, exactly as the
        inventory shows it (for example C(2.15.1)).
    type: str
    required: true
  restart:
    description:
      - Restart each updated reader at the end (C(-k)).
    type: bool
    default: false
  serials:
    description:
      - Serial numbers of the readers to work on (letter case does not
        matter). Default is every attached reader. A serial number that is
        not attached fails the task before any reader is touched.
    type: list
    elements: str
notes:
  - Check mode takes the inventory only and says which readers would be
    updated; nothing is sent to any reader.
  - Readers whose serial number is empty, or shared with a reader that must
    be left alone, cannot be selected and fail.
seealso:
  - module: norvane.brinlet.readers_info
"""

EXAMPLES = r"""
- name: Put the image on the station
  ansible.builtin.copy:
    src: files/usb2-2.15.1.fw
    dest: /var/tmp/usb2-2.15.1.fw
    mode: "0644"

- name: Every reader on standard firmware 2.15.1
  norvane.brinlet.firmware:
    image: /var/tmp/usb2-2.15.1.fw
    version: 2.15.1
    restart: true
  register: update

- name: The module firmware of two readers
  norvane.brinlet.firmware:
    image: /var/tmp/icm7720-1.5.0.fw
    kind: module
    version: 1.5.0
    serials: [RD2K004711, RD2S008812]
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
      sample: RD2K004711
    path:
      description: Its USB path.
      type: str
      sample: "1-4.2:1.1"
    result:
      description:
        - C(unchanged) (already reported the version), C(changed)
          (updated and now reports it), C(would_change) (check mode),
          C(skipped) (brinlet says its personality cannot take it),
          C(failed).
      type: str
      sample: changed
    changed:
      description: Whether this reader was (or in check mode would be) updated.
      type: bool
    status:
      description: The exit status brinlet gives for this reader alone; null where no run was made.
      type: int
      sample: 0
    message:
      description: Why the reader failed or was skipped, else empty.
      type: str
      sample: "took the image but reports 2.14.0"
    before:
      description: The version the reader reported before; null when it could not be asked.
      type: str
      sample: 2.14.0
    after:
      description: The version it reports afterwards (check mode, the one it would report); null where it was not read.
      type: str
      sample: 2.15.1
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

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.norvane.brinlet.plugins.module_utils.brinlet import (
    COMMON_ARGS, converge, fail)

OPERATIONS = {
    "standard": ("-u", "firmware"),
    "service": ("-w", "service_firmware"),
    "module": ("-X", "module_firmware"),
}


def main():
    module = AnsibleModule(
        argument_spec=dict(
            COMMON_ARGS,
            image=dict(type="path", required=True),
            kind=dict(type="str", default="standard", choices=list(OPERATIONS)),
            version=dict(type="str", required=True),
            restart=dict(type="bool", default=False),
        ),
        supports_check_mode=True,
    )
    image = os.path.abspath(module.params["image"])
    if not os.path.isfile(image) or not os.access(image, os.R_OK):
        fail(module, "image %s is not a readable file" % image)
    option, column = OPERATIONS[module.params["kind"]]
    operation = [option, "-i", image] + (["-k"] if module.params["restart"] else [])
    converge(module, column, module.params["version"], operation, "image")


if __name__ == "__main__":
    main()
