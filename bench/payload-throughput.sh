#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# A whole stub run carrying 100 MiB of incompressible payload, against the physical floor: the
# same bytes copied from disk with CopyFileW into a fresh folder, the same setup program run on
# them and everything deleted. A second pair with a 1 KiB archive shows the fixed cost of each.
# All four run interleaved under the same Wine prefix, from a folder on its drive C: as a user's
# download would sit; the medians and their ratios are printed.
#   bench/payload-throughput.sh [ROUNDS]   (default 9)
set -euo pipefail
rounds=${1:-9}
source "$(dirname "$0")/wine-bench-setup.sh" ondrel_stub setup_fixture bench_copy_floor
work=$prefix/drive_c/ondrel-bench
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/large" "$work/small" "$work/floor"
make_bench_payloads "$work"
pack_bench_stub "$work/large/stub.exe" "$work/payload-100mib.7z"
pack_bench_stub "$work/small/stub.exe" "$work/payload-1kib.7z"

echo "stub without payload: $(stat -c %s build/bin/ondrel-stub.exe) bytes"
echo "stub with 100 MiB:    $(stat -c %s "$work/large/stub.exe") bytes" \
    "(payload $(stat -c %s "$work/payload-100mib.7z") bytes)"
floor='"Z:'$(realpath build/bin/copy-floor.exe | tr / '\\')'"'
b='C:\ondrel-bench'
wine_run build/bin/side-by-side.exe "$rounds" \
    "stub run, 100 MiB" "\"$b\\large\\stub.exe\"" \
    "CopyFileW floor, 100 MiB" "$floor \"$b\\payload-100mib.7z\" \"$b\\setup.exe\" \"$b\\floor\"" \
    "stub run, 1 KiB" "\"$b\\small\\stub.exe\"" \
    "CopyFileW floor, 1 KiB" "$floor \"$b\\payload-1kib.7z\" \"$b\\setup.exe\" \"$b\\floor\""
