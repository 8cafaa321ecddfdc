#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# Fuzz campaigns over the packer's parsers and codecs (tests/fuzz), with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer. Builds what it needs (the packer's fuzz preset,
# in build/packer-fuzz).
#   scripts/fuzz.sh --list                  the targets
#   scripts/fuzz.sh [-j N] [TARGET] [SECONDS]
#       a campaign of SECONDS (default 60) per target, every target when none is named, N at a
#       time (default 1); new inputs go to build/fuzz/TARGET/corpus, findings to
#       build/fuzz/TARGET/findings
#   scripts/fuzz.sh --ci
#       every target for its fixed number of inputs (targets.txt) from its seeds alone with a
#       fixed seed, two at a time; findings go to build/fuzz-ci/TARGET/findings. libFuzzer's
#       scheduling still varies a little with timing: the coverage reached differs by a few
#       features from run to run.
# Prints per target: executions, executions per second, coverage (libFuzzer's edges, cov, and
# features, ft) and findings. Exits 1 when any target found a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
table=tests/fuzz/targets.txt
targets=$(awk '/^[a-z]/ {print $1}' "$table")
field() { awk -v t="$1" -v c="$2" '$1 == t {print $c}' "$table"; }

usage() {
    echo "usage: scripts/fuzz.sh --list | --ci | [-j N] [TARGET] [SECONDS]" >&2
    exit 2
}

jobs=1 ci=0 seconds=60 chosen=""
case ${1:-} in
--list)
    echo "$targets"
    exit 0
    ;;
--ci) ci=1 jobs=2 ;;
-j)
    [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || usage
    jobs=$2
    shift 2
    ;;
esac
if [ $ci -eq 0 ]; then
    if [ $# -gt 0 ] && ! [[ $1 =~ ^[0-9]+$ ]]; then
        grep -qx -- "$1" <<<"$targets" || {
            echo "scripts/fuzz.sh: no target $1 (scripts/fuzz.sh --list)" >&2
            exit 2
        }
        chosen=$1
        shift
    fi
    if [ $# -gt 0 ]; then
        [[ $1 =~ ^[1-9][0-9]*$ ]] || usage
        seconds=$1
        shift
    fi
    [ $# -eq 0 ] || usage
    [ -n "$chosen" ] && targets=$chosen
fi

# One build at a time, also when two campaigns start together.
mkdir -p build
(
    flock 9
    cd tools/packer
    [ -f "$root/build/packer-fuzz/CMakeCache.txt" ] || cmake --preset fuzz >/dev/null
    # shellcheck disable=SC2046
    cmake --build --preset fuzz --target $(printf '%s_fuzz ' $targets) >/dev/null
) 9>build/packer-fuzz.lock

out=build/fuzz
[ $ci -eq 1 ] && out=build/fuzz-ci

# Runs one target; its figures go to $out/TARGET/summary.
campaign() {
    local target=$1 dir=$out/$1 log
    log=$dir/fuzz.log
    mkdir -p "$dir/corpus" "$dir/findings"
    # An input slower than libFuzzer's usual 10 s is saved as a "slow unit", which would count
    # as a finding here; on a loaded machine that is the load. A hang still ends at -timeout.
    local options=(-max_len="$(field "$target" 2)" -rss_limit_mb=2560 -timeout=120
        -report_slow_units=120 -print_final_stats=1 -artifact_prefix="$dir/findings/")
    local dictionary
    dictionary=$(field "$target" 4)
    [ "$dictionary" = - ] || options+=(-dict="tests/fuzz/$dictionary")
    if [ $ci -eq 1 ]; then
        # A fresh corpus each time: every CI run starts from the seeds alone.
        rm -rf -- "${dir:?}/corpus" && mkdir "$dir/corpus"
        options+=(-runs="$(field "$target" 3)" -seed=1)
    else
        options+=(-max_total_time="$seconds")
    fi
    local status=0
    "build/packer-fuzz/fuzz/${target}_fuzz" "${options[@]}" "$dir/corpus" \
        "tests/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
    local executions rate coverage findings
    # After a finding libFuzzer prints no final figures: the last progress line has them.
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    [ -n "$executions" ] || executions=$(sed -n 's/^#\([0-9]*\).*/\1/p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    coverage=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 || true)
    findings=$(find "$dir/findings" -type f | wc -l)
    printf '%-15s %10s executions %7s/s  %-20s %s findings%s\n' "$target" "${executions:-?}" \
        "${rate:-?}" "${coverage:-cov: ? ft: ?}" "$findings" \
        "$([ "$findings" -ne 0 ] || [ $status -ne 0 ] && echo " in $dir/findings (log $log)")" \
        >"$dir/summary"
    [ "$findings" -eq 0 ] && [ $status -eq 0 ] && echo ok >"$dir/status" || echo failed >"$dir/status"
}

for target in $targets; do
    rm -f -- "$out/$target/status" "$out/$target/summary"
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
        wait -n || true
    done
    campaign "$target" &
done
wait
failed=0
for target in $targets; do
    cat "$out/$target/summary" 2>/dev/null || echo "$target: no figures (log $out/$target/fuzz.log)"
    [ "$(cat "$out/$target/status" 2>/dev/null)" = ok ] || failed=1
done
exit $failed
