#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# The Windows test kit as scripts/release.sh makes it, unpacked outside the repository and the
# build tree into a folder of 200 characters with a space and a non-ASCII character, and started
# through Wine's cmd.exe as a user starts it: every run passes or skips with its reason, the count
# says so, and the report is well-formed and counts no failure.
#   kit_run_test.sh REPO BUILD_DIR WINE_RUN PREFIX
set -uo pipefail
repo=$1
build=$2
wine_run=$3
prefix=$4
source "$repo/tests/tools/check-lib.sh" kit-run-test

"$repo/scripts/release.sh" --build-dir "$build" --dist "$scratch/dist" --test-kit-only \
    >release.log 2>&1 || { fail "release.sh: $(tail -n 3 release.log)" && finish; }
version=$(head -n 1 "$repo/VERSION")
kit_name=ondrel-stub-$version-windows-tests
# Padded so that the kit's own folder, as Windows names it (Z: and backslashes), is 200 long.
place="$scratch/Prüfung mit Leerzeichen"
windows_length() { printf 'Z:%s' "$1" | iconv -f UTF-8 -t UTF-16LE | wc -c | awk '{ print $1 / 2 }'; }
padding=$((201 - $(windows_length "$place/x/$kit_name")))
if [ "$padding" -gt 0 ]; then
    place="$place/$(printf '%*s' "$padding" '' | tr ' ' p)"
fi
mkdir -p "$place"
(cd "$place" && unzip -q "$scratch/dist/$kit_name.zip") || { fail "unzip failed" && finish; }
kit="$place/$kit_name"
[ "$(windows_length "$kit")" -eq 200 ] || fail "the kit's folder is $(windows_length "$kit") long, not 200"

# Wine turns the path into Windows text in the locale's encoding.
(cd "$kit" && LC_ALL=C.UTF-8 "$wine_run" "$prefix" cmd /c run-tests.cmd) >kit.out 2>kit.err
status=$?
tr -d '\r' <kit.out >kit.log
[ "$status" -eq 0 ] || fail "run-tests.cmd ended with $status: $(grep -E '^FAIL ' kit.log | head -n 5)"
runs=$(grep -c '^run ' "$kit/runs.txt")
[ "$(grep -cE '^(PASS|SKIP) ' kit.log)" -eq "$runs" ] ||
    fail "not every one of $runs runs passed or skipped: $(grep -vE '^(PASS|SKIP) ' kit.log | head -n 8)"
grep -E '^SKIP ' kit.log | grep -vE '^SKIP [^:]+: every test skipped: [^ ]' &&
    fail "a run skipped with no reason"
passed=$(grep -c '^PASS ' kit.log)
skipped=$(grep -c '^SKIP ' kit.log)
grep -qx "$passed passed, 0 failed, $skipped skipped" kit.log || fail "no count line: $(tail -n 2 kit.log)"

# Well-formed, beside the runner, counting what the lines said; every skipped test says why.
python3 - "$kit/report.xml" "$runs" <<'PY' || fail "report.xml: see above"
import sys
import xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
suites = list(root.iter("testsuite"))
assert len(suites) == int(sys.argv[2]), f"{len(suites)} suites for {sys.argv[2]} runs"
failed = [s for s in suites if int(s.get("failures", "0")) or int(s.get("errors", "0"))]
# A failure is worth nothing without its output, and the kit's folder goes with the test.
for suite in failed:
    print(f"--- {suite.get('name')}: its output, as the report keeps it")
    print(suite.findtext("system-out", "(none)"))
assert root.get("failures") == "0", f"failures={root.get('failures')}"
for suite in suites:
    props = {p.get("name"): p.get("value") for p in suite.iter("property")}
    assert props.get("windows.build", "").isdigit(), f"{suite.get('name')}: no Windows build"
    for skipped in suite.iter("skipped"):
        assert skipped.get("message"), f"{suite.get('name')}: a skip without a reason"
PY
cat kit.log
finish
