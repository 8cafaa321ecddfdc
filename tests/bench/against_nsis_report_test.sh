#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# The report of bench/against-nsis.sh over a fixed sample: two rounds whose marks are counted at
# 1000 a second, so every figure is known in ms. The report must find the marks by name: a stage
# it has never heard of shows up in its place, and a stage a run did not reach is left out.
#   against_nsis_report_test.sh REPO
set -euo pipefail
repo=$1
scratch=$(mktemp -d)
trap 'rm -rf -- "$scratch"' EXIT
failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}

# The profiling stub's line for a run from $1 with the archive written in $2 ms; "new_stage" is
# none of the stub's; $3 replaces the working-set mark (0: not reached).
stub_line() {
    local s=$1 w=$2 trimmed=${3:-}
    local a=$((s + 22 + w))
    printf 'frequency=1000 entry=%d configured=%d work_directory_made=%d full_install_marked=%d' \
        $((s + 10)) $((s + 20)) $((s + 21)) $((s + 22))
    printf ' archive_written=%d new_stage=%d setup_expanded=%d setup_flushed=%d' \
        $a $((a + 3)) $((a + 5)) $((a + 6))
    printf ' payload_extracted=%d working_set_trimmed=%s setup_ran=%d files_removed=%d' \
        $((a + 7)) "${trimmed:-$((a + 8))}" $((a + 30)) $((a + 40))
    printf ' outcome_recorded=%d exit=%d\n' $((a + 41)) $((a + 42))
}
# A floor's line: entry, split, files written after $2 ms, setup ran 25 ms later, removed 10 later.
floor_line() {
    local s=$1 w=$2
    printf 'frequency=1000 entry=%d configured=%d files_written=%d setup_ran=%d files_removed=%d\n' \
        $((s + 5)) $((s + 6)) $((s + 6 + w)) $((s + 31 + w)) $((s + 41 + w))
}
{
    stub_line 1000 50
    stub_line 3000 1
    floor_line 5000 50
    floor_line 7000 40
    stub_line 11000 60 0
    stub_line 13000 1 0
    floor_line 15000 70
    floor_line 17000 60
} >"$scratch/profile"
# round, label, ms, start, end; runs without marks lie apart from those with them.
sample() { printf '%s\t%s\t%s\t%s\t%s\n' "$1" "$2" $(($4 - $3)) "$3" "$4"; }
{
    for r in 0 1; do
        o=$((r * 10000))
        sample $r "profiling stub, big" $((o + 1000)) $((o + 1200))
        sample $r "profiling stub, 1 KiB" $((o + 3000)) $((o + 3100))
        sample $r "floor, big" $((o + 5000)) $((o + 5150))
        sample $r "bound floor, big" $((o + 7000)) $((o + 7150))
        sample $r "stub, big" $((o + 9000)) $((o + 9300))
        sample $r "stub, 1 KiB" $((o + 9400)) $((o + 9450))
        sample $r "floor, 1 KiB" $((o + 9500)) $((o + 9520))
        sample $r "bound floor, 1 KiB" $((o + 9600)) $((o + 9630))
        sample $r "NSIS stored, big" $((o + 9700)) $((o + 9900))
        sample $r "NSIS stored, 1 KiB" $((o + 9910)) $((o + 9950))
        sample $r "setup program alone" $((o + 9960)) $((o + 9970))
    done
} >"$scratch/samples"

report=(/usr/bin/python3 "$repo/bench/analysis.py" against-nsis --name "1 GiB" --mib 1024)
"${report[@]}" "$scratch/profile" "$scratch/samples" >"$scratch/report" || fail "the report failed"
table=$("${report[@]}" --table "$scratch/profile" "$scratch/samples") || fail "the table failed"

# One row per case: what the report must hold, as an extended regular expression, then why.
while IFS='%' read -r pattern why; do
    grep -Eq -- "$pattern" "$scratch/report" || fail "$why: no line matching '$pattern'"
done <<'CASES'
^  archive_written +1\.0 \[ *1\.0, +1\.0\] +55\.0 \[ *52\.5, +57\.5\]$%a known stage by its name: 1 ms, and the median of 50 and 60 ms
^  new_stage +3\.0 \[ *3\.0, +3\.0\] +3\.0 \[%a stage the report has never heard of shows up
^  working_set_trimmed +1\.0 \[ *1\.0, +1\.0\] +1\.0 \[ *1\.0, +1\.0\]$%a stage one run did not reach: the other run's figure alone
^  setup_ran +22\.5 \[%the stage after one not reached runs from the mark before that one
^  process start \(CreateProcessW to entry\) +10\.0 %the process start runs from the run's start to the entry mark
^  process exit \(last mark to wait's end\) +35\.0 \[ *35\.0, +35\.0\] +81\.0 %the process exit runs from the last mark to the run's end
^  \(profiled runs matched: 2 of 2 and 2 of 2\)%every profiled run is matched to its own line
^  up to the first file \(shell32 \.\.\.\) +12\.0 \[[^]]*\] +1\.0 \[[^]]*\] +1\.0 %the stub's group ends at its "ap" mark, the floors' at their split
^  writing the files \(and the flush\) +62\.0 \[[^]]*\] +50\.0 \[[^]]*\] +60\.0 \[%the floors' writing ends at their own mark: 40/60 ms and 50/70 ms
^  removing the files +10\.0 \[[^]]*\] +10\.0 \[[^]]*\] +10\.0 %removing runs from the setup program's exit to the removals
CASES
# Stages in the order the lines give them: the new one between the two it lies between.
order=$(grep -Eo '^  (archive_written|new_stage|setup_expanded) ' "$scratch/report" | tr -d ' ' |
    paste -sd ' ')
[ "$order" = "archive_written new_stage setup_expanded" ] || fail "stages out of line order: $order"
grep -q $'^floor, big\twriting the files (and the flush)\t60.000\t' <<<"$table" ||
    fail "the figures' table lacks the floor's writing group: $table"
[ $failed = 0 ] || {
    cat "$scratch/report" >&2
    exit 1
}
echo "the report reads every mark by its name"
