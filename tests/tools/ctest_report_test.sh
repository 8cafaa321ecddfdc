#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# The test command's closing summary of skips, made by scripts/ctest-report.py from a real CTest
# run of a small project: each row is one test in it and what the summary must say of it. One of
# them runs another CTest in the same build tree while the run goes on, which replaces
# LastTest.log: the summary must not depend on that log.
#   ctest_report_test.sh REPORT_SCRIPT
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/check-lib.sh" ctest-report-test
report=$1

# name | command | the summary's line for it, or "" when it must name none
rows=(
    "passes|echo ok|"
    "fails|echo 'SKIP: one check it could not make'; exit 1|  fails: one check it could not make"
    "shell_skip|echo 'SKIP: no small volume here'; exit 77|  shell_skip: no small volume here"
    "gtest_skip|printf 'a.cpp:9: Skipped\\nWine stores no access lists\\n'; exit 77|  gtest_skip: Wine stores no access lists"
    "lists_tests|ctest --test-dir . --show-only >/dev/null; echo 'SKIP: listed the tests'; exit 77|  lists_tests: listed the tests"
    "platform_row|echo 'SKIP on windows: not this packer'|"
)
mkdir project
{
    echo 'cmake_minimum_required(VERSION 3.25)'
    echo 'project(skips NONE)'
    echo 'enable_testing()'
    for row in "${rows[@]}"; do
        IFS='|' read -r name command _ <<<"$row"
        printf 'add_test(NAME %s COMMAND sh -c [=[%s]=])\n' "$name" "$command"
        echo "set_tests_properties($name PROPERTIES SKIP_RETURN_CODE 77)"
    done
} >project/CMakeLists.txt
cmake -S project -B build >/dev/null || fail "the sample project did not configure"
(cd build && ctest -j2 --output-junit Testing/junit.xml >/dev/null 2>&1)
"$report" skips build/Testing/junit.xml missing/Testing/junit.xml >summary ||
    fail "the report failed"

expected=0
for row in "${rows[@]}"; do
    IFS='|' read -r name _ line <<<"$row"
    if [ -n "$line" ]; then
        expected=$((expected + 1))
        grep -qxF "$line" summary || fail "$name: the summary lacks \"$line\""
    else
        ! grep -q "^  $name:" summary || fail "$name: the summary names it"
    fi
done
head -n1 summary | grep -qxF "Skipped: $expected check(s)" ||
    fail "the summary's count is \"$(head -n1 summary)\", not $expected"
"$report" skips missing/Testing/junit.xml | grep -qxF "Skipped: none" ||
    fail "a run with no report did not say none"
finish
