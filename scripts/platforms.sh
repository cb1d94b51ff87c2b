#!/usr/bin/env bash
# The platform tests: builds duostem for the other platforms this machine can
# build for and runs there what each can run:
#   aarch64  Linux arm64, cross-compiled; the whole test suite under qemu-aarch64
#   windows  Windows x64, cross-compiled with mingw-w64; under wine the tests
#            that open no model (wine never finishes creating the runtime's environment)
#   libcxx   clang with libc++ and the Linux-only paths off, standing in for
#            macOS' toolchain; the whole test suite
# usage: scripts/platforms.sh [PART ...]   (default: every part)
# Installs what it needs; prints the time of each part and fails if any failed.
set -euo pipefail
cd "$(dirname "$0")/.."

ALL_PARTS=(aarch64 windows libcxx)
parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=("${ALL_PARTS[@]}")
jobs=$(nproc)
GTEST_SOURCE=/usr/src/googletest

say() { printf '\nplatforms: %s\n' "$*" >&2; }

bash scripts/bootstrap.sh googletest g++-aarch64-linux-gnu qemu-user g++-mingw-w64-x86-64-posix wine64 \
  libc++-dev libc++abi-dev

# configure_and_build DIR CMAKE-ARGS...
configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DDUOSTEM_GTEST_SOURCE="$GTEST_SOURCE" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

part_aarch64() {
  configure_and_build build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
  ctest --test-dir build-aarch64 --output-on-failure -j"$jobs" --timeout 600
}

part_windows() {
  configure_and_build build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake
  # A throwaway wine prefix; its first start takes a while, so it is made before any test's clock runs.
  local prefix
  prefix=$(mktemp -d)
  export WINEPREFIX=$prefix WINEDEBUG=-all
  timeout 300 /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
  local status=0
  ctest --test-dir build-windows --output-on-failure -j"$jobs" --timeout 120 || status=$?
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
  return "$status"
}

part_libcxx() {
  configure_and_build build-libcxx -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ -DDUOSTEM_LINUX_EXTRAS=OFF \
    -DDUOSTEM_BENCH=OFF
  ctest --test-dir build-libcxx --output-on-failure -j"$jobs"
}

failed=()
summary=""
for part in "${parts[@]}"; do
  declare -F "part_$part" >/dev/null || { printf 'platforms: no part %s (parts: %s)\n' "$part" "${ALL_PARTS[*]}" >&2; exit 2; }
  say "$part"
  start=$SECONDS
  status=0
  "part_$part" || status=$?
  [ "$status" -eq 0 ] || failed+=("$part")
  summary+=$(printf '\n  %-8s %5d s  %s' "$part" $((SECONDS - start)) "$([ "$status" -eq 0 ] && echo passed || echo FAILED)")
done
say "summary:$summary"
[ ${#failed[@]} -eq 0 ] || { printf 'platforms: failed: %s\n' "${failed[*]}" >&2; exit 1; }
