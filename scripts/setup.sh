#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the Debian packages the build and the tests need: the build
# dependencies in debian/control (with apt-get build-dep) and the tools the
# test suite uses beyond them.
# Usage: scripts/setup.sh [--full|--soak]
#   --full adds the fuzzing tool chain, --soak valgrind for the long runs
set -e
cd "$(dirname "$0")/.."

# Package names in debian/control's Build-Depends (first of alternatives;
# debhelper-compat is provided by debhelper).
build_deps() {
    awk '/^Build-Depends:/ { on = 1; sub(/^Build-Depends:/, ""); print; next }
         on && /^[ \t]/ { print; next }
         { on = 0 }' debian/control |
        tr ',' '\n' | sed 's/|.*//; s/[([<].*//; s/[[:space:]]//g; s/^debhelper-compat$/debhelper/' | grep -v '^$'
}

# The tests: GoogleTest, the USB stack under umockdev, the package build and
# its checks (lintian, hardening-check from devscripts, completion), Ansible
# for the collection's tests.
tests="build-essential dpkg-dev make libgtest-dev umockdev libumockdev-dev libusb-1.0-0-dev lintian devscripts
bash-completion clang-format-14 gcovr ansible-core"
if [ "${1:-}" = "--full" ]; then
    tests="$tests clang libclang-rt-14-dev"
elif [ "${1:-}" = "--soak" ]; then
    tests="$tests valgrind"
fi

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
missing_build=""
for p in $(build_deps); do
    installed "$p" || missing_build="$missing_build $p"
done
missing_tests=""
for p in $tests; do
    installed "$p" || missing_tests="$missing_tests $p"
done
[ -z "$missing_build$missing_tests" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
    echo "Installing:$missing_build$missing_tests"
    apt-get update -qq
    export DEBIAN_FRONTEND=noninteractive
    if [ -n "$missing_build" ]; then
        apt-get build-dep -y -qq --no-install-recommends ./
    fi
    if [ -n "$missing_tests" ]; then
        apt-get install -y -qq --no-install-recommends $missing_tests
    fi
else
    echo "These packages are missing:$missing_build$missing_tests" >&2
    echo "Install them with:" >&2
    echo "    sudo apt-get install -y$missing_build$missing_tests" >&2
    exit 1
fi
