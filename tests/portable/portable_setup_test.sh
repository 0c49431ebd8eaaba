#!/usr/bin/env bash
# The portable setup file, one road per call (portable_setup_test.sh <road> <build folder>):
#   cache: the bundle is unpacked once and reused; damage or concurrent starts never
#     make a start fail or use a partial bundle
#   install_package_remove, first_page_screenshot: in a mount namespace that hides this
#     machine's Qt 6, libcurl, libzip, pugixml, OpenSSL and ICU (root only, else 77:
#     skipped), where the plain build cannot start, the portable file walks the plain
#     build's unattended road with the same files, and shows its first page on Xvfb
#     (saved as <build>/screenshots/portable_first_page.png)
set -euo pipefail
road=$1 build=$(cd "$2" && pwd)

if [ "$road" = --hidden ]; then
  # inside the namespace: hide the libraries, then run the command
  shift 2
  empty=$(mktemp)
  for file in /usr/lib/x86_64-linux-gnu/{libQt6,libcurl,libzip,libpugixml,libssl,libcrypto,libicu}*.so*; do
    [ -L "$file" ] || mount --bind "$empty" "$file"
  done
  mount -t tmpfs -o ro none /usr/lib/x86_64-linux-gnu/qt6
  exec "$@"
fi
if [ "$road" != cache ] && { [ "$(id -u)" != 0 ] || ! unshare -m true 2>/dev/null; }; then
  echo "skipped: a mount namespace needs root"
  exit 77
fi
hidden() { unshare -m "$0" --hidden "$build" "$@"; }

portable=$build/dist/vrnsetup plain=$build/bin/vrnsetup
mkdir -p "$build/test-sandbox"
work=$(mktemp -d "$build/test-sandbox/portable.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# a machine is a home with its own folders; the portable file's cache is shared
machine() {
  local root=$work/$1
  mkdir -p "$root/home" "$root/tmp"
  chmod 700 "$root/tmp"
  echo env HOME="$root/home" TMPDIR="$root/tmp" XDG_RUNTIME_DIR="$root/tmp" XDG_CONFIG_HOME="$root/config" \
    XDG_DATA_HOME="$root/data" XDG_CACHE_HOME="$work/cache" LC_ALL=C.UTF-8 LANG=C.UTF-8
}
# a release of a tiny application with the portable file as its setup, served on 127.0.0.1
serve_release() {
  mkdir -p "$work/app"
  printf '#!/bin/sh\necho Vorlen\n' > "$work/app/Vorlen.exe"
  printf 'Vorlen.exe [options]\n' > "$work/app/command line.txt"
  "$build/bin/vrn-publish" --app "$work/app" --version 15 --number 3 --setup "$portable" "$work/release" >/dev/null
  "$build/bin/vrn-serve" --port 0 "$work/release" > "$work/serve.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/serve.log" ] && break; sleep 0.1; done
  export VRN_RELEASE_BASE_URL=$(head -n 1 "$work/serve.log") VRN_BETA_BASE_URL=$(head -n 1 "$work/serve.log")
}
# what a machine holds: each path with a hash of its content, in which the machine's own
# folder reads ROOT; the copies of the setup (uninstaller, package) by name only
tree() {
  (cd "$work/$1" && find config data home | sort | while read -r path; do
    case "$path" in
      *uninstall.exe | *VorlenSetup.exe) echo "$path" ;;
      *) [ -f "$path" ] && echo "$path $(sed -E "s|$work/$1|ROOT|g; s/[{][0-9A-F-]{36}[}]/{KEY}/g" "$path" | md5sum)" \
           || echo "$path/" ;;
    esac
  done)
}

if [ "$road" = install_package_remove ]; then
  serve_release
  offline=http://127.0.0.1:1/

  output=$(hidden $(machine none) "$plain" -help 2>&1) && fail "the plain build ran without its libraries"
  grep -q "error while loading shared libraries" <<<"$output" || fail "the plain build failed otherwise: $output"

  # the same road for each build: install, package, install from the package offline, remove
  walk_road() {
    local program=$1 run=$2 online offline_machine
    online=$(machine "$3-online") offline_machine=$(machine "$3-offline")
    $run $online "$program" -silent -accepteula -norun || fail "$3: install"
    $run $online "$program" -silent -accepteula "-package:$work/$3-online/package" || fail "$3: package"
    $run $offline_machine VRN_RELEASE_BASE_URL=$offline "$work/$3-online/package/VorlenSetup.exe" -silent -accepteula -norun \
      || fail "$3: install from the package"
    tree "$3-offline" > "$work/$3-installed"
    $run $offline_machine "$work/$3-offline/data/Ostrelle/Apps/Vorlen/uninstall.exe" -uninstallnow -silent -edition:release \
      || fail "$3: removal through the installed uninstaller"
    [ ! -e "$work/$3-offline/data/Ostrelle/Apps/Vorlen" ] || fail "$3: the removal left the install folder"
  }
  walk_road "$plain" "" plain
  walk_road "$portable" hidden portable
  for step in online installed offline; do
    if [ "$step" = installed ]; then a=$work/plain-installed b=$work/portable-installed
    else tree "plain-$step" > "$work/a"; tree "portable-$step" > "$work/b"; a=$work/a b=$work/b; fi
    diff "$a" "$b" || fail "the portable file left other files than the plain build ($step)"
  done
  grep -q "Vorlen.exe" "$work/portable-installed" || fail "nothing was installed"
  echo "passed: the portable file installed, packaged, installed offline and removed without the machine's libraries"
  exit 0
fi

if [ "$road" = cache ]; then
  export XDG_CACHE_HOME=$work/cache QT_QPA_PLATFORM=offscreen
  start() { "$portable" -help >/dev/null 2>"$work/start.err" || fail "$1: $(cat "$work/start.err")"; }
  unpacked() { find "$work/cache/vorlen-setup" -mindepth 1 -maxdepth 1 -type d; }
  start "first start"
  cached=$(unpacked)
  [ "$(wc -l <<<"$cached")" = 1 ] && [ -x "$cached/bin/vrnsetup" ] || fail "the first start unpacked no bundle"
  library=$cached/lib/libQt6Core.so.6
  inode=$(stat -c %i "$library")
  cp "$library" "$work/reference"
  start "later start"
  [ "$(stat -c %i "$library")" = "$inode" ] || fail "a later start unpacked the bundle again"
  # each damage, then a start that must repair it and leave exactly one whole cache
  damages=(
    "truncate -s 1000 $library"
    "rm $library"
    "ln -sf /dev/null $library"
    "rm -r $cached/plugins"
    "rm -r $cached; mkdir -p $cached.tmp-killed/lib; head -c 1000 /dev/zero > $cached.tmp-killed/lib/libQt6Core.so.6"
    "rm -r $cached; mkdir $cached"
  )
  for damage in "${damages[@]}"; do
    bash -c "$damage"
    start "after: $damage"
    [ "$(unpacked)" = "$cached" ] && cmp -s "$library" "$work/reference" || fail "after \"$damage\" the cache was not repaired"
  done
  # starts at once on an empty cache: all run, one whole cache, no folder left half-written
  rm -r "$work/cache"
  for i in 1 2 3 4; do ("$portable" -help >/dev/null 2>"$work/start$i.err"; echo $? > "$work/start$i.rc") & done
  wait
  for i in 1 2 3 4; do [ "$(cat "$work/start$i.rc")" = 0 ] || fail "a concurrent start failed: $(cat "$work/start$i.err")"; done
  [ "$(unpacked)" = "$cached" ] || fail "concurrent starts left $(unpacked)"
  # a damaged file is refused before anything is unpacked
  head -c 5000000 "$portable" > "$work/cut"
  chmod +x "$work/cut"
  rm -r "$work/cache"
  ! "$work/cut" -help 2>"$work/cut.err" && grep -q "vrnsetup: the program bundle" "$work/cut.err" \
    || fail "a cut-short file was not refused: $(cat "$work/cut.err")"
  [ -z "$(unpacked)" ] || fail "a cut-short file left a cache folder"
  # the resources stay the program's own: vrn-rc reads and extends the portable file
  "$build/bin/vrn-rc" list "$portable" | grep -q "^LOGO" || fail "vrn-rc does not list the portable file's resources"
  echo "passed: the cache is made once, reused, repaired and shared by concurrent starts"
  exit 0
fi

if [ "$road" = first_page_screenshot ]; then
  command -v Xvfb >/dev/null || { echo "skipped: no Xvfb"; exit 77; }
  exec 3> "$work/display"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 2>/dev/null &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  export DISPLAY=:$(head -n 1 "$work/display")
  unset QT_QPA_PLATFORM WAYLAND_DISPLAY
  serve_release
  unshare -m "$0" --hidden "$build" $(machine screen) "$portable" 2>"$work/setup.err" &
  setup=$!
  pids+=($setup)
  mkdir -p "$build/screenshots"
  shot=$build/screenshots/portable_first_page.png
  QT_QPA_PLATFORM=xcb "$build/tests/portable_screen_grab" "$shot" 20 || { cat "$work/setup.err"; fail "no window appeared"; }
  kill -TERM "$setup"
  wait "$setup" || { cat "$work/setup.err"; fail "the portable file did not end cleanly"; }
  echo "passed: the first page is in $shot"
  exit 0
fi
fail "unknown road $road"
