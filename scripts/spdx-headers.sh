#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Puts the licence identifier line at the top of every source file that
# lacks it: "// SPDX-License-Identifier: GPL-2.0-or-later" first in C++
# files, "# ..." in CMake, shell and Python files (after a "#!" line).
# Running it again changes nothing.
# Usage: scripts/spdx-headers.sh [--check]
#   --check: change nothing, list the files without the line, exit 1 if any
set -eu
cd "$(dirname "$0")/.."
id="SPDX-License-Identifier: GPL-2.0-or-later"
check=no
[ "${1:-}" = "--check" ] && check=yes

# The project's files that carry the line from the start, besides the
# source directories below.
owned="CMakeLists.txt Makefile tools/brinlet-emu packaging/70-brinlet.rules packaging/brinlet.bash
packaging/build-deb.sh doc/brinlet.1 doc/brinlet-emu.1 debian/rules debian/control debian/tests/control
debian/tests/emulated-readers"

missing=0
for f in $(find src emulator tests fuzz bench -type f \( -name '*.cpp' -o -name '*.h' -o -name CMakeLists.txt \
    -o -name '*.sh' -o -name '*.py' \) | LC_ALL=C sort) scripts/*.sh $owned; do
    [ -f "$f" ] || continue
    if head -n 2 "$f" | grep -q "$id"; then
        continue
    fi
    if [ "$check" = yes ]; then
        echo "no licence line: $f"
        missing=$((missing + 1))
        continue
    fi
    case $f in
        *.cpp | *.h) line="// $id" ;;
        *.1) line=".\\\" $id" ;;
        *) line="# $id" ;;
    esac
    tmp=$(mktemp)
    if head -n 1 "$f" | grep -q '^#!'; then
        { head -n 1 "$f"; echo "$line"; tail -n +2 "$f"; } >"$tmp"
    else
        { echo "$line"; cat "$f"; } >"$tmp"
    fi
    cat "$tmp" >"$f" # keeps the file's mode
    rm -f "$tmp"
    echo "added: $f"
done
if [ "$missing" -gt 0 ]; then
    echo "$missing files without the licence line; scripts/spdx-headers.sh adds it"
    exit 1
fi
