#!/bin/sh
# Runs a Linux arm64 program under qemu-user. ONNX Runtime learns the processor
# from /proc/cpuinfo, which qemu 7 passes through from the host unchanged; an
# arm64 runtime that finds no arm64 processor there crashes. So on a host that
# is not arm64 the program sees a plain arm64 description of as many processors,
# bound over /proc/cpuinfo in a mount namespace of its own.
set -eu
sysroot=${DUOSTEM_QEMU_SYSROOT:-/usr/aarch64-linux-gnu}
if grep -q '^CPU implementer' /proc/cpuinfo; then
  exec qemu-aarch64 -L "$sysroot" "$@"
fi
count=$(nproc --all)
info="${TMPDIR:-/tmp}/duostem-qemu-cpuinfo-$(id -u)-$count"
if [ ! -f "$info" ]; then
  scratch=$(mktemp "$info.XXXXXX")
  i=0
  while [ "$i" -lt "$count" ]; do
    printf 'processor\t: %d\nBogoMIPS\t: 50.00\nFeatures\t: fp asimd evtstrm aes pmull sha1 sha2 crc32 cpuid\n' "$i"
    printf 'CPU implementer\t: 0x41\nCPU architecture: 8\nCPU variant\t: 0x0\nCPU part\t: 0xd08\nCPU revision\t: 3\n\n'
    i=$((i + 1))
  done >"$scratch"
  mv "$scratch" "$info"
fi
# Not root: a user namespace brings the right to mount.
[ "$(id -u)" -eq 0 ] && flags=-m || flags=-rm
exec unshare "$flags" sh -c 'mount --bind "$0" /proc/cpuinfo && root=$1 && shift && exec qemu-aarch64 -L "$root" "$@"' \
  "$info" "$sysroot" "$@"
