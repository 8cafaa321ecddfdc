#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# The packer against the copy floor: packing a random (incompressible) archive with the setup
# fixture as setup program, side by side with `cp --reflink=never` of the same archive on the
# same file system, for each size given (default 100 MiB and 1 GiB), and the packer's peak
# resident memory.
#   bench/pack-stub.sh [ROUNDS [MEBIBYTES...]]   (default: 5 rounds, 100 and 1024 MiB)
#
# Page cache: the archive is read once before the first round, so every command reads it from
# memory; before each timed command the previous output is removed and `sync` writes out dirty
# data, so one command's write-back does not land on the next. The order of the two commands is
# shuffled each round; the ratio is the median of the per-round ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
shift || true
sizes=("$@")
[ ${#sizes[@]} -ne 0 ] || sizes=(100 1024)
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (scripts/install-deps.sh --bench)" >&2; exit 1; }
[ -x build/bin/pack-stub ] && [ -f build/bin/setup-fixture.exe ] || {
    cmake --preset default >/dev/null
    cmake --build --preset default --target host_packer ondrel_stub setup_fixture >/dev/null
}
work=$(mktemp -d "${TMPDIR:-/tmp}/pack-stub-bench.XXXXXX")
trap 'rm -rf -- "$work"' EXIT

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Runs one command after a sync, prints its wall time in ms; its peak memory goes to $work/rss.
timed() {
    rm -f "$work/out"
    sync
    local started ended
    started=$(date +%s%N)
    /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>&1
    ended=$(date +%s%N)
    echo $(((ended - started) / 1000000))
}

printf '%-8s %12s %12s %14s %16s\n' size "pack (ms)" "cp (ms)" "pack / cp" "pack peak (MiB)"
for mebibytes in "${sizes[@]}"; do
    head -c $((mebibytes * 1024 * 1024)) /dev/urandom >"$work/archive.7z"
    cat "$work/archive.7z" >/dev/null
    : >"$work/pack.ms" && : >"$work/cp.ms" && : >"$work/ratio" && : >"$work/peak"
    for _ in $(seq "$rounds"); do
        for who in $(printf 'pack\ncp\n' | shuf); do
            if [ "$who" = pack ]; then
                ms=$(timed build/bin/pack-stub -o "$work/out" --archive "$work/archive.7z" \
                    --setup build/bin/setup-fixture.exe)
                echo $(($(cat "$work/rss") / 1024)) >>"$work/peak"
                pack=$ms
            else
                ms=$(timed cp --reflink=never "$work/archive.7z" "$work/out")
                cp=$ms
            fi
            echo "$ms" >>"$work/$who.ms"
        done
        awk -v p="$pack" -v c="$cp" 'BEGIN { printf "%.3f\n", p / c }' >>"$work/ratio"
    done
    printf '%-8s %12s %12s %14.2f %16s\n' "$mebibytes MiB" "$(median <"$work/pack.ms")" \
        "$(median <"$work/cp.ms")" "$(median <"$work/ratio")" "$(sort -g "$work/peak" | tail -n 1)"
done
