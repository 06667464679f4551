#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages from the build tree and checks their contents.
set -e
build=$1
cd "$build"
cpack -G DEB >/dev/null
deb=$(ls brinlet_*.deb | head -n 1)
emu=$(ls brinlet-emulator_*.deb | head -n 1)
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/brinlet ./usr/share/man/man1/brinlet.1.gz ./usr/lib/udev/rules.d/70-brinlet.rules \
         ./usr/share/bash-completion/completions/brinlet; do
    echo "$contents" | grep -q " $f\$" || { echo "missing $f in $deb"; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q 'libhidapi-libusb0' || { echo "no hidapi dependency"; exit 1; }
emu_contents=$(dpkg-deb -c "$emu")
echo "$emu_contents" | grep -q 'libbrinlet_emu.so$' || { echo "no emulator library in $emu"; exit 1; }
echo "$emu_contents" | grep -q ' ./usr/bin/brinlet-emu$' || { echo "no wrapper in $emu"; exit 1; }
if command -v lintian >/dev/null 2>&1; then
    lintian --fail-on error "$deb"
fi
echo "packages OK: $deb $emu"
