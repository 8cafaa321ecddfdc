#!/usr/bin/env bash
# The stub against a peer installer, NSIS (makensis, amd64-unicode, silent), and against the
# physical floor (bench/copy_floor.cpp), doing the same job with a 100 MiB incompressible archive
# and a setup program that exits at once: the archive and the setup program into a fresh folder
# beside the installer, the setup program run on the archive and waited for, everything deleted.
# NSIS is measured at its default compression (zlib) and with compression off. A stub carrying
# the 100 MiB under a name it ignores, a stub with a 1 KiB archive and the setup program started
# alone split the stub's run into stages. Every one runs once a round, in shuffled order, under
# one Wine prefix from folders on its drive C:; ratios and stage times are medians of what each
# round gives. Also printed: the sizes of the stub without payload, of the smallest installer
# makensis makes, and of the three packed installers. makensis comes with
# scripts/install-deps.sh --bench.
#   bench/against-nsis.sh [ROUNDS]   (default 15)
set -euo pipefail
rounds=${1:-15}
[[ $rounds =~ ^[1-9][0-9]*$ ]] || {
    echo "usage: bench/against-nsis.sh [ROUNDS]" >&2
    exit 2
}
"$(dirname "$0")/../scripts/install-deps.sh" --bench >/dev/null
source "$(dirname "$0")/wine-bench-setup.sh" ondrel_stub setup_fixture bench_copy_floor
work=$prefix/drive_c/ondrel-bench-nsis
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
# One folder per installer: each works beside itself, and must leave nothing there.
folders=(stub stub-ignoring stub-small nsis-zlib nsis-stored nsis-empty floor)
for folder in "${folders[@]}"; do mkdir -p "$work/$folder"; done
make_bench_payloads "$work"
pack_bench_stub "$work/stub/stub.exe" "$work/payload-100mib.7z"
pack_bench_stub "$work/stub-small/stub.exe" "$work/payload-1kib.7z"
# The same 100 MiB in the image, under a resource type the stub never looks at.
pack_bench_stub "$work/stub-ignoring/stub.exe" "$work/payload-1kib.7z" \
    --resource BENCH PADDING "$work/payload-100mib.7z"

# The smallest installer makensis makes, and one doing the stub's job. RequestExecutionLevel
# user, as the stub asks for no elevation either; CRCCheck stays at its default (on). Under Wine
# RMDir /r, right after the setup program has exited, often deletes the files but not yet the
# folder; the installer tries again every 10 ms, so that it pays no more than the wait it needs.
cat >"$work/empty.nsi" <<'EOF'
Target amd64-unicode
SilentInstall silent
OutFile "${OUT}"
Section
SectionEnd
EOF
cat >"$work/job.nsi" <<'EOF'
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
EOF
makensis -V1 -DOUT="$work/nsis-empty/setup.exe" "$work/empty.nsi" >/dev/null
for mode in zlib stored; do
    defines=(-DOUT="$work/nsis-$mode/setup.exe" -DARCHIVE="$work/payload-100mib.7z"
        -DSETUP="$work/setup.exe")
    [ $mode = zlib ] || defines+=(-DSTORED)
    makensis -V1 "${defines[@]}" "$work/job.nsi" >/dev/null
done

# None of the programs must inherit what steers the setup fixture in tests.
while IFS='=' read -r name _; do unset "$name"; done < <(env | grep '^ONDREL_FIXTURE_' || true)
unset VelmoraUpdateIsMachine

b='C:\ondrel-bench-nsis'
floor_exe=build/bin/copy-floor.exe
# Each of them does the whole job once before it is timed: the setup program receives the whole
# archive, which the setup fixture copies when told where to.
check() { # what, program, arguments...
    local what=$1
    shift
    rm -f "$work/seen.7z"
    ONDREL_FIXTURE_ARCHIVE_COPY="$b\\seen.7z" wine_run "$@" >/dev/null 2>&1 &&
        cmp -s "$work/seen.7z" "$work/payload-100mib.7z" || {
        echo "$what: the setup program did not receive the archive" >&2
        exit 1
    }
    rm -f "$work/seen.7z"
}
check "stub" "$work/stub/stub.exe"
check "NSIS zlib" "$work/nsis-zlib/setup.exe"
check "NSIS stored" "$work/nsis-stored/setup.exe"
check "floor" "$floor_exe" "$b\\payload-100mib.7z" "$b\\setup.exe" "$b\\floor"

size() { stat -c %s "$1"; }
echo "Sizes"
awk -v stub="$(size build/bin/ondrel-stub.exe)" -v nsis="$(size "$work/nsis-empty/setup.exe")" \
    'BEGIN {
        printf "  stub without payload            %9d bytes  (%.2f of the 16 KiB aim)\n",
            stub, stub / 16384
        printf "  smallest NSIS installer         %9d bytes  NSIS / stub %.2f\n", nsis, nsis / stub
    }'
awk -v stub="$(size "$work/stub/stub.exe")" -v zlib="$(size "$work/nsis-zlib/setup.exe")" \
    -v stored="$(size "$work/nsis-stored/setup.exe")" -v archive="$(size "$work/payload-100mib.7z")" \
    'BEGIN {
        printf "  packed, 100 MiB archive: stub   %9d bytes  (archive + %d)\n", stub, stub - archive
        printf "  NSIS zlib                       %9d bytes  NSIS / stub %.4f\n", zlib, zlib / stub
        printf "  NSIS stored                     %9d bytes  NSIS / stub %.4f\n", stored,
            stored / stub
    }'
echo

floor='"Z:'$(realpath "$floor_exe" | tr / '\\')'"'
echo "Wall times, medians of $rounds rounds, every command once a round in shuffled order"
wine_run build/bin/side-by-side.exe --samples "$b\\samples.txt" "$rounds" \
    "stub, 100 MiB" "\"$b\\stub\\stub.exe\"" \
    "CopyFileW floor, 100 MiB" "$floor \"$b\\payload-100mib.7z\" \"$b\\setup.exe\" \"$b\\floor\"" \
    "NSIS zlib, 100 MiB" "\"$b\\nsis-zlib\\setup.exe\"" \
    "NSIS stored, 100 MiB" "\"$b\\nsis-stored\\setup.exe\"" \
    "stub, 1 KiB + 100 MiB ignored" "\"$b\\stub-ignoring\\stub.exe\"" \
    "stub, 1 KiB" "\"$b\\stub-small\\stub.exe\"" \
    "CopyFileW floor, 1 KiB" "$floor \"$b\\payload-1kib.7z\" \"$b\\setup.exe\" \"$b\\floor\"" \
    "setup program alone" "\"$b\\setup.exe\" --install-archive=\"$b\\payload-1kib.7z\"" |
    tr -d '\r'

for folder in "${folders[@]}"; do
    left=$(ls -A "$work/$folder" | grep -v '\.exe$' || true)
    [ -z "$left" ] || {
        echo "$folder: a run left $left" >&2
        exit 1
    }
done

# Ratios and differences are taken within each round, then their median over the rounds: the
# commands of one round ran within a second or two of each other, under much the same load.
echo
tr -d '\r' <"$work/samples.txt" | awk -F '\t' '
    { ms[$1, $2] = $3; if ($1 + 1 > rounds) rounds = $1 + 1 }
    function median(values, n, i, j, v) { # sorts values[1..n]
        for (i = 2; i <= n; i++) {
            v = values[i]
            for (j = i - 1; j >= 1 && values[j] > v; j--) values[j + 1] = values[j]
            values[j + 1] = v
        }
        return n % 2 ? values[(n + 1) / 2] : (values[n / 2] + values[n / 2 + 1]) / 2
    }
    function ratio(a, b, r, values) {
        for (r = 0; r < rounds; r++) values[r + 1] = ms[r, a] / ms[r, b]
        return median(values, rounds)
    }
    function difference(a, b, r, values) {
        for (r = 0; r < rounds; r++) values[r + 1] = ms[r, a] - (b == "" ? 0 : ms[r, b])
        return median(values, rounds)
    }
    function stage(what, a, b, how, whole, d) {
        d = difference(a, b)
        printf "  %-30s %7.1f ms %5.1f%%  %s\n", what, d, 100 * d / whole, how
    }
    END {
        S = "stub, 100 MiB"; F = "CopyFileW floor, 100 MiB"
        Z = "NSIS zlib, 100 MiB"; O = "NSIS stored, 100 MiB"
        SI = "stub, 1 KiB + 100 MiB ignored"; S1 = "stub, 1 KiB"
        F1 = "CopyFileW floor, 1 KiB"; P = "setup program alone"
        print "Ratios with a 100 MiB archive (medians of the per-round ratios)"
        printf "  stub / floor                    %6.2f  (aim: at most 1.15)\n", ratio(S, F)
        printf "  NSIS zlib / stub                %6.2f  (aim: above 1)\n", ratio(Z, S)
        printf "  NSIS stored / stub              %6.2f  (aim: above 1)\n", ratio(O, S)
        printf "  NSIS zlib / floor               %6.2f\n", ratio(Z, F)
        printf "  NSIS stored / floor             %6.2f\n", ratio(O, F)
        print ""
        # The stages are medians each: they need not add up to the whole exactly.
        whole = difference(S, "")
        printf "Where the stub run goes (medians of per-round differences; whole run %.1f ms)\n",
            whole
        stage("the setup program itself", P, "", "setup program started alone", whole)
        stage("stub start and fixed work", S1, P, "1 KiB stub - setup program alone", whole)
        stage("mapping a 100 MiB image", SI, S1, "1 KiB stub carrying 100 MiB more - 1 KiB stub",
            whole)
        stage("writing, removing 100 MiB", S, SI, "100 MiB stub - 1 KiB stub carrying 100 MiB",
            whole)
        whole = difference(F, "")
        printf "The floor, the same way (whole run %.1f ms)\n", whole
        stage("the setup program itself", P, "", "setup program started alone", whole)
        stage("floor start and fixed work", F1, P, "1 KiB floor - setup program alone", whole)
        stage("copying, removing 100 MiB", F, F1, "100 MiB floor - 1 KiB floor", whole)
        printf "  stub / floor, fixed work        %6.2f\n", difference(S1, P) / difference(F1, P)
        printf "  stub / floor, the 100 MiB part  %6.2f\n", difference(S, SI) / difference(F, F1)
    }'
