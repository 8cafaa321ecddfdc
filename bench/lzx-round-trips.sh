#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# The packer test's seeded cabinet round trips with a larger budget: generated setup programs of
# every kind, size and method, and real programs of this build, each decoded by cabextract and by
# 7-Zip and compared byte for byte. Prints the test's result; a failing case names its seed.
#   bench/lzx-round-trips.sh [COUNT [SEED]]   (default: 1000 generated programs, seed 1; ~1 min)
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-1000}
seed=${2:-1}
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target host_packer ondrel_stub setup_fixture \
    cabinet_expansion_test >/dev/null
PACKER_ROUND_TRIPS=$count PACKER_ROUND_TRIP_SEED=$seed \
    PACKER_TEST_PROGRAMS=build/bin/ondrel-stub.exe:build/bin/setup-fixture.exe:build/bin/cabinet_expansion_test.exe \
    build/host-packer/tests/packer_test --gtest_filter='*EveryCabinetDecodesToItsInputInBothReaders'
