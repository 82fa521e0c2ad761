#!/usr/bin/env bash
# Builds and runs every test: the suite in a release build, the suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the conversion job's
# tests under ThreadSanitizer, then every libFuzzer target for a short fixed
# time over its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${VORELLE_FUZZ_SECONDS:-10}

scripts/setup.sh
# Compiler cache: repeated builds (three trees of mostly the same sources)
# reuse earlier results.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

echo "== release build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORELLE_BENCH=ON "${launcher[@]}" >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure

echo "== sanitizer build and tests"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORELLE_SANITIZE=ON "${launcher[@]}" >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure

echo "== thread sanitizer: the conversion job on several workers"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORELLE_TSAN=ON "${launcher[@]}" >/dev/null
cmake --build build-tsan -j "$jobs" --target app_ConversionJobTest
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan -R '^ConversionJob' -j "$jobs" --output-on-failure

echo "== fuzz targets (${fuzz_seconds}s each)"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DVORELLE_FUZZ=ON -DVORELLE_APP=OFF -DVORELLE_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build build-fuzz -j "$jobs"
passed=0
failed=0
for target in build-fuzz/fuzz/fuzz_*; do
  if scripts/fuzz.sh "$(basename "$target")" "$fuzz_seconds"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
