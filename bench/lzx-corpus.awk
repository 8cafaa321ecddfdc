# SPDX-License-Identifier: Zlib
# The report of bench/lzx-corpus.sh from its samples: method, file, round, input bytes, output
# bytes, ms. -v methods: the methods in the order to print; -v ours: the one the others are
# measured against (the packer's default). Files above 2 MiB are reported apart: wimlib starts a
# new window every 2 MiB there, a cabinet does not. Run with bench/stats.awk before it.
{
    if (!($2 in input)) names[++file_count] = $2
    input[$2] = $4
    output[$1, $2] = $5
    ms[$1, $2, $3] = $6
    if ($3 > rounds) rounds = $3
}
# The best round's time of `m` over the files of `group`.
function best_ms(m, group,    r, f, t, best) {
    best = ""
    for (r = 1; r <= rounds; r++) {
        t = 0
        for (f = 1; f <= file_count; f++)
            if (in_group(names[f], group)) t += ms[m, names[f], r]
        if (best == "" || t < best) best = t
    }
    return best
}
function in_group(name, group) { return group == "all" || (group == "small") == (input[name] <= 2097152) }
function totals(group, title,    m, f, all, total, n, ratio) {
    all = 0
    n = 0
    for (f = 1; f <= file_count; f++)
        if (in_group(names[f], group)) {
            all += input[names[f]]
            n++
        }
    if (n == 0) return
    print ""
    printf "%s: %d files, %d bytes\n", title, n, all
    printf "%-16s %12s %10s %16s %10s\n", "method", "output", "/ " ours, "median of files", "MB/s"
    for (m = 1; m <= count; m++) {
        total = 0
        k = 0
        for (f = 1; f <= file_count; f++)
            if (in_group(names[f], group)) {
                total += output[method[m], names[f]]
                ratio[++k] = output[method[m], names[f]] / output[ours, names[f]]
            }
        printf "%-16s %12d %10.4f %16.4f %10.2f\n", method[m], total, total / total_of(ours, group),
            median(ratio, k), all / 1e3 / best_ms(method[m], group)
    }
}
function total_of(m, group,    f, t) {
    t = 0
    for (f = 1; f <= file_count; f++)
        if (in_group(names[f], group)) t += output[m, names[f]]
    return t
}
END {
    count = split(methods, method, " ")
    printf "%-26s %10s %10s", "file", "bytes", ours
    for (m = 1; m <= count; m++)
        if (method[m] != ours) printf " %14s", method[m]
    print ""
    for (f = 1; f <= file_count; f++) {
        name = names[f]
        printf "%-26s %10d %10d", name, input[name], output[ours, name]
        for (m = 1; m <= count; m++)
            if (method[m] != ours) printf " %14.4f", output[method[m], name] / output[ours, name]
        print (input[name] > 2097152 ? "  (above 2 MiB)" : "")
    }
    print "(" ours "'s bytes, and each other method's output against them: above 1, " ours \
        " is smaller)"
    totals("small", "files of at most 2 MiB")
    totals("large", "files above 2 MiB")
    totals("all", "all files")
    printf "(MB/s: input MB per second of wall time, best of %d rounds)\n", rounds
}
