#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# The setup program's cabinet, LZX at windows 2^15, 2^18 and 2^21 against MSZIP (zlib level 9),
# over a fixed corpus of real 64-bit Windows programs and libraries: Wine's PE files as Debian
# ships them (stripped with x86_64-w64-mingw32-strip, since they come with their debug
# sections) and this repository's MinGW-built programs. Prints, per method, the total cabinet
# size, its ratio to MSZIP's and the compression speed (pack-stub, input MB per second of wall
# time, best of ROUNDS); then the stub's run time with a large setup program in an LZX cabinet
# against the same program in an MSZIP and in a stored one, under Wine (cabinet.dll), and the time
# of the expansion stage inside those runs.
#   bench/lzx-corpus.sh [ROUNDS [RUN-ROUNDS]]   (default: 3 rounds of packing, 15 of runs)
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
methods=(lzx:15 lzx:18 lzx:21 mszip)

work=$prefix/drive_c/ondrel-lzx-bench
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus"
echo "corpus: $(dpkg-query -W -f='${Package} ${Version}' libwine) (${#corpus[@]} files from" \
    "$wine_dir, stripped) and ${#own[@]} programs of this build"
# strip stamps the PE header with the time unless SOURCE_DATE_EPOCH says otherwise.
for name in "${corpus[@]}"; do
    SOURCE_DATE_EPOCH=0 x86_64-w64-mingw32-strip -o "$work/corpus/$name" "$wine_dir/$name"
done
cp "${own[@]}" "$work/corpus/"
input=$(cat "$work/corpus"/* | wc -c)
echo "input: $(ls "$work/corpus" | wc -l) files, $input bytes"

# pack FILE METHOD: a stub with FILE as its setup program; cabinet_size: the size of its cabinet.
pack() { build/bin/pack-stub -o "$work/stub.exe" --no-layout-check --setup "$1" --cab-compression "$2"; }
cabinet_size() {
    pack "$1" "$2"
    # The stub has no archive, which --check reports as a fault after listing the resources.
    { build/bin/pack-stub --check "$work/stub.exe" 2>/dev/null || true; } |
        awk '$1 == "BL" { print $4 }'
}
declare -A size totals
for method in "${methods[@]}"; do
    for file in "$work/corpus"/*; do
        size[$method/${file##*/}]=$(cabinet_size "$file" "$method")
    done
done
# Per file: its size, and each LZX cabinet against the MSZIP one.
printf '%-26s %10s' file bytes
printf ' %8s' "${methods[@]}"
echo
for file in "$work/corpus"/*; do
    name=${file##*/}
    printf '%-26s %10d' "$name" "$(stat -c %s "$file")"
    for method in "${methods[@]}"; do
        awk -v a="${size[$method/$name]}" -v b="${size[mszip/$name]}" 'BEGIN { printf " %8.3f", a / b }'
    done
    echo
done
echo
printf '%-8s %14s %10s %16s %10s\n' method cabinets "/ MSZIP" "median of files" "MB/s"
for method in "${methods[@]}"; do
    total=0
    for file in "$work/corpus"/*; do total=$((total + size[$method/${file##*/}])); done
    [ "$method" != mszip ] || mszip_total=$total
    totals[$method]=$total
done
for method in "${methods[@]}"; do
    best=
    for _ in $(seq "$rounds"); do
        started=$(date +%s%N)
        for file in "$work/corpus"/*; do pack "$file" "$method"; done
        ms=$((($(date +%s%N) - started) / 1000000))
        [ -n "$best" ] && [ "$best" -le "$ms" ] || best=$ms
    done
    median=$(for file in "$work/corpus"/*; do
        awk -v a="${size[$method/${file##*/}]}" -v b="${size[mszip/${file##*/}]}" \
            'BEGIN { print a / b }'
    done | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    awk -v m="$method" -v t="${totals[$method]}" -v z="$mszip_total" -v i="$input" -v ms="$best" \
        -v md="$median" \
        'BEGIN { printf "%-8s %14d %10.3f %16.3f %10.1f\n", m, t, t / z, md, i / 1e6 / (ms / 1000) }'
done

# The same large setup program (the setup fixture with three Wine libraries and a test program
# appended, which Windows still runs) in each cabinet, 1 KiB archive, packed into the profiling
# stub: its stage marks time the expansion inside each run, apart from the rest of the run.
cat build/bin/setup-fixture.exe "$work/corpus"/{mshtml.dll,shell32.dll,kernelbase.dll} \
    "$work/corpus/cabinet_expansion_test.exe" >"$work/setup.exe"
{ printf '7z\xbc\xaf\x27\x1c' && head -c 1018 /dev/urandom; } >"$work/archive.7z"
for method in lzx:21 mszip none; do
    mkdir -p "$work/${method/:/}"
    tools/pack-stub -o "$work/${method/:/}/stub.exe" --stub build/bin/ondrel-stub-profile.exe \
        --archive "$work/archive.7z" --setup "$work/setup.exe" --cab-compression "$method" >/dev/null
done
echo "setup program: $(stat -c %s "$work/setup.exe") bytes"
b='C:\ondrel-lzx-bench'
ONDREL_STAGE_PROFILE="$b\\profile.txt" wine_run build/bin/side-by-side.exe \
    --samples "$b\\samples.txt" "$run_rounds" \
    "stub, LZX 21 cabinet" "\"$b\\lzx21\\stub.exe\"" \
    "stub, MSZIP cabinet" "\"$b\\mszip\\stub.exe\"" \
    "stub, stored cabinet" "\"$b\\none\\stub.exe\""
# Each profile line belongs to the run whose start and end counters enclose its first mark; from
# the archive written to setup.exe expanded is the cabinet written out and expanded.
tr -d '\r' <"$work/samples.txt" >"$work/samples"
tr -d '\r' <"$work/profile.txt" >"$work/profile"
awk -F '\t' 'NR == FNR { label[NR] = $2; start[NR] = $4; end[NR] = $5; n = NR; next }
    { split($0, mark, " ")
      for (i = 1; i <= n; i++)
          if (mark[2] >= start[i] && mark[2] <= end[i])
              printf "%s\t%.3f\n", label[i], (mark[7] - mark[6]) * 1000 / mark[1] }' \
    "$work/samples" "$work/profile" | sort -t "$(printf '\t')" -k1,1 -k2,2g |
    awk -F '\t' '{ v[$1, ++n[$1]] = $2 }
        END { for (l in n) { m[l] = v[l, int((n[l] + 1) / 2)]
                  printf "%-34s expansion median %7.1f ms (%d runs)\n", l, m[l], n[l] }
              lzx = m["stub, LZX 21 cabinet"]; mszip = m["stub, MSZIP cabinet"]
              stored = m["stub, stored cabinet"]
              printf "expansion, LZX 21 / MSZIP: %.2f; beyond a stored cabinet: %.2f\n",
                  lzx / mszip, (lzx - stored) / (mszip - stored) }'
