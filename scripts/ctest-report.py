#!/usr/bin/env python3
# SPDX-License-Identifier: Zlib
# Reads the JUnit files CTest writes (the test presets name Testing/junit.xml in each build tree).
# They are written once, at the end of the run that made them, so a CTest started inside a test
# (the test kit lists the tests with one) cannot replace them the way it replaces LastTest.log.
#   ctest-report.py skips JUNIT...         how many checks were skipped, and why
#   ctest-report.py output JUNIT TEST      what TEST wrote (its cause is only in CTest's console)
# A shell test says "SKIP: REASON"; GoogleTest says "FILE:LINE: Skipped" and the reason on the
# next line. A missing file is a run that did not get that far, and is passed over.
import os
import sys
import xml.etree.ElementTree as ET


def test_cases(paths):
    for path in paths:
        if os.path.exists(path):
            yield from ET.parse(path).getroot().iter("testcase")


def skip_reasons(output):
    lines = output.splitlines()
    for number, line in enumerate(lines):
        if line.startswith("SKIP: "):
            yield line[len("SKIP: "):]
        elif line.endswith(": Skipped") and number + 1 < len(lines):
            yield lines[number + 1]


def skips(paths):
    reasons = [f"  {case.get('name')}: {reason}" for case in test_cases(paths)
               for reason in skip_reasons(case.findtext("system-out") or "")]
    print(f"Skipped: {len(reasons)} check(s)" if reasons else "Skipped: none")
    for reason in reasons:
        print(reason)


def output(path, test):
    for case in test_cases([path]):
        if case.get("name") == test:
            sys.stdout.write(case.findtext("system-out") or "")


if __name__ == "__main__":
    if len(sys.argv) >= 2 and sys.argv[1] == "skips":
        skips(sys.argv[2:])
    elif len(sys.argv) == 4 and sys.argv[1] == "output":
        output(sys.argv[2], sys.argv[3])
    else:
        sys.exit("usage: ctest-report.py skips JUNIT... | output JUNIT TEST")
