#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# cmake/wine-run, which CTest runs every Windows program through, starts once more a program that
# ended non-zero having written nothing (what Wine leaves of a start that failed under load), and
# never one that wrote anything. Each row is a real cmd.exe under Wine that counts its starts in a
# file; a failed start itself cannot be made on demand, a silent failure of the program stands in.
#   wine_run_test.sh WINE_RUN PREFIX
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/check-lib.sh" wine-run-test
use_wine_run "$1" "$2"

# row NAME STARTS STATUS COMMAND: COMMAND for cmd /c, after which the wrapper must have started it
# STARTS times, ended with STATUS, and passed on its output.
row() {
    local name=$1 starts=$2 expected=$3 command=$4 status
    rm -f starts
    "${wine_run[@]}" cmd /c "echo started>>$(windows_path "$scratch/starts")& $command" \
        >stdout 2>stderr </dev/null
    status=$?
    [ "$status" -eq "$expected" ] || fail "$name: ended with $status, not $expected"
    [ "$(grep -c started starts 2>/dev/null)" = "$starts" ] ||
        fail "$name: started $(grep -c started starts 2>/dev/null) times, not $starts"
    if [ "$starts" -eq 2 ]; then
        grep -q 'started once more' stderr || fail "$name: the second start was not said"
    else
        ! grep -q 'started once more' stderr || fail "$name: said it started again"
    fi
    case $command in
    *echo*) grep -q said stdout stderr || fail "$name: its output did not reach the caller" ;;
    esac
}
row "prints nothing and ends 1" 2 1 "exit 1"
row "prints and ends 1" 1 1 "echo said& exit 1"
row "prints on stderr and ends 1" 1 1 "echo said 1>&2& exit 1"
row "passes" 1 0 "exit 0"
row "prints nothing and ends 3 both times" 2 3 "exit 3"
finish
