#!/usr/bin/env bash
# Keeps a Debian-unstable root with CPython 3.14 and 3.15 for building and testing beside 3.13.
#
# Debian 12 carries no CPython 3.14 or 3.15, and Debian's own packages of them need a newer C
# library, so they live in a minimal root made by debootstrap once per machine, in a cache
# folder under the user's home. A root older than a week is made again.
#
#   ./tools/interpreters.sh                 make the root unless a recent one exists; prints its path
#   ./tools/interpreters.sh run CMD [ARG]   run CMD inside the root (as root, through chroot), with
#                                           this work tree mounted at the same path, in a mount
#                                           namespace of its own so that nothing stays mounted
#   ./tools/interpreters.sh test 3.14 [ARG] build this tree into a venv of the root's CPython
#                                           3.14 (or 3.15) and run the Python suite there (or
#                                           pytest with ARGs): a developer's loop (CI runs the
#                                           suite against the wheels, tools/build-wheels.sh)
#
# The package mirror is the one the machine's own apt configuration uses; the machine's CA
# bundle and its pip configuration (files, PIP_* variables, and the local folders they name)
# go into the root so that pip inside finds what it finds outside. Needs root (as here and in
# CI); installs debootstrap through apt when missing.
set -euo pipefail
tree="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

cache="${VRELPY_INTERPRETERS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vrelpy/interpreters}"
root="$cache/debian-unstable"
stamp="$root/.vrelpy-made"  # written last: a root without it is incomplete
max_age_days=7
packages=(
  python3.14-dev python3.14-venv python3.15-dev python3.15-venv
  g++ cmake make ca-certificates
  patchelf  # auditwheel rewrites the wheels' shared objects with it
)

if [ "$(id -u)" -ne 0 ]; then
  echo "error: tools/interpreters.sh needs root (debootstrap and chroot)" >&2
  exit 1
fi

# The first archive (not -security, not -updates) that apt is configured with.
apt_mirror() {
  apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
    awk '$2 !~ /-(security|updates|backports)$/ && $1 ~ /^https?:/ { print $1; exit }'
}

# Copies the host's CA bundle and pip configuration into the root (again on every use: they
# may have changed since the root was made).
copy_host_settings() {
  local bundle
  for bundle in /etc/ssl/certs/ca-certificates.crt /etc/pki/tls/certs/ca-bundle.crt; do
    if [ -f "$bundle" ]; then
      install -D -m 644 "$bundle" "$root/etc/ssl/certs/ca-certificates.crt"
      break
    fi
  done
  cp -f /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  [ -f /etc/pip.conf ] && install -D -m 644 /etc/pip.conf "$root/etc/pip.conf"
  if [ -d /etc/xdg/pip ]; then
    rm -rf "$root/etc/xdg/pip" && mkdir -p "$root/etc/xdg" && cp -a /etc/xdg/pip "$root/etc/xdg/pip"
  fi
  if [ -d "$HOME/.config/pip" ]; then
    rm -rf "$root/root/.config/pip" && mkdir -p "$root/root/.config" &&
      cp -a "$HOME/.config/pip" "$root/root/.config/pip"
  fi
  [ -f "$HOME/.pip/pip.conf" ] && install -D -m 644 "$HOME/.pip/pip.conf" "$root/root/.pip/pip.conf"
  return 0
}

# Local files and folders that the host's pip settings name (find-links, file:// indexes,
# constraints, certificates): they are mounted into the root at the same place. For a local
# index ending in /simple, its parent, where the distribution files usually sit beside it.
pip_local_paths() {
  {
    if command -v python3 >/dev/null 2>&1; then
      python3 -m pip config list 2>/dev/null | sed -e "s/^[^=]*=//" -e "s/^'//" -e "s/'$//"
    fi
    env | sed -n 's/^PIP_[A-Z_]*=//p'
  } | tr ' ' '\n' | sed -e 's#^file://##' -e 's#/*$##' -e 's#^\(/.*\)/simple$#\1#' | while read -r path; do
    case "$path" in
      /*) [ -e "$path" ] && ! [[ "$path" == /etc/* ]] && echo "$path" ;;
    esac
  done | sort -u
}

make_root() {
  local started=$SECONDS mirror
  if ! command -v debootstrap >/dev/null 2>&1; then
    echo "== installing debootstrap"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  fi
  mirror="$(apt_mirror)"
  if [ -z "$mirror" ]; then
    echo "error: no Debian archive found in the apt configuration" >&2
    exit 1
  fi
  echo "== making the CPython 3.14/3.15 root in $root (Debian unstable, minbase)"
  rm -rf "$root.new"
  mkdir -p "$cache"
  local include
  include="$(IFS=,; echo "${packages[*]}")"
  if ! debootstrap --variant=minbase --include="$include" unstable "$root.new" "$mirror" \
      >"$cache/debootstrap.log" 2>&1; then
    tail -n 30 "$cache/debootstrap.log" >&2
    echo "error: debootstrap failed (whole log: $cache/debootstrap.log)" >&2
    exit 1
  fi
  rm -rf "$root.new/var/cache/apt/archives/"*.deb
  rm -rf "$root"
  mv "$root.new" "$root"
  copy_host_settings
  date -u +%FT%TZ >"$stamp"
  echo "== root made in $((SECONDS - started)) s ($(du -sh "$root" | cut -f1))"
}

ensure_root() {
  # One maker at a time; a second caller waits and then finds the root made.
  mkdir -p "$cache"
  exec 9>"$cache/.lock"
  flock 9
  if [ -f "$stamp" ] && [ -z "$(find "$stamp" -mtime +"$((max_age_days - 1))" 2>/dev/null)" ]; then
    echo "== CPython 3.14/3.15 root: $root (made $(cat "$stamp"), kept for $max_age_days days)"
  else
    make_root
  fi
  flock -u 9
}

run_in_root() {
  copy_host_settings
  local mounts=("$tree") path
  while read -r path; do
    [ -n "$path" ] && mounts+=("$path")
  done < <(pip_local_paths)
  # The command runs where the caller is when that lies in this tree, else at its top.
  local cwd="$PWD"
  [[ "$cwd/" == "$tree/"* ]] || cwd="$tree"
  # In a mount namespace of its own: the mounts end with the command, however it ends.
  # (The script is an argument, not standard input, which stays the command's.)
  unshare --mount --propagation private bash -c "$mount_and_enter" enter \
    "$root" "$cwd" "${#mounts[@]}" "${mounts[@]}" "$@"
}

# Mounts /proc, /dev and the given paths into the root, then runs the command there.
# shellcheck disable=SC2016
mount_and_enter='
set -euo pipefail
root=$1; cwd=$2; count=$3; shift 3
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/dev/shm" 2>/dev/null || true
for ((i = 0; i < count; i++)); do
  path=$1; shift
  if [ -d "$path" ]; then
    mkdir -p "$root$path"
  else
    mkdir -p "$(dirname "$root$path")" && touch "$root$path"
  fi
  mount --rbind "$path" "$root$path"
done
exec chroot "$root" /usr/bin/env -C "$cwd" HOME=/root \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
'

# The Python suite on one of the root's interpreters, from a venv kept in the root; the build
# reuses build/<wheel tag> of this tree, as tools/setup-venv.sh does.
test_in_root() {
  local version=$1
  shift
  run_in_root bash -c '
set -euo pipefail
version=$1; shift
venv=/opt/vrelpy/venv-$version
[ -x "$venv/bin/python" ] || "python$version" -m venv "$venv"
pip() { "$venv/bin/python" -m pip install -q --disable-pip-version-check "$@" 2>&1 |
          { grep -v "^WARNING: Location .file:" || true; }; }
pip "scikit-build-core>=0.11" -r tests/python/requirements.txt
pip --no-build-isolation .
[ "$#" -gt 0 ] || set -- tests/python
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"' - "$version" "$@"
}

case "${1:-}" in
  "")
    started=$SECONDS
    ensure_root
    echo "== tools/interpreters.sh took $((SECONDS - started)) s"
    ;;
  run)
    shift
    [ "$#" -gt 0 ] || { echo "usage: $0 run CMD [ARG...]" >&2; exit 2; }
    ensure_root >&2
    run_in_root "$@"
    ;;
  test)
    [ "$#" -ge 2 ] || { echo "usage: $0 test VERSION [PYTEST-ARG...]" >&2; exit 2; }
    shift
    ensure_root >&2
    test_in_root "$@"
    ;;
  *)
    echo "usage: $0 [run CMD [ARG...] | test VERSION [PYTEST-ARG...]]" >&2
    exit 2
    ;;
esac
