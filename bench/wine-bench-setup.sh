# SPDX-License-Identifier: Zlib
# Sourced by the benchmarks that run programs under Wine, with the build targets they need:
#   source "$(dirname "$0")/wine-bench-setup.sh" TARGET...
# Moves to the repository root, installs what is missing, builds the targets, the packer and the
# side-by-side runner, makes sure the build's Wine prefix exists, and defines prefix, wine_run,
# finish_when_idle and pack_bench_stub, and those of bench-lib.sh.
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/install-deps.sh --bench >/dev/null
source bench/bench-lib.sh
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target bench_side_by_side host_packer "$@" >/dev/null
prefix=$PWD/build/wine-prefix
wine_run() { cmake/wine-run "$prefix" "$@"; }
# The prefix is made on first use; a run of nothing makes sure it exists.
wine_run build/bin/side-by-side.exe >/dev/null 2>&1 || true

# finish_when_idle FOLDER, the benchmarks' exit: once nothing they started can still use FOLDER
# (no Wine process of the prefix, no page-cache step still running), FOLDER is removed.
finish_when_idle() {
    WINEPREFIX=$prefix wineserver --wait 2>/dev/null || true
    [ ! -e "$1/between.lock" ] || flock "$1/between.lock" true
    rm -rf -- "$1"
}

# pack_bench_stub OUT ARCHIVE [PACK-STUB OPTION...]: a full stub with that setup program.
pack_bench_stub() {
    tools/pack-stub -o "$1" --archive "$2" --setup build/bin/setup-fixture.exe "${@:3}"
}
