#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# The packer against the copy floor: `tools/pack-stub` (the command people type, wrapper
# included) packing a random (incompressible) archive with the setup fixture as setup program,
# side by side with `cp --reflink=never` of the same archive on the same file system, for each
# size given (default 100 MiB and 1 GiB), and the packer's peak resident memory.
#   bench/pack-stub.sh [ROUNDS [MEBIBYTES...]]   (default: 15 rounds, 100 and 1024 MiB)
#
# Before each timed command the previous output is removed and the page-cache step of
# bench/bench-lib.sh runs over every input (a sync, then the archive, the setup fixture and the
# packer read back), so one command's write-back does not land on the next and neither reads
# from disk. The order of the two commands is shuffled each round; the ratio is the median of
# the per-round ratios. The samples stay in build/bench/pack-stub.samples (size in MiB, round,
# command, ms, peak KiB), for bench/plot.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/bench-lib.sh
rounds=${1:-15}
shift || true
sizes=("$@")
[ ${#sizes[@]} -ne 0 ] || sizes=(100 1024)
scripts/install-deps.sh --bench >/dev/null
cmake --preset default >/dev/null
cmake --build --preset default --target host_packer ondrel_stub setup_fixture >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/pack-stub-bench.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
raw=build/bench/pack-stub
inputs=("$work/archive.7z" build/bin/setup-fixture.exe tools/pack-stub build/bin/pack-stub
    build/bin/ondrel-stub.exe)

# Runs one command after the page-cache step, prints its wall time in ms; its peak memory goes
# to $work/rss.
timed() {
    rm -f "$work/out"
    settle_inputs "${inputs[@]}"
    local started ended
    started=$(date +%s%N)
    /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>&1 || {
        echo "failed: $* (exit code $?)" >&2
        return 1
    }
    ended=$(date +%s%N)
    echo $(((ended - started) / 1000000))
}
# One round of one size: both commands, shuffled; their samples go to $raw.samples.
round() { # mebibytes, round
    local who ms
    for who in $(printf 'pack\ncp\n' | shuf); do
        if [ "$who" = pack ]; then
            ms=$(timed tools/pack-stub -o "$work/out" --archive "$work/archive.7z" \
                --setup build/bin/setup-fixture.exe)
        else
            ms=$(timed cp --reflink=never "$work/archive.7z" "$work/out")
        fi
        printf '%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$who" "$ms" "$(cat "$work/rss")" >>"$raw.samples"
    done
}

load_before=$(cut -d ' ' -f 1-3 /proc/loadavg)
echo "load average before: $load_before"
: >"$raw.samples"
printf '%-8s %12s %12s %14s %16s\n' size "pack (ms)" "cp (ms)" "pack / cp" "pack peak (MiB)"
for mebibytes in "${sizes[@]}"; do
    head -c $((mebibytes * 1024 * 1024)) /dev/urandom >"$work/archive.7z"
    for r in $(seq "$rounds"); do round "$mebibytes" "$r"; done
    /usr/bin/python3 bench/analysis.py pack-stub "$raw.samples" "$mebibytes"
done
load_after=$(cut -d ' ' -f 1-3 /proc/loadavg)
echo "load average after: $load_after"
keep_load "$raw" "$rounds rounds" "$load_before" "$load_after"
