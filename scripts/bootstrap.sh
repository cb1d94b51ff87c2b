#!/usr/bin/env bash
# Installs everything duostem needs on a Debian 12 machine: the toolchain and
# test libraries from Debian, pocketfft (gemmi-dev), the ONNX Runtime library
# from the npm package onnxruntime-node and its C API headers from Debian 13's
# libonnxruntime-dev (downloaded and unpacked, never installed), the studio's
# cpp-httplib header and wavesurfer.js; plus any further Debian packages named
# as arguments.
# Idempotent: downloads are cached under $DUOSTEM_DEPS (default
# ${XDG_CACHE_HOME:-$HOME/.cache}/duostem), so a rerun costs a few checks.
set -euo pipefail
shopt -s inherit_errexit
SCRIPT=bootstrap
# shellcheck source=scripts/common.sh
source "$(dirname "$0")/common.sh"

ORT_VERSION=1.31.1
ORT_HEADERS="$DEPS/onnxruntime-headers"
ORT_HEADER="$ORT_HEADERS/usr/include/onnxruntime/onnxruntime_c_api.h"
# One folder per platform, laid out like ONNX Runtime's own release archives
# (include/, lib/), which is what the build's ONNXRUNTIME_ROOT expects.
ort_root() { echo "$DEPS/onnxruntime-$ORT_VERSION-$1"; }
# platform, the runtime's path inside the npm package, its name in lib/
ORT_PLATFORMS=(
  "linux-x64 package/bin/napi-v6/linux/x64/libonnxruntime.so.1 libonnxruntime.so.1"
  "linux-aarch64 package/bin/napi-v6/linux/arm64/libonnxruntime.so.1 libonnxruntime.so.1"
  "win-x64 package/bin/napi-v6/win32/x64/onnxruntime.dll onnxruntime.dll"
)

DEBIAN_PACKAGES=(
  build-essential cmake git
  libgtest-dev libgmock-dev libbenchmark-dev
  gemmi-dev scdoc
  clang libclang-rt-14-dev
  python3-onnx python3-numpy python3-soundfile python3-matplotlib
  sox sndfile-programs espeak-ng ffmpeg
  parallel openssh-server openssh-client rsync strace
  nodejs npm
)
# Further Debian packages a caller needs (the platform tests' cross toolchains).
DEBIAN_PACKAGES+=("$@")

missing_packages() {
  local p
  for p in "${DEBIAN_PACKAGES[@]}"; do
    # node and npm may come from elsewhere; only a missing command counts.
    case "$p" in
      nodejs) command -v node >/dev/null 2>&1 && continue ;;
      npm) command -v npm >/dev/null 2>&1 && continue ;;
    esac
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

install_debian_packages() {
  local missing
  missing=$(missing_packages)
  [ -z "$missing" ] && return 0
  say "installing Debian packages:" $missing
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -q || die "apt-get update failed: is Debian's package archive reachable?"
  # shellcheck disable=SC2086
  as_root apt-get install -y -q --no-install-recommends $missing \
    || die "apt-get install failed for: $missing"
}

# private_apt DIR SOURCES-LINE: an apt configuration of its own in DIR, the
# machine's left untouched, with the one sources line and its index fetched;
# PRIVATE_APT holds the options that select it, and DIR/download is where
# apt's own user may write what it fetches.
private_apt() {
  local dir=$1
  chmod 755 "$dir"
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/download"
  echo "$2" >"$dir/sources.list"
  PRIVATE_APT=(-o "Dir::Etc::sourcelist=$dir/sources.list" -o "Dir::Etc::sourceparts=-"
               -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache"
               -o "Acquire::IndexTargets::deb::Contents-deb::DefaultEnabled=false")
  apt-get "${PRIVATE_APT[@]}" update -q >&2 || die "apt-get update failed for \"$2\": is the mirror reachable?"
  chmod 777 "$dir/download"
}

fetch_ort_headers() {
  [ -f "$ORT_HEADER" ] && return 0
  say "fetching ONNX Runtime C API headers (Debian 13 libonnxruntime-dev)"
  local dir
  dir=$(mktemp -d)
  private_apt "$dir" "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) trixie main"
  (cd "$dir/download" && apt-get "${PRIVATE_APT[@]}" download libonnxruntime-dev >&2) \
    || die "apt-get download libonnxruntime-dev failed"
  local deb
  deb=$(ls "$dir"/download/libonnxruntime-dev_*.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] || die "libonnxruntime-dev was not downloaded"
  rm -rf "$ORT_HEADERS.tmp"
  mkdir -p "$ORT_HEADERS.tmp"
  dpkg-deb -x "$deb" "$ORT_HEADERS.tmp"
  [ -f "$ORT_HEADERS.tmp/usr/include/onnxruntime/onnxruntime_c_api.h" ] \
    || die "libonnxruntime-dev holds no onnxruntime_c_api.h"
  rm -rf "$ORT_HEADERS"
  mv "$ORT_HEADERS.tmp" "$ORT_HEADERS"
  rm -rf "$dir"
}

# The npm package carries the runtimes but no licence text; Debian's copyright
# file of the same runtime has the licence and the third-party notices.
make_ort_roots() {
  local entry platform member name root missing=()
  for entry in "${ORT_PLATFORMS[@]}"; do
    read -r platform member name <<<"$entry"
    [ -f "$(ort_root "$platform")/lib/$name" ] || missing+=("$entry")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "fetching ONNX Runtime $ORT_VERSION (npm package onnxruntime-node, about 110 MB)"
  local dir
  dir=$(mktemp -d)
  # npm pack fetches and checks the tarball without running any of its scripts.
  (cd "$dir" && npm pack --silent "onnxruntime-node@$ORT_VERSION" >/dev/null) \
    || die "npm pack onnxruntime-node@$ORT_VERSION failed: is the npm registry reachable?"
  for entry in "${missing[@]}"; do
    read -r platform member name <<<"$entry"
    root=$(ort_root "$platform")
    tar -xzf "$dir/onnxruntime-node-$ORT_VERSION.tgz" -C "$dir" "$member" \
      || die "the npm package holds no $member"
    rm -rf "$root.tmp"
    mkdir -p "$root.tmp/lib"
    cp -r "$ORT_HEADERS/usr/include/onnxruntime" "$root.tmp/include"
    cp "$ORT_HEADERS/usr/share/doc/libonnxruntime-dev/copyright" "$root.tmp/LICENSE.txt"
    mv "$dir/$member" "$root.tmp/lib/$name"
    rm -rf "$root"
    mv "$root.tmp" "$root"
  done
  # The runtimes are all we keep; the tarball would only take space.
  rm -rf "$dir"
}

# The studio's HTTP server: cpp-httplib as the single header of Debian 13's
# source package (the binary package is a library tied to OpenSSL), with
# Debian's patches applied: they bound request lines and header counts while
# a request is read, and chunked bodies, which the upstream tarball does not.
HTTPLIB_VERSION=0.18.7
HTTPLIB_DEBIAN=1+deb13u1
fetch_httplib() {
  local dest="$DEPS/cpp-httplib-$HTTPLIB_VERSION-$HTTPLIB_DEBIAN"
  [ -f "$dest/httplib.h" ] && return 0
  say "fetching cpp-httplib $HTTPLIB_VERSION-$HTTPLIB_DEBIAN (Debian 13 source package, with its patches)"
  local dir
  dir=$(mktemp -d)
  private_apt "$dir" "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) trixie main"
  (cd "$dir/download" &&
    apt-get "${PRIVATE_APT[@]}" source --download-only "cpp-httplib=$HTTPLIB_VERSION-$HTTPLIB_DEBIAN" >&2) \
    || die "apt-get source cpp-httplib=$HTTPLIB_VERSION-$HTTPLIB_DEBIAN failed"
  local orig debian source patch
  orig=$(ls "$dir"/download/cpp-httplib_"$HTTPLIB_VERSION"*.orig.tar.* 2>/dev/null | head -n 1)
  debian=$(ls "$dir"/download/cpp-httplib_"$HTTPLIB_VERSION-$HTTPLIB_DEBIAN".debian.tar.* 2>/dev/null | head -n 1)
  [ -n "$orig" ] && [ -n "$debian" ] || die "no cpp-httplib $HTTPLIB_VERSION-$HTTPLIB_DEBIAN source archives were downloaded"
  mkdir "$dir/source"
  tar -xf "$orig" -C "$dir/source" --strip-components=1
  tar -xf "$debian" -C "$dir/source"
  source="$dir/source"
  [ -f "$source/debian/patches/series" ] || die "the cpp-httplib source holds no debian/patches/series"
  # Debian's order; a patch that does not apply cleanly stops the bootstrap.
  while read -r patch _; do
    case "$patch" in '' | '#'*) continue ;; esac
    patch -p1 --quiet --forward --batch -d "$source" <"$source/debian/patches/$patch" >&2 \
      || die "Debian's patch $patch does not apply to cpp-httplib $HTTPLIB_VERSION"
  done <"$source/debian/patches/series"
  grep -q CPPHTTPLIB_HEADER_MAX_COUNT "$source/httplib.h" || die "cpp-httplib's header lacks Debian's security patches"
  rm -rf "$dest.tmp"
  mkdir -p "$dest.tmp"
  cp "$source/httplib.h" "$source/LICENSE" "$source/debian/patches/series" "$dest.tmp/" \
    || die "the cpp-httplib source holds no httplib.h or LICENSE"
  rm -rf "$dest"
  mv "$dest.tmp" "$dest"
  rm -rf "$dir"
}

# The studio page's waveforms: wavesurfer.js from npm, embedded in the executable.
WAVESURFER_VERSION=8.0.1
fetch_wavesurfer() {
  local dest="$DEPS/wavesurfer.js-$WAVESURFER_VERSION"
  [ -f "$dest/wavesurfer.min.js" ] && return 0
  say "fetching wavesurfer.js $WAVESURFER_VERSION (npm)"
  local dir
  dir=$(mktemp -d)
  (cd "$dir" && npm pack --silent "wavesurfer.js@$WAVESURFER_VERSION" >/dev/null) \
    || die "npm pack wavesurfer.js@$WAVESURFER_VERSION failed: is the npm registry reachable?"
  tar -xzf "$dir/wavesurfer.js-$WAVESURFER_VERSION.tgz" -C "$dir" package/dist/wavesurfer.min.js package/LICENSE \
    || die "the wavesurfer.js package holds no dist/wavesurfer.min.js or LICENSE"
  rm -rf "$dest.tmp"
  mkdir -p "$dest.tmp"
  mv "$dir/package/dist/wavesurfer.min.js" "$dir/package/LICENSE" "$dest.tmp/"
  rm -rf "$dest"
  mv "$dest.tmp" "$dest"
  rm -rf "$dir"
}

mkdir -p "$DEPS"
install_debian_packages
[ -f /usr/include/gemmi/third_party/pocketfft_hdronly.h ] || die "gemmi-dev installed no pocketfft_hdronly.h"
fetch_ort_headers
make_ort_roots
fetch_httplib
fetch_wavesurfer
say "ready: $DEPS"
