#!/usr/bin/env bash
# Checks each plug-in DLL: exactly the eight exports by ordinal and name, and
# (for the production DLL, the first argument) imports from system DLLs only.
set -euo pipefail
expected="1 MouControl
2 MouDeviceCleanup
3 MouDeviceControl
4 MouEvaluateEventCompatibility
5 MouMainExit
6 MouMainInit
7 MouRegisterEvent
8 MouUnregisterEvent"
system_dlls='^(kernel32|user32|advapi32|setupapi|shell32|msvcrt|ntdll|api-ms-win-.*|ucrtbase)\.dll$'
status=0
first=1
for dll in "$@"; do
  dump=$(x86_64-w64-mingw32-objdump -p "$dll")
  # Rows of the export name table: "[ord] name" with the biased ordinal.
  exports=$(printf '%s\n' "$dump" | awk '/^\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{gsub(/[][]/,"");print $1+1, $2;next} t{t=0}')
  count=$(printf '%s\n' "$dump" | awk '/^Export Address Table -- /{t=1;next} t&&/^[ \t]*\[/{n++;next} t{t=0} END{print n+0}')
  if [ "$exports" != "$expected" ]; then
    echo "FAIL $dll: exports are"; echo "$exports"; status=1
  else
    echo "ok   $dll: eight exports by ordinal and name"
  fi
  if [ "$count" != "8" ]; then
    echo "FAIL $dll: export address table has $count entries"; status=1
  fi
  if [ $first -eq 1 ]; then
    imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/{print tolower($3)}' | sort -u)
    bad=$(printf '%s\n' "$imports" | grep -Ev "$system_dlls" || true)
    if [ -n "$bad" ]; then
      echo "FAIL $dll imports non-system DLLs: $bad"; status=1
    else
      echo "ok   $dll imports only: $(echo $imports)"
    fi
  fi
  first=0
done
exit $status
