#!/usr/bin/env bash
# Collects what the portable setup carries into one folder: the program (without its
# resource table and debug information), every library it and its Qt plug-ins need
# except those that must come from the system, the plug-ins and Qt's translations.
#   collect_portable_bundle.sh <program> <Qt plug-in folder> <Qt translations folder> <output folder>
#     <interpreter fd> <bundle fd> <library fd>
#
# The launcher starts the program through descriptors it opens for it (src/launcher):
# the loader is /proc/self/fd/<interpreter fd> (the system's or the bundle's), the
# unpacked bundle is /proc/self/fd/<bundle fd> (plug-ins and translations are read
# through it), and the program's one search folder is /proc/self/fd/<library fd>, a
# folder the launcher makes in the cache for each choice, with hard links to every
# library in lib/ and to the bundled copy of each library taken from either side. Those
# (glibc, libstdc++, and those the system's own libraries use) each lie in a folder
# runtime/<name>/ of the bundle: the launcher takes the bundle's copy only when it is the
# newer one, so that the system's graphics drivers always find a library at least as new
# as the one they were built against. The list of these libraries, and of those the
# system must have, is written to runtime.list for the launcher.
#
# The libraries and plug-ins are copied as they are, without search paths of their own:
# the program's search folder serves every library the process loads (the loader looks
# at the executable's DT_RPATH for each library it finds by name), and a file left as it
# is maps with no more segments than the system's copy.
set -euo pipefail
trap 'echo "collect_portable_bundle.sh: failed at line $LINENO" >&2' ERR
program=$1 qt_plugins=$2 qt_translations=$3 out=$4 interpreter_fd=$5 bundle_fd=$6 library_fd=$7

# Must come from the system, never bundled: the launcher checks that each one resolves
# and names it with its packages (Debian and Ubuntu from dpkg here; Fedora below) when it
# does not.
#   libGL, libEGL, libGLX, libOpenGL, libGLdispatch: the dispatch libraries load the
#     system's graphics drivers, which only work with the system's own dispatch;
#   libX11, libX11-xcb, libxcb: the connection to the X server, shared with the drivers;
#   libfontconfig: the system's font configuration (freetype, which it loads, is bundled
#     as below: Debian 11's is older than the bundled harfbuzz needs);
#   libdbus-1: speaks to the session's bus, whose protocol version is the system's.
declare -A fedora_package=(
  [libGL.so.1]=libglvnd-glx [libEGL.so.1]=libglvnd-egl [libGLX.so.0]=libglvnd-glx
  [libOpenGL.so.0]=libglvnd-opengl [libGLdispatch.so.0]=libglvnd
  [libX11.so.6]=libX11 [libX11-xcb.so.1]=libX11-xcb [libxcb.so.1]=libxcb
  [libfontconfig.so.1]=fontconfig [libdbus-1.so.3]=dbus-libs
)
system_roots=("${!fedora_package[@]}")
# glibc: the loader and its libraries come as one (they share private interfaces); the
# bundle carries them for systems older than this one, the launcher takes the newer set
glibc_family=(ld-linux-x86-64.so.2 libc.so.6 libm.so.6 libpthread.so.0 libdl.so.2 librt.so.1 libresolv.so.2
  libutil.so.1 libanl.so.1)
# loaded at start when the bundle's glibc is taken, so that no library loaded later
# (whatever its own search path) can bring in a member of the system's older set; with the
# system's glibc nothing can, and loading them would cost every start a millisecond or two
glibc_preloaded=(libm.so.6 libpthread.so.0 libdl.so.2 librt.so.1 libresolv.so.2)
# Bundled, but the system's copy is used when it is at least as new, because the system's
# own libraries (drivers, X and Wayland client libraries, fonts) load them too and one copy
# serves the whole process: libstdc++ and libgcc_s (the drivers are C++), every library
# that the system-only libraries above need here (freetype, zlib, libpng, zstd, brotli,
# expat, libbsd and so on), the xcb protocol extension libraries (the drivers use randr,
# shm, sync, xfixes, glx; most desktops lack shape, xinput and xkb), and the Wayland client
# libraries (the drivers' EGL uses them; an X-only desktop may lack them; libffi is what
# they need in turn).
shared_patterns=(libstdc++.so.6 libgcc_s.so.1 libffi.so.8 'libwayland-*' 'libxcb-randr.so.*' 'libxcb-render.so.*'
  'libxcb-shape.so.*' 'libxcb-shm.so.*' 'libxcb-sync.so.*' 'libxcb-xfixes.so.*' 'libxcb-xinput.so.*'
  'libxcb-xkb.so.*' 'libxcb-glx.so.*')
# Everything else is the bundle's own, whatever the system has: Qt, libcurl and its TLS,
# ICU, glib, harfbuzz and so on; among them the xcb utility libraries (icccm, image,
# keysyms, render-util, util), which no system library uses and most desktops lack, and
# xkbcommon with its x11 part, which share internal structures, so both must come from one
# build (Debian 11's xkbcommon with the bundle's x11 part crashes), and the x11 part is
# missing on most desktops.
plugin_folders=(platforms xcbglintegrations imageformats platforminputcontexts platformthemes
  wayland-shell-integration wayland-decoration-client wayland-graphics-integration-client)
platforms=(libqxcb.so libqoffscreen.so libqminimal.so libqwayland-generic.so libqwayland-egl.so)

# "name path" for each library an ELF file needs itself (not those its libraries need),
# at the path where the loader finds it here
needed() {
  local listing
  listing=$(ldd "$1")
  if grep -q "not found" <<<"$listing"; then
    echo "collect_portable_bundle.sh: $1 needs libraries that are not installed:" >&2
    grep "not found" <<<"$listing" >&2
    return 1
  fi
  objdump -p "$1" | awk -v listing="$listing" '
    BEGIN { n = split(listing, lines, "\n")
            for (i = 1; i <= n; i++) { split(lines[i], f, " ")
              if (f[2] == "=>") path[f[1]] = f[3]; else if (f[1] ~ /^\//) { name = f[1]; sub(".*/", "", name); path[name] = f[1] } } }
    $1 == "NEEDED" { print $2, path[$2] }'
}
library_cache=$(ldconfig -p)
library_path() { awk -v name="$1" '$1 == name && /x86-64/ { print $NF; exit }' <<<"$library_cache"; }
debian_package() {
  local path=$1
  for candidate in "$path" "${path#/usr}" "/usr$path"; do
    dpkg -S "$candidate" 2>/dev/null | head -n 1 | cut -d: -f1 && return 0
  done
  echo "-"
}

declare -A system_only shared glibc
for name in "${system_roots[@]}"; do system_only[$name]=1; done
for name in "${glibc_family[@]}" linux-vdso.so.1; do glibc[$name]=1; done
# what the system-only libraries need in turn on this machine (all of it, as the loader
# loads it) is used by the system as well
for root in "${system_roots[@]}"; do
  path=$(library_path "$root")
  [ -n "$path" ] || continue
  while read -r name; do
    [ -n "$name" ] || continue
    [ -n "${system_only[$name]:-}" ] || [ -n "${glibc[$name]:-}" ] || shared[$name]=1
  done <<<"$(ldd "$path" | awk '/=>/ { print $1 }')"
done
is_shared() {
  [ -n "${shared[$1]:-}" ] && return 0
  for pattern in "${shared_patterns[@]}"; do
    # shellcheck disable=SC2053
    [[ $1 == $pattern ]] && return 0
  done
  return 1
}

# a copy without a search path of its own (Debian's libraries and plug-ins have none)
copy_library() {
  cp -L "$1" "$2"
  if [ -n "$(patchelf --print-rpath "$2")" ]; then patchelf --remove-rpath "$2"; fi
}

rm -rf "$out"
mkdir -p "$out/bin" "$out/lib" "$out/plugins" "$out/translations" "$out/runtime/glibc"
# strip keeps only what the ELF image holds, so the resource table appended to the
# program stays behind too: the outer file carries the resources
strip --strip-all -o "$out/bin/vrnsetup" "$program"
printf '[Paths]\nPrefix = /proc/self/fd/%s\nPlugins = plugins\nTranslations = translations\n' "$bundle_fd" \
  > "$out/bin/qt.conf"

elves=("$program")
for folder in "${plugin_folders[@]}"; do
  [ -d "$qt_plugins/$folder" ] || continue
  for plugin in "$qt_plugins/$folder"/*.so; do
    if [ "$folder" = platforms ] && [[ ! " ${platforms[*]} " =~ " $(basename "$plugin") " ]]; then
      continue
    fi
    mkdir -p "$out/plugins/$folder"
    copy_library "$plugin" "$out/plugins/$folder/$(basename "$plugin")"
    elves+=("$plugin")
  done
done

# every library needed, walked breadth first so that each bundled library's own needs count
declare -A seen versions_needed
shared_order=()
system_order=()
for ((i = 0; i < ${#elves[@]}; i++)); do
  elf=${elves[$i]}
  # the symbol versions this file needs of each library, for the launcher's check
  while read -r library version; do
    versions_needed[$library]="${versions_needed[$library]:-} $version"
  done < <(objdump -p "$elf" | awk '/required from/ { library = $3; sub(":$", "", library) }
                                     /^    0x/ && library { print library, $4 }')
  while read -r name path; do
    [ -n "$name" ] && [ -z "${seen[$name]:-}" ] || continue
    seen[$name]=1
    if [ -n "${glibc[$name]:-}" ]; then
      continue
    elif [ -n "${system_only[$name]:-}" ]; then
      system_order+=("$name")
    elif is_shared "$name"; then
      mkdir -p "$out/runtime/$name"
      cp -L "$path" "$out/runtime/$name/$name"
      shared_order+=("$name $(basename "$(readlink -f "$path")")")
      elves+=("$path")
    else
      copy_library "$path" "$out/lib/$name"
      elves+=("$path")
    fi
  done <<<"$(needed "$elf")"
done
for name in "${glibc_family[@]}"; do
  cp -L "$(library_path "$name")" "$out/runtime/glibc/$name"
done

# runtime.list, one library a line, fields separated by tabs:
#   runtime <soname> <folder under runtime/> <the bundled file's own name>
#   system <soname> <Debian and Ubuntu package> <Fedora package> <symbol versions needed>
{
  printf 'runtime\tlibc.so.6\tglibc\t%s\n' "$(basename "$(readlink -f "$(library_path libc.so.6)")")"
  for line in "${shared_order[@]}"; do
    read -r name real <<<"$line"
    printf 'runtime\t%s\t%s\t%s\n' "$name" "$name" "$real"
  done
  for name in "${system_order[@]}"; do
    versions=$(tr ' ' '\n' <<<"${versions_needed[$name]:-}" | sort -u | xargs)
    printf 'system\t%s\t%s\t%s\t%s\n' "$name" "$(debian_package "$(library_path "$name")")" \
      "${fedora_package[$name]}" "$versions"
  done
} > "$out/runtime.list"

# the program: the chosen loader, and its libraries from the folder of the chosen ones
# first (one folder, so the loader probes the subfolders of one folder only); with the
# bundle's glibc, the program that loads the whole of it at the start
patchelf --set-interpreter "/proc/self/fd/$interpreter_fd" --force-rpath --set-rpath "/proc/self/fd/$library_fd" \
  "$out/bin/vrnsetup"
cp "$out/bin/vrnsetup" "$out/bin/vrnsetup-glibc"
preloads=()
for name in "${glibc_preloaded[@]}"; do preloads+=(--add-needed "$name"); done
patchelf "${preloads[@]}" "$out/bin/vrnsetup-glibc"
# the dialogs' translations for the languages the setup speaks besides English
cp "$qt_translations/qtbase_ru.qm" "$out/translations/"
chmod -R u+rwX,go+rX,go-w "$out"
