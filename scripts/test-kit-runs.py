#!/usr/bin/env python3
# SPDX-License-Identifier: Zlib
# Writes the Windows test kit's list of runs from a build tree's own test definitions (ctest
# --show-only=json-v1): every test that CTest starts through the Wine wrapper, its program a path
# relative to the kit, its arguments, environment, locks and time limit. Tests driven by a shell
# or a Linux program are the Linux side's and are left out.
#   test-kit-runs.py BUILD-DIR SOURCE-DIR > runs.txt
import json
import os
import subprocess
import sys

build, source = (os.path.realpath(path) for path in sys.argv[1:3])


# As the toolchain file sets CMAKE_CROSSCOMPILING_EMULATOR.
emulator = [os.path.join(source, "cmake", "wine-run"), os.path.join(build, "wine-prefix")]
tests = json.loads(subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                                  check=True, capture_output=True, text=True).stdout)["tests"]
bin_dir = os.path.join(build, "bin") + os.sep


def of_this_machine(text):
    return build in text or source in text


out = ["# The runs of the Ondrel stub's Windows test kit, one at a time, in this order.",
       "# Paths are relative to the kit's folder."]
for test in tests:
    command = test.get("command", [])
    if command[:len(emulator)] != emulator:
        continue
    program, *arguments = command[len(emulator):]
    if not program.startswith(bin_dir):
        sys.exit(f"test-kit-runs.py: {test['name']} runs {program}, outside {bin_dir}")
    properties = {p["name"]: p["value"] for p in test.get("properties", [])}
    out += ["", f"run {test['name']}",
            "program bin\\" + program[len(bin_dir):].replace("/", "\\")]
    for argument in arguments:
        if of_this_machine(argument):
            sys.exit(f"test-kit-runs.py: {test['name']} takes {argument}, a path of this machine")
        out.append(f"argument {argument}")
    for variable in properties.get("ENVIRONMENT", []):
        # A place prepared on the build machine (the small volume) does not travel; the test
        # skips, saying so, where nobody names one.
        if of_this_machine(variable) or of_this_machine(variable.replace("\\", "/")):
            out.append(f"# {variable.split('=', 1)[0]} names a place on the build machine")
        else:
            out.append(f"environment {variable}")
    out += [f"lock {lock}" for lock in properties.get("RESOURCE_LOCK", [])]
    if "TIMEOUT" in properties:
        out.append(f"timeout {int(float(properties['TIMEOUT']))}")
    # Every Windows-side test program is a GoogleTest program.
    out.append("gtest")
print("\n".join(out))
