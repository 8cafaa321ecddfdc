#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# A stub packed with each execution level runs end to end under Wine: it starts and its setup
# program receives the archive. Wine does not elevate and shows no prompt, so this shows that the
# loader accepts each edited manifest, not what an elevation would do.
#   execution_level_run_test.sh PACK_STUB SETUP_PROGRAM WINE_RUN PREFIX
set -uo pipefail
pack=$1
program=$2
source "$(dirname "${BASH_SOURCE[0]}")/check-lib.sh" execution-level-run-test
use_wine_run "${@:3}"

{ printf '7z\xbc\xaf\x27\x1c' && head -c 5001 /dev/urandom; } >archive.7z
mkdir levels
for level in asInvoker highestAvailable requireAdministrator; do
    if "$pack" -o "levels/$level.exe" --archive archive.7z --setup "$program" \
        --execution-level "$level" >/dev/null 2>stderr; then
        check_stub_run "the stub requesting $level" "levels/$level.exe" archive.7z
    else
        fail "packing with $level: $(cat stderr)"
    fi
done
finish
