#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages (dpkg-buildpackage -b) in a copy of the source
# tree, so that the work tree gets no build files, and collects them in
# OUTDIR: brinlet_VERSION_ARCH.deb, brinlet-emulator_VERSION_ARCH.deb, their
# -dbgsym packages, the .changes and .buildinfo files.
# Usage: packaging/build-deb.sh OUTDIR
set -eu
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 64; }
top=$(CDPATH='' cd -- "$(dirname -- "$0")/.." && pwd)
mkdir -p "$1"
out=$(CDPATH='' cd -- "$1" && pwd)
version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
stage=$out/stage
tree=$stage/brinlet-$version

rm -rf "$stage"
mkdir -p "$tree"
# The tree without build directories, VCS data and fuzzing work files.
tar -C "$top" --exclude=./.git --exclude='./build*' --exclude=./fuzz/corpus-work \
    --exclude='./obj-*' -cf - . | tar -C "$tree" -xf -

cd "$tree"
DEB_BUILD_OPTIONS="nocheck parallel=${JOBS:-2}${DEB_BUILD_OPTIONS:+ $DEB_BUILD_OPTIONS}" \
    dpkg-buildpackage -us -uc -b >"$stage/build.log" 2>&1 || {
    tail -n 40 "$stage/build.log" >&2
    echo "$0: dpkg-buildpackage failed, log in $stage/build.log" >&2
    exit 1
}
cd "$stage"
rm -f "$out"/brinlet*_"$version"_*
mv brinlet*_"$version"_* "$out"/
rm -rf "$tree"
ls "$out"/brinlet*_"$version"_*
