#!/usr/bin/env bash
# The platform tests: builds duostem for the other platforms this machine can
# build for and runs there what each can run:
#   aarch64  Linux arm64, cross-compiled; the whole test suite under qemu-aarch64
#   windows  Windows x64, cross-compiled with mingw-w64; under wine the tests
#            that open no model (wine never finishes creating the runtime's environment)
#   libcxx   clang with libc++ and the Linux-only paths off, standing in for
#            macOS' toolchain; the whole test suite
#   release  the release archives (scripts/package.sh), each unpacked into a
#            scratch folder and run there: Linux x86-64 with an empty environment
#            and in a Debian 13 root, Linux arm64 under qemu, Windows under wine;
#            the studio of the Linux x86-64 and Windows archives serves its page
#   distro   a clean clone built in a Debian 13 root by the README's steps for
#            other systems, and its command-line tests run there
# usage: scripts/platforms.sh [PART ...]   (default: every part)
# Installs what it needs; prints the time of each part and fails if any failed.
# DUOSTEM_PLATFORM_BUILDS puts the build folders elsewhere (default: the checkout);
# DUOSTEM_LIBCXX_CXX names the libc++ part's compiler (default clang++).
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
SCRIPT=platforms
# shellcheck source=scripts/common.sh
source scripts/common.sh

ALL_PARTS=(aarch64 windows libcxx release distro)
parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=("${ALL_PARTS[@]}")
jobs=$(nproc)
GTEST_SOURCE=/usr/src/googletest

# The Debian packages each part needs.
declare -A PACKAGES=(
  [aarch64]="googletest g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user"
  [windows]="googletest g++-mingw-w64-x86-64-posix wine64"
  [libcxx]="googletest libc++-dev libc++abi-dev"
  [release]="debootstrap g++-mingw-w64-x86-64-posix wine64 binutils-aarch64-linux-gnu qemu-user curl"
  [distro]="debootstrap"
)
BUILDS=${DUOSTEM_PLATFORM_BUILDS:-.}
TRIXIE="$DEPS/chroot-trixie"
VERSION=$(sed -n 's/^project(duostem VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# configure_and_build DIR CMAKE-ARGS...
configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$BUILDS/$dir" -DCMAKE_BUILD_TYPE=Release -DDUOSTEM_GTEST_SOURCE="$GTEST_SOURCE" "$@" >/dev/null
  cmake --build "$BUILDS/$dir" -j"$jobs"
}

# run_tests DIR CTEST-ARGS...: a build's tests; finding none is a failure, not a pass.
run_tests() {
  local dir=$1
  shift
  ctest --test-dir "$BUILDS/$dir" --output-on-failure --no-tests=error -j"$jobs" "$@"
}

part_aarch64() {
  configure_and_build build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
  run_tests build-aarch64 --timeout 600
}

part_windows() {
  configure_and_build build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake
  local prefix status=0
  prefix=$(start_wine)
  export WINEPREFIX=$prefix WINEDEBUG=-all
  run_tests build-windows --timeout 120 || status=$?
  end_wine "$prefix"
  return "$status"
}

# A throwaway wine prefix, started before any test's clock runs (the first start takes a while).
start_wine() {
  local prefix
  prefix=$(mktemp -d)
  WINEPREFIX=$prefix WINEDEBUG=-all timeout 300 /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
  echo "$prefix"
}

end_wine() {
  WINEPREFIX=$1 /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  rm -rf "$1"
}

# expect WHAT STATUS EXPECTED-STDERR COMMAND...: runs the command and compares
# its status and standard error (wine's own "wine: " lines left out).
expect() {
  local what=$1 status=$2 want=$3 got=0 err
  shift 3
  err=$("$@" 2>&1 >/dev/null) || got=$?
  err=$(printf '%s\n' "$err" | grep -v '^wine: ') || true
  [ "$got" -eq "$status" ] && [ "$err" = "$want" ] \
    || { say "$what: status $got, standard error \"$err\"; wanted $status, \"$want\""; return 1; }
  say "$what: as wanted"
}

# Songs for the archives: three seconds of 16-bit stereo, and the same at 48 kHz.
make_songs() {
  /usr/bin/python3 - "$1" <<'PY'
import sys, wave
import numpy as np
t = np.arange(3 * 44100) / 44100
left = 0.3 * np.sin(2 * np.pi * 220 * t) + 0.2 * np.sin(2 * np.pi * 660 * t)
right = 0.3 * np.sin(2 * np.pi * 220 * t) - 0.1 * np.sin(2 * np.pi * 1500 * t)
frames = (np.stack([left, right], 1) * 32767).astype("<i2").tobytes()
for name, rate in (("song.wav", 44100), ("song48.wav", 48000)):
    with wave.open(f"{sys.argv[1]}/{name}", "wb") as w:
        w.setnchannels(2); w.setsampwidth(2); w.setframerate(rate); w.writeframes(frames)
PY
}

# check_linux_archive FOLDER OBJDUMP: asks no newer C library than 2.31, runs from its own folder only.
check_linux_archive() {
  local newest runpath
  newest=$("$2" -T "$1/duostem" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -n 1) || true
  [ -n "$newest" ] || { say "$1/duostem: no C library symbols read"; return 1; }
  printf '%s\nGLIBC_2.31\n' "$newest" | sort -CV || { say "$1/duostem asks for $newest"; return 1; }
  runpath=$(readelf -d "$1/duostem" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  [ "$runpath" = '$ORIGIN' ] || { say "$1/duostem has the run path \"$runpath\""; return 1; }
  say "$(basename "$1"): newest C library symbol $newest, run path $runpath"
}

# studio_serves WHAT FOLDER COMMAND...: starts COMMAND (a duostem-studio) in
# FOLDER with --no-browser, fetches its page with curl with and without the
# token, and stops it with TERM. Run it as a job of its own.
studio_serves() {
  local what=$1 dir=$2 out pid url="" code status=0 stopped=0
  shift 2
  out=$(mktemp)
  (cd "$dir" && exec "$@" --no-browser --out-dir studio-out >"$out" 2>/dev/null) &
  pid=$!
  for _ in $(seq 1 120); do
    url=$(sed -n 's|^duostem studio: \(http://127\.0\.0\.1:[0-9]*/?token=[0-9a-f]*\)\r*$|\1|p' "$out")
    [ -z "$url" ] || break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.5
  done
  if [ -z "$url" ]; then
    say "$what: printed no address: \"$(cat "$out")\""
    status=1
  else
    code=$(curl -s -o "$out.page" -w '%{http_code}' --max-time 30 "$url") || true
    grep -q '<title>duostem studio</title>' "$out.page" || code="$code without the page"
    [ "$code" = 200 ] || { say "$what: the page answered $code"; status=1; }
    code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 30 "${url%%\?*}") || true
    [ "$code" = 403 ] || { say "$what: without the token the page answered $code, not 403"; status=1; }
  fi
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" || stopped=$?
  rm -f "$out" "$out.page"
  [ "$status" -eq 0 ] || return 1
  say "$what: served its page (stopped with status $stopped)"
  echo "$stopped"
}

# check_linux_studio FOLDER: the unpacked archive's studio serves its page and stops cleanly.
check_linux_studio() {
  local stopped
  stopped=$(studio_serves "$(basename "$1") studio" "$1" env -i ./duostem-studio)
  [ "$stopped" = 0 ] || { say "$(basename "$1") studio: TERM gave status $stopped, not 0"; return 1; }
  [ -z "$(ls -A "$1/studio-out")" ] || { say "$(basename "$1") studio left files in studio-out"; return 1; }
  rm -rf "$1/studio-out"
}

# check_windows_studio FOLDER RUN...: the same from the Windows archive, RUN
# being the command that runs a Windows program (wine). Wine ends the program
# on TERM without its console handler, so only the page counts.
check_windows_studio() {
  local folder=$1
  shift
  studio_serves "$(basename "$folder") studio" "$folder" "$@" duostem-studio.exe >/dev/null
  rm -rf "$folder/studio-out"
}

part_release() {
  local scratch name folder status=0 dist
  # Fresh archives in an empty folder: never what an earlier run left in dist/.
  dist=$(mktemp -d)
  DUOSTEM_DIST=$dist bash scripts/package.sh
  scratch=$(mktemp -d)
  make_songs "$scratch"
  for name in linux-x86_64 linux-aarch64; do
    tar -xzf "$dist/duostem-$VERSION-$name.tar.gz" -C "$scratch"
  done
  /usr/bin/python3 -m zipfile -e "$dist/duostem-$VERSION-windows-x86_64.zip" "$scratch"

  folder="$scratch/duostem-$VERSION-linux-x86_64"
  check_linux_archive "$folder" objdump || status=1
  check_linux_archive "$scratch/duostem-$VERSION-linux-aarch64" aarch64-linux-gnu-objdump || status=1
  say "linux-x86_64, empty environment"
  (cd "$folder" && env -i ./duostem ../song.wav --out-dir clean) &&
    tests/check_stems.py "$scratch/song.wav" "$folder/clean/song_(Vocals).wav" "$folder/clean/song_(Instrumental).wav" \
    || status=1
  check_linux_studio "$folder" &
  wait $! || status=1

  make_chroot trixie "$TRIXIE"
  say "linux-x86_64 in $(in_chroot "$TRIXIE" sh -c '. /etc/os-release; echo "$PRETTY_NAME"'), $(in_chroot "$TRIXIE" ldd --version | head -n 1)"
  rm -rf "$TRIXIE/tmp/release" && mkdir -p "$TRIXIE/tmp/release" && cp -r "$folder" "$scratch/song.wav" "$TRIXIE/tmp/release/"
  in_chroot "$TRIXIE" env -i sh -c "cd /tmp/release/duostem-$VERSION-linux-x86_64 && ./duostem ../song.wav --out-dir out" &&
    tests/check_stems.py "$scratch/song.wav" "$TRIXIE/tmp/release/duostem-$VERSION-linux-x86_64/out/song_(Vocals).wav" \
      "$TRIXIE/tmp/release/duostem-$VERSION-linux-x86_64/out/song_(Instrumental).wav" || status=1
  rm -rf "$TRIXIE/tmp/release"

  folder="$scratch/duostem-$VERSION-linux-aarch64"
  say "linux-aarch64 under qemu"
  (cd "$folder" && env -i PATH=/usr/bin:/bin "$OLDPWD/cmake/qemu-aarch64.sh" ./duostem ../song.wav --out-dir out) &&
    tests/check_stems.py "$scratch/song.wav" "$folder/out/song_(Vocals).wav" "$folder/out/song_(Instrumental).wav" \
    || status=1

  folder="$scratch/duostem-$VERSION-windows-x86_64"
  say "windows-x86_64 under wine"
  local prefix usage="usage: duostem <44100 Hz wav> [--model model.onnx] [--out-dir dir]"
  prefix=$(start_wine)
  export WINEPREFIX=$prefix WINEDEBUG=-all
  cp "$scratch/song48.wav" "$folder/"
  (
    cd "$folder"
    expect "--help" 0 "$usage" /usr/lib/wine/wine64 duostem.exe --help &&
      expect "a 48 kHz song" 1 "duostem: song48.wav is 48000 Hz; Lyrabel separates 44100 Hz stereo WAV" \
        /usr/lib/wine/wine64 duostem.exe song48.wav &&
      expect "a missing song" 1 "duostem: cannot open missing.wav" /usr/lib/wine/wine64 duostem.exe missing.wav &&
      expect "no song" 2 "$usage" /usr/lib/wine/wine64 duostem.exe
  ) || status=1
  check_windows_studio "$folder" /usr/lib/wine/wine64 &
  wait $! || status=1
  end_wine "$prefix"
  rm -rf "$scratch"
  ls -l "$dist" >&2
  mkdir -p dist
  cp "$dist"/* dist/
  rm -rf "$dist"
  return "$status"
}

# The README's steps for other systems, on a clean clone in a Debian 13 root:
# a compiler, CMake, GoogleTest and Python's onnx for the tests, pocketfft's
# header, and ONNX Runtime in its release layout (here the one bootstrap made).
part_distro() {
  make_chroot trixie "$TRIXIE" g++ make cmake git libgtest-dev libgmock-dev python3-onnx python3-numpy gemmi-dev
  rm -rf "$TRIXIE/root/duostem" "$TRIXIE/opt/onnxruntime"
  git clone --quiet "$PWD" "$TRIXIE/root/duostem"
  cp -r "$DEPS/onnxruntime-1.31.1-linux-x64" "$TRIXIE/opt/onnxruntime"
  in_chroot "$TRIXIE" env -i PATH=/usr/bin:/bin HOME=/root bash -c '
    set -e
    cd /root/duostem
    cmake -S . -B build -DONNXRUNTIME_ROOT=/opt/onnxruntime -DPOCKETFFT_DIR=/usr/include/gemmi/third_party \
      -DDUOSTEM_BENCH=OFF -DDUOSTEM_STUDIO=OFF >/dev/null
    cmake --build build -j'"$jobs"' --target cli_test wav_test
    ctest --test-dir build --output-on-failure -j'"$jobs"' -R "^(Cli|ReadWav|WriteWav)\."'
}

part_libcxx() {
  configure_and_build build-libcxx -DCMAKE_CXX_COMPILER="${DUOSTEM_LIBCXX_CXX:-clang++}" -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ -DDUOSTEM_LINUX_EXTRAS=OFF \
    -DDUOSTEM_BENCH=OFF
  run_tests build-libcxx
}

packages=()
for part in "${parts[@]}"; do
  declare -F "part_$part" >/dev/null || { printf 'platforms: no part %s (parts: %s)\n' "$part" "${ALL_PARTS[*]}" >&2; exit 2; }
  read -ra more <<<"${PACKAGES[$part]}"
  packages+=("${more[@]}")
done
bash scripts/bootstrap.sh "${packages[@]}"

failed=()
summary=""
for part in "${parts[@]}"; do
  say "part $part"
  start=$SECONDS
  status=0
  # As a job of its own: a function called on the left of || would run with
  # set -e switched off, and a failed step would not stop its part.
  "part_$part" &
  wait $! || status=$?
  [ "$status" -eq 0 ] || failed+=("$part")
  summary+=$(printf '\n  %-8s %5d s  %s' "$part" $((SECONDS - start)) "$([ "$status" -eq 0 ] && echo passed || echo FAILED)")
done
say "summary:$summary"
[ ${#failed[@]} -eq 0 ] || { printf 'platforms: failed: %s\n' "${failed[*]}" >&2; exit 1; }
