#!/usr/bin/env bash
# Builds and runs every test: the suite in a release build, the suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer, then every libFuzzer
# target for a short fixed time over its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
fuzz_seconds=${VORELLE_FUZZ_SECONDS:-20}

scripts/setup.sh

echo "== release build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORELLE_BENCH=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure

echo "== sanitizer build and tests"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORELLE_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure

echo "== fuzz targets (${fuzz_seconds}s each)"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DVORELLE_FUZZ=ON -DVORELLE_APP=OFF -DVORELLE_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$jobs"
passed=0
failed=0
for target in build-fuzz/fuzz/fuzz_*; do
  name=$(basename "$target")
  seeds="$root/build-fuzz/seeds/$name"
  rm -rf "$seeds"; mkdir -p "$seeds" "$root/build-fuzz/corpus/$name"
  # fuzz/<name>.seeds lists globs (relative to the project root) of seed files.
  if [ -f "fuzz/$name.seeds" ]; then
    while read -r pattern; do
      [ -z "$pattern" ] || [ "${pattern#\#}" != "$pattern" ] && continue
      for f in $pattern; do [ -f "$f" ] && [ "$(stat -c %s "$f")" -le 1048576 ] && cp "$f" "$seeds/" || true; done
    done < "fuzz/$name.seeds"
  fi
  if "$target" -max_total_time="$fuzz_seconds" -rss_limit_mb=6144 -timeout=30 -print_final_stats=1 \
      "$root/build-fuzz/corpus/$name" "$seeds" >"build-fuzz/$name.log" 2>&1; then
    echo "fuzz $name: $(grep -Eo 'stat::number_of_executed_units: [0-9]+' "build-fuzz/$name.log" || tail -n 1 "build-fuzz/$name.log")"
    passed=$((passed + 1))
  else
    echo "fuzz $name FAILED:"; tail -n 40 "build-fuzz/$name.log"
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
