#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# The stub against a peer installer, NSIS (makensis, amd64-unicode, silent), and against two
# floors, each doing the same job with an incompressible archive and a setup program that exits
# at once: the archive and the setup program into a fresh folder beside the installer, the setup
# program run on the archive and waited for, everything deleted.
#   bench/against-nsis.sh [ROUNDS]          100 MiB and 1 KiB archives (default 81 rounds)
#   bench/against-nsis.sh --gib [ROUNDS]    1 GiB and 1 KiB archives (default 7 rounds)
# Floors (bench/copy_floor.cpp): the plain floor copies with CopyFileW; the bound floor also does
# what every stub must (loads shell32 by its full path and splits its command line with it,
# flushes "setup.exe" before running it). NSIS runs at its default compression (zlib; 100 MiB
# only) and with compression off. The profiling stub (build/bin/ondrel-stub-profile.exe, packed by tools/pack-stub --stub) runs beside them
# and says where its time goes, stage by stage.
#
# Every command runs once a round, in shuffled order (the stub and the floors in one block, moments
# apart), under one Wine prefix from folders on its drive C:, after warm-up rounds that bring
# every program and archive into the page cache, and after the page-cache step of
# bench/bench-lib.sh before every run (a sync, every program and archive read back; the run waits
# for it to finish), so that none pays for writing back what another left dirty or reads from disk.
# A spoiled round runs again from the installers' folders as they were at the start.
# Headline ratios are medians of per-round ratios with a bootstrap 95 % interval; stage times are
# medians with their interquartile range. makensis comes with scripts/install-deps.sh --bench.
# The samples stay in build/bench/against-nsis-100-mib.samples, .profile and .load (-1024-mib with
# --gib), for bench/plot.sh.
set -euo pipefail
big_mib=100 rounds=81 warmup=2
if [ "${1:-}" = --gib ]; then
    big_mib=1024 rounds=7 warmup=1
    shift
fi
rounds=${1:-$rounds}
[[ $rounds =~ ^[1-9][0-9]*$ ]] && [ $# -le 1 ] || {
    echo "usage: bench/against-nsis.sh [--gib] [ROUNDS]" >&2
    exit 2
}
source "$(dirname "$0")/wine-bench-setup.sh" ondrel_stub ondrel_stub_profile setup_fixture \
    bench_copy_floor
work=$prefix/drive_c/ondrel-bench-nsis
rm -rf "$work"
trap 'finish_when_idle "$work"' EXIT
big=payload-big.7z small=payload-1kib.7z
# One folder per installer: each works beside itself, and must leave nothing there.
folders=(stub stub-small profile profile-small nsis-stored nsis-stored-small floor)
[ $big_mib != 100 ] || folders+=(nsis-zlib)
for folder in "${folders[@]}"; do mkdir -p "$work/$folder"; done
head -c $((big_mib * 1024 * 1024)) /dev/urandom >"$work/$big"
head -c 1024 /dev/urandom >"$work/$small"
cp build/bin/setup-fixture.exe "$work/setup.exe"
pack_bench_stub "$work/stub/stub.exe" "$work/$big"
pack_bench_stub "$work/stub-small/stub.exe" "$work/$small"
for folder in profile profile-small; do
    archive=$big
    [ $folder = profile ] || archive=$small
    pack_bench_stub "$work/$folder/stub.exe" "$work/$archive" --stub build/bin/ondrel-stub-profile.exe
done

# The smallest installer makensis makes, and one doing the stub's job. RequestExecutionLevel
# user, as the stub asks for no elevation either; CRCCheck stays at its default (on). Under Wine
# RMDir /r, right after the setup program has exited, often deletes the files but not yet the
# folder; the installer tries again every 10 ms, so that it pays no more than the wait it needs.
cat >"$work/empty.nsi" <<'NSI'
Target amd64-unicode
SilentInstall silent
OutFile "${OUT}"
Section
SectionEnd
NSI
cat >"$work/job.nsi" <<'NSI'
Target amd64-unicode
SilentInstall silent
RequestExecutionLevel user
OutFile "${OUT}"
!ifdef STORED
SetCompress off
!endif
Section
  SetOutPath "$EXEDIR\nsis.tmp"
  File "/oname=ONDREL.PACKED.7Z" "${ARCHIVE}"
  File "/oname=setup.exe" "${SETUP}"
  ClearErrors
  ExecWait '"$OUTDIR\setup.exe" --install-archive="$OUTDIR\ONDREL.PACKED.7Z"' $0
  IfErrors 0 +2
    StrCpy $0 1
  SetOutPath "$EXEDIR"
  StrCpy $1 0
remove:
  RMDir /r "$EXEDIR\nsis.tmp"
  IfFileExists "$EXEDIR\nsis.tmp\*.*" 0 removed
  IntOp $1 $1 + 1
  IntCmp $1 200 gave_up retry gave_up
retry:
  Sleep 10
  Goto remove
gave_up:
  StrCpy $0 2
removed:
  SetErrorLevel $0
SectionEnd
; An installer that fails (a File it cannot write) removes its folder too.
Function .onInstFailed
  SetOutPath "$EXEDIR"
  RMDir /r "$EXEDIR\nsis.tmp"
FunctionEnd
NSI
mkdir -p "$work/nsis-empty"
makensis -V1 -DOUT="$work/nsis-empty/setup.exe" "$work/empty.nsi" >/dev/null
nsis() { # folder, archive, makensis option...
    makensis -V1 -DOUT="$work/$1/setup.exe" -DARCHIVE="$work/$2" -DSETUP="$work/setup.exe" \
        "${@:3}" "$work/job.nsi" >/dev/null
}
nsis nsis-stored $big -DSTORED
nsis nsis-stored-small $small -DSTORED
[ $big_mib != 100 ] || nsis nsis-zlib $big

# None of the programs must inherit what steers the setup fixture in tests.
while IFS='=' read -r name _; do unset "$name"; done < <(env | grep '^ONDREL_FIXTURE_' || true)
unset VelmoraUpdateIsMachine

b='C:\ondrel-bench-nsis'
floor_exe=build/bin/copy-floor.exe
# Each of them does the whole job once before it is timed: the setup program receives the whole
# archive, which the setup fixture copies when told where to.
check() { # what, archive, program, arguments...
    local what=$1 archive=$2
    shift 2
    rm -f "$work/seen.7z"
    ONDREL_FIXTURE_ARCHIVE_COPY="$b\\seen.7z" wine_run "$@" >/dev/null 2>&1 &&
        cmp -s "$work/seen.7z" "$work/$archive" || {
        echo "$what: the setup program did not receive the archive" >&2
        exit 1
    }
    rm -f "$work/seen.7z"
}
check "stub" $big "$work/stub/stub.exe"
check "profiling stub" $big "$work/profile/stub.exe"
check "NSIS stored" $big "$work/nsis-stored/setup.exe"
[ $big_mib != 100 ] || check "NSIS zlib" $big "$work/nsis-zlib/setup.exe"
check "floor" $big "$floor_exe" "$b\\$big" "$b\\setup.exe" "$b\\floor"
check "bound floor" $big "$floor_exe" --bound "$b\\$big" "$b\\setup.exe" "$b\\floor"

size() { stat -c %s "$1"; }
big_name="$big_mib MiB"
[ $big_mib != 1024 ] || big_name="1 GiB"
zlib=()
[ $big_mib != 100 ] || zlib=(--nsis-zlib "$(size "$work/nsis-zlib/setup.exe")")
/usr/bin/python3 bench/analysis.py sizes --stub "$(size build/bin/ondrel-stub.exe)" \
    --nsis-empty "$(size "$work/nsis-empty/setup.exe")" --packed "$(size "$work/stub/stub.exe")" \
    --stored "$(size "$work/nsis-stored/setup.exe")" --archive "$(size "$work/$big")" \
    "${zlib[@]}" --name "$big_name"
echo

floor='"Z:'$(realpath "$floor_exe" | tr / '\\')'"'
# Two blocks of commands: what the headline ratios compare with each other runs in the first,
# moments apart (side-by-side --block).
commands=(
    "stub, big" "\"$b\\stub\\stub.exe\""
    "bound floor, big" "$floor --bound \"$b\\$big\" \"$b\\setup.exe\" \"$b\\floor\""
    "floor, big" "$floor \"$b\\$big\" \"$b\\setup.exe\" \"$b\\floor\""
    "stub, 1 KiB" "\"$b\\stub-small\\stub.exe\""
    "bound floor, 1 KiB" "$floor --bound \"$b\\$small\" \"$b\\setup.exe\" \"$b\\floor\""
    "floor, 1 KiB" "$floor \"$b\\$small\" \"$b\\setup.exe\" \"$b\\floor\""
    "NSIS stored, big" "\"$b\\nsis-stored\\setup.exe\""
    "profiling stub, big" "\"$b\\profile\\stub.exe\""
    "NSIS stored, 1 KiB" "\"$b\\nsis-stored-small\\setup.exe\""
    "profiling stub, 1 KiB" "\"$b\\profile-small\\stub.exe\""
    "setup program alone" "\"$b\\setup.exe\" --install-archive=\"$b\\$small\""
)
[ $big_mib != 100 ] || commands+=("NSIS zlib, big" "\"$b\\nsis-zlib\\setup.exe\"")
# Before every run, the page-cache step of bench/bench-lib.sh over every program and archive:
# now and then part of a stub's 100 MiB was gone without it and its run read it from disk, 250 to
# 350 ms more, in a third of the rounds.
inputs=("$work/$big" "$work/$small" "$work/setup.exe" "$PWD/$floor_exe")
folder_options=()
for folder in "${folders[@]}"; do
    [ $folder = floor ] || inputs+=("$(ls "$work/$folder"/*.exe)")
    folder_options+=(--folder "$b\\$folder")
done
write_between_step "$work" "${inputs[@]}"

load_before=$(cut -d ' ' -f 1-3 /proc/loadavg)
echo "$rounds rounds after $warmup of warm-up, a sync and the inputs read before every run;" \
    "load average before: $load_before"
sync
start=$(date +%s)
ONDREL_STAGE_PROFILE="$b\\profile.txt" wine_run build/bin/side-by-side.exe \
    --samples "$b\\samples.txt" --warmup $warmup "${between_options[@]}" "${folder_options[@]}" \
    --block 6 "$rounds" "${commands[@]}" >/dev/null || {
    echo "side-by-side ended with $? (what failed and what it left: above)" >&2
    exit 1
}
load_after=$(cut -d ' ' -f 1-3 /proc/loadavg)
echo "took $(($(date +%s) - start)) s; load average after: $load_after"

for folder in "${folders[@]}"; do
    left=$(ls -A "$work/$folder" | grep -v '\.exe$' || true)
    [ -z "$left" ] || {
        echo "$folder: a run left $left" >&2
        exit 1
    }
done

# The raw figures stay in the build tree for a closer look: samples, then the profiled runs' lines.
raw=build/bench/against-nsis-$big_mib-mib
tr -d '\r' <"$work/samples.txt" >"$raw.samples"
tr -d '\r' <"$work/profile.txt" >"$raw.profile"
keep_load "$raw" "$rounds rounds" "$load_before" "$load_after"
echo
/usr/bin/python3 bench/analysis.py against-nsis --name "$big_name" --mib $big_mib "$raw.profile" "$raw.samples"
