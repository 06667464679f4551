# SPDX-License-Identifier: GPL-2.0-or-later
"""Emulated benches for Ansible: each host of an inventory gets a folder
with its own scenario, state file, history and a `brinlet` wrapper that
runs the program on those emulated readers. Used by the Ansible tests and
the benchmark."""

import os
import stat
import textwrap

# Personalities the benches mix: product, USBMODE.
PERSONALITIES = [(0x0202, 1), (0x0204, 3), (0x0203, 2), (0x0206, 5), (0x0201, 0), (0x020C, 10)]

IMAGE = b"Norvane USB reader firmware (emulated)\nBRINLET-VERSION: 2.15.1\n" + bytes(range(256)) * 16
CONFIG = b"# door readers\nKBDLAYOUT=1\nSOUND=1\nREADER=50\n"
VERSION = "2.15.1"


def scenario(host, count, refuse=None, current=()):
    """count readers, the last in its service firmware; readers numbered in
    current already run VERSION; the reader numbered refuse refuses every
    standard image."""
    lines = ["# Bench of host %s" % host]
    for number in range(count):
        name = "r%d" % number
        serial = "%s-%04d" % (host.upper(), number + 1)
        if number == count - 1:
            lines += ["device %s 0x0200" % name, "  serial %s" % serial,
                      "  port 1-%d" % (number + 1), "  normal 0x0201", "  param USBMODE 0",
                      '  param FWVERSION "0.0.0"', "  module_count 0"]
        else:
            product, mode = PERSONALITIES[number % len(PERSONALITIES)]
            version = VERSION if number in current else "2.14.%d" % number
            lines += ["device %s 0x%04x" % (name, product), "  serial %s" % serial,
                      "  port 1-%d" % (number + 1), "  param USBMODE %d" % mode,
                      '  param FWVERSION "%s"' % version]
        if number == refuse:
            lines.append("  fn 510 result -7")
    return "\n".join(lines) + "\n"


def make_host(root, host, count, source, build, **kwargs):
    folder = os.path.join(root, host)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "bench.scn"), "w") as handle:
        handle.write(scenario(host, count, **kwargs))
    wrapper = os.path.join(folder, "brinlet")
    with open(wrapper, "w") as handle:
        handle.write(textwrap.dedent("""\
            #!/bin/sh
            # brinlet on the emulated bench of host {host}
            unset BRINLET_EMU_CONTROL BRINLET_EMU_TRANSCRIPT
            BRINLET_EMU_STATE={folder}/state BRINLET_HISTORY={folder}/history \\
            BRINLET_BIN={build}/brinlet BRINLET_EMU_LIB={build}/emulator/libbrinlet_emu.so \\
                exec {source}/tools/brinlet-emu {folder}/bench.scn -- "$@"
            """).format(host=host, folder=folder, build=build, source=source))
    os.chmod(wrapper, stat.S_IRWXU)
    return folder


def make_site(root, hosts, source, build, collection=True):
    """Hosts: {name: (count, kwargs)}. Writes the inventory, the files the
    playbooks copy and the collection's path; returns the environment for
    ansible-playbook."""
    os.makedirs(os.path.join(root, "files"), exist_ok=True)
    with open(os.path.join(root, "files", "usb2-2.15.1.fw"), "wb") as handle:
        handle.write(IMAGE)
    with open(os.path.join(root, "files", "door.cfg"), "wb") as handle:
        handle.write(CONFIG)
    lines = ["[stations]"]
    for host, (count, kwargs) in hosts.items():
        folder = make_host(root, host, count, source, build, **kwargs)
        lines.append("%s ansible_connection=local ansible_python_interpreter=/usr/bin/python3 "
                     "bench=%s" % (host, folder))
    with open(os.path.join(root, "hosts.ini"), "w") as handle:
        handle.write("\n".join(lines) + "\n")
    collections = os.path.join(root, "collections", "ansible_collections", "norvane")
    os.makedirs(collections, exist_ok=True)
    if collection and not os.path.islink(os.path.join(collections, "brinlet")):
        os.symlink(os.path.join(source, "ansible"), os.path.join(collections, "brinlet"))
    env = dict(os.environ)
    env.update(ANSIBLE_COLLECTIONS_PATH=os.path.join(root, "collections"),
               ANSIBLE_LOCAL_TEMP=os.path.join(root, "tmp-local"),
               ANSIBLE_REMOTE_TEMP=os.path.join(root, "tmp-remote"),
               ANSIBLE_HOME=os.path.join(root, "ansible-home"),
               ANSIBLE_NOCOLOR="1", ANSIBLE_FORCE_COLOR="0", ANSIBLE_RETRY_FILES_ENABLED="0",
               ANSIBLE_HOST_KEY_CHECKING="0", ANSIBLE_FORKS="10",
               ANSIBLE_PYTHON_INTERPRETER="/usr/bin/python3")
    return env
