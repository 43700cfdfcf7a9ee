#!/usr/bin/env bash
# Runs every benchmark of the build and prints its figures; the rows the
# benches print (BENCHROW|measure|figure|unit|against|reference|ratio) are
# collected into one table, <build>/bench.md, printed at the end.
set -uo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-build}" && pwd)"
table="$build/bench.md"
rows="$build/bench-rows.txt"
: >"$rows"
failed=()
load="$(cut -d' ' -f1-3 /proc/loadavg)"
build_type="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")"
build_type="${build_type:-RelWithDebInfo}"   # the project's default when none is given

# OpenSSL's Blowfish on bench_blowfish.exe's job, natively through libcrypto's
# BF_cbc_encrypt; its figure and ciphertext hash go to bench_blowfish.exe.
bf_args=()
mkdir -p "$build/bench-run"
if g++ -O2 -std=c++20 -I"$src" -o "$build/bench-run/bf_openssl" "$src/bench/native/bf_openssl.cpp" -lcrypto \
  2>"$build/bench-run/bf_openssl.log"; then
  echo "== bf_openssl (native)"
  if line="$("$build/bench-run/bf_openssl")"; then
    echo "$line"
    read -r _ _ _ both hash <<<"$line"
    bf_args=("$both" "$hash")
  else
    failed+=(bf_openssl)
  fi
else
  echo "bf_openssl could not be built (libssl-dev missing?): no OpenSSL figure"
  failed+=(bf_openssl)
fi

# The table's order first, then any other bench.
for name in bench_speed.exe bench_devices.exe bench_blowfish.exe bench_bugshow.exe \
  $(cd "$build/bin" && ls bench_*.exe | grep -vxE 'bench_(speed|devices|blowfish|bugshow)\.exe'); do
  [ -e "$build/bin/$name" ] || { echo "== $name missing"; failed+=("$name"); continue; }
  args=()
  [ "$name" = bench_blowfish.exe ] && args=("${bf_args[@]}")
  echo "== $name"
  log="$build/bench-run/${name%.exe}.out"
  (cd "$build/bin" && ../wine-run.sh "$name" "${args[@]}") | tr -d '\r' | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || failed+=("$name")
  grep '^BENCHROW|' "$log" >>"$rows"
done

{
  echo "| Measure | Figure | Unit | Against (same run) | Reference | Ratio |"
  echo "|---|---:|---|---|---:|---:|"
  awk -F'|' '{ printf "| %s | %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6, $7 }' "$rows"
  echo
  echo "Ratio = figure / reference, both from the same run. Machine: $(nproc) cores" \
    "($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')), load average $load at the start;" \
    "$(wine --version 2>/dev/null); $build_type build;" \
    "$(date -u '+%Y-%m-%d %H:%M UTC'). Reproduce: \`make bench\` (writes build/bench.md)."
  [ ${#failed[@]} -eq 0 ] || echo "Failed: ${failed[*]}."
} >"$table"
echo
echo "== table ($table)"
cat "$table"
[ ${#failed[@]} -eq 0 ]
