#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# side-by-side starts a timed run only once the step before it has finished, even a step that
# takes a while and is a Unix program, whose process under Wine ends at once. The step marks its
# start and its end in a file, each timed command marks its run in the same file, and the marks
# must come in that order: start, end, run, for every run of every round.
#   side_by_side_test.sh SIDE_BY_SIDE WINE_RUN PREFIX
set -uo pipefail
side_by_side=$1

source "$(dirname "${BASH_SOURCE[0]}")/../tools/check-lib.sh" side-by-side-test
use_wine_run "$2" "$3"

cat >between <<STEP
#!/bin/sh
echo step started >>"$scratch/marks"
sleep 1
echo step ended >>"$scratch/marks"
echo 0 >"$scratch/done.tmp" && mv "$scratch/done.tmp" "$scratch/done"
STEP
chmod +x between
marks=$(windows_path "$scratch/marks")
"${wine_run[@]}" "$side_by_side" --between "$(windows_path "$scratch/between")" \
    --between-done "$(windows_path "$scratch/done")" 2 \
    first "cmd /c echo first run>>$marks" second "cmd /c echo second run>>$marks" \
    >out 2>err || fail "side-by-side exited with $?: $(head -n 3 err)"

tr -d '\r' <marks >order 2>/dev/null
for round in 1 2; do printf 'step started\nstep ended\n%s run\nstep started\nstep ended\n%s run\n' \
    '(first|second)' '(first|second)'; done >expected
[ "$(wc -l <order)" -eq "$(wc -l <expected)" ] &&
    paste -d '\t' expected order | awk -F '\t' '$2 !~ "^" $1 "$" { exit 1 }' ||
    fail "marks out of order (expected: step started, step ended, a run; four times):
$(cat order)"
[ "$(grep -c '^first run$' order)" -eq 2 ] && [ "$(grep -c '^second run$' order)" -eq 2 ] ||
    fail "each command should have run twice: $(grep run order | tr '\n' ' ')"
[ ! -e done ] || fail "side-by-side left the step's completion file"
finish
