# Shared by the project's scripts: messages, root, the machine's Debian mirror
# and Debian chroots. Source it after setting SCRIPT (the name messages carry).

say() { printf '%s: %s\n' "$SCRIPT" "$*" >&2; }
die() { printf '%s: error: %s\n' "$SCRIPT" "$*" >&2; exit 1; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

DEPS="${DUOSTEM_DEPS:-${XDG_CACHE_HOME:-$HOME/.cache}/duostem}"

# The mirror of the machine's own apt configuration, so that no host name
# lives in this repository.
debian_mirror() {
  local m=""
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    m=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$m" ] && [ -f /etc/apt/sources.list ]; then
    m=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i !~ /^\[/ && $i !~ /\]$/) { print $i; exit } }' /etc/apt/sources.list)
  fi
  [ -n "$m" ] || die "cannot find a Debian mirror in /etc/apt/sources.list.d/debian.sources or /etc/apt/sources.list"
  echo "$m"
}

# make_chroot SUITE DIR PACKAGE...: a minimal Debian SUITE in DIR with the
# packages installed, made once and kept (a finished one holds .duostem-ready).
make_chroot() {
  local suite=$1 dir=$2
  shift 2
  if [ ! -f "$dir/.duostem-ready" ]; then
    say "making a Debian $suite root in $dir"
    as_root rm -rf "$dir"
    as_root debootstrap --variant=minbase "$suite" "$dir" "$(debian_mirror)" >/dev/null \
      || die "debootstrap $suite failed"
    as_root cp /etc/resolv.conf "$dir/etc/resolv.conf"
    as_root touch "$dir/.duostem-ready"
  fi
  local missing=() p
  for p in "$@"; do
    in_chroot "$dir" dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    say "installing in the $suite root: ${missing[*]}"
    in_chroot "$dir" env DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null || die "apt-get update in $dir failed"
    in_chroot "$dir" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" \
      >/dev/null || die "apt-get install in $dir failed for: ${missing[*]}"
  fi
}

# in_chroot DIR [--bind FROM TO]... COMMAND...: runs COMMAND as root inside DIR,
# with /proc and the given folders mounted in a mount namespace of its own, so
# that every mount ends with the command, however it ends.
in_chroot() {
  local dir=$1 binds=()
  shift
  while [ "${1:-}" = --bind ]; do
    binds+=("$2" "$3")
    shift 3
  done
  as_root unshare -m bash -c '
    set -e
    dir=$1 count=$2
    shift 2
    while [ "$count" -gt 0 ]; do
      mkdir -p "$dir$2"
      mount --bind "$1" "$dir$2"
      shift 2
      count=$((count - 1))
    done
    mount -t proc proc "$dir/proc"
    exec chroot "$dir" "$@"' in_chroot "$dir" $((${#binds[@]} / 2)) "${binds[@]}" "$@"
}
