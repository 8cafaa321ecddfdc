#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# Says how many checks the last CTest runs skipped and why, from their logs:
#   scripts/skip-summary.sh BUILD_DIR...
# A shell test says "SKIP: REASON"; GoogleTest says "FILE:LINE: Skipped" and the reason on the
# next line. CTest itself lists the tests that skipped (return code 77) as "Not Run".
set -uo pipefail
reasons=$(for build in "$@"; do
    log=$build/Testing/Temporary/LastTest.log
    [ -f "$log" ] || continue
    awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 }
        /^SKIP: / { print "  " name ": " substr($0, 7) }
        /: Skipped$/ { getline reason; print "  " name ": " reason }' "$log"
done)
if [ -z "$reasons" ]; then
    echo "Skipped: none"
else
    echo "Skipped: $(wc -l <<<"$reasons") check(s)"
    echo "$reasons"
fi
