#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# What the update client's key and a patch stub cost a run, side by side under one Wine prefix
# with a 1 KiB archive and a setup program that exits at once:
#   - a full stub whose run reports to an existing ClientState key (three reads and writes),
#     against the same stub run for a channel whose key does not exist (nothing is written);
#   - a patch stub (the installed setup program runs first and writes the new one), against the
#     full stub, both reporting.
# Every run comes after the page-cache step of bench/bench-lib.sh over the stubs and setup programs.
#   bench/patch-and-report.sh [ROUNDS]   (default 9)
set -euo pipefail
rounds=${1:-9}
source "$(dirname "$0")/wine-bench-setup.sh" ondrel_stub setup_fixture fixture_patch
work=$prefix/drive_c/ondrel-bench-patch
key='HKCU\Software\Velmora\Update\ClientState\{5E1C27B9-3D40-4F8A-9C62-71B0D4E8A315}'
cleanup() {
    wine_run reg delete "$key" /reg:32 /f >/dev/null 2>&1 || true
    finish_when_idle "$work"
}
trap cleanup EXIT
rm -rf "$work"
mkdir -p "$work/full" "$work/patch" "$work/installed/2.0.1"
head -c 1024 /dev/urandom >"$work/payload.7z"
cp build/bin/setup-fixture.exe "$work/installed/2.0.1/setup.exe"
tools/pack-stub -o "$work/full/stub.exe" --archive "$work/payload.7z" \
    --setup build/bin/setup-fixture.exe
tools/pack-stub -o "$work/patch/stub.exe" --archive "$work/payload.7z" \
    --patch build/bin/fixtures/setup-fixture.patch --previous-version 2.0.1

b='C:\ondrel-bench-patch'
wine_run reg add "$key" /reg:32 /v UninstallString /t REG_SZ \
    /d "\"$b\\installed\\2.0.1\\setup.exe\"" /f >/dev/null 2>&1
write_between_step "$work" "$work"/{full,patch}/stub.exe "$work/installed/2.0.1/setup.exe" \
    build/bin/setup-fixture.exe
wine_run build/bin/side-by-side.exe "${between_options[@]}" --folder "$b\\full" \
    --folder "$b\\patch" --folder "$b\\installed\\2.0.1" "$rounds" \
    "full stub, reporting" "\"$b\\full\\stub.exe\"" \
    "full stub, no key" "\"$b\\full\\stub.exe\" --ondrel-dev" \
    "patch stub, reporting" "\"$b\\patch\\stub.exe\"" \
    "full stub, reporting" "\"$b\\full\\stub.exe\""
