#!/usr/bin/env bash
# A platform part whose build breaks must fail, and so must platforms.sh:
# here the libc++ part is given a compiler that does not exist.
set -euo pipefail
cd "$(dirname "$0")/.."
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
DUOSTEM_LIBCXX_CXX=/nonexistent/clang++ DUOSTEM_PLATFORM_BUILDS="$scratch" \
  bash scripts/platforms.sh libcxx >"$scratch/out" 2>&1 || status=$?
if [ "$status" -eq 0 ] || ! grep -Eq '^  libcxx +[0-9]+ s  FAILED$' "$scratch/out" \
  || ! grep -q '^platforms: failed: libcxx$' "$scratch/out" || grep -q 'No tests were found' "$scratch/out"; then
  cat "$scratch/out"
  echo "platforms_test: a broken libcxx build gave status $status and the output above" >&2
  exit 1
fi
echo "platforms_test: a broken build fails its part (status $status)"
