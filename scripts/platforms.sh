#!/usr/bin/env bash
# The platform tests: builds duostem for the other platforms this machine can
# build for and runs there what each can run:
#   aarch64  Linux arm64, cross-compiled; the whole test suite under qemu-aarch64
#   windows  Windows x64, cross-compiled with mingw-w64; under Debian 13's wine
#            in the Debian 13 root the whole test suite but the tests that start
#            Linux programs, then the same songs through duostem.exe and a Linux
#            x86-64 build with every stem compared byte for byte, and the benchmark
#            network on a 10-second song (relative RMS difference)
#   libcxx   clang with libc++ and the Linux-only paths off, standing in for
#            macOS' toolchain; the whole test suite
#   release  the release archives (scripts/package.sh), each unpacked into a
#            scratch folder and run there: Linux x86-64 with an empty environment
#            and in a Debian 13 root, Linux arm64 under qemu, Windows under wine
#            with its runs and stems compared with the Linux x86-64 archive's;
#            the studio of both serves its page to curl; the Windows setup
#            installed and uninstalled silently under wine (check_windows_setup)
#   distro   a clean clone built in a Debian 13 root by the README's steps for
#            other systems, and its command-line tests run there
#   package  the Debian packages (scripts/package.sh): lintian on both; the
#            amd64 one installed with apt-get in the Debian 13 root and in a
#            fresh Debian 11 root, run from /tmp, and purged; the arm64 one
#            unpacked and run under qemu
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

ALL_PARTS=(aarch64 windows libcxx release distro package)
parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=("${ALL_PARTS[@]}")
jobs=$(nproc)
GTEST_SOURCE=/usr/src/googletest

# The Debian packages each part needs.
declare -A PACKAGES=(
  [aarch64]="googletest g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user"
  [windows]="googletest g++-mingw-w64-x86-64-posix debootstrap"
  [libcxx]="googletest libc++-dev libc++abi-dev"
  [release]="debootstrap g++-mingw-w64-x86-64-posix binutils-aarch64-linux-gnu qemu-user libc6-arm64-cross libstdc++6-arm64-cross curl"
  [distro]="debootstrap"
  [package]="debootstrap lintian binutils-aarch64-linux-gnu qemu-user libc6-arm64-cross libstdc++6-arm64-cross"
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
  local scratch build linux_build
  scratch=$(mktemp -d)
  mkdir -p "$BUILDS"
  start_wine "$scratch/prefix" "$PWD" "$BUILDS" "$scratch"
  configure_and_build build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake
  # The Linux x86-64 build whose stems the Windows build's must equal.
  configure_and_build build-windows-linux -DDUOSTEM_TESTS=OFF -DDUOSTEM_BENCH=OFF
  wine_ready
  export DUOSTEM_WINE_TIMEOUT=300
  run_tests build-windows --timeout 300

  build=$(realpath "$BUILDS/build-windows")
  linux_build=$(realpath "$BUILDS/build-windows-linux")
  /usr/bin/python3 tools/make_bench_model.py "$scratch/bench.onnx" >/dev/null
  mkdir -p "$scratch/linux/models" "$scratch/windows/models"
  for folder in "$scratch/linux/models" "$scratch/windows/models"; do
    cp models/vocals.onnx "$build/test-models/gain_half.onnx" "$scratch/bench.onnx" "$folder/"
  done
  tests/compare_runs.py "$scratch/linux" "$linux_build/duostem" \
    "$scratch/windows" "$(printf '%q ' "$PWD/cmake/wine.sh" "$build/duostem.exe")" \
    --model models/gain_half.onnx --bench models/bench.onnx
  end_wine
  rm -rf "$scratch"
}

# start_wine PREFIX FOLDER...: a throwaway wine prefix made in PREFIX by the
# Debian 13 root's wine, in the background (wine_ready waits for it), for
# Windows programs that see the FOLDERs (see cmake/wine.sh, the command that
# runs one). Its server keeps running until the part ends, which ends the
# server and removes the prefix.
start_wine() {
  make_chroot trixie "$TRIXIE" wine64 wine
  mkdir -p "$1"
  WINEPREFIX=$(realpath "$1")
  shift
  DUOSTEM_WINE_FOLDERS=$(realpath "$@" | paste -sd :)
  export WINEPREFIX DUOSTEM_WINE_FOLDERS
  trap end_wine EXIT
  boot_wine &
  wine_booting=$!
}

boot_wine() {
  cmake/wine.sh --tool /usr/lib/wine/wineserver -p >/dev/null 2>&1
  cmake/wine.sh --tool timeout 300 /usr/lib/wine/wine64 wineboot -i >"$WINEPREFIX.log" 2>&1 \
    || { cat "$WINEPREFIX.log" >&2; return 1; }
}

wine_ready() {
  wait "$wine_booting"
}

end_wine() {
  local server=""
  # Debian's wine names its server's folder in the root's /tmp in the prefix.
  [ ! -f "$WINEPREFIX/wineserver" ] || server=$(cat "$WINEPREFIX/wineserver")
  cmake/wine.sh --tool /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  cmake/wine.sh --tool /usr/lib/wine/wineserver -w >/dev/null 2>&1 || true
  case "$server" in wine-??????) rm -rf "${TRIXIE:?}/tmp/$server" ;; esac
  # The mount points the runs made in the root, deepest first.
  printf '%s\n' "$WINEPREFIX" "${DUOSTEM_WINE_FOLDERS//:/$'\n'}" | sort -r | while read -r folder; do
    rmdir "$TRIXIE$folder" 2>/dev/null || true
  done
  rm -rf "$WINEPREFIX" "$WINEPREFIX.log"
  trap - EXIT
}

# The song for the Linux archives: three seconds of 16-bit stereo.
make_songs() {
  /usr/bin/python3 - "$1" <<'PY'
import sys, wave
import numpy as np
t = np.arange(3 * 44100) / 44100
left = 0.3 * np.sin(2 * np.pi * 220 * t) + 0.2 * np.sin(2 * np.pi * 660 * t)
right = 0.3 * np.sin(2 * np.pi * 220 * t) - 0.1 * np.sin(2 * np.pi * 1500 * t)
frames = (np.stack([left, right], 1) * 32767).astype("<i2").tobytes()
with wave.open(f"{sys.argv[1]}/song.wav", "wb") as w:
    w.setnchannels(2); w.setsampwidth(2); w.setframerate(44100); w.writeframes(frames)
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
# being the command that runs a Windows program (cmake/wine.sh, or wine itself).
# TERM ends the command, not always the program under wine, and never through
# its console handler: only the page counts, and the part's end_wine ends the rest.
check_windows_studio() {
  local folder=$1
  shift
  studio_serves "$(basename "$folder") studio" "$folder" "$@" duostem-studio.exe >/dev/null
  rm -rf "$folder/studio-out"
}

# lnk_target LNK: the program a Windows shortcut starts (its LinkInfo's local path).
lnk_target() {
  /usr/bin/python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
flags = struct.unpack_from("<I", data, 0x14)[0]
at = 0x4C
if flags & 1:  # an item list comes first
    at += 2 + struct.unpack_from("<H", data, at)[0]
if not flags & 2:
    sys.exit("no LinkInfo in " + sys.argv[1])
header = struct.unpack_from("<I", data, at + 4)[0]
if header >= 0x24 and struct.unpack_from("<I", data, at + 0x1C)[0]:
    start = at + struct.unpack_from("<I", data, at + 0x1C)[0]
    end = start
    while data[end:end + 2] != b"\0\0":
        end += 2
    print(data[start:end].decode("utf-16-le"))
else:
    start = at + struct.unpack_from("<I", data, at + 0x10)[0]
    print(data[start:data.index(b"\0", start)].decode("latin-1"))
PY
}

# check_windows_setup SCRATCH SETUP ZIP: the setup program in the part's wine
# prefix, which must see SCRATCH (holding song.wav). First a user Path of 6,000
# characters through a silent install and uninstall: every entry kept, in order.
# Then, as on a machine without a user Path of its own (wine cuts a longer one
# short in the programs it starts): a silent install of the zip's files, byte
# for byte, with its "Apps" entry; duostem.exe found through the new Path from
# another folder gives the zip's stems; the studio's Start-menu entry starts a
# studio that serves its page; without the Visual C++ runtime duostem.exe says
# so; installing again keeps one "Apps" entry; a silent uninstall leaves no
# file, shortcut, key or Path entry of its own, and a stem saved in the
# program's folder where it was.
check_windows_setup() {
  local scratch=$1 zip=$3 wine=$PWD/cmake/wine.sh long="" i folder path apps line target stderr code left status=0
  local key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\duostem'
  local inst="$WINEPREFIX/drive_c/users/root/AppData/Local/Programs/duostem"
  local menu="$WINEPREFIX/drive_c/users/root/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/duostem"
  folder='C:\users\root\AppData\Local\Programs\duostem'
  zip=$scratch/zip/$(basename "$3" .zip)
  cp "$2" "$scratch/setup.exe"
  mkdir "$scratch/zip" "$scratch/elsewhere"
  /usr/bin/python3 -m zipfile -e "$3" "$scratch/zip"
  cp "$scratch/song.wav" "$scratch/elsewhere/"
  # win PROGRAM ARG...: a Windows program under wine, started in the folder elsewhere.
  win() { (cd "$scratch/elsewhere" && "$wine" "$@"); }
  reg() { win "$WINEPREFIX/drive_c/windows/system32/reg.exe" "$@" | tr -d '\r'; }
  user_path() { { reg query 'HKCU\Environment' /v Path 2>/dev/null || true; } | sed -n 's/^    Path    REG_[A-Z_]*SZ    //p'; }
  install() { win "$scratch/setup.exe" /S || { say "setup /S failed with status $?"; return 1; }; }
  # The uninstaller works from a copy of itself in the temporary folder and returns at once.
  uninstall() {
    win "$inst/uninstall.exe" /S || { say "uninstall /S failed with status $?"; return 1; }
    for _ in $(seq 1 120); do
      [ -e "$inst/uninstall.exe" ] || [ -e "$menu" ] || return 0
      sleep 0.5
    done
  }

  for ((i = 0; ${#long} < 6000; i++)); do long+="C:\\Tools\\entry $i;"; done
  long=${long%;}
  reg add 'HKCU\Environment' /v Path /t REG_EXPAND_SZ /d "$long" /f >/dev/null
  install
  path=$(user_path)
  [ "$path" = "$long;$folder" ] || { say "Path after install: ${#path} characters, not the ${#long} before and the folder"; status=1; }
  uninstall
  path=$(user_path)
  [ "$path" = "$long" ] || { say "Path after uninstall: ${#path} characters, not the ${#long} before"; status=1; }
  say "setup: a ${#long}-character Path kept through install and uninstall"
  reg delete 'HKCU\Environment' /v Path /f >/dev/null

  install
  apps=$(reg query "$key")
  for line in "InstallLocation    REG_SZ    $folder" "DisplayName    REG_SZ    duostem" "DisplayVersion    REG_SZ    $VERSION" \
    "Publisher    REG_SZ    duostem maintainers" "UninstallString    REG_SZ    \"$folder\\uninstall.exe\""; do
    grep -qxF "    $line" <<<"$apps" || { say "the Apps entry lacks \"$line\""; status=1; }
  done
  grep -q '^    EstimatedSize    REG_DWORD    0x[0-9a-f]*[1-9a-f]' <<<"$apps" || { say "the Apps entry has no size"; status=1; }
  diff -r --exclude=uninstall.exe "$zip" "$inst" >&2 || { say "the installed files differ from the zip's"; status=1; }
  path=$(user_path)
  [ "$path" = "$folder" ] || { say "Path after install: \"$path\""; status=1; }

  win "$WINEPREFIX/drive_c/windows/system32/cmd.exe" /c duostem song.wav --out-dir installed >/dev/null 2>&1 \
    || { say "duostem through Path failed with status $?"; return 1; }
  win "$zip/duostem.exe" song.wav --out-dir zipped >/dev/null 2>&1
  for line in "song_(Vocals).wav" "song_(Instrumental).wav"; do
    cmp "$scratch/elsewhere/installed/$line" "$scratch/elsewhere/zipped/$line" || status=1
  done
  stderr=$(WINEDLLOVERRIDES="msvcp140=;vcruntime140=;vcruntime140_1=" win "$inst/duostem.exe" song.wav --out-dir none \
    2>&1 >/dev/null) && code=0 || code=$?
  stderr=$(tr -d '\r' <<<"$stderr" | grep -v '^wine: ' || true)
  line="duostem: onnxruntime.dll could not be loaded (the Microsoft Visual C++ Redistributable 2015-2022 for x64 may be missing: https://aka.ms/vs/17/release/vc_redist.x64.exe)"
  [ "$code" -eq 1 ] && [ "$stderr" = "$line" ] \
    || { say "without the Visual C++ runtime: status $code, \"$stderr\""; status=1; }
  [ ! -e "$scratch/elsewhere/none" ] || { say "the failed run left a folder"; status=1; }

  target=$(lnk_target "$menu/duostem studio.lnk") && [ "$target" = "$folder\\duostem-studio.exe" ] \
    || { say "the studio's shortcut starts \"$target\""; return 1; }
  [ -f "$menu/README.lnk" ] || { say "no README in the Start menu"; status=1; }
  studio_serves "installed studio" "$scratch/elsewhere" "$wine" "$inst/duostem-studio.exe" >/dev/null || status=1
  # TERM ends wine's command, not always the studio in it, which would keep its
  # file in use; wine's taskkill ends one program of the name at a time.
  for _ in $(seq 1 20); do
    pgrep -f "^$inst/duostem-studio.exe" >/dev/null || break
    win "$WINEPREFIX/drive_c/windows/system32/taskkill.exe" /f /im duostem-studio.exe >/dev/null 2>&1 || true
    sleep 0.5
  done
  rm -rf "$scratch/elsewhere/studio-out"

  install
  line=$(reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | grep -cx '    DisplayName    REG_SZ    duostem') || true
  [ "$line" = 1 ] || { say "installed twice, Apps has $line entries naming duostem"; status=1; }
  # A stem the user saved into the program's folder.
  cp "$scratch/elsewhere/installed/song_(Vocals).wav" "$inst/"
  uninstall
  left=$(cd "$inst" && find . -mindepth 1 ! -name 'song_(Vocals).wav')
  [ -z "$left" ] || { say "left behind by uninstall: $left"; status=1; }
  cmp "$inst/song_(Vocals).wav" "$scratch/elsewhere/installed/song_(Vocals).wav" || status=1
  [ ! -e "$menu" ] || { say "the Start-menu folder is left"; status=1; }
  if reg query "$key" >/dev/null 2>&1; then say "the Apps entry is left"; status=1; fi
  path=$(user_path)
  [ -z "$path" ] || { say "Path after uninstall: \"$path\""; status=1; }
  [ "$status" -eq 0 ] || return 1
  say "setup: installed silently, ran through Path like the zip, the studio served, uninstalled without a trace"
}

part_release() {
  local scratch name folder status=0 dist start
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

  # The same runs from both archives' folders (the default model their own),
  # songs under names with spaces and non-ASCII letters, new output folders.
  say "windows-x86_64 under wine, against linux-x86_64"
  start_wine "$scratch/prefix" "$scratch"
  wine_ready
  tests/compare_runs.py "$scratch/duostem-$VERSION-linux-x86_64" ./duostem \
    "$scratch/duostem-$VERSION-windows-x86_64" "$(printf '%q ' "$PWD/cmake/wine.sh" duostem.exe)" || status=1
  check_windows_studio "$scratch/duostem-$VERSION-windows-x86_64" "$PWD/cmake/wine.sh" &
  wait $! || status=1
  say "windows-x86_64 setup under wine"
  start=$SECONDS
  check_windows_setup "$scratch" "$dist/duostem-$VERSION-windows-x86_64-setup.exe" \
    "$dist/duostem-$VERSION-windows-x86_64.zip" &
  wait $! || status=1
  say "the setup's checks took $((SECONDS - start)) s"
  end_wine
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

# check_installed ROOT DEB SONG: the package installed into ROOT by apt-get,
# used there as a user would from /tmp (the default model, the manual page,
# the version, the batch front end where ffmpeg and GNU parallel are there),
# then purged: no file of the package may remain.
check_installed() {
  local root=$1 deb=$2 song=$3 name path left=() listed version page
  name=$(basename "$deb")
  rm -rf "$root/tmp/package"
  mkdir -p "$root/tmp/package"
  cp "$deb" "$song" "$root/tmp/package/"
  in_chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "/tmp/package/$name" >/dev/null
  version=$(in_chroot "$root" env -i duostem --version)
  say "installed in $(in_chroot "$root" sh -c '. /etc/os-release; echo "$PRETTY_NAME"'): $version"
  in_chroot "$root" env -i PATH=/usr/bin:/bin sh -c 'cd /tmp/package && duostem song.wav >/dev/null'
  tests/check_stems.py "$song" "$root/tmp/package/song_(Vocals).wav" "$root/tmp/package/song_(Instrumental).wav"
  page=$(in_chroot "$root" env -i PATH=/usr/bin:/bin MANPAGER=cat man duostem)
  grep -q -- '--threads N' <<<"$page" || { say "man duostem shows no page with --threads"; return 1; }
  if [ -x "$root/usr/bin/ffmpeg" ] && [ -x "$root/usr/bin/parallel" ]; then
    in_chroot "$root" env -i PATH=/usr/bin:/bin HOME=/root sh -c \
      'cd /tmp/package && duostem-separate-many --out-dir many song.wav >/dev/null'
    tests/check_stems.py "$song" "$root/tmp/package/many/song_(Vocals).wav" "$root/tmp/package/many/song_(Instrumental).wav"
    say "duostem-separate-many separated a song from the package"
  fi
  in_chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q duostem >/dev/null
  listed=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print substr($6, 2) }')
  while IFS= read -r path; do
    if [ -e "$root$path" ] || [ -L "$root$path" ]; then left+=("$path"); fi
  done <<<"$listed"
  rm -rf "$root/tmp/package"
  [ ${#left[@]} -eq 0 ] || { say "left behind after purge: ${left[*]}"; return 1; }
  say "purged: none of its $(wc -l <<<"$listed") files left"
}

part_package() {
  local dist scratch deb arch listing wanted clean start
  dist=$(mktemp -d)
  DUOSTEM_DIST=$dist bash scripts/package.sh linux-x86_64 linux-aarch64
  start=$SECONDS
  scratch=$(mktemp -d)
  make_songs "$scratch"
  for arch in amd64 arm64; do
    deb=$dist/duostem_${VERSION}_$arch.deb
    say "$(basename "$deb"): $(stat -c %s "$deb") bytes; $(dpkg-deb --field "$deb" Depends)"
    lintian --fail-on error "$deb" >&2
    listing=$(dpkg-deb --contents "$deb" | awk '{ print substr($6, 2) }')
    for wanted in /usr/bin/duostem /usr/bin/duostem-separate-many /usr/lib/duostem/libonnxruntime.so.1 \
      /usr/share/duostem/models/vocals.onnx /usr/share/man/man1/duostem.1.gz /usr/share/doc/duostem/copyright \
      /usr/share/bash-completion/completions/duostem /usr/share/bash-completion/completions/duostem-separate-many \
      /usr/bin/duostem-studio /usr/share/man/man1/duostem-studio.1.gz; do
      grep -qx -- "$wanted" <<<"$listing" || { say "$arch: $wanted is missing"; return 1; }
    done
    # Nothing in the system's library folders: the runtime is private.
    if grep -E '^/usr/lib/[^/]+$|^/usr/lib/[a-z0-9_]+-linux-gnu/' <<<"$listing"; then
      say "$arch: files in the system library folders"
      return 1
    fi
  done
  say "linux-aarch64 package, unpacked, under qemu"
  dpkg-deb -x "$dist/duostem_${VERSION}_arm64.deb" "$scratch/arm64"
  (cd "$scratch" && env -i PATH=/usr/bin:/bin "$OLDPWD/cmake/qemu-aarch64.sh" arm64/usr/bin/duostem song.wav \
    --out-dir arm64-out >/dev/null)
  tests/check_stems.py "$scratch/song.wav" "$scratch/arm64-out/song_(Vocals).wav" "$scratch/arm64-out/song_(Instrumental).wav"

  make_chroot trixie "$TRIXIE" man-db ffmpeg parallel
  check_installed "$TRIXIE" "$dist/duostem_${VERSION}_amd64.deb" "$scratch/song.wav"
  # A fresh Debian 11 root for every run: a copy of one kept untouched.
  make_chroot bullseye "$DEPS/chroot-bullseye-clean" man-db
  clean=$scratch/bullseye
  as_root cp -a "$DEPS/chroot-bullseye-clean" "$clean"
  check_installed "$clean" "$dist/duostem_${VERSION}_amd64.deb" "$scratch/song.wav"
  say "the package checks took $((SECONDS - start)) s after building"
  as_root rm -rf "$scratch"
  mkdir -p dist
  cp "$dist"/*.deb dist/
  rm -rf "$dist"
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
# Set-up as well, outside the parts' clocks: wine in the Debian 13 root for the parts that run Windows programs.
case " ${parts[*]} " in *" windows "* | *" release "*) make_chroot trixie "$TRIXIE" wine64 wine nsis ;; esac

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
