#!/usr/bin/env bash
# Writes the release archives into dist/:
#   duostem-VERSION-linux-x86_64.tar.gz    built in a Debian 11 root (glibc 2.31),
#   duostem-VERSION-linux-aarch64.tar.gz   libstdc++ and libgcc linked in
#   duostem-VERSION-windows-x86_64.zip     built with mingw-w64, its runtime linked in
# Each unpacks into one folder duostem-VERSION-PLATFORM/ with the executable,
# duostem-studio and the ONNX Runtime library beside it, models/vocals.onnx, a
# README and the licence texts. usage: scripts/package.sh [PLATFORM ...]  (default: all three)
# DUOSTEM_DIST names another folder for the archives.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
SCRIPT=package
# shellcheck source=scripts/common.sh
source scripts/common.sh

VERSION=$(sed -n 's/^project(duostem VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$VERSION" ] || die "no project version in CMakeLists.txt"
ALL_PLATFORMS=(linux-x86_64 linux-aarch64 windows-x86_64)
platforms=("$@")
[ ${#platforms[@]} -gt 0 ] || platforms=("${ALL_PLATFORMS[@]}")
ORT="$DEPS/onnxruntime-1.31.1"
POCKETFFT_DIR=/usr/include/gemmi/third_party
HTTPLIB=cpp-httplib-0.11.4
WAVESURFER=wavesurfer.js-8.0.1
BULLSEYE="$DEPS/chroot-bullseye"
jobs=$(nproc)

bash scripts/bootstrap.sh debootstrap g++-mingw-w64-x86-64-posix >&2

# build_in_bullseye NAME CMAKE-ARGS...: duostem alone, built in the Debian 11
# root with the source and the dependencies mounted into it; into build-release/NAME.
build_in_bullseye() {
  local name=$1
  shift
  make_chroot bullseye "$BULLSEYE" g++ make cmake g++-aarch64-linux-gnu
  in_chroot "$BULLSEYE" --bind "$PWD" /src --bind "$DEPS" /deps --bind "$POCKETFFT_DIR" /pocketfft \
    bash -c 'cmake -S /src -B "/src/build-release/$0" -DCMAKE_BUILD_TYPE=Release -DDUOSTEM_TESTS=OFF \
               -DPOCKETFFT_DIR=/pocketfft "$@" >/dev/null &&
             cmake --build "/src/build-release/$0" -j'"$jobs"' --target duostem duostem-studio >/dev/null' "$name" \
    -DDUOSTEM_STATIC_LIBSTDCXX=ON -DHTTPLIB_DIR="/deps/$HTTPLIB" -DWAVESURFER_DIR="/deps/$WAVESURFER" "$@"
}

build_linux-x86_64() {
  build_in_bullseye linux-x86_64 -DONNXRUNTIME_ROOT=/deps/onnxruntime-1.31.1-linux-x64
}

build_linux-aarch64() {
  build_in_bullseye linux-aarch64 -DONNXRUNTIME_ROOT=/deps/onnxruntime-1.31.1-linux-aarch64 \
    -DCMAKE_TOOLCHAIN_FILE=/src/cmake/aarch64-linux-gnu.cmake
}

build_windows-x86_64() {
  cmake -S . -B build-release/windows-x86_64 --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release -DDUOSTEM_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake -DONNXRUNTIME_ROOT="$ORT-win-x64" \
    -DHTTPLIB_DIR="$DEPS/$HTTPLIB" -DWAVESURFER_DIR="$DEPS/$WAVESURFER" >/dev/null
  cmake --build build-release/windows-x86_64 -j"$jobs" --target duostem duostem-studio >/dev/null
}

# stage PLATFORM FOLDER: the archive's folder from the platform's build.
stage() {
  local platform=$1 folder=$2 build=build-release/$1 exe=duostem studio=duostem-studio runtime=libonnxruntime.so.1
  local run=./duostem ort
  local system="It needs glibc 2.31 or newer and the system's libstdc++ (for the runtime library)."
  case "$platform" in
    linux-x86_64) ort=$ORT-linux-x64 ;;
    linux-aarch64) ort=$ORT-linux-aarch64 ;;
    windows-x86_64)
      ort=$ORT-win-x64 exe=duostem.exe studio=duostem-studio.exe runtime=onnxruntime.dll run=duostem.exe
      system="It needs the Microsoft Visual C++ runtime (2015-2022), which most Windows systems have."
      ;;
  esac
  rm -rf "$folder"
  mkdir -p "$folder/models" "$folder/LICENSES"
  cp "$build/$exe" "$build/$studio" "$build/$runtime" "$folder/"
  cp models/vocals.onnx "$folder/models/"
  cp "$ort/LICENSE.txt" "$folder/LICENSES/onnxruntime.txt"
  # pocketfft's licence is the comment that opens its header.
  sed -n '1,/\*\//p' "$POCKETFFT_DIR/pocketfft_hdronly.h" >"$folder/LICENSES/pocketfft.txt"
  # The studio carries cpp-httplib compiled in and wavesurfer.js in its page.
  cp "$DEPS/$HTTPLIB/LICENSE" "$folder/LICENSES/cpp-httplib.txt"
  cp "$DEPS/$WAVESURFER/LICENSE" "$folder/LICENSES/wavesurfer.js.txt"
  sed -e "s|@VERSION@|$VERSION|; s|@PLATFORM@|$platform|; s|@RUNTIME@|$runtime|; s|@SYSTEM@|$system|" \
    -e "s|@RUN@|$run|g" packaging/README.txt >"$folder/README.txt"
}

DIST=${DUOSTEM_DIST:-dist}
mkdir -p "$DIST"
for platform in "${platforms[@]}"; do
  declare -F "build_$platform" >/dev/null \
    || { printf 'package: no platform %s (platforms: %s)\n' "$platform" "${ALL_PLATFORMS[*]}" >&2; exit 2; }
  say "building $platform"
  "build_$platform"
  name="duostem-$VERSION-$platform"
  staging=$(mktemp -d)
  stage "$platform" "$staging/$name"
  if [ "$platform" = windows-x86_64 ]; then
    (cd "$staging" && /usr/bin/python3 -m zipfile -c "$name.zip" "$name")
    mv "$staging/$name.zip" "$DIST/"
    say "$DIST/$name.zip"
  else
    tar -C "$staging" --owner=0 --group=0 -czf "$DIST/$name.tar.gz" "$name"
    say "$DIST/$name.tar.gz"
  fi
  rm -rf "$staging"
done
