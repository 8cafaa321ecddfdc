#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# Draws the benchmarks' figures as SVG into bench/figures, from the samples they keep (in
# build/bench, or SAMPLES-FOLDER); each figure whose samples are there, with the time and load
# average of the run that made them in its title. With --png also a PNG of each (rsvg-convert),
# in SAMPLES-FOLDER/figures, for a look where SVG does not show.
#   bench/plot.sh [--png] [SAMPLES-FOLDER]
#   stages-100-mib.svg, stages-1-gib.svg   bench/against-nsis.sh (and --gib): where a run goes
#   pack-stub.svg                          bench/pack-stub.sh: packing against cp
#   lzx-corpus.svg                         bench/lzx-corpus.sh: sizes per corpus file
set -euo pipefail
png=
[ "${1:-}" != --png ] || { png=1; shift; }
samples=$(realpath "${1:-build/bench}")
cd "$(dirname "$0")/.."
scripts/install-deps.sh --bench >/dev/null
figures=bench/figures
mkdir -p "$figures"
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
# The methods lzx-corpus.svg sets against MSZIP, with the names its key gives them.
corpus_methods=(lzx:21 lzx-fast:21 wimlib-lzx:100 xz-9e)
declare -A method_name=([lzx:21]="pack-stub, LZX 21 cabinet" [wimlib-lzx:100]="wimlib LZX:100"
    [lzx-fast:21]="pack-stub, LZX 21 fast parse" [lzx-max:21]="pack-stub, LZX 21 strongest parse" [xz-9e]="xz -9e" [lzx:15]="pack-stub, LZX 15 cabinet" [lzx:18]="pack-stub, LZX 18 cabinet")
colours=("#4e79a7" "#f28e2b" "#59a14f" "#e15759" "#b07aa1" "#9c755f" "#bab0ac")

# gnuplot SCRIPT OUT.svg: the common frame, then SCRIPT.
plot() {
    {
        printf 'set terminal svg size %s dynamic noenhanced font "sans,13" background "#ffffff"\n' \
            "$size"
        printf 'set output "%s"\nset style fill solid 0.85 border rgb "#444444"\n' "$2"
        printf 'set grid xtics lc rgb "#dddddd"\nset border 3\nset tics nomirror\n'
        printf 'set datafile separator "\t"\n'
        cat "$1"
    } | gnuplot
    echo "drew $2"
}
taken() { cat "$1.load" 2>/dev/null || echo "time and load not recorded"; }

# Stacked bars, one per program and size: each part's median, whiskers its interquartile range.
stages() { # samples base (…-100-mib), big size's name, MiB
    local base=$1 name=$2 mib=$3 out
    out=$figures/stages-$(tr ' ' - <<<"${name,,}").svg
    awk -F '\t' -v name="$name" -v mib="$mib" -v table=1 -f bench/stats.awk \
        -f bench/against-nsis.awk "$base.profile" "$base.samples" >"$work/stages"
    # Rows: y, part, from, to, whisker from, whisker to, bar's name.
    awk -F '\t' -v name="$name" '
        { label = $1; sub(/, big$/, ", " name, label); sub(/^profiling stub/, "stub (profiling build)", label) }
        label != last { y -= (label ~ name "$" && last !~ name "$" && last != "") ? 1.6 : 1
                        from = 0; last = label }
        { part = $2 in part_of ? part_of[$2] : part_of[$2] = ++parts
          printf "%.2f\t%d\t%.3f\t%.3f\t%.3f\t%.3f\t%s\n", y, part, from, from + $3, from + $4,
              from + $5, label
          from += $3 }
        END { for (p in part_of) print part_of[p] "\t" p > "/dev/stderr" }' \
        "$work/stages" >"$work/rows" 2>"$work/parts"
    size=1100,600
    {
        printf 'set title "Where a run goes, stage by stage: medians; whiskers, interquartile'
        printf ' ranges\\n%s"\n' "$(taken "$base")"
        printf 'set xlabel "ms from CreateProcessW to the end of the wait"\nset key below maxcols 3\n'
        printf 'set yrange [%s:0.8]\nset xrange [0:*]\nset errorbars 0.5\n' \
            "$(sort -g "$work/rows" | head -n 1 | cut -f 1 | awk '{ print $1 - 0.8 }')"
        printf 'set ytics scale 0 (%s)\nplot ' "$(awk -F '\t' '$7 != last { last = $7
            printf "%s\"%s\" %s", n++ ? ", " : "", $7, $1 }' "$work/rows")"
        sort -n "$work/parts" | while IFS=$'\t' read -r part title; do
            printf '"%s" using (($3+$4)/2):($2==%d?$1:1/0):3:4:($1-0.38):($1+0.38)' \
                "$work/rows" "$part"
            [ "$title" != "whole run" ] || title="whole run (NSIS has no stage marks)"
            printf ' with boxxyerror lc rgb "%s" title "%s", ' "${colours[part - 1]}" "$title"
        done
        printf '"%s" using 4:($1+0.1*($2-3.5)):5:6 with xerrorbars pt 7 ps 0.3 lc rgb "#222222"' \
            "$work/rows"
        printf ' notitle\n'
    } >"$work/gp"
    plot "$work/gp" "$out"
}

# Packing against cp, at each size: medians with the interquartile range, and the median of
# the per-round ratios.
pack_times() {
    local base=$samples/pack-stub
    awk -F '\t' -f bench/stats.awk -f /dev/stdin "$base.samples" >"$work/pack" <<'AWK'
{ ms[$1, $2, $3] = $4; if (!($1 in seen)) { seen[$1]; sizes[++n] = $1 }; if ($2 > rounds) rounds = $2 }
END {
    for (s = 1; s <= n; s++) {
        for (r = 1; r <= rounds; r++) v[r] = ms[sizes[s], r, "pack"] / ms[sizes[s], r, "cp"]
        ratio = median(v, rounds)
        for (w = 1; w <= 2; w++) {
            who = w == 1 ? "pack-stub" : "cp --reflink=never"
            for (r = 1; r <= rounds; r++) v[r] = ms[sizes[s], r, w == 1 ? "pack" : "cp"]
            printf "%d\t%d\t%s\t%s\t%.2f\n", s, w, who, quartiles(v, rounds), ratio
        }
    }
}
AWK
    size=960,460
    {
        printf 'set multiplot layout 1,%d title "Packing a random archive against copying it:' \
            "$(cut -f 1 "$work/pack" | sort -u | wc -l)"
        printf ' medians; whiskers, interquartile ranges\\n%s"\n' "$(taken "$base")"
        printf 'set ylabel "ms"\nset xrange [0.4:2.6]\nset boxwidth 0.6\n'
        printf 'set grid ytics lc rgb "#dddddd"\nunset xtics\nset key top right\n'
        while IFS=$'\t' read -r s _; do
            printf 'set title "%s, pack-stub / cp %s (median of the rounds)"\n' \
                "$(cut -f 1 "$base.samples" | uniq | awk -v s="$s" 'NR == s {
                    print $1 % 1024 ? $1 " MiB" : $1 / 1024 " GiB" }')" \
                "$(awk -F '\t' -v s="$s" '$1 == s { print $7; exit }' "$work/pack")"
            printf 'set yrange [0:%s]\n' "$(awk -F '\t' -v s="$s" '$1 == s && $6 > top { top = $6 }
                END { print top * 1.3 }' "$work/pack")"
            printf 'plot "%s" using 2:($1==%s&&$2==1?$4:1/0) with boxes lc rgb "%s" title' \
                "$work/pack" "$s" "${colours[0]}"
            printf ' "pack-stub", "" using 2:($1==%s&&$2==2?$4:1/0) with boxes lc rgb "%s"' \
                "$s" "${colours[1]}"
            printf ' title "cp --reflink=never", "" using 2:($1==%s?$4:1/0):5:6' "$s"
            printf ' with yerrorbars pt 7 ps 0.3 lc rgb "#222222" notitle\n'
        done < <(awk -F '\t' '$2 == 1' "$work/pack")
        echo 'unset multiplot'
    } >"$work/gp"
    plot "$work/gp" "$figures/pack-stub.svg"
}

# Per corpus file and in all, each method's output against MSZIP's; the key gives each one's
# speed over the corpus (best round).
corpus_sizes() {
    local base=$samples/lzx-corpus
    awk -F '\t' -v methods="${corpus_methods[*]}" '
        { input[$2] = $4; output[$1, $2] = $5; ms[$1, $3] += $6; if ($3 > rounds) rounds = $3 }
        END { n = split(methods, method, " ")
              for (f in input) { all += input[f]; for (m = 0; m <= n; m++) {
                  k = m ? method[m] : "mszip"; total[k] += output[k, f] } }
              for (m = 1; m <= n; m++) {
                  best = ""
                  for (r = 1; r <= rounds; r++) if (best == "" || ms[method[m], r] < best) best = ms[method[m], r]
                  printf "speed\t%d\t%.2f\n", m, all / 1e3 / best
                  printf "%d\t%d\t%.4f\tall %d files (%.1f MB)\n", 1e15, m,
                      total[method[m]] / total["mszip"], length(input), all / 1e6 }
              for (f in input) for (m = 1; m <= n; m++)
                  printf "%d\t%d\t%.4f\t%s (%.0f KB)\n", input[f], m, output[method[m], f] / output["mszip", f],
                      f, input[f] / 1e3 }' "$base.samples" >"$work/all"
    # Rows: y, method, size against MSZIP's, file; all files first, then the largest file first.
    grep -v '^speed' "$work/all" | sort -t $'\t' -k1,1gr -k2,2n |
        awk -F '\t' '$1 != last { y -= (last == "") ? 0 : (n++ ? 1 : 1.6); last = $1 }
                     { printf "%.2f\t%d\t%s\t%s\n", y, $2, $3, $4 }' >"$work/rows"
    local tics
    tics=$(awk -F '\t' '$2 == 1 { printf "%s\"%s\" %s", n++ ? ", " : "", $4, $1 }' "$work/rows")
    size=960,1200
    {
        printf 'set title "Each corpus file as a setup program: its size compressed, against its'
        printf ' MSZIP cabinet'"'"'s (zlib level 9)\\n%s"\n' "$(taken "$base")"
        printf 'set xlabel "size against MSZIP'"'"'s (1 = the same)"\n'
        printf 'set key inside top right vertical opaque box\n'
        printf 'set ytics scale 0 (%s)\n' "$tics"
        printf 'set xrange [0:1.1]\nset yrange [%s:3.6]\nset xtics 0.1\n' \
            "$(sort -g "$work/rows" | head -n 1 | cut -f 1 | awk '{ print $1 - 1 }')"
        printf 'set arrow from 1, graph 0 to 1, graph 1 nohead lc rgb "#e15759" lw 2\nplot '
        local m=0
        for method in "${corpus_methods[@]}"; do
            m=$((m + 1))
            printf '"%s" using ($3/2):($2==%d?$1+0.5-0.25*%d:1/0):(0):3:($1+0.62-0.25*%d):' \
                "$work/rows" "$m" "$m" "$m"
            printf '($1+0.38-0.25*%d) with boxxyerror lc rgb "%s"' "$m" "${colours[m - 1]}"
            printf ' title "%s, %s MB/s", ' "${method_name[$method]:-$method}" \
                "$(awk -F '\t' -v m=$m '$1 == "speed" && $2 == m { print $3 }' "$work/all")"
        done
        printf '1/0 lc rgb "#e15759" lw 2 title "MSZIP"\n'
    } >"$work/gp"
    plot "$work/gp" "$figures/lzx-corpus.svg"
}

[ ! -f "$samples/against-nsis-100-mib.samples" ] ||
    stages "$samples/against-nsis-100-mib" "100 MiB" 100
[ ! -f "$samples/against-nsis-1024-mib.samples" ] ||
    stages "$samples/against-nsis-1024-mib" "1 GiB" 1024
[ ! -f "$samples/pack-stub.samples" ] || pack_times
[ ! -f "$samples/lzx-corpus.samples" ] || corpus_sizes
if [ -n "$png" ]; then
    mkdir -p "$samples/figures"
    for svg in "$figures"/*.svg; do
        rsvg-convert -b white -o "$samples/figures/$(basename "$svg" .svg).png" "$svg"
    done
    echo "PNGs in $samples/figures"
fi
