#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the Debian packages the build and the tests need.
# Usage: scripts/setup.sh [--full|--soak]
#   --full adds the fuzzing tool chain, --soak valgrind for the long runs
set -e
packages="cmake g++ make pkg-config libhidapi-dev libgtest-dev umockdev libumockdev-dev libusb-1.0-0-dev"
if [ "${1:-}" = "--full" ]; then
    packages="$packages clang libclang-rt-14-dev"
elif [ "${1:-}" = "--soak" ]; then
    packages="$packages valgrind"
fi
missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
    echo "Installing:$missing"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
else
    echo "These packages are missing:$missing" >&2
    echo "Install them with:" >&2
    echo "    sudo apt-get install -y$missing" >&2
    exit 1
fi
