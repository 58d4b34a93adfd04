#!/usr/bin/env bash
# Installs the dependencies, builds Stelp with AddressSanitizer and
# UndefinedBehaviorSanitizer, runs every test, runs the engine and window
# tests under ThreadSanitizer, then gives each fuzz target a short run.
# STELP_FUZZ_SECONDS sets the fuzz time per target (60 under CI, 15
# otherwise; 0 skips the fuzz run).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)

"$root/scripts/install-deps.sh"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

cmake -S "$root" -B "$root/build/test" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTELP_SANITIZE=ON
cmake --build "$root/build/test" -j "$jobs"
ctest --test-dir "$root/build/test" --output-on-failure -j "$jobs"

# The engine and window tests again under ThreadSanitizer: the window's work
# runs on a worker thread.
cmake -S "$root" -B "$root/build/test-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTELP_SANITIZE_THREAD=ON \
  -DSTELP_BUILD_BENCH=OFF
cmake --build "$root/build/test-tsan" -j "$jobs" --target engine_tests app_main_tests
for suite in engine/engine_tests app/app_main_tests; do
  TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/tsan.supp" QT_QPA_PLATFORM=offscreen \
    "$root/build/test-tsan/tests/$suite" --gtest_brief=1
done

if [[ "${CI:-}" == "true" ]]; then default_seconds=60; else default_seconds=15; fi
fuzz_seconds=${STELP_FUZZ_SECONDS:-$default_seconds}
if [[ "$fuzz_seconds" -gt 0 ]]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$root/build/test-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSTELP_FUZZ=ON -DSTELP_BUILD_TESTS=OFF -DSTELP_BUILD_BENCH=OFF -DSTELP_FUZZ_SECONDS="$fuzz_seconds"
  cmake --build "$root/build/test-fuzz" -j "$jobs" --target fits_fuzz bitmap_fuzz avi_fuzz ser_fuzz project_fuzz
  ctest --test-dir "$root/build/test-fuzz" --output-on-failure -L fuzz
fi
