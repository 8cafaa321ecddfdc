#!/usr/bin/env bash
# Times tools/pack-stub on a random archive of the given size (default 100 MiB) with the setup
# fixture as setup program, against the default build.
#   bench/pack-stub.sh [MEBIBYTES]
set -euo pipefail
cd "$(dirname "$0")/.."
mebibytes=${1:-100}
[ -f build/bin/setup-fixture.exe ] || {
    cmake --preset default >/dev/null
    cmake --build --preset default --target ondrel_stub setup_fixture >/dev/null
}
work=$(mktemp -d "${TMPDIR:-/tmp}/pack-stub-bench.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
head -c $((mebibytes * 1024 * 1024)) /dev/urandom >"$work/archive.7z"
started=$(date +%s%N)
tools/pack-stub -o "$work/stub.exe" --archive "$work/archive.7z" --setup build/bin/setup-fixture.exe
ended=$(date +%s%N)
echo "packed a $mebibytes MiB archive in $(((ended - started) / 1000000)) ms:" \
    "$(stat -c %s "$work/stub.exe") bytes"
