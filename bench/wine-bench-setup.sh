# SPDX-License-Identifier: Zlib
# Sourced by the benchmarks that run programs under Wine, with the build targets they need:
#   source "$(dirname "$0")/wine-bench-setup.sh" TARGET...
# Moves to the repository root, installs what is missing, builds the targets, the packer and the side-by-side
# runner, makes sure the build's Wine prefix exists, and defines prefix and wine_run.
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/install-deps.sh >/dev/null
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target bench_side_by_side host_packer "$@" >/dev/null
prefix=$PWD/build/wine-prefix
wine_run() { cmake/wine-run "$prefix" "$@"; }
# The prefix is made on first use; a run of nothing makes sure it exists.
wine_run build/bin/side-by-side.exe >/dev/null 2>&1 || true

# Puts into folder $1 what the 100 MiB benchmarks pack and copy: incompressible archives of
# 100 MiB and 1 KiB, and the setup program that exits at once as setup.exe.
make_bench_payloads() {
    head -c $((100 * 1024 * 1024)) /dev/urandom >"$1/payload-100mib.7z"
    head -c 1024 /dev/urandom >"$1/payload-1kib.7z"
    cp build/bin/setup-fixture.exe "$1/setup.exe"
}

# pack_bench_stub OUT ARCHIVE [PACK-STUB OPTION...]: a full stub with that setup program.
pack_bench_stub() {
    tools/pack-stub -o "$1" --archive "$2" --setup build/bin/setup-fixture.exe "${@:3}"
}
