#!/usr/bin/env bash
# Makes the Debian roots the portable setup file is tried on: a minimal Debian with only
# a GTK desktop's libraries, as a user of that release has them. Each root is kept in
# the cache folder and made again only when it is missing or its package list changed.
#   make_roots.sh [--check] [SUITE...]   (default: bullseye trixie)
# VRN_ROOTS_CACHE names the cache folder (default /var/cache/vorlen-roots). --check
# makes nothing: it prints each root's folder and fails when one is not made yet.
# Needs root, debootstrap and the network to Debian's archive.
set -euo pipefail

cache=${VRN_ROOTS_CACHE:-/var/cache/vorlen-roots}
# what a GTK desktop brings: GTK 3 with OpenGL, EGL and a font, nothing of Qt
desktop_packages=(libgtk-3-0 libgl1 libegl1 libopengl0 fonts-dejavu-core)
# the name changes with the package list, so a changed list makes new roots
flavour=gtk-$(printf '%s\n' "${desktop_packages[@]}" | md5sum | cut -c1-8)

check=0
if [ "${1:-}" = --check ]; then check=1; shift; fi
suites=("$@")
[ ${#suites[@]} -gt 0 ] || suites=(bullseye trixie)

root_folder() { echo "$cache/$1-$flavour"; }

# runs a command in the root with /proc and /dev mounted, in a mount namespace of its own
in_root() {
  local root=$1
  shift
  unshare -m sh -c 'mount -t proc proc "$1/proc" && mount --rbind /dev "$1/dev" && shift && exec chroot "$@"' \
    sh "$root" "$root" "$@"
}

make_root() {
  local suite=$1 root partial
  root=$(root_folder "$suite")
  partial=$root.partial
  rm -rf "$partial"
  mkdir -p "$cache"
  echo "make_roots.sh: making $root (debootstrap --variant=minbase $suite)" >&2
  debootstrap --variant=minbase "$suite" "$partial" >"$cache/$suite.log" 2>&1 \
    || { tail -n 20 "$cache/$suite.log" >&2; return 1; }
  in_root "$partial" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${desktop_packages[@]}" >>"$cache/$suite.log" 2>&1 || { tail -n 20 "$cache/$suite.log" >&2; return 1; }
  in_root "$partial" apt-get clean
  rm -rf "$partial/var/lib/apt/lists/"*
  mv "$partial" "$root"
}

status=0
for suite in "${suites[@]}"; do
  root=$(root_folder "$suite")
  if [ -d "$root" ]; then
    echo "$root"
  elif [ $check = 1 ]; then
    echo "make_roots.sh: no root for $suite in $cache (tests/portable/make_roots.sh makes it)" >&2
    status=1
  else
    [ "$(id -u)" = 0 ] || { echo "make_roots.sh: making a root needs root" >&2; exit 1; }
    command -v debootstrap >/dev/null || { echo "make_roots.sh: debootstrap is not installed" >&2; exit 1; }
    make_root "$suite" && echo "$root" || status=1
  fi
done
exit $status
