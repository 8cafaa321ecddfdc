#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# A census of flaky tests: builds once, then RUNS times runs the whole default CTest suite and the
# packer's sanitizer tests (as scripts/test.sh does), every other run with two tests at a time;
# every failure is kept with its output, and a table of the tests that failed at least once ends
# it. Nothing is rebuilt between runs, so every run tests the same tree.
#   scripts/flake-census.sh [RUNS]      (default 20; the record goes to build/flake-census/)
set -uo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20}
record=$PWD/build/flake-census
bin=$PWD/build/bin
set -e
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
(cd tools/packer && cmake --preset sanitize >/dev/null && cmake --build --preset sanitize >/dev/null)
set +e
rm -rf "$record" && mkdir -p "$record"

# suite RUN NAME CTEST_ARGS...: one CTest run; the names of its failed tests go to
# RUN/NAME.failed, and each one's output to RUN/NAME-TEST.log.
suite() {
    local run=$1 name=$2 started
    shift 2
    started=$(date +%s)
    "$@" --output-on-failure --output-junit "$record/$run/$name.xml" >"$record/$run/$name.log" 2>&1
    echo "$name: ended $? after $(($(date +%s) - started)) s" >>"$record/$run/summary"
    sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (\(Failed\|Timeout\|SEGFAULT\|Subprocess aborted\|Exception\|Child aborted\).*/\1 \2/p' \
        "$record/$run/$name.log" >"$record/$run/$name.failed"
    while read -r test cause; do
        scripts/ctest-report.py output "$record/$run/$name.xml" "$test" >"$record/$run/$name-$test.log"
    done <"$record/$run/$name.failed"
}

for run in $(seq "$runs"); do
    mkdir -p "$record/$run"
    jobs=1
    [ $((run % 2)) -eq 1 ] || jobs=2
    echo "run $run of $runs (ctest -j$jobs)" | tee "$record/$run/summary"
    suite "$run" default ctest --preset default -j"$jobs"
    suite "$run" sanitize env -C tools/packer \
        PACKER_TEST_PROGRAMS="$bin/ondrel-stub.exe:$bin/setup-fixture.exe:$bin/cabinet_expansion_test.exe" \
        PACKER_TEST_DATA="$bin/test-data" ctest --preset sanitize
    cat "$record/$run"/*.failed | sed 's/^/  failed: /'
done

echo
echo "Flake census: $runs run(s) of the default suite and the sanitizer tests, record in $record"
cat "$record"/*/*.failed | sort | uniq -c | sort -rn |
    awk -v runs="$runs" 'BEGIN { printf "%-50s %-12s %s\n", "test", "cause", "failed in" }
        { printf "%-50s %-12s %d of %d runs\n", $2, $3, $1, runs; any = 1 }
        END { if (!any) print "(no test failed)" }'
