#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# The exit codes are written twice: as constants in run_result.h and as the reference's table,
# which release engineers and update-client authors read. Both must name the same codes with the
# same numbers, each once.
#   exit_codes_test.sh RUN_RESULT_H REFERENCE_MD
set -euo pipefail
header=$1
reference=$2
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# "NAME NUMBER" per constant of the header.
in_code=$(sed -nE 's/^inline constexpr uint32_t (RESULT_[A-Z0-9_]+) = ([0-9]+);.*/\1 \2/p' "$header" |
    LC_ALL=C sort)
# "NAME NUMBER" per row of the reference's table: | 112 | `RESULT_...` | ... (its section only).
in_reference=$(awk '/^## / { in_section = ($0 == "## Exit codes") } in_section' "$reference" |
    sed -nE 's/^\| *([0-9]+) *\| *`(RESULT_[A-Z0-9_]+)` *\|.*/\2 \1/p' | LC_ALL=C sort)

[ -n "$in_code" ] || fail "no RESULT_ constant found in $header"
[ -n "$in_reference" ] || fail "no exit code row found under '## Exit codes' in $reference"
twice=$(cut -d ' ' -f 1 <<<"$in_reference" | uniq -d)
[ -z "$twice" ] || fail "$reference has more than one row for: $twice"
missing=$(LC_ALL=C comm -23 <(echo "$in_code") <(echo "$in_reference"))
[ -z "$missing" ] || fail "$reference has no row (or another number) for: $missing"
extra=$(LC_ALL=C comm -13 <(echo "$in_code") <(echo "$in_reference"))
[ -z "$extra" ] || fail "$reference has rows $header does not define: $extra"
echo "$(wc -l <<<"$in_code") exit codes, each with its row"
