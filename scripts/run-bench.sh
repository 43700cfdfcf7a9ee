#!/usr/bin/env bash
# Runs every benchmark of the build and prints its figures.
set -euo pipefail
build="${1:-build}"

# OpenSSL's Blowfish for the job bench_blowfish.exe times (CBC over 4 MiB),
# natively on this machine, wall clock, in the same MB (10^6 bytes).
openssl_bf_cbc() {
  local enc dec
  if ! command -v openssl >/dev/null; then
    echo "  openssl not found: no reference figure"
    return 0
  fi
  speed() {
    openssl speed -mr -elapsed -provider legacy -provider default -evp bf-cbc -seconds 1 \
      -bytes 4194304 "$@" 2>/dev/null | awk -F: '/^\+F:/ { print $4 }'
  }
  enc="$(speed || true)"
  dec="$(speed -decrypt || true)"
  if [ -z "$enc" ] || [ -z "$dec" ]; then
    echo "  openssl speed gave no Blowfish figure (legacy provider missing?)"
    return 0
  fi
  awk -v e="$enc" -v d="$dec" 'BEGIN {
    printf "  openssl encrypt %8.1f MB/s   decrypt %8.1f MB/s   encrypt+decrypt %8.1f MB/s   (openssl speed -evp bf-cbc, native)\n",
      e / 1e6, d / 1e6, 2 / (1e6 / e + 1e6 / d) }'
}

for exe in "$build"/bin/bench_*.exe; do
  [ -e "$exe" ] || continue
  echo "== $(basename "$exe")"
  (cd "$build/bin" && "../wine-run.sh" "$(basename "$exe")")
  if [ "$(basename "$exe")" = "bench_blowfish.exe" ]; then
    openssl_bf_cbc
  fi
done
