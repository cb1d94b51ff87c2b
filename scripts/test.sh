#!/usr/bin/env bash
# The whole test suite, set-up included: dependencies, an optimised build and
# its tests, then the same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."

# The studio's browser test runs on Linux x86-64 only; the demo needs no browser.
browser=()
[ "$(dpkg --print-architecture)" != amd64 ] || browser=(chromium chromium-driver python3-selenium)
bash scripts/bootstrap.sh "${browser[@]}"
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure --no-tests=error -j"$jobs"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDUOSTEM_SANITIZE=ON
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure --no-tests=error -j"$jobs"

# A bounded fuzz run of the WAV reader; fails on any finding.
bash scripts/fuzz.sh 120
