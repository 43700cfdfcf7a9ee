#!/usr/bin/env bash
# Builds the pure-logic units natively with sanitizers and runs their tests.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
out="$1"
cmake -S "$src/tests/native" -B "$out" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$out" -j2 >/dev/null
"$out/native_pure_tests"
