# SPDX-License-Identifier: Zlib
# The runner against one program that passes, fails, skips, crashes and hangs: each run reported by
# name as what it was, the runner going on after each, the count and exit status right, the
# report well-formed and saying the same; and a report that cannot be written costs one line.
#   kit_runner_test.py RUNNER FIXTURE WINE-RUN PREFIX
import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

runner, fixture, wine_run, prefix = sys.argv[1:5]

# (run name, test picked, line expected to start with, result in the report). Only the hang has a
# short limit: the others end by themselves, and a loaded machine must not turn them into hangs.
ROWS = [
    ("passes", "Passes", "PASS passes: 1 tests", None),
    ("fails", "Fails", "FAIL fails: exit code 1, failed: KitFixture.Fails", "failure"),
    ("skips", "Skips", "SKIP skips: every test skipped: nothing to test in this place", "skipped"),
    ("crashes", "Crashes", "FAIL crashes: crashed with exception 0xC0000005 in KitFixture.Crashes",
     "failure"),
    ("hangs", "Hangs", "FAIL hangs: timed out after 3 s and was ended with all it started, in "
     "KitFixture.Hangs", "failure"),
    ("passes again", "Passes", "PASS passes again: 1 tests", None),
    # Ends with 77 (a case skipped, none failed): a pass that counts its skip.
    ("passes and skips", "Passes:KitFixture.Skips", "PASS passes and skips: 2 tests, 1 skipped",
     "skipped"),
    # Each failure goes to its own test, not to the one before it.
    ("mixed", "Passes:KitFixture.Fails:KitFixture.Skips",
     "FAIL mixed: exit code 1, failed: KitFixture.Fails (", "failure skipped"),
]

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def wine(*args):
    # Wine starts its debugger on a crash whatever the error mode; it would only print a backtrace.
    environment = dict(os.environ, WINEDLLOVERRIDES="winedbg.exe=d")
    return subprocess.run([wine_run, prefix, *args], capture_output=True, timeout=1200,
                          env=environment)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


with tempfile.TemporaryDirectory(prefix="ondrel-kit-runner.") as scratch:
    kit = os.path.join(scratch, "kit")
    os.mkdir(kit)
    shutil.copy(runner, os.path.join(kit, "ondrel-test-kit.exe"))
    shutil.copy(fixture, os.path.join(kit, "kit fixture.exe"))
    with open(os.path.join(kit, "runs.txt"), "w", encoding="utf-8") as runs:
        for name, test, _, _ in ROWS:
            runs.write(f"run {name}\nprogram kit fixture.exe\nargument --gtest_filter=KitFixture.{test}\n"
                       "environment KIT_FIXTURE=set by the list\n"
                       f"timeout {3 if test == 'Hangs' else 300}\ngtest\n\n")
    done = wine(os.path.join(kit, "ondrel-test-kit.exe"))
    out = done.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
    lines = out.splitlines()
    for name, _, expected, _ in ROWS:
        line = next((l for l in lines if l.startswith(("PASS " + name + ":", "FAIL " + name + ":",
                                                        "SKIP " + name + ":"))), "")
        check(line.startswith(expected), f"{name}: expected a line starting {expected!r}, got {line!r}")
    check("3 passed, 4 failed, 1 skipped" in lines, f"no count line in {out!r}")
    check(done.returncode == 1, f"exit status {done.returncode}, not 1")

    # The hang's child went with it.
    left = subprocess.run(["ps", "-eo", "args"], capture_output=True, text=True).stdout
    check("HangsAlone" not in left, "a hanging program's child outlived the time-out")

    try:
        root = ET.parse(os.path.join(kit, "report.xml")).getroot()
        suites = {suite.get("name"): suite for suite in root.iter("testsuite")}
        check(root.get("failures") == "4" and root.get("skipped") == "3",
              f"report counts {root.attrib}")
        for name, _, _, result in ROWS:
            suite = suites.get(name)
            check(suite is not None, f"{name}: not in the report")
            if suite is None:
                continue
            props = {p.get("name"): p.get("value") for p in suite.iter("property")}
            check(props.get("windows.build", "").isdigit(), f"{name}: no Windows build: {props}")
            results = [child.tag for case in suite.iter("testcase") for child in case]
            check(results == (result.split() if result else []), f"{name}: report says {results}")
    except ET.ParseError as error:
        failures.append(f"report.xml is not well-formed: {error}")

    # A report that cannot be written: one line, exit 2, no run started.
    blocked = os.path.join(kit, "no such folder", "report.xml")
    done = wine(os.path.join(kit, "ondrel-test-kit.exe"), "--report", windows_path(blocked))
    out = done.stdout.decode("utf-8", "replace").strip()
    check(done.returncode == 2 and len(out.splitlines()) == 1 and
          out.startswith("ondrel-test-kit: cannot write the report"),
          f"unwritable report: status {done.returncode}, said {out!r}")

for failure in failures:
    print("FAILED:", failure)
print("kit runner:", "failed" if failures else "all rows as expected")
sys.exit(1 if failures else 0)
