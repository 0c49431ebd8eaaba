#!/usr/bin/env bash
# Collects what the portable setup carries into one folder: the program (without its
# resource table and debug information), every library it and its Qt plug-ins need
# except those every desktop has, the plug-ins and Qt's translations. Each file gets a
# relative RPATH (DT_RPATH, which also covers libraries loaded on behalf of others and
# cannot be overridden by LD_LIBRARY_PATH), so the bundle works wherever it is unpacked.
#   collect_portable_bundle.sh <program> <Qt plug-in folder> <Qt translations folder> <output folder>
set -euo pipefail
trap 'echo "collect_portable_bundle.sh: failed at line $LINENO" >&2' ERR
program=$1 qt_plugins=$2 qt_translations=$3 out=$4

# What every desktop has: glibc, OpenGL/EGL, the X11 and xcb client libraries,
# fontconfig and freetype, D-Bus; and whatever these need in turn on this machine.
system_roots=(
  linux-vdso.so.1 ld-linux-x86-64.so.2 libc.so.6 libm.so.6 libdl.so.2 libpthread.so.0 librt.so.1
  libresolv.so.2 libutil.so.1
  libGL.so.1 libEGL.so.1 libGLX.so.0 libOpenGL.so.0 libGLdispatch.so.0
  libX11.so.6 libX11-xcb.so.1 libXau.so.6 libXdmcp.so.6 libXext.so.6 libXrender.so.1 libxcb.so.1
  libxcb-dri2.so.0 libxcb-dri3.so.0 libxcb-glx.so.0 libxcb-present.so.0 libxcb-randr.so.0
  libxcb-render.so.0 libxcb-shape.so.0 libxcb-shm.so.0 libxcb-sync.so.1 libxcb-xfixes.so.0
  libxcb-xinput.so.0 libxcb-xkb.so.1
  libfontconfig.so.1 libfreetype.so.6 libdbus-1.so.3
)
plugin_folders=(platforms xcbglintegrations imageformats platforminputcontexts platformthemes
  wayland-shell-integration wayland-decoration-client wayland-graphics-integration-client)
platforms=(libqxcb.so libqoffscreen.so libqminimal.so libqwayland-generic.so libqwayland-egl.so)

# "name path" for each library an ELF file needs, as the loader resolves them here
needed() {
  local listing
  listing=$(ldd "$1")
  if grep -q "not found" <<<"$listing"; then
    echo "collect_portable_bundle.sh: $1 needs libraries that are not installed:" >&2
    grep "not found" <<<"$listing" >&2
    return 1
  fi
  awk '/=>/ { print $1, $3; next } { print $1, $1 }' <<<"$listing"
}

declare -A system_libraries
library_cache=$(ldconfig -p)
for root in "${system_roots[@]}"; do
  system_libraries[$root]=1
  path=$(awk -v name="$root" '$1 == name && /x86-64/ { print $NF; exit }' <<<"$library_cache")
  [ -n "$path" ] || continue
  dependencies=$(needed "$path")
  while read -r name _; do system_libraries[$name]=1; done <<<"$dependencies"
done

rm -rf "$out"
mkdir -p "$out/bin" "$out/lib" "$out/plugins" "$out/translations"
# strip keeps only what the ELF image holds, so the resource table appended to the
# program stays behind too: the outer file carries the resources
strip --strip-all -o "$out/bin/vrnsetup" "$program"
patchelf --force-rpath --set-rpath '$ORIGIN/../lib' "$out/bin/vrnsetup"
printf '[Paths]\nPrefix = ..\nPlugins = plugins\nTranslations = translations\n' > "$out/bin/qt.conf"

elves=("$program")
for folder in "${plugin_folders[@]}"; do
  [ -d "$qt_plugins/$folder" ] || continue
  for plugin in "$qt_plugins/$folder"/*.so; do
    if [ "$folder" = platforms ] && [[ ! " ${platforms[*]} " =~ " $(basename "$plugin") " ]]; then
      continue
    fi
    mkdir -p "$out/plugins/$folder"
    cp "$plugin" "$out/plugins/$folder/"
    patchelf --force-rpath --set-rpath '$ORIGIN/../../lib' "$out/plugins/$folder/$(basename "$plugin")"
    elves+=("$plugin")
  done
done

for elf in "${elves[@]}"; do
  dependencies=$(needed "$elf")
  while read -r name path; do
    if [ -z "${system_libraries[$name]:-}" ] && [ ! -e "$out/lib/$name" ]; then
      cp -L "$path" "$out/lib/$name"
      chmod 0644 "$out/lib/$name"
      patchelf --force-rpath --set-rpath '$ORIGIN' "$out/lib/$name"
    fi
  done <<<"$dependencies"
done
# the dialogs' translations for the languages the setup speaks besides English
cp "$qt_translations/qtbase_ru.qm" "$out/translations/"
chmod -R u+rwX,go+rX,go-w "$out"
