#!/usr/bin/env bash
# The portable setup file, one road per call (portable_setup_test.sh <road> <build folder>):
#   cache: the bundle is unpacked once and reused; damage or concurrent starts never
#     make a start fail or use a partial bundle
#   install_package_remove, first_page_screenshot: in a mount namespace that hides this
#     machine's Qt 6, libcurl, libzip, pugixml, OpenSSL and ICU (root only, else 77:
#     skipped), where the plain build cannot start, the portable file walks the plain
#     build's unattended road with the same files, and shows its first page on Xvfb
#     (saved as <build>/screenshots/portable_first_page.png)
#   other_systems: in each Debian root that make_roots.sh keeps (Debian 11 and 13 with a
#     GTK desktop's libraries; root only, 77 where none is made), an unattended install
#     against a server on this machine, then the first page on an X server of this
#     machine (<build>/screenshots/portable_<suite>_first_page.png)
#   wayland: the first page on weston's headless compositor without any X server, shot
#     with weston-screenshooter (<build>/screenshots/portable_wayland_first_page.png)
#   choice: the kept choice of libraries follows changes to the system's libraries
#   missing_library: libOpenGL.so.0 hidden; the launcher names it and its packages on
#     standard error, in a desktop message and in its log, exits with 6, and no loader
#     error reaches the user
#   private_cache: a cache root or bundle folder others may write is not used as it is,
#     and a cache renamed while the launcher starts the program changes nothing it starts
set -euo pipefail
road=$1 build=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

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
      # its records name the files' times and inodes
      *.vrnsetup-files) echo "$path $(grep -v "$(printf '^\t')" "$path" | md5sum)" ;;
      *) [ -f "$path" ] && echo "$path $(sed -E "s|$work/$1|ROOT|g; s/[{][0-9A-F-]{36}[}]/{KEY}/g" "$path" | md5sum)" \
           || echo "$path/" ;;
    esac
  done)
}

# Starts an X server of this machine for the window roads; sets DISPLAY.
start_x() {
  command -v Xvfb >/dev/null || { echo "skipped: no Xvfb"; exit 77; }
  exec 3> "$work/display"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 2>/dev/null &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  export DISPLAY=:$(head -n 1 "$work/display")
  unset QT_QPA_PLATFORM WAYLAND_DISPLAY
}
# Waits (at most 60 s) for a process to stop itself.
wait_until_stopped() {
  for _ in $(seq 600); do
    [ "$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" = T ] && return 0
    sleep 0.1
  done
  fail "the launcher did not stop"
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
    "rm $cached/chosen/[0-9a-f]*/libQt6Core.so.6"
    "cp --remove-destination $library $cached/chosen/[0-9a-f]*/libQt6Core.so.6"
  )
  for damage in "${damages[@]}"; do
    bash -c "$damage"
    start "after: $damage"
    [ "$(unpacked)" = "$cached" ] && cmp -s "$library" "$work/reference" || fail "after \"$damage\" the cache was not repaired"
    # the program's search folder holds the bundle's very file
    [ "$(stat -c %i "$cached"/chosen/[0-9a-f]*/libQt6Core.so.6)" = "$(stat -c %i "$library")" ] \
      || fail "after \"$damage\" the folder of the chosen libraries was not repaired"
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

if [ "$road" = choice ]; then
  command -v cc >/dev/null || { echo "skipped: no C compiler to make an old library"; exit 77; }
  export XDG_CACHE_HOME=$work/cache QT_QPA_PLATFORM=offscreen
  # awk reads all of it: ldconfig cut short by a closed pipe would fail the pipeline
  system_png=$(ldconfig -p | awk '$1 == "libpng16.so.16" && /x86-64/ && !found { print $NF; found = 1 }')
  [ -n "$system_png" ] || { echo "skipped: this system has no libpng16.so.16"; exit 77; }
  libs=$work/libs
  mkdir "$libs"
  # Which copy of libpng a start takes: the folder it hands the program holds the
  # bundle's copy when that is taken (the launcher stops before the program starts).
  png_taken() {
    VRN_TEST_LAUNCHER_STOP=1 "$@" "$portable" -help >"$work/start.out" 2>&1 &
    local launcher=$!
    wait_until_stopped $launcher
    [ -e "/proc/$launcher/fd/62/libpng16.so.16" ] && echo bundle || echo system
    kill -CONT $launcher
    wait $launcher || fail "the start failed: $(cat "$work/start.out")"
  }
  # the copy the next start must take after each change: a kept choice never outlives
  # the system it was made on
  old_png="printf 'int old;' | cc -shared -x c - -Wl,-soname,libpng16.so.16 -o $libs/libpng16.so.16"
  steps=(
    "system true"
    "bundle $old_png"
    "system cp $system_png $libs/libpng16.so.16"
    "bundle $old_png"
    "system rm $libs/libpng16.so.16"
  )
  for step in "${steps[@]}"; do
    bash -c "${step#* }"
    taken=$(png_taken env LD_LIBRARY_PATH="$libs")
    [ "$taken" = "${step%% *}" ] || fail "after \"${step#* }\" the $taken's libpng was taken"
  done
  [ "$(png_taken env -u LD_LIBRARY_PATH)" = system ] || fail "without LD_LIBRARY_PATH the choice made with it was kept"
  echo "passed: each start takes the newer libpng of the system as it is then"
  exit 0
fi

if [ "$road" = first_page_screenshot ]; then
  start_x
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
if [ "$road" = other_systems ]; then
  roots=$("$here/make_roots.sh" --check 2>"$work/roots.err") \
    || { echo "skipped: $(cat "$work/roots.err") (as root: tests/portable/make_roots.sh)"; exit 77; }
  serve_release
  start_x
  mkdir -p "$build/screenshots"
  for root in $roots; do
    suite=$(basename "$root" | cut -d- -f1)
    inside=$(mktemp -d "$root/tmp/vorlen-portable.XXXXXX")
    trap 'cleanup; rm -rf "$inside"' EXIT
    cp "$portable" "$inside/vrnsetup"
    # the root's own system, with this machine's X server and release server (the
    # command replaces the shell, so that $! is the setup itself)
    in_root=(unshare -m sh -c 'mount -t proc proc "$1/proc" && mount --rbind /dev "$1/dev" && mkdir -p "$1/tmp/.X11-unix" &&
        mount --bind /tmp/.X11-unix "$1/tmp/.X11-unix" && root=$1 && shift && exec chroot "$root" "$@"' sh "$root"
      env -i PATH=/usr/bin:/bin HOME="${inside#$root}/home" XDG_CACHE_HOME="${inside#$root}/cache"
      TMPDIR="${inside#$root}" XDG_RUNTIME_DIR="${inside#$root}" LC_ALL=C.UTF-8 DISPLAY="$DISPLAY"
      VRN_RELEASE_BASE_URL="$VRN_RELEASE_BASE_URL" "${inside#$root}/vrnsetup")
    mkdir -p "$inside/home"
    chmod 700 "$inside"
    "${in_root[@]}" -silent -accepteula -norun >"$work/$suite.out" 2>&1 \
      || fail "$suite: the unattended install failed: $(cat "$work/$suite.out")"
    [ -e "$inside/home/.local/share/Ostrelle/Apps/Vorlen/Vorlen.exe" ] || fail "$suite: nothing was installed"
    "${in_root[@]}" >"$work/$suite.window" 2>&1 &
    setup=$!
    pids+=($setup)
    shot=$build/screenshots/portable_${suite}_first_page.png
    QT_QPA_PLATFORM=xcb "$build/tests/portable_screen_grab" "$shot" 60 \
      || fail "$suite: no window appeared: $(cat "$work/$suite.window")"
    # the newer glibc: the bundle's on Debian 11 (2.31), the system's on Debian 13 (2.41)
    glibc=system
    grep -q "/chosen/[0-9a-f]*/libc.so.6" "/proc/$setup/maps" && glibc=bundle
    [ "$glibc" = "$([ "$suite" = bullseye ] && echo bundle || echo system)" ] || fail "$suite: the $glibc's glibc was taken"
    kill -TERM "$setup"
    wait "$setup" || fail "$suite: the window did not end cleanly: $(cat "$work/$suite.window")"
    ! grep -i "error while loading\|symbol lookup\|version .* not found" "$work/$suite.window" "$work/$suite.out" \
      || fail "$suite: the loader complained"
    rm -rf "$inside"
    echo "$suite: installed unattended with the $glibc's glibc; first page in $shot"
  done
  echo "passed: the portable file installs and shows its window on each root"
  exit 0
fi

if [ "$road" = wayland ]; then
  command -v weston >/dev/null && command -v weston-screenshooter >/dev/null || { echo "skipped: no weston"; exit 77; }
  serve_release
  runtime=$work/runtime
  mkdir -m 700 "$runtime"
  # --debug lets weston-screenshooter take the screen
  XDG_RUNTIME_DIR=$runtime weston --backend=headless-backend.so --use-pixman --debug --socket=vrn-wayland \
    --width=1024 --height=768 >"$work/weston.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 300); do [ -S "$runtime/vrn-wayland" ] && break; sleep 0.1; done
  [ -S "$runtime/vrn-wayland" ] || fail "weston did not start: $(cat "$work/weston.log")"
  env -u DISPLAY -u QT_QPA_PLATFORM $(machine wayland) XDG_RUNTIME_DIR="$runtime" WAYLAND_DISPLAY=vrn-wayland \
    XDG_SESSION_TYPE=wayland "$portable" >"$work/setup.err" 2>&1 &
  setup=$!
  pids+=($setup)
  mkdir -p "$build/screenshots" "$work/shots"
  shot=$build/screenshots/portable_wayland_first_page.png
  for _ in $(seq 120); do
    sleep 0.5
    rm -f "$work/shots/"*.png
    (cd "$work/shots" && XDG_RUNTIME_DIR=$runtime WAYLAND_DISPLAY=vrn-wayland weston-screenshooter >/dev/null 2>&1) || continue
    # the page is painted some moments after its window maps
    if QT_QPA_PLATFORM=offscreen "$build/tests/portable_screen_grab" --check "$work/shots/"*.png; then
      sleep 1.5
      rm -f "$work/shots/"*.png
      (cd "$work/shots" && XDG_RUNTIME_DIR=$runtime WAYLAND_DISPLAY=vrn-wayland weston-screenshooter)
      cp "$work/shots/"*.png "$shot"
      break
    fi
  done
  [ -e "$shot" ] || fail "no window appeared on weston: $(cat "$work/setup.err")"
  grep -q "xcb\|XWayland" "$work/setup.err" && fail "the setup did not use Wayland: $(cat "$work/setup.err")"
  kill -TERM "$setup"
  wait "$setup" || fail "the portable file did not end cleanly: $(cat "$work/setup.err")"
  echo "passed: the first page is in $shot"
  exit 0
fi

if [ "$road" = missing_library ]; then
  mkdir -p "$work/bin"
  # a desktop's message tool that notes what it was asked to show
  printf '#!/bin/sh\nprintf "%%s\\n" "$@" > %s/zenity.shown\n' "$work" > "$work/bin/zenity"
  chmod +x "$work/bin/zenity"
  # a start beforehand keeps its choice, which hiding the library must not outlive
  $(machine gl) QT_QPA_PLATFORM=offscreen "$portable" -help >/dev/null || fail "the start with libOpenGL.so.0 failed"
  hide_opengl() {
    unshare -m sh -c 'for f in /usr/lib/x86_64-linux-gnu/libOpenGL.so.0*; do [ -L "$f" ] || mount --bind /dev/null "$f"; done
      exec "$@"' sh env $(machine gl) PATH="$work/bin:$PATH" DISPLAY=:99 "$portable" "$@"
  }
  for run in window -silent; do
    rm -f "$work/zenity.shown"
    set +e
    hide_opengl $([ $run = -silent ] && echo "-silent -accepteula") >"$work/out" 2>"$work/err"
    code=$?
    set -e
    [ $code = 6 ] || fail "$run: exit code $code, not 6: $(cat "$work/err")"
    grep -q "libOpenGL.so.0" "$work/err" && grep -q "apt install libopengl0" "$work/err" \
      && grep -q "dnf install libglvnd-opengl" "$work/err" || fail "$run: the message does not name it: $(cat "$work/err")"
    ! grep -q "error while loading\|symbol lookup" "$work/err" || fail "$run: a loader error reached the user"
    grep -q "libOpenGL.so.0" "$work/gl/tmp/Vorlen_Setup_Launcher.log" || fail "$run: the log does not name it"
    if [ $run = window ]; then
      grep -q "libOpenGL.so.0" "$work/zenity.shown" || fail "no message on the desktop"
    else
      [ ! -e "$work/zenity.shown" ] || fail "an unattended run showed a message box"
    fi
  done
  echo "passed: a missing libOpenGL.so.0 is named on standard error, the desktop and in the log, with exit code 6"
  exit 0
fi

if [ "$road" = private_cache ]; then
  # modes only bind a user who is not root
  user=$work/user
  chmod 755 "$work"
  mkdir -p "$user/tmp"
  chown -R 65534:65534 "$user"
  chmod 700 "$user/tmp"
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$user" XDG_CACHE_HOME="$user/cache"
    TMPDIR="$user/tmp" QT_QPA_PLATFORM=offscreen)
  start() { "${as_user[@]}" "$portable" -help >"$work/out" 2>&1 || fail "$1: $(cat "$work/out")"; }
  root=$user/cache/vorlen-setup
  start "first start"
  cached=$(find "$root" -mindepth 1 -maxdepth 1 -type d)
  for opening in "chmod 0777 $root" "chmod 0770 $root" "chmod 0777 $cached" "chmod 0757 $cached/lib" \
    "chmod 0777 $cached/chosen"; do
    program=$(stat -c %i "$cached/bin/vrnsetup")
    "${as_user[@]}" sh -c "$opening"
    start "after: $opening"
    [ "$(stat -c %a "$root")" = 700 ] || fail "after \"$opening\" the cache root is $(stat -c %a "$root")"
    [ -z "$(find "$root" -perm /022 ! -type l)" ] || fail "after \"$opening\" others may write $(find "$root" -perm /022)"
    [ "$(stat -c %i "$cached/bin/vrnsetup")" != "$program" ] || fail "after \"$opening\" the bundle was used as it was"
  done
  # renamed and replaced by another tree between the check and the start: what was checked starts
  "${as_user[@]}" VRN_TEST_LAUNCHER_STOP=1 "$portable" -help >"$work/swap.out" 2>&1 &
  launcher=$!
  wait_until_stopped $launcher
  mv "$root" "$root.checked"
  cp -a "$root.checked" "$root"
  printf '#!/bin/sh\necho swapped\n' > "$cached/bin/vrnsetup"
  : > "$cached/lib/libQt6Core.so.6"
  kill -CONT $launcher
  wait $launcher || fail "the launcher failed after the swap: $(cat "$work/swap.out")"
  grep -q "^Usage: vrnsetup" "$work/swap.out" || fail "a swapped program or library started: $(cat "$work/swap.out")"
  echo "passed: a cache others may write is made private and unpacked again; a swap after the check changes nothing"
  exit 0
fi
fail "unknown road $road"
