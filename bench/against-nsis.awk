# SPDX-License-Identifier: Zlib
# The report of bench/against-nsis.sh. Reads the profiling stub's lines (file 1: counter
# frequency, then one counter value per stage) and side-by-side's samples (file 2: round, label,
# milliseconds, counter at start and at end of the run). -v name: the big archive's size in
# words, -v mib: in MiB. Labels end in ", big" or ", 1 KiB". With -v table=1 it prints instead
# the figures bench/plot.sh draws, one tab-separated line each: label, part, median, first and
# third quartile; the parts of the stub and the floors' runs, and NSIS's whole runs.
# Run with bench/stats.awk before it.

# A headline and its bootstrap 95 % interval (the same figure from the rounds drawn again with
# replacement, 2000 times). Whole runs: the median of the per-round ratios a / b. A part, when a0
# and b0 are given: the ratio of the medians of the per-round differences a - a0 and b - b0; a
# ratio of two differences taken round by round would blow up whenever the load shrinks one.
function estimate(a, b, a0, b0, pick, r, x, y, d) {
    for (r = 1; r <= rounds; r++) {
        if (a0 == "") x[r] = ms[pick[r], a] / ms[pick[r], b]
        else {
            x[r] = ms[pick[r], a] - ms[pick[r], a0]
            y[r] = ms[pick[r], b] - ms[pick[r], b0]
        }
    }
    if (a0 == "") return median(x, rounds)
    d = median(y, rounds)
    return d == 0 ? 0 : median(x, rounds) / d
}
function headline(what, a, b, a0, b0, aim, pick, draws, k, r, m) {
    for (r = 1; r <= rounds; r++) pick[r] = r - 1
    m = estimate(a, b, a0, b0, pick)
    for (k = 1; k <= 2000; k++) {
        for (r = 1; r <= rounds; r++) pick[r] = int(rand() * rounds)
        draws[k] = estimate(a, b, a0, b0, pick)
    }
    printf "  %-42s %5.2f  [%4.2f, %4.2f]%s\n", what, m, quantile(draws, 2000, 0.025),
        quantile(draws, 2000, 0.975), aim == "" ? "" : "  aim: " aim
}
# The same for the size-dependent work measured inside the programs: writing and removing the
# files (the profiling stub's and the floors' own stamps), big run minus 1 KiB run, in the rounds
# where all four runs left their stamps.
function work(r, label) { return group_ms[r, label, 3] + group_ms[r, label, 5] }
function inproc_estimate(a, b, pick, n, r, x, y, d) {
    for (r = 1; r <= n; r++) {
        x[r] = work(pick[r], a ", big") - work(pick[r], a ", 1 KiB")
        y[r] = work(pick[r], b ", big") - work(pick[r], b ", 1 KiB")
    }
    d = median(y, n)
    return d == 0 ? 0 : median(x, n) / d
}
function inproc_headline(what, a, b, aim, valid, pick, draws, n, k, r, m) {
    n = 0
    for (r = 0; r < rounds; r++)
        if ((r, a ", big") in group_ms && (r, a ", 1 KiB") in group_ms && \
            (r, b ", big") in group_ms && (r, b ", 1 KiB") in group_ms) valid[++n] = r
    if (n == 0) return
    for (r = 1; r <= n; r++) pick[r] = valid[r]
    m = inproc_estimate(a, b, pick, n)
    for (k = 1; k <= 2000; k++) {
        for (r = 1; r <= n; r++) pick[r] = valid[1 + int(rand() * n)]
        draws[k] = inproc_estimate(a, b, pick, n)
    }
    printf "  %-42s %5.2f  [%4.2f, %4.2f]%s\n", what, m, quantile(draws, 2000, 0.025),
        quantile(draws, 2000, 0.975), aim == "" ? "" : "  aim: " aim
}
function whole(label, values, r) {
    for (r = 0; r < rounds; r++) values[r + 1] = ms[r, label]
    printf "  %-26s %8.1f ms  [%7.1f, %7.1f]\n", label, median(values, rounds),
        quantile(values, rounds, 0.25), quantile(values, rounds, 0.75)
}
function part(label, base, values, r) { # median of label - base, per round
    for (r = 0; r < rounds; r++) values[r + 1] = ms[r, label] - ms[r, base]
    return median(values, rounds)
}
function stat(size, k, values, n, r) { # median and IQR of stage k of the profiled runs
    n = 0
    for (r = 0; r < rounds; r++) if ((r, size) in stage_ms) values[++n] = stage_ms[r, size, k]
    profiled[size] = n
    return sprintf("%7.1f [%6.1f, %6.1f]", median(values, n), quantile(values, n, 0.25),
        quantile(values, n, 0.75))
}

NR == FNR { profiles[++profile_count] = $0; next }
{
    ms[$1, $2] = $3; start[$1, $2] = $4; end[$1, $2] = $5
    labels[$2] = 1
    if ($1 + 1 > rounds) rounds = $1 + 1
}
# Stamps of profile line p (n fields) in ms; group g of the comparison with the floors.
function group(stub_line, g, p, r, label, f) {
    f = p[1] / 1000
    if (g == 1) return (p[2] - start[r, label]) / f
    if (stub_line) {
        if (g == 2) return (p[5] - p[2]) / f
        if (g == 3) return (p[9] - p[5]) / f
        if (g == 4) return (p[11] - p[9]) / f
        if (g == 5) return (p[12] - p[11]) / f
        if (g == 6) return (end[r, label] - p[12]) / f
    } else {
        if (g == 2) return (p[3] - p[2]) / f
        if (g == 3) return (p[4] - p[3]) / f
        if (g == 4) return (p[5] - p[4]) / f
        if (g == 5) return (p[6] - p[5]) / f
        if (g == 6) return (end[r, label] - p[6]) / f
    }
    return (end[r, label] - start[r, label]) / f
}
END {
    srand(1) # the same draws every time
    stage_names = "process start (CreateProcessW to entry)|" \
        "configuration (shell32, command line split)|work directory made|\"ap\" marked|" \
        "archive written (8 MiB writes), closed|setup program written, expanded|" \
        "FlushFileBuffers of setup.exe|compressed setup file removed|working set trimmed|" \
        "setup program run, to its exit code|archive, setup.exe, work dir removed|" \
        "outcome recorded|configuration reset|" \
        "process exit (ExitProcess to wait's end)|whole run (CreateProcessW to wait's end)"
    stages = split(stage_names, stage_name, "|")
    group_names = "process start (to entry)|up to the first file (shell32 ...)|" \
        "writing the files (and the flush)|the setup program's run|removing the files|" \
        "the rest and process exit|whole run"
    groups = split(group_names, group_name, "|")
    # A profile line belongs to the run whose interval holds its first stamp: the profiling
    # stub's lines have a stamp for each of its stages, the floors' five.
    for (i = 1; i <= profile_count; i++) {
        n = split(profiles[i], p, " ")
        for (r = 0; r < rounds; r++) for (label in labels) {
            if (!(start[r, label] <= p[2] && p[2] <= end[r, label])) continue
            for (g = 1; g <= groups; g++) group_ms[r, label, g] = group(n == 14, g, p, r, label)
            group_ms[r, label] = 1
            if (n != 14) continue
            size = label ~ /big$/ ? "big" : "1 KiB"
            f = p[1] / 1000
            stage_ms[r, size] = 1
            stage_ms[r, size, 1] = (p[2] - start[r, label]) / f
            for (k = 2; k <= 13; k++) stage_ms[r, size, k] = (p[k + 1] - p[k]) / f
            stage_ms[r, size, 14] = (end[r, label] - p[14]) / f
            stage_ms[r, size, 15] = (end[r, label] - start[r, label]) / f
        }
    }

    if (table) { print_table(); exit }
    printf "Headline ratios, %s [bootstrap 95 %% interval]. Whole runs: medians of per-round\n", name
    print "ratios; parts (big run - 1 KiB run): ratios of the medians of per-round differences;"
    print "writing and removing: the same for the part of that the profiling stub and the floors"
    print "stamp as writing and removing the files"
    headline("stub / bound floor", "stub, big", "bound floor, big")
    headline("stub / floor", "stub, big", "floor, big")
    headline("stub / bound floor, the fixed part", "stub, 1 KiB", "bound floor, 1 KiB", "", "",
        "at most 1.3")
    headline("stub / floor, the fixed part", "stub, 1 KiB", "floor, 1 KiB")
    headline("stub / bound floor, the " name " part", "stub, big", "bound floor, big",
        "stub, 1 KiB", "bound floor, 1 KiB", "at most 1.3")
    headline("stub / floor, the " name " part", "stub, big", "floor, big", "stub, 1 KiB",
        "floor, 1 KiB")
    inproc_headline("stub / bound floor, writing and removing", "profiling stub", "bound floor",
        "at most 1.3")
    inproc_headline("stub / floor, writing and removing", "profiling stub", "floor")
    headline("NSIS stored / stub", "NSIS stored, big", "stub, big", "", "", "above 1")
    if (mib == 100) headline("NSIS zlib / stub", "NSIS zlib, big", "stub, big", "", "", "above 1")
    headline("profiling stub / stub (cost of the marks)", "profiling stub, big", "stub, big")
    print ""
    print "Whole runs: median [interquartile range]"
    whole("stub, big"); whole("bound floor, big"); whole("floor, big")
    whole("NSIS stored, big"); if (mib == 100) whole("NSIS zlib, big")
    whole("profiling stub, big")
    whole("stub, 1 KiB"); whole("bound floor, 1 KiB"); whole("floor, 1 KiB")
    whole("NSIS stored, 1 KiB"); whole("profiling stub, 1 KiB")
    whole("setup program alone")
    print ""
    printf "The %s part (big run - 1 KiB run, medians of per-round differences)\n", name
    split("stub|bound floor|floor|NSIS stored|profiling stub", who, "|")
    for (i = 1; i <= 5; i++) {
        d = part(who[i] ", big", who[i] ", 1 KiB")
        printf "  %-26s %8.1f ms  %6.2f ms per 100 MiB\n", who[i], d, d * 100 / mib
    }
    print ""
    printf "Where the profiling stub's run goes, ms: median [interquartile range]\n"
    printf "  %-42s %-24s %s\n", "stage", "1 KiB", name
    for (k = 1; k <= stages; k++)
        printf "  %-42s %s %s\n", stage_name[k], stat("1 KiB", k), stat("big", k)
    printf "  (profiled runs matched: %d of %d and %d of %d)\n", profiled["1 KiB"], rounds,
        profiled["big"], rounds
    print ""
    print "The profiling stub's run against the floors', ms: median [interquartile range]"
    split("profiling stub|bound floor|floor", who, "|")
    for (s = 1; s <= 2; s++) {
        size = s == 1 ? "1 KiB" : "big"
        printf "  %-38s %-22s %-22s %s\n", s == 1 ? "1 KiB" : name, "stub", "bound floor", "floor"
        for (g = 1; g <= groups; g++) {
            line = sprintf("  %-38s", group_name[g])
            for (w = 1; w <= 3; w++) line = line " " sprintf("%-22s", group_stat(who[w] ", " size, g))
            sub(/ +$/, "", line)
            print line
        }
    }
    print "  (\"up to the first file\": the stub's configuration, work directory and \"ap\" mark, the"
    print "  bound floor's command line split; \"writing\": the floors' folder and copies, the stub's"
    print "  files, expansion and flush; \"the rest\": the stub's record, both programs' exit)"
}
function group_stat(label, g, values, n, r) {
    n = 0
    for (r = 0; r < rounds; r++) if ((r, label) in group_ms) values[++n] = group_ms[r, label, g]
    if (n == 0) return "-"
    return sprintf("%.1f [%.1f, %.1f]", median(values, n), quantile(values, n, 0.25),
        quantile(values, n, 0.75))
}
function print_table(who, sizes, nsis, n_nsis, w, s, g, values, n, r, label) {
    split("profiling stub|bound floor|floor", who, "|")
    split("1 KiB|big", sizes, "|")
    for (s = 1; s <= 2; s++) {
        for (w = 1; w <= 3; w++)
            for (g = 1; g < groups; g++) {
                label = who[w] ", " sizes[s]
                n = 0
                for (r = 0; r < rounds; r++)
                    if ((r, label) in group_ms) values[++n] = group_ms[r, label, g]
                if (n) printf "%s\t%s\t%s\n", label, group_name[g], quartiles(values, n)
            }
        n_nsis = split("NSIS stored" (mib == 100 && s == 2 ? "|NSIS zlib" : ""), nsis, "|")
        for (w = 1; w <= n_nsis; w++) {
            label = nsis[w] ", " sizes[s]
            for (r = 0; r < rounds; r++) values[r + 1] = ms[r, label]
            printf "%s\t%s\t%s\n", label, group_name[groups], quartiles(values, rounds)
        }
    }
}
