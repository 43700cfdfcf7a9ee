#!/usr/bin/env bash
# Runs a Windows program of the build against the test kernel driver: the
# lane's own Wine prefix, a persistent wineserver (else Wine ends the session,
# and the driver with it, a few seconds after the last program exits), the
# driver installed, then the program. Exit status: the program's.
# The prefix is kept between runs (12 s to make, 2 s to reuse): a new session
# starts the installed driver by itself with no child plugged, and the freshly
# built driver is copied over the installed one first. DRIVER_LANE_FRESH=1
# makes a new prefix.
# Usage: driver-lane.sh <build-dir> <program.exe> [args]
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "$1" && pwd)"; shift
prefix="$build/wineprefix-drv"
installed="$prefix/drive_c/windows/system32/drivers/dravtest.sys"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

wineserver -k 2>/dev/null   # a session left by an aborted run
wineserver -w 2>/dev/null
if [ "${DRIVER_LANE_FRESH:-0}" = 1 ] || [ ! -f "$prefix/.ready" ] || \
   [ "$(cat "$prefix/.ready")" != "$(wine --version)" ]; then
  rm -rf "$prefix"
  "$here/wine-prefix.sh" "$prefix" "$prefix/.made" || exit 1
  wine --version > "$prefix/.ready"
elif [ -f "$installed" ]; then
  cp "$build/bin/dravtest.sys" "$installed" || exit 1
fi
wineserver -p
trap 'wineserver -k 2>/dev/null; wineserver -w 2>/dev/null' EXIT
wine "$build/bin/testdrv_install.exe" || exit 1
wine "$@"
