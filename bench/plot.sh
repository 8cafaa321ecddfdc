#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# Draws the benchmarks' figures as SVG into bench/figures, from the samples they keep (in
# build/bench, or SAMPLES-FOLDER); each figure whose samples are there, with the time and load
# average of the run that made them in its title. With --png also a PNG of each, in
# SAMPLES-FOLDER/figures, for a look where SVG does not show.
#   bench/plot.sh [--png] [SAMPLES-FOLDER]
#   stages-100-mib.svg, stages-1-gib.svg   bench/against-nsis.sh (and --gib): where a run goes
#   pack-stub.svg                          bench/pack-stub.sh: packing against cp
#   lzx-corpus.svg                         bench/lzx-corpus.sh: sizes per corpus file
set -euo pipefail
png=()
[ "${1:-}" != --png ] || { png=(--png); shift; }
samples=$(realpath "${1:-build/bench}")
cd "$(dirname "$0")/.."
scripts/install-deps.sh --bench >/dev/null
/usr/bin/python3 bench/analysis.py plot "${png[@]}" "$samples" bench/figures
