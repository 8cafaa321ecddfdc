#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# The setup program's cabinet over a fixed corpus of real 64-bit Windows programs and libraries:
# Wine's PE files as Debian ships them (stripped with x86_64-w64-mingw32-strip, since they come
# with their debug sections) and this repository's MinGW-built programs. The packer's cabinets
# (LZX at windows 2^15, 2^18 and 2^21, MSZIP at zlib level 9) against two compressors from
# elsewhere: wimlib's LZX (wimtools, LZX:100 in 2 MiB chunks, the size of the packer's largest
# window; the size is that of the file's blob) and xz -9e. Prints per file each method's size
# against MSZIP's, and per method the total, its ratio to MSZIP's, the median of the files'
# ratios and the speed (input MB per second of wall time, each file's fastest of ROUNDS; every
# round after the page-cache step of bench/bench-lib.sh, each file packed by every method in turn,
# in a shuffled order); then the stub's run time with a large setup program in an LZX cabinet
# against the same program in an MSZIP and in a stored one, under Wine (cabinet.dll), and the time
# of the expansion stage inside those runs.
#   bench/lzx-corpus.sh [ROUNDS [RUN-ROUNDS]]   (default: 3 rounds of packing, 15 of runs)
# Samples, for bench/plot.sh: build/bench/lzx-corpus.samples (method, file, round, input bytes,
# output bytes, ms), build/bench/lzx-corpus-runs.samples and .profile (the runs, as side-by-side
# and the profiling stub write them). Another method is a name in `methods` and a case in
# `compress` and in `compressed_size`.
set -euo pipefail
rounds=${1:-3}
run_rounds=${2:-15}
source "$(dirname "$0")/wine-bench-setup.sh" ondrel_stub ondrel_stub_profile setup_fixture \
    cabinet_expansion_test

wine_dir=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
corpus=(kernelbase.dll ntdll.dll user32.dll gdi32.dll ole32.dll oleaut32.dll comctl32.dll
    msi.dll shell32.dll mshtml.dll wined3d.dll jscript.dll msxml3.dll ucrtbase.dll
    msvcp140.dll windowscodecs.dll quartz.dll d2d1.dll cmd.exe notepad.exe regedit.exe
    explorer.exe msiexec.exe winecfg.exe)
own=(build/bin/ondrel-stub.exe build/bin/setup-fixture.exe build/bin/cabinet_expansion_test.exe)
methods=(lzx:21 lzx-max:21 lzx-fast:21 lzx:15 lzx:18 mszip wimlib-lzx:100 xz-9e)

work=$prefix/drive_c/ondrel-lzx-bench
rm -rf "$work"
trap 'finish_when_idle "$work"' EXIT
mkdir -p "$work/corpus" "$work/out"
echo "corpus: $(dpkg-query -W -f='${Package} ${Version}' libwine) (${#corpus[@]} files from" \
    "$wine_dir, stripped) and ${#own[@]} programs of this build"
# strip stamps the PE header with the time unless SOURCE_DATE_EPOCH says otherwise.
for name in "${corpus[@]}"; do
    SOURCE_DATE_EPOCH=0 x86_64-w64-mingw32-strip -o "$work/corpus/$name" "$wine_dir/$name"
done
cp "${own[@]}" "$work/corpus/"
files=("$work/corpus"/*)
echo "input: ${#files[@]} files, $(cat "${files[@]}" | wc -c) bytes;" \
    "$(wimlib-imagex --version | head -n 1); $(xz --version | head -n 1)"
# wimlib captures folders: one per file, holding a link to it.
for file in "${files[@]}"; do
    mkdir "$work/corpus/${file##*/}.folder"
    ln "$file" "$work/corpus/${file##*/}.folder/"
done

# compress METHOD FILE OUT: FILE compressed by METHOD into OUT, the step that is timed.
compress() {
    case $1 in
    lzx* | mszip) # a stub with FILE as its setup program, no archive
        build/bin/pack-stub -o "$3" --no-layout-check --setup "$2" --cab-compression "$1" ;;
    wimlib-lzx:100) # one thread, as the packer has
        wimlib-imagex capture "$2.folder" "$3" --compress=LZX:100 --chunk-size=2097152 \
            --threads=1 >/dev/null ;;
    xz-9e) xz -9e -T1 -c -- "$2" >"$3" ;;
    esac
}
# compressed_size METHOD OUT: the bytes of OUT that hold the compressed file.
compressed_size() {
    case $1 in
    lzx* | mszip) # the cabinet; --check reports the missing archive as a fault after the list
        { build/bin/pack-stub --check "$2" 2>/dev/null || true; } |
            while read -r kind _ _ size _; do [ "$kind" != BL ] || echo "$size"; done ;;
    wimlib-*) # the blob that is not the image's metadata
        wimlib-imagex info "$2" --blobs | {
            metadata= size=
            while read -r line; do
                case $line in
                "") [ -n "$metadata" ] || [ -z "$size" ] || echo "$size"; metadata= size= ;;
                *METADATA*) metadata=1 ;;
                "Compressed size"*) size=${line##*= } size=${size%% *} ;;
                esac
            done
            [ -n "$metadata" ] || [ -z "$size" ] || echo "$size"
        } ;;
    *) stat -c %s "$2" ;;
    esac
}

# seeded KEY: endless bytes that KEY fixes, for shuf's --random-source.
seeded() { openssl enc -aes-256-ctr -pass pass:"$1" -nosalt </dev/zero 2>/dev/null; }

samples=build/bench/lzx-corpus.samples
: >"$samples"
load_before=$(cut -d ' ' -f 1-3 /proc/loadavg)
# Each file by every method moments apart, since a round of one method after another took up to
# a quarter longer or shorter as other people's load came and went, and so did the methods' ratio;
# in an order shuffled afresh for each file and round (the same orders on every run), so that none
# always comes first or after the same one.
for round in $(seq "$rounds"); do
    settle_inputs "${files[@]}" build/bin/pack-stub build/bin/ondrel-stub.exe
    for file in "${files[@]}"; do
        mapfile -t order < <(shuf -e "${methods[@]}" --random-source=<(seeded "$round $file"))
        for method in "${order[@]}"; do
            out=$work/out/${file##*/}
            rm -f "$out"
            started=$(date +%s%N)
            compress "$method" "$file" "$out"
            ended=$(date +%s%N)
            printf '%s\t%s\t%d\t%d\t%d\t%.3f\n' "$method" "${file##*/}" "$round" \
                "$(stat -c %s "$file")" "$(compressed_size "$method" "$out")" \
                "$(((ended - started) / 1000))e-3" >>"$samples"
        done
    done
done
keep_load "${samples%.samples}" "$rounds rounds" "$load_before" "$(cut -d ' ' -f 1-3 /proc/loadavg)"
/usr/bin/python3 bench/analysis.py lzx-corpus --methods "${methods[*]}" --ours lzx:21 "$samples"

# The same large setup program (the setup fixture with three Wine libraries and a test program
# appended, which Windows still runs) in each cabinet, 1 KiB archive, packed into the profiling
# stub: its stage marks time the expansion inside each run, apart from the rest of the run.
cat build/bin/setup-fixture.exe "$work/corpus"/{mshtml.dll,shell32.dll,kernelbase.dll} \
    "$work/corpus/cabinet_expansion_test.exe" >"$work/setup.exe"
{ printf '7z\xbc\xaf\x27\x1c' && head -c 1018 /dev/urandom; } >"$work/archive.7z"
b='C:\ondrel-lzx-bench'
stubs=() folder_options=()
for method in lzx:21 lzx-fast:21 mszip none; do
    mkdir -p "$work/${method/:/}"
    tools/pack-stub -o "$work/${method/:/}/stub.exe" --stub build/bin/ondrel-stub-profile.exe \
        --archive "$work/archive.7z" --setup "$work/setup.exe" --cab-compression "$method" >/dev/null
    stubs+=("$work/${method/:/}/stub.exe")
    folder_options+=(--folder "$b\\${method/:/}")
done
write_between_step "$work" "${stubs[@]}"
echo
echo "setup program: $(stat -c %s "$work/setup.exe") bytes"
load_before=$(cut -d ' ' -f 1-3 /proc/loadavg)
ONDREL_STAGE_PROFILE="$b\\profile.txt" wine_run build/bin/side-by-side.exe \
    --samples "$b\\samples.txt" "${between_options[@]}" "${folder_options[@]}" "$run_rounds" \
    "stub, LZX 21 cabinet" "\"$b\\lzx21\\stub.exe\"" \
    "stub, LZX 21 fast-parse cabinet" "\"$b\\lzx-fast21\\stub.exe\"" \
    "stub, MSZIP cabinet" "\"$b\\mszip\\stub.exe\"" \
    "stub, stored cabinet" "\"$b\\none\\stub.exe\"" || {
    echo "side-by-side ended with $? (what failed and what it left: above)" >&2
    exit 1
}
raw=build/bench/lzx-corpus-runs
tr -d '\r' <"$work/samples.txt" >"$raw.samples"
tr -d '\r' <"$work/profile.txt" >"$raw.profile"
keep_load "$raw" "$run_rounds rounds" "$load_before" "$(cut -d ' ' -f 1-3 /proc/loadavg)"
# Each profile line belongs to the run whose start and end counters enclose its entry mark; from
# the archive written to setup.exe expanded is the cabinet written out and expanded.
/usr/bin/python3 bench/analysis.py lzx-expansion "$raw.samples" "$raw.profile"
