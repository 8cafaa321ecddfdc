# The report of bench/against-nsis.sh. Reads the profiling stub's lines (file 1: counter
# frequency, then one counter value per stage) and side-by-side's samples (file 2: round, label,
# milliseconds, counter at start and at end of the run). -v name: the big archive's size in
# words, -v mib: in MiB. Labels end in ", big" or ", 1 KiB".

function sort(values, n, gap, i, j, v) { # values[1..n], ascending
    for (gap = int(n / 2); gap > 0; gap = int(gap / 2))
        for (i = gap + 1; i <= n; i++) {
            v = values[i]
            for (j = i - gap; j >= 1 && values[j] > v; j -= gap) values[j + gap] = values[j]
            values[j + gap] = v
        }
}
function quantile(values, n, q, sorted, i, at, low) { # leaves values unsorted
    for (i = 1; i <= n; i++) sorted[i] = values[i]
    sort(sorted, n)
    at = 1 + q * (n - 1)
    low = int(at)
    return low >= n ? sorted[n] : sorted[low] + (at - low) * (sorted[low + 1] - sorted[low])
}
function median(values, n) { return quantile(values, n, 0.5) }

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
    if ($1 + 1 > rounds) rounds = $1 + 1
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
    # A profile line belongs to the profiled run whose interval holds its entry stamp.
    for (i = 1; i <= profile_count; i++) {
        n = split(profiles[i], p, " ")
        for (r = 0; r < rounds; r++) for (s = 1; s <= 2; s++) {
            size = s == 1 ? "big" : "1 KiB"
            label = "profiling stub, " size
            if (!(start[r, label] <= p[2] && p[2] <= end[r, label])) continue
            f = p[1] / 1000
            stage_ms[r, size] = 1
            stage_ms[r, size, 1] = (p[2] - start[r, label]) / f
            for (k = 2; k <= 13; k++) stage_ms[r, size, k] = (p[k + 1] - p[k]) / f
            stage_ms[r, size, 14] = (end[r, label] - p[14]) / f
            stage_ms[r, size, 15] = (end[r, label] - start[r, label]) / f
        }
    }

    printf "Headline ratios, %s, [bootstrap 95 %% interval]: whole runs are medians of per-round\n", name
    print "ratios, parts (big run - 1 KiB run) ratios of the medians of per-round differences"
    headline("stub / bound floor", "stub, big", "bound floor, big")
    headline("stub / floor", "stub, big", "floor, big")
    headline("stub / bound floor, the fixed part", "stub, 1 KiB", "bound floor, 1 KiB", "", "",
        "at most 1.3")
    headline("stub / floor, the fixed part", "stub, 1 KiB", "floor, 1 KiB")
    headline("stub / bound floor, the " name " part", "stub, big", "bound floor, big",
        "stub, 1 KiB", "bound floor, 1 KiB", "at most 1.3")
    headline("stub / floor, the " name " part", "stub, big", "floor, big", "stub, 1 KiB",
        "floor, 1 KiB")
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
}
