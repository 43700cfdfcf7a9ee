#!/usr/bin/env bash
# Runs every benchmark of the build and prints its figures.
set -euo pipefail
build="${1:-build}"
for exe in "$build"/bin/bench_*.exe; do
  [ -e "$exe" ] || continue
  echo "== $(basename "$exe")"
  (cd "$build/bin" && "../wine-run.sh" "$(basename "$exe")")
done
