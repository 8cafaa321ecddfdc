# SPDX-License-Identifier: Zlib
# The report of bench/lzx-corpus.sh from its samples: method, file, round, input bytes, output
# bytes, ms. -v methods: the methods in the order to print, MSZIP's named "mszip". Run with
# bench/stats.awk before it.
{
    if (!($2 in input)) names[++file_count] = $2
    input[$2] = $4
    output[$1, $2] = $5
    ms[$1, $3] += $6
    if ($3 > rounds) rounds = $3
}
END {
    count = split(methods, method, " ")
    printf "%-26s %10s", "file", "bytes"
    for (m = 1; m <= count; m++) printf " %14s", method[m]
    print ""
    for (f = 1; f <= file_count; f++) {
        name = names[f]
        printf "%-26s %10d", name, input[name]
        for (m = 1; m <= count; m++) printf " %14.3f", output[method[m], name] / output["mszip", name]
        print ""
    }
    print "(each method's output against MSZIP's)"
    print ""
    for (f = 1; f <= file_count; f++) {
        all += input[names[f]]
        for (m = 1; m <= count; m++) total[method[m]] += output[method[m], names[f]]
    }
    printf "%-14s %14s %10s %16s %10s\n", "method", "output", "/ MSZIP", "median of files", "MB/s"
    for (m = 1; m <= count; m++) {
        best = ""
        for (r = 1; r <= rounds; r++)
            if (best == "" || ms[method[m], r] < best) best = ms[method[m], r]
        for (f = 1; f <= file_count; f++)
            ratio[f] = output[method[m], names[f]] / output["mszip", names[f]]
        printf "%-14s %14d %10.3f %16.3f %10.2f\n", method[m], total[method[m]],
            total[method[m]] / total["mszip"], median(ratio, file_count), all / 1e3 / best
    }
    printf "(input %d bytes; MB/s: input MB per second of wall time, best of %d rounds)\n", all,
        rounds
}
