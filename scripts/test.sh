#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# Installs what is missing, configures, builds, and runs every test under Wine; then the packer's
# own tests and fuzz corpora again with AddressSanitizer and UndefinedBehaviorSanitizer, and each
# fuzz target for a fixed, seeded number of inputs (a finding is saved under
# build/fuzz-ci/TARGET/findings and fails the run). At the end, and on a failure, it says how many
# checks were skipped and why.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
trap 'scripts/ctest-report.py skips build/Testing/junit.xml build/packer-sanitize/Testing/junit.xml' EXIT
cmake --workflow --preset default

# The packer's unit tests take real programs and test data from the default build.
bin=$PWD/build/bin
(
    cd tools/packer
    cmake --preset sanitize >/dev/null
    cmake --build --preset sanitize >/dev/null
    PACKER_TEST_PROGRAMS=$bin/ondrel-stub.exe:$bin/setup-fixture.exe:$bin/cabinet_expansion_test.exe \
        PACKER_TEST_DATA=$bin/test-data ctest --preset sanitize
)
scripts/fuzz.sh --ci
