#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages twice (dpkg-buildpackage in two different build
# paths), requires identical bytes, checks their contents, lintian, the
# hardening of the binaries, then unpacks them into a throw-away root and
# runs the installed brinlet on the installed emulator there
# (debian/tests/emulated-readers, which autopkgtest runs on an installed
# system).
# Usage: tests/package_test.sh BUILD_DIR
set -eu
build=$1
top=$(CDPATH='' cd -- "$(dirname -- "$0")/.." && pwd)
out=$build/package-test
rm -rf "$out"
mkdir -p "$out"
out=$(CDPATH='' cd -- "$out" && pwd)
lintian_pid=
fail() {
    echo "FAIL: $*"
    [ -z "$lintian_pid" ] || kill "$lintian_pid" 2>/dev/null || true
    exit 1
}
for tool in dpkg-buildpackage dh lintian hardening-check; do
    command -v $tool >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done

version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
# The two builds share nothing, so they run side by side: each spends much
# of its time in one-core steps (configuring, the dh helpers, compressing).
nice -n 10 sh "$top/packaging/build-deb.sh" "$out/a" >/dev/null &
build_a=$!
nice -n 10 sh "$top/packaging/build-deb.sh" "$out/b" >/dev/null &
build_b=$!
wait "$build_a" || fail "package build in $out/a"
wait "$build_b" || fail "package build in $out/b"
for f in brinlet brinlet-emulator brinlet-dbgsym brinlet-emulator-dbgsym; do
    deb=${f}_${version}_$arch.deb
    [ -f "$out/a/$deb" ] || fail "no $deb"
    cmp -s "$out/a/$deb" "$out/b/$deb" || fail "$deb differs between two builds"
done
echo "two builds identical"

# The version is written in the changelog, the project (which generates it
# into the program) and the man pages; they agree.
grep -q "^project(brinlet VERSION $version " "$top/CMakeLists.txt" || fail "CMakeLists.txt version is not $version"
grep -q '"@PROJECT_VERSION@"' "$top/src/base/version.h.in" || fail "program version is not the project's"
for page in brinlet brinlet-emu; do
    grep -q "^\.TH .* \"brinlet $version\"" "$top/doc/$page.1" || fail "$page.1 is not for $version"
done

cd "$out/a"
deb=brinlet_${version}_$arch.deb
emu=brinlet-emulator_${version}_$arch.deb
files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sed 's|/lib/[a-z0-9_-]*-linux-gnu[a-z]*/|/lib/MULTIARCH/|'; }
[ "$(files "$deb")" = "./usr/bin/brinlet
./usr/lib/udev/rules.d/70-brinlet.rules
./usr/share/bash-completion/completions/brinlet
./usr/share/doc/brinlet/NEWS.md.gz
./usr/share/doc/brinlet/README.md.gz
./usr/share/doc/brinlet/changelog.gz
./usr/share/doc/brinlet/copyright
./usr/share/lintian/overrides/brinlet
./usr/share/man/man1/brinlet.1.gz" ] || fail "contents of $deb: $(files "$deb")"
[ "$(files "$emu")" = "./usr/bin/brinlet-emu
./usr/lib/MULTIARCH/brinlet/libbrinlet_emu.so
./usr/share/bash-completion/completions/brinlet-emu
./usr/share/brinlet/scenarios/default.scn
./usr/share/doc/brinlet/emulator.md.gz
./usr/share/doc/brinlet-emulator/changelog.gz
./usr/share/doc/brinlet-emulator/copyright
./usr/share/man/man1/brinlet-emu.1.gz" ] || fail "contents of $emu: $(files "$emu")"
dpkg-deb -f "$deb" Depends | grep -q 'libhidapi-libusb0' || fail "no hidapi dependency"
dpkg-deb -f "$emu" Depends | grep -q "brinlet (= $version)" || fail "emulator does not depend on its brinlet"
dpkg-deb -f "$emu" Depends | grep -q 'libc6' || fail "emulator does not depend on libc6"

# Any error or warning fails; pedantic and informational tags are shown.
# Lintian reads the packages beside the checks below, which only read them
# too; its verdict is taken at the end.
lintian --pedantic --display-info --fail-on error,warning "brinlet_${version}_$arch.changes" \
    >"$out/lintian.txt" 2>&1 &
lintian_pid=$!

root=$out/root
dpkg -x "$deb" "$root"
dpkg -x "$emu" "$root"
lib=$(ls "$root"/usr/lib/*/brinlet/libbrinlet_emu.so)
# Glibc's start files in this release carry no CET marking, so the linker
# drops it from every program (hardening-check reports control flow
# integrity "no" also for /usr/bin/ls); the compiled code has it (endbr64).
hardening-check --nocfprotection "$root/usr/bin/brinlet" "$lib" || fail "hardening-check"
if [ "$arch" = amd64 ]; then
    for f in "$root/usr/bin/brinlet" "$lib"; do
        objdump -d "$f" | grep -q endbr64 || fail "$f built without -fcf-protection"
    done
fi
for f in "$root/usr/bin/brinlet" "$lib"; do
    ! grep -q -a "$out" "$f" || fail "$f holds the build path"
done
cmp "$top/packaging/70-brinlet.rules" "$root/usr/lib/udev/rules.d/70-brinlet.rules" || fail "installed udev rule"

sh "$top/debian/tests/emulated-readers" "$root" || fail "installed packages"

status=0
wait "$lintian_pid" || status=$?
lintian_pid=
grep -v '^running with root privileges' "$out/lintian.txt" || true
[ "$status" -eq 0 ] || fail "lintian"
echo "lintian clean"
rm -rf "$out/b" "$root"
echo "packages OK: $out/a/$deb $out/a/$emu"
