#!/usr/bin/env bash
# Writes the release archives and Debian packages into dist/:
#   duostem-VERSION-linux-x86_64.tar.gz    built in a Debian 11 root (glibc 2.31),
#   duostem-VERSION-linux-aarch64.tar.gz   libstdc++ and libgcc linked in
#   duostem-VERSION-windows-x86_64.zip     built with mingw-w64, its runtime loaded at run time
#   duostem-VERSION-windows-x86_64-setup.exe  the zip's files in a setup program
#                                          (packaging/windows/duostem.nsi, NSIS in a Debian 13 root)
#   duostem_VERSION_amd64.deb              with each Linux archive, from the same
#   duostem_VERSION_arm64.deb              Debian 11 root, installed by cmake --install
# Each archive unpacks into one folder duostem-VERSION-PLATFORM/ with the
# executable, duostem-studio and the ONNX Runtime library beside it,
# models/vocals.onnx, the manual pages, a README and the licence texts. A
# package holds /usr/bin/duostem and duostem-studio, the runtime under
# /usr/lib/duostem/, the model under /usr/share/duostem/, the batch front end
# as duostem-separate-many, the manual pages and the bash completion.
# usage: scripts/package.sh [PLATFORM ...]  (default: all three)
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
# The studio's server header and page script, as scripts/bootstrap.sh keeps them.
HTTPLIB=cpp-httplib-0.18.7-1+deb13u1
WAVESURFER=wavesurfer.js-8.0.1
BULLSEYE="$DEPS/chroot-bullseye"
TRIXIE="$DEPS/chroot-trixie"
jobs=$(nproc)
# The executables every archive and package carries. One more is one more name
# here (and an install() rule in CMake, which the packages follow).
EXECUTABLES=(duostem duostem-studio)

bash scripts/bootstrap.sh debootstrap g++-mingw-w64-x86-64-posix binutils-aarch64-linux-gnu scdoc >&2

# build_in_bullseye NAME CMAKE-ARGS...: the executables and the manual pages,
# built in the Debian 11 root with the source and the dependencies mounted
# into it; into build-release/NAME.
build_in_bullseye() {
  local name=$1
  shift
  make_chroot bullseye "$BULLSEYE" g++ make cmake g++-aarch64-linux-gnu scdoc
  in_chroot "$BULLSEYE" --bind "$PWD" /src --bind "$DEPS" /deps --bind "$POCKETFFT_DIR" /pocketfft \
    bash -c 'cmake -S /src -B "/src/build-release/$0" -DCMAKE_BUILD_TYPE=Release -DDUOSTEM_TESTS=OFF \
               -DDUOSTEM_MANUAL=ON -DPOCKETFFT_DIR=/pocketfft "$@" >/dev/null &&
             cmake --build "/src/build-release/$0" -j'"$jobs"' >/dev/null' "$name" \
    -DDUOSTEM_STATIC_LIBSTDCXX=ON -DHTTPLIB_DIR="/deps/$HTTPLIB" -DWAVESURFER_DIR="/deps/$WAVESURFER" "$@"
}

# The archives find the runtime beside the executable; the packages under /usr/lib/duostem.
build_linux-x86_64() {
  local ort=-DONNXRUNTIME_ROOT=/deps/onnxruntime-1.31.1-linux-x64
  build_in_bullseye linux-x86_64 "$ort" '-DDUOSTEM_RPATH=$ORIGIN'
  build_in_bullseye deb-amd64 "$ort" '-DDUOSTEM_RPATH=$ORIGIN/../lib/duostem'
}

build_linux-aarch64() {
  local ort=-DONNXRUNTIME_ROOT=/deps/onnxruntime-1.31.1-linux-aarch64
  local toolchain=-DCMAKE_TOOLCHAIN_FILE=/src/cmake/aarch64-linux-gnu.cmake
  build_in_bullseye linux-aarch64 "$ort" "$toolchain" '-DDUOSTEM_RPATH=$ORIGIN'
  build_in_bullseye deb-arm64 "$ort" "$toolchain" '-DDUOSTEM_RPATH=$ORIGIN/../lib/duostem'
}

build_windows-x86_64() {
  cmake -S . -B build-release/windows-x86_64 --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release -DDUOSTEM_TESTS=OFF \
    -DDUOSTEM_MANUAL=ON -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake -DONNXRUNTIME_ROOT="$ORT-win-x64" \
    -DHTTPLIB_DIR="$DEPS/$HTTPLIB" -DWAVESURFER_DIR="$DEPS/$WAVESURFER" >/dev/null
  cmake --build build-release/windows-x86_64 -j"$jobs" >/dev/null
}

# stage PLATFORM FOLDER: the archive's folder from the platform's build.
stage() {
  local platform=$1 folder=$2 build=build-release/$1 suffix="" runtime=libonnxruntime.so.1 run=./duostem ort exe
  local system="It needs glibc 2.31 or newer and the system's libstdc++ (for the runtime library)."
  case "$platform" in
    linux-x86_64) ort=$ORT-linux-x64 ;;
    linux-aarch64) ort=$ORT-linux-aarch64 ;;
    windows-x86_64)
      ort=$ORT-win-x64 suffix=.exe runtime=onnxruntime.dll run=duostem.exe
      system="It needs the Microsoft Visual C++ runtime (2015-2022), which most Windows systems have."
      ;;
  esac
  rm -rf "$folder"
  mkdir -p "$folder/models" "$folder/LICENSES"
  for exe in "${EXECUTABLES[@]}"; do cp "$build/$exe$suffix" "$folder/"; done
  cp "$build/$runtime" "$build/duostem.1" "$build/duostem-studio.1" "$folder/"
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

# windows_setup STAGING NAME: DIST/NAME-setup.exe installing the files of
# STAGING/NAME, which the script lists for the setup and the uninstaller alike.
windows_setup() {
  local staging=$1 name=$2 f d size
  make_chroot trixie "$TRIXIE" nsis
  mkdir "$staging/nsis"
  cp packaging/windows/duostem.nsi build-release/windows-x86_64/path-entry.exe "$staging/nsis/"
  {
    while IFS= read -r d; do
      printf 'SetOutPath "$INSTDIR%s"\n' "$(tr / '\\' <<<"${d#.}")"
      find "$staging/$name/$d" -maxdepth 1 -type f -printf '%f\n' | sort | while IFS= read -r f; do
        printf 'File "/setup/%s/%s/%s"\n' "$name" "${d#./}" "$f"
      done
    done < <(cd "$staging/$name" && find . -type d | sort)
  } | sed 's|/\./|/|' >"$staging/nsis/files.nsh"
  {
    (cd "$staging/$name" && find . -type f | sort) | while IFS= read -r f; do
      printf 'Delete "$INSTDIR%s"\n' "$(tr / '\\' <<<"${f#.}")"
    done
    (cd "$staging/$name" && find . -mindepth 1 -type d | sort -r) | while IFS= read -r d; do
      printf 'RMDir "$INSTDIR%s"\n' "$(tr / '\\' <<<"${d#.}")"
    done
  } >"$staging/nsis/unfiles.nsh"
  size=$(du -sk "$staging/$name" | cut -f1)
  in_chroot "$TRIXIE" --bind "$staging" /setup makensis -V2 -DVERSION="$VERSION" -DSTAGE="/setup/$name" \
    -DFILES=/setup/nsis/files.nsh -DUNFILES=/setup/nsis/unfiles.nsh -DPATH_ENTRY=/setup/nsis/path-entry.exe \
    -DSIZE_KB="$size" -DOUTFILE="/setup/$name-setup.exe" /setup/nsis/duostem.nsi >&2
  mv "$staging/$name-setup.exe" "$DIST/"
  say "$DIST/$name-setup.exe"
}

# elf_files DIR: the ELF files below DIR, one a line.
elf_files() {
  local f
  while IFS= read -r -d '' f; do
    if [ "$(head -c 4 "$f" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ]; then printf '%s\n' "$f"; fi
  done < <(find "$1" -type f -print0)
}

# deb_depends ROOT: the Depends field for what the ELF files below ROOT link,
# each package at the newest symbol version asked of it; libraries the package
# carries itself need nothing.
deb_depends() {
  local root=$1 f
  while IFS= read -r f; do
    readelf -d -W "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1 -/p'
    readelf -V -W "$f" | awk '/^Version needs section/ { needs = 1 }
      needs && /File:/ { for (i = 1; i < NF; i++) if ($i == "File:") lib = $(i + 1) }
      needs && /Name:/ { for (i = 1; i < NF; i++) if ($i == "Name:") print lib, $(i + 1) }'
  done < <(elf_files "$root") | awk -v own="$(find "$root" -type f -printf '%f\n')" '
    BEGIN {
      n = split(own, names, "\n"); for (i = 1; i <= n; i++) carried[names[i]] = 1
      # GLIBCXX_3.4.N first shipped with these GCC releases (libstdc++6 versions).
      n = split("21:5 22:6 23:7 24:7 25:8 26:9 27:9 28:10 29:11 30:12 31:13 32:13.2", t, " ")
      for (i = 1; i <= n; i++) { split(t[i], kv, ":"); gcc[kv[1]] = kv[2] }
    }
    carried[$1] { next }
    $1 ~ /^(libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|ld-linux-.*)$/ {
      print "libc6", ($2 ~ /^GLIBC_[0-9.]+$/ ? substr($2, 7) : 0); next }
    $1 == "libgcc_s.so.1" { print "libgcc-s1", ($2 ~ /^GCC_[0-9.]+$/ ? substr($2, 5) : 0); next }
    $1 == "libstdc++.so.6" {
      v = 0
      if ($2 ~ /^GLIBCXX_3\.4\.[0-9]+$/) {
        split($2, p, "."); if (p[3] + 0 > 32) { print "unknown", $2; next }
        if (p[3] + 0 >= 21) v = gcc[p[3] + 0]
      }
      print "libstdc++6", v; next }
    { print "unknown", $1 }' | sort -k1,1 -k2,2V | awk '
    $1 == "unknown" { printf "package: no Debian package known for %s\n", $2 > "/dev/stderr"; bad = 1 }
    { newest[$1] = $2 }
    END {
      if (bad) exit 1
      for (p in newest) print p (newest[p] == 0 ? "" : " (>= " newest[p] ")")
    }' | sort | paste -sd, | sed 's/,/, /g'
}

# package_deb ARCH: dist/duostem_VERSION_ARCH.deb from build-release/deb-ARCH,
# laid out by its install rules and finished as Debian's policy asks (stripped,
# compressed manual, copyright, changelog, checksums).
package_deb() {
  local arch=$1 root=build-release/deb-$1-root strip=strip f depends size date maintainer
  [ "$arch" = arm64 ] && strip=aarch64-linux-gnu-strip
  rm -rf "$root"
  in_chroot "$BULLSEYE" --bind "$PWD" /src \
    env DESTDIR="/src/$root" cmake --install "/src/build-release/deb-$arch" --prefix /usr >/dev/null
  while IFS= read -r f; do
    "$strip" --strip-unneeded --remove-section=.comment --remove-section=.note "$f"
  done < <(elf_files "$root")
  sed -i '1s|^#!/usr/bin/env bash$|#!/bin/bash|' "$root/usr/bin/duostem-separate-many"
  gzip -9n "$root/usr/share/man/man1/duostem.1" "$root/usr/share/man/man1/duostem-studio.1"
  ln -s duostem.1.gz "$root/usr/share/man/man1/duostem-separate-many.1.gz"
  mkdir -p "$root/usr/share/doc/duostem" "$root/usr/share/lintian/overrides" "$root/DEBIAN"
  {
    sed "s|@ORT_VERSION@|1.31.1|" packaging/deb/copyright
    printf 'ONNX Runtime\n------------\n\n'
    cat "$ORT-linux-x64/LICENSE.txt"
    printf '\npocketfft\n---------\n\n'
    sed -n '1,/\*\//p' "$POCKETFFT_DIR/pocketfft_hdronly.h"
    printf '\ncpp-httplib (in duostem-studio)\n-------------------------------\n\n'
    cat "$DEPS/$HTTPLIB/LICENSE"
    printf '\nwavesurfer.js (in duostem-studio)\n---------------------------------\n\n'
    cat "$DEPS/$WAVESURFER/LICENSE"
  } >"$root/usr/share/doc/duostem/copyright"
  maintainer=$(sed -n 's/^Maintainer: //p' packaging/deb/control)
  date=$(date -u -R -d "@${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}")
  sed -e "s|@VERSION@|$VERSION|g" -e "s|@MAINTAINER@|$maintainer|" -e "s|@DATE@|$date|" packaging/deb/changelog \
    | gzip -9n >"$root/usr/share/doc/duostem/changelog.gz"
  cp packaging/deb/lintian-overrides "$root/usr/share/lintian/overrides/duostem"
  find "$root" -type d -exec chmod 755 {} +
  find "$root/usr" -type f -exec chmod 644 {} +
  chmod 755 "$root"/usr/bin/*
  depends=$(deb_depends "$root")
  size=$(du -sk "$root/usr" | cut -f1)
  sed -e "s|@VERSION@|$VERSION|" -e "s|@ARCH@|$arch|" -e "s|@SIZE@|$size|" -e "s|@DEPENDS@|$depends|" \
    packaging/deb/control >"$root/DEBIAN/control"
  (cd "$root" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
  dpkg-deb --root-owner-group -Zxz --build "$root" "$DIST/duostem_${VERSION}_$arch.deb" >/dev/null
  say "$DIST/duostem_${VERSION}_$arch.deb (Depends: $depends)"
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
    windows_setup "$staging" "$name"
  else
    tar -C "$staging" --owner=0 --group=0 -czf "$DIST/$name.tar.gz" "$name"
    say "$DIST/$name.tar.gz"
  fi
  case "$platform" in
    linux-x86_64) package_deb amd64 ;;
    linux-aarch64) package_deb arm64 ;;
  esac
  rm -rf "$staging"
done
