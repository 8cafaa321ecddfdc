# SPDX-License-Identifier: Zlib
# Sourced by the shell tests: a scratch folder, made current and removed on exit, a count of failed
# checks and of skipped ones that finish turns into the exit status (77 for a run that skipped
# something and failed nothing, which CTest shows as skipped), and the helpers for Wine.
#   source check-lib.sh NAME
check_name=$1
check_lib_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/$check_name.XXXXXX")
trap 'rm -rf -- "$scratch"' EXIT
cd "$scratch" || exit 1
failures=0
skips=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# skip REASON: a check this machine cannot make; said, counted, and shown as a skip.
skip() {
    echo "SKIP: $*"
    skips=$((skips + 1))
}
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    if [ "$skips" -ne 0 ]; then
        echo "$check_name: all checks made passed; $skips skipped"
        exit 77
    fi
    echo "$check_name: all checks passed"
    exit 0
}

# use_wine_run WINE_RUN PREFIX: "${wine_run[@]}" PROGRAM [ARGS...] runs a Windows program as CTest
# does (cmake/wine-run and the build's prefix).
use_wine_run() { wine_run=("$@"); }

# use_packer_wine_run WINE_RUN PREFIX: the same, and a run that lost its connection to the Wine
# server is made again without its error reaching the caller (tests/tools/wine-retry.sh).
use_packer_wine_run() { wine_run=(bash "$check_lib_dir/wine-retry.sh" "$@"); }

source "$check_lib_dir/../../scripts/windows-path.sh"

# check_stub_run WHAT STUB ARCHIVE [ARGUMENTS...]: runs the packed STUB through "${wine_run[@]}"
# from its folder, as a user's download would. It must exit 0 (Wine keeps 8 bits of the code), its
# setup program, the setup fixture, must receive ARCHIVE (a copy it makes shows it really ran), and
# the folder must hold afterwards just what it held before. Variables set before the call reach the
# stub.
check_stub_run() {
    local what=$1 stub=$2 archive=$3 before status
    shift 3
    before=$(ls -A "$(dirname -- "$stub")")
    rm -f seen.7z
    (unset VelmoraUpdateIsMachine &&
        ONDREL_FIXTURE_ARCHIVE_COPY=$(windows_path "$scratch/seen.7z") \
            "${wine_run[@]}" "$stub" "$@" >wine.log 2>&1)
    status=$?
    [ "$status" -eq 0 ] || fail "$what exited with $status: $(head -n 1 wine.log)"
    cmp -s "$archive" seen.7z || fail "$what: the setup program did not receive the archive"
    [ "$(ls -A "$(dirname -- "$stub")")" = "$before" ] ||
        fail "$what left $(ls -A "$(dirname -- "$stub")")"
}
