#!/usr/bin/env bash
# Writes a small seed corpus for each fuzz target into OUT/<target>/: what the program
# meets in use (a published release, a package's resource table, translation documents,
# a multipart reply), besides the kept inputs of tests/fuzz/regressions/.
#   tests/fuzz/make_seeds.sh BIN_DIR OUT
set -euo pipefail
bin=$1 out=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in "$here"/regressions/*/; do
  mkdir -p "$out/$(basename "$target")"
  cp "$target"* "$out/$(basename "$target")/"
done

# a release as vrn-publish makes it
mkdir -p "$work/app/sub"
printf 'Vorlen.exe [options]\n' > "$work/app/command line.txt"
head -c 3000 /dev/urandom > "$work/app/sub/random.bin"
seq 1 2000 > "$work/app/sub/text.txt"
: > "$work/app/empty"
"$bin/vrn-publish" --app "$work/app" --version 15 --number 3 "$work/release" > /dev/null
cp "$work/release/system.xml" "$out/release_descriptor/published"
cp "$work/release/system.xml" "$out/xml_store/descriptor"
for doc in "$here"/../../resources/lang/*.xml; do
  cp "$doc" "$out/xml_store/$(basename "$doc")"
done
cp "$work/release/vrnsetup.zip" "$out/zip_directory/published"


# a package's resource table: an archive and a descriptor behind a small program
printf '#!/bin/sh\n' > "$work/package.exe"
"$bin/vrn-rc" add "$work/package.exe" '#100' "$work/release/vrnsetup.zip" '#200' "$work/release/system.xml" LOGO "$work/app/empty"
cp "$work/package.exe" "$out/resource_table/package"

# a bundle as the portable file carries it, behind a small program
if [ -x "$bin/../portable/vrn-bundle" ]; then
  mkdir -p "$work/bundle/bin" "$out/launcher_bundle"
  cp "$work/app/command line.txt" "$work/bundle/bin/vrnsetup"
  "$bin/../portable/vrn-bundle" --level 1 /usr/bin/true "$work/bundle" "$out/launcher_bundle/small" > /dev/null
fi
