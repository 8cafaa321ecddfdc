# SPDX-License-Identifier: Zlib
# Order statistics for the benchmarks' reports and figures: awk -f bench/stats.awk -f REPORT.awk
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
# Median, first and third quartile, tab-separated.
function quartiles(values, n) {
    return sprintf("%.3f\t%.3f\t%.3f", median(values, n), quantile(values, n, 0.25),
        quantile(values, n, 0.75))
}
