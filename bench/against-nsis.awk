# SPDX-License-Identifier: Zlib
# The report of bench/against-nsis.sh. Reads the profiling stub's and the floors' lines (file 1:
# "frequency=F", then "name=T" per stage, T its counter value) and side-by-side's samples (file 2: round, label,
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
    for (r = 0; r < rounds; r++) if ((r, size, k) in stage_ms) values[++n] = stage_ms[r, size, k]
    if (k == stage_name[0]) profiled[size] = n
    if (n == 0) return sprintf("%-24s", "-")
    return sprintf("%7.1f [%6.1f, %6.1f]", median(values, n), quantile(values, n, 0.25),
        quantile(values, n, 0.75))
}

NR == FNR { profiles[++profile_count] = $0; next }
{
    ms[$1, $2] = $3; start[$1, $2] = $4; end[$1, $2] = $5
    labels[$2] = 1
    if ($1 + 1 > rounds) rounds = $1 + 1
}
# Splits profile line `line` into at[name] = counter and order[1..n] = its names, leaving out
# the stages the run did not reach (counter 0); returns n.
function parse_marks(line, at, order, fields, count, n, k, i) {
    split("", at)
    count = split(line, fields, " ")
    for (k = 1; k <= count; k++) {
        i = index(fields[k], "=")
        if (substr(fields[k], i + 1) + 0 == 0) continue
        order[++n] = substr(fields[k], 1, i - 1)
        at[order[n]] = substr(fields[k], i + 1) + 0 # a number, compared as one
    }
    return n
}
# The first of the names in `names` (","-separated) that the line marks.
function first_mark(names, at, list, n, k) {
    n = split(names, list, ",")
    for (k = 1; k <= n; k++) if (list[k] in at) return at[list[k]]
    return ""
}
# Group g of the comparison with the floors, in ms, from the marks `at` of run r of `label`: each
# group ends at a mark found by name, the stub's first where the two name a step differently.
function group(g, at, r, label, f, bound) {
    f = at["frequency"] / 1000
    split("entry|full_install_marked,configured|payload_extracted,files_written|setup_ran|" \
        "files_removed", bound, "|")
    if (g == 1) return (at["entry"] - start[r, label]) / f
    if (g <= 5) return (first_mark(bound[g], at) - first_mark(bound[g - 1], at)) / f
    if (g == 6) return (end[r, label] - at["files_removed"]) / f
    return (end[r, label] - start[r, label]) / f
}
END {
    srand(1) # the same draws every time
    group_names = "process start (to entry)|up to the first file (shell32 ...)|" \
        "writing the files (and the flush)|the setup program's run|removing the files|" \
        "the rest and process exit|whole run"
    groups = split(group_names, group_name, "|")
    # A profile line belongs to the run whose interval holds its entry mark. The profiling
    # stub's stages are what its lines name, in their order: each from the mark before it.
    for (i = 1; i <= profile_count; i++) {
        n = parse_marks(profiles[i], at, order)
        for (r = 0; r < rounds; r++) for (label in labels) {
            if (!(start[r, label] <= at["entry"] && at["entry"] <= end[r, label])) continue
            for (g = 1; g <= groups; g++) group_ms[r, label, g] = group(g, at, r, label)
            group_ms[r, label] = 1
            if (label !~ /^profiling stub/) continue
            size = label ~ /big$/ ? "big" : "1 KiB"
            f = at["frequency"] / 1000
            stage_ms[r, size] = 1
            stage_ms[r, size, "process start (CreateProcessW to entry)"] = \
                (at["entry"] - start[r, label]) / f
            for (k = 3; k <= n; k++) {
                stage_ms[r, size, order[k]] = (at[order[k]] - at[order[k - 1]]) / f
                if (!(order[k] in stage_seen)) stage_name[++stages] = order[k]
                stage_seen[order[k]] = 1
            }
            stage_ms[r, size, "process exit (last mark to wait's end)"] = \
                (end[r, label] - at[order[n]]) / f
            stage_ms[r, size, "whole run (CreateProcessW to wait's end)"] = \
                (end[r, label] - start[r, label]) / f
        }
    }
    stage_name[0] = "process start (CreateProcessW to entry)"
    stage_name[++stages] = "process exit (last mark to wait's end)"
    stage_name[++stages] = "whole run (CreateProcessW to wait's end)"

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
    for (k = 0; k <= stages; k++)
        printf "  %-42s %s %s\n", stage_name[k], stat("1 KiB", stage_name[k]),
            stat("big", stage_name[k])
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
