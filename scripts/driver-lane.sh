#!/usr/bin/env bash
# Runs a Windows program of the build against the test kernel driver: a fresh
# Wine prefix of this lane, a persistent wineserver (else Wine ends the session,
# and the driver with it, a few seconds after the last program exits), the
# driver installed, then the program. Exit status: the program's.
# Usage: driver-lane.sh <build-dir> <program.exe> [args]
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "$1" && pwd)"; shift
prefix="$build/wineprefix-drv"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

wineserver -k 2>/dev/null   # a session left by an aborted run
wineserver -w 2>/dev/null
rm -rf "$prefix"
"$here/wine-prefix.sh" "$prefix" "$prefix/.ready" || exit 1
wineserver -p
trap 'wineserver -k 2>/dev/null; wineserver -w 2>/dev/null' EXIT
wine "$build/bin/testdrv_install.exe" || exit 1
wine "$@"
