#!/usr/bin/env bash
# Runs a Windows x64 program under the wine of the project's Debian 13 root:
# Debian 12's wine 8 never finishes creating ONNX Runtime's environment, wine 10
# does. The program sees the wine prefix and the folders of DUOSTEM_WINE_FOLDERS
# (colon-separated) at their own paths, and must lie in one of them, as must the
# working folder. Every run of one prefix needs the same folders: wine's server,
# which outlives a run, opens files for its programs and sees only what the run
# that started it saw. Its status is the program's; a run is cut after
# DUOSTEM_WINE_TIMEOUT seconds (default 600) with status 124.
# usage: cmake/wine.sh PROGRAM [ARG...]
#        cmake/wine.sh --tool COMMAND [ARG...]   (the root's own, e.g. /usr/lib/wine/wineserver -k)
# WINEPREFIX names the prefix (absolute); scripts/platforms.sh's start_wine sets
# both variables, installs wine64 and wine in the root and starts the prefix.
set -euo pipefail
shopt -s inherit_errexit
SCRIPT=wine
# shellcheck source=scripts/common.sh
source "$(dirname "$0")/../scripts/common.sh"

root=${DUOSTEM_WINE_ROOT:-$DEPS/chroot-trixie}
[ -n "${WINEPREFIX:-}" ] || die "set WINEPREFIX and DUOSTEM_WINE_FOLDERS (scripts/platforms.sh windows sets both)"
[ -d "$WINEPREFIX" ] || die "no folder $WINEPREFIX: make the prefix's folder first"
[ -x "$root/usr/lib/wine/wine64" ] || die "no wine in $root: run scripts/platforms.sh windows once"
[ $# -gt 0 ] || die "usage: cmake/wine.sh PROGRAM [ARG...] | --tool COMMAND [ARG...]"

IFS=: read -ra folders <<<"$WINEPREFIX:${DUOSTEM_WINE_FOLDERS:-}"
binds=()
for folder in "${folders[@]}"; do
  [ -z "$folder" ] || binds+=(--bind "$folder" "$folder")
done
# inside PATH: whether PATH lies in one of the folders.
inside() {
  local folder
  for folder in "${folders[@]}"; do
    case "$1/" in "$folder"/*) return 0 ;; esac
  done
  return 1
}
folder=$PWD
if [ "$1" = --tool ]; then
  shift
  command=("$@")
  folder=$WINEPREFIX
else
  inside "$PWD" || die "the working folder $PWD is not in WINEPREFIX or DUOSTEM_WINE_FOLDERS"
  program=$(realpath -- "$1")
  shift
  inside "$program" || die "$program is not in WINEPREFIX or DUOSTEM_WINE_FOLDERS"
  command=(timeout -k 10 "${DUOSTEM_WINE_TIMEOUT:-600}" /usr/lib/wine/wine64 "$program" "$@")
fi

# The environment inside is wine's own, not this shell's: only what wine needs,
# and WINEDLLOVERRIDES when set (to take away a library a test must do without).
# Wine complains on standard error without a runtime folder.
[ -d "$WINEPREFIX/.runtime" ] || mkdir -m 700 "$WINEPREFIX/.runtime"
overrides=()
[ -z "${WINEDLLOVERRIDES:-}" ] || overrides=(WINEDLLOVERRIDES="$WINEDLLOVERRIDES")
in_chroot "$root" "${binds[@]}" /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$folder" \
  env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all \
  XDG_RUNTIME_DIR="$WINEPREFIX/.runtime" "${overrides[@]}" "${command[@]}"
