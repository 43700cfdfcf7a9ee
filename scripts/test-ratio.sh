#!/usr/bin/env bash
# Prints how large the tests are against the rest of the C++ code.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { { find "$@" \( -name "*.cpp" -o -name "*.h" -o -name "*.c" \) -print0 2>/dev/null || true; } | xargs -0 cat | wc -l; }
tests=$(count tests)
other=$(count plugin mouio framework synch system list models diag host simdrv bench testdrv)
echo "test code: $tests lines against $other lines of other C++ ($((100 * tests / other)) %)"
