#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz natively with clang under the
# sanitizers. "fuzz.sh OUT replay" runs each target once over its seed corpus,
# then a few thousand mutations of it with a fixed seed (seconds, the same
# inputs every time); "fuzz.sh OUT SECONDS" fuzzes each target that long (new inputs go to
# OUT/corpus/<target>, crashes to OUT/<target>-crash-*) and prints its figures.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
out="$1"
mode="${2:-60}"
command -v clang++ >/dev/null || { echo "clang++ missing: run scripts/deps.sh" >&2; exit 1; }
cmake -S "$src/tests/fuzz" -B "$out" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$out" -j2 >/dev/null
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1
status=0
for dir in "$src"/tests/fuzz/corpus/*/; do
  target="$(basename "$dir")"
  if [ "$mode" = replay ]; then
    rm -rf "$out/scratch" && mkdir -p "$out/scratch"
    if "$out/$target" -runs=1 "$dir"* >"$out/$target.log" 2>&1 &&
       "$out/$target" -runs=3000 -seed=1 -artifact_prefix="$out/$target-" "$out/scratch" "$dir" \
         >>"$out/$target.log" 2>&1; then
      echo "$target: $(ls "$dir" | wc -l) seeds and 3000 mutations, clean"
    else
      echo "$target: FAILED"; tail -40 "$out/$target.log"; status=1
    fi
    continue
  fi
  mkdir -p "$out/corpus/$target"
  if "$out/$target" -max_total_time="$mode" -print_final_stats=1 -artifact_prefix="$out/$target-" \
       "$out/corpus/$target" "$dir" >"$out/$target.log" 2>&1; then
    verdict=clean
  else
    verdict="FAILED: $(grep -m1 -E '^SUMMARY|ERROR: libFuzzer' "$out/$target.log" || true)"
    verdict+=" ($(grep -o 'Test unit written to .*' "$out/$target.log" || echo "see $out/$target.log"))"; status=1
  fi
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$out/$target.log" | grep -o '[0-9]*$' || true)
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$out/$target.log" | tail -1 || true)
  echo "$target: ${execs:-?} executions in ${mode} s, ${cov:-no coverage figure}, $verdict"
done
exit $status
