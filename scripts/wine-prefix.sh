#!/usr/bin/env bash
# Prepares a private Wine prefix: null graphics driver so hidden windows work
# without a display, then a wineserver restart so the setting takes.
set -euo pipefail
prefix="$1"; stamp="$2"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$prefix"
wineboot -i >/dev/null 2>&1 || true
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wineserver -k || true
wineserver -w || true
touch "$stamp"
