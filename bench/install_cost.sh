#!/usr/bin/env bash
# What a whole unattended install costs with one setup against another: both install
# the same release (vrn-publish of a generated application folder, served by vrn-serve)
# into fresh homes, in alternating runs; the medians and their ratio are printed, and the
# application's downtime during an update (from ending its running copies to the new
# tree being in place, from the second setup's log).
#
# bench/install_cost.sh BASELINE_SETUP [SETUP] [MIB] [RUNS]
#   SETUP defaults to build/bin/vrnsetup, MIB to 160, RUNS to 5.
set -euo pipefail
baseline=$(realpath "$1")
setup=$(realpath "${2:-build/bin/vrnsetup}")
mib=${3:-160}
runs=${4:-5}
bin=$(dirname "$setup")
work=$(mktemp -d "${TMPDIR:-/tmp}/install-cost.XXXXXX")
trap 'kill $server 2>/dev/null || true; rm -rf "$work"' EXIT

# an application folder: many small files and a few large ones that do not compress away
mkdir -p "$work/app/lib" "$work/app/data"
printf '#!/bin/sh\nexit 0\n' > "$work/app/Vorlen.exe"
chmod 755 "$work/app/Vorlen.exe"
for i in $(seq 1 2000); do head -c 4096 /dev/urandom > "$work/app/lib/part$i.bin"; done
for i in 1 2 3 4; do head -c $(( (mib - 8) * 1024 * 256 )) /dev/urandom > "$work/app/data/big$i.dat"; done
"$bin/vrn-publish" --app "$work/app" --version 15 --number 1 "$work/release" > /dev/null
"$bin/vrn-serve" "$work/release" > "$work/serve.out" &
server=$!
for _ in $(seq 50); do [ -s "$work/serve.out" ] && break; sleep 0.1; done
base=$(head -n1 "$work/serve.out")

# one whole install into a fresh home; prints its seconds
install() {
    local home="$work/home.$RANDOM$RANDOM"
    mkdir -p "$home/tmp" "$home/config" "$home/data"
    local start end
    start=$(date +%s.%N)
    env -i PATH="$PATH" HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" \
        TMPDIR="$home/tmp" XDG_RUNTIME_DIR="$home/tmp" LANG=en_GB.UTF-8 QT_QPA_PLATFORM=offscreen \
        VRN_RELEASE_BASE_URL="$base" VRN_BETA_BASE_URL="$base" \
        VRN_COUNTER_RELEASE_URL="${base}count" VRN_COUNTER_BETA_URL="${base}count" \
        "$1" -silent -accepteula -norun 2> /dev/null || true
    end=$(date +%s.%N)
    echo "$end - $start" | bc
    [ "${2:-}" = keep ] && echo "$home" > "$work/kept" || rm -rf "$home"
}

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
for _ in $(seq "$runs"); do
    install "$baseline" >> "$work/baseline.times"
    install "$setup" >> "$work/setup.times"
done
b=$(median < "$work/baseline.times")
s=$(median < "$work/setup.times")
echo "baseline median ${b}s, setup median ${s}s, ratio $(echo "scale=3; $s / $b" | bc)"
echo "baseline runs: $(tr '\n' ' ' < "$work/baseline.times")"
echo "setup runs:    $(tr '\n' ' ' < "$work/setup.times")"

# an update over the installed release: the log's times from ending the copies to the swap
install "$setup" keep > /dev/null
home=$(cat "$work/kept")
install "$setup" > /dev/null  # a fresh home again; the update follows in the kept one
env -i PATH="$PATH" HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" \
    TMPDIR="$home/tmp" XDG_RUNTIME_DIR="$home/tmp" LANG=en_GB.UTF-8 QT_QPA_PLATFORM=offscreen \
    VRN_RELEASE_BASE_URL="$base" VRN_BETA_BASE_URL="$base" \
    VRN_COUNTER_RELEASE_URL="${base}count" VRN_COUNTER_BETA_URL="${base}count" \
    "$setup" -silent -accepteula -norun 2> /dev/null || true
grep -a -E 'Install -> (Kill all runned|Replace the installation|Make Config xml)' "$home/tmp/Vorlen_Setup_Install.log"
