#!/usr/bin/env python3
# SPDX-License-Identifier: Zlib
"""The benchmarks' analysis: the reports they print and the figures bench/plot.sh draws, from the
samples they keep in build/bench. One subcommand per report:

  against-nsis --name NAME --mib MIB [--table] PROFILE SAMPLES
      bench/against-nsis.sh: headline ratios with bootstrap intervals, whole runs, the big
      archive's part, the profiling stub's stages and the groups set against the floors. PROFILE
      holds one line per profiled run ("frequency=F name=T ...", T a counter value, in the order
      the program marked them); SAMPLES side-by-side's rows (round, label, ms, counter at start,
      counter at end). Labels end in ", big" or ", 1 KiB". --table prints instead the figures
      plot draws: label, part, median, first and third quartile.
  sizes --stub B --nsis-empty B --packed B --stored B --archive B [--nsis-zlib B] --name NAME
      bench/against-nsis.sh's sizes, in bytes.
  lzx-corpus --methods "M..." --ours M SAMPLES
      bench/lzx-corpus.sh: each file's output against the packer's default, totals per method.
      SAMPLES: method, file, round, input bytes, output bytes, ms.
  lzx-expansion SAMPLES PROFILE
      bench/lzx-corpus.sh's runs: the expansion stage (archive_written to setup_expanded) per
      cabinet.
  pack-stub SAMPLES MEBIBYTES
      bench/pack-stub.sh's row for one size. SAMPLES: MiB, round, command, ms, peak KiB.
  plot [--png] SAMPLES-FOLDER FIGURES-FOLDER
      the figures, as SVG, of every benchmark whose samples are in SAMPLES-FOLDER.

Stages and marks are found by name, never by position: a stage the profiling stub gains shows up
without a change here.
"""
import argparse
import os
import random
import sys

SMALL_FILE = 2 * 1024 * 1024  # wimlib starts a new window every 2 MiB; a cabinet does not


def quantile(values, q):
    """Linear interpolation between the closest ranks, as R's type 7 and numpy's default."""
    ordered = sorted(values)
    at = q * (len(ordered) - 1)
    low = int(at)
    if low + 1 >= len(ordered):
        return ordered[-1]
    return ordered[low] + (at - low) * (ordered[low + 1] - ordered[low])


def median(values):
    return quantile(values, 0.5)


def quartiles(values):
    return median(values), quantile(values, 0.25), quantile(values, 0.75)


def parse_marks(line):
    """A profile line as {name: counter} in the line's order, without the marks of stages the
    run did not reach (counter 0)."""
    marks = {}
    for field in line.split():
        name, _, value = field.partition("=")
        if float(value) != 0:
            marks[name] = float(value)
    return marks


def read_rows(path):
    with open(path, encoding="utf-8") as rows:
        return [line.rstrip("\n").split("\t") for line in rows if line.strip()]


# --- bench/against-nsis.sh -------------------------------------------------------------------

# The groups set against the floors, each ending at the first of its marks that a run has: the
# stub's name for a step first, the floors' after it.
GROUPS = ["process start (to entry)", "up to the first file (shell32 ...)",
          "writing the files (and the flush)", "the setup program's run", "removing the files",
          "the rest and process exit", "whole run"]
GROUP_ENDS = [["entry"], ["full_install_marked", "configured"],
              ["payload_extracted", "files_written"], ["setup_ran"], ["files_removed"]]
PROCESS_START = "process start (CreateProcessW to entry)"
PROCESS_EXIT = "process exit (last mark to wait's end)"
WHOLE_RUN = "whole run (CreateProcessW to wait's end)"


class Runs:
    """side-by-side's samples and the profile lines matched to the runs they came from."""

    def __init__(self, profile_path, samples_path):
        self.ms, self.start, self.end = {}, {}, {}
        self.rounds = 0
        for round_text, label, ms, start, end in read_rows(samples_path):
            run = (int(round_text), label)
            self.ms[run] = float(ms)
            self.start[run], self.end[run] = float(start), float(end)
            self.rounds = max(self.rounds, run[0] + 1)
        self.groups = {}  # (round, label) -> the groups' ms
        self.stages = {}  # (round, size) -> {stage: ms}
        self.stage_names = [PROCESS_START]
        with open(profile_path, encoding="utf-8") as profile:
            for line in profile:
                if line.strip():
                    self._match(parse_marks(line))
        self.stage_names += [PROCESS_EXIT, WHOLE_RUN]

    def _match(self, marks):
        # A profile line belongs to the run whose interval holds its entry mark.
        entry = marks.get("entry", 0)
        for run, start in self.start.items():
            if start <= entry <= self.end[run]:
                self._note(run, marks)

    def _note(self, run, marks):
        per_ms = marks["frequency"] / 1000
        start, end = self.start[run], self.end[run]

        def first(names):  # a group's end: 0 where the run marked none of its names, as before
            return next((marks[name] for name in names if name in marks), 0)

        parts = [(marks.get("entry", 0) - start) / per_ms]
        parts += [(first(GROUP_ENDS[g]) - first(GROUP_ENDS[g - 1])) / per_ms
                  for g in range(1, len(GROUP_ENDS))]
        parts += [(end - marks.get("files_removed", 0)) / per_ms, (end - start) / per_ms]
        self.groups[run] = parts
        if not run[1].startswith("profiling stub"):
            return
        # The profiling stub's stages are what its line names, in its order: each from the mark
        # before it; the first two marks are the frequency and the entry.
        names = list(marks)
        stages = {PROCESS_START: (marks["entry"] - start) / per_ms}
        for before, name in zip(names[1:], names[2:]):
            stages[name] = (marks[name] - marks[before]) / per_ms
            if name not in self.stage_names:
                self.stage_names.append(name)
        stages[PROCESS_EXIT] = (end - marks[names[-1]]) / per_ms
        stages[WHOLE_RUN] = (end - start) / per_ms
        self.stages[(run[0], "big" if run[1].endswith("big") else "1 KiB")] = stages

    def whole(self, label):
        return [self.ms[(r, label)] for r in range(self.rounds)]

    def group(self, label, g):
        return [self.groups[(r, label)][g] for r in range(self.rounds) if (r, label) in self.groups]


def interval(estimate, rounds, draw):
    """The estimate over `rounds`, and the 95 % interval of 2000 bootstrap draws of them."""
    draws = [estimate([draw.choice(rounds) for _ in rounds]) for _ in range(2000)]
    return estimate(rounds), quantile(draws, 0.025), quantile(draws, 0.975)


def headline_line(what, figures, aim):
    m, low, high = figures
    return f"  {what:<42} {m:5.2f}  [{low:4.2f}, {high:4.2f}]" + (f"  aim: {aim}" if aim else "")


def against_nsis(runs, name, mib, draw):
    out = []
    ms = runs.ms

    # Whole runs: the median of the per-round ratios a / b. A part, when a0 and b0 are given:
    # the ratio of the medians of the per-round differences a - a0 and b - b0; a ratio of two
    # differences taken round by round would blow up whenever the load shrinks one.
    def headline(what, a, b, a0=None, b0=None, aim=""):
        def estimate(rounds):
            if a0 is None:
                return median([ms[(r, a)] / ms[(r, b)] for r in rounds])
            d = median([ms[(r, b)] - ms[(r, b0)] for r in rounds])
            return 0 if d == 0 else median([ms[(r, a)] - ms[(r, a0)] for r in rounds]) / d

        out.append(headline_line(what, interval(estimate, list(range(runs.rounds)), draw), aim))

    # The size-dependent work the programs stamp themselves (writing and removing the files),
    # big run minus 1 KiB run, in the rounds where all four runs left their stamps.
    def inproc_headline(what, a, b, aim=""):
        labels = [f"{who}, {size}" for who in (a, b) for size in ("big", "1 KiB")]
        valid = [r for r in range(runs.rounds) if all((r, l) in runs.groups for l in labels)]
        if not valid:
            return

        def work(r, label):
            return runs.groups[(r, label)][2] + runs.groups[(r, label)][4]

        def estimate(rounds):
            d = median([work(r, b + ", big") - work(r, b + ", 1 KiB") for r in rounds])
            return 0 if d == 0 else median(
                [work(r, a + ", big") - work(r, a + ", 1 KiB") for r in rounds]) / d

        out.append(headline_line(what, interval(estimate, valid, draw), aim))

    out.append(f"Headline ratios, {name} [bootstrap 95 % interval]. Whole runs: medians of "
               "per-round")
    out.append("ratios; parts (big run - 1 KiB run): ratios of the medians of per-round "
               "differences;")
    out.append("writing and removing: the same for the part of that the profiling stub and the "
               "floors")
    out.append("stamp as writing and removing the files")
    headline("stub / bound floor", "stub, big", "bound floor, big")
    headline("stub / floor", "stub, big", "floor, big")
    headline("stub / bound floor, the fixed part", "stub, 1 KiB", "bound floor, 1 KiB",
             aim="at most 1.3")
    headline("stub / floor, the fixed part", "stub, 1 KiB", "floor, 1 KiB")
    headline(f"stub / bound floor, the {name} part", "stub, big", "bound floor, big",
             "stub, 1 KiB", "bound floor, 1 KiB", "at most 1.3")
    headline(f"stub / floor, the {name} part", "stub, big", "floor, big", "stub, 1 KiB",
             "floor, 1 KiB")
    inproc_headline("stub / bound floor, writing and removing", "profiling stub", "bound floor",
                    "at most 1.3")
    inproc_headline("stub / floor, writing and removing", "profiling stub", "floor")
    headline("NSIS stored / stub", "NSIS stored, big", "stub, big", aim="above 1")
    if mib == 100:
        headline("NSIS zlib / stub", "NSIS zlib, big", "stub, big", aim="above 1")
    headline("profiling stub / stub (cost of the marks)", "profiling stub, big", "stub, big")

    out += ["", "Whole runs: median [interquartile range]"]
    wholes = ["stub, big", "bound floor, big", "floor, big", "NSIS stored, big"]
    wholes += ["NSIS zlib, big"] if mib == 100 else []
    wholes += ["profiling stub, big", "stub, 1 KiB", "bound floor, 1 KiB", "floor, 1 KiB",
               "NSIS stored, 1 KiB", "profiling stub, 1 KiB", "setup program alone"]
    for label in wholes:
        m, low, high = quartiles(runs.whole(label))
        out.append(f"  {label:<26} {m:8.1f} ms  [{low:7.1f}, {high:7.1f}]")

    out += ["", f"The {name} part (big run - 1 KiB run, medians of per-round differences)"]
    for who in ("stub", "bound floor", "floor", "NSIS stored", "profiling stub"):
        d = median([ms[(r, who + ", big")] - ms[(r, who + ", 1 KiB")]
                    for r in range(runs.rounds)])
        out.append(f"  {who:<26} {d:8.1f} ms  {d * 100 / mib:6.2f} ms per 100 MiB")

    out += ["", "Where the profiling stub's run goes, ms: median [interquartile range]",
            f"  {'stage':<42} {'1 KiB':<24} {name}"]
    profiled = {size: sum(1 for (_, s) in runs.stages if s == size) for size in ("1 KiB", "big")}

    def stage(size, stage_name):
        values = [stages[stage_name] for (_, s), stages in sorted(runs.stages.items())
                  if s == size and stage_name in stages]
        if not values:
            return f"{'-':<24}"
        m, low, high = quartiles(values)
        return f"{m:7.1f} [{low:6.1f}, {high:6.1f}]"

    for stage_name in runs.stage_names:
        out.append(f"  {stage_name:<42} {stage('1 KiB', stage_name)} {stage('big', stage_name)}")
    out.append(f"  (profiled runs matched: {profiled['1 KiB']} of {runs.rounds} and "
               f"{profiled['big']} of {runs.rounds})")

    out += ["", "The profiling stub's run against the floors', ms: median [interquartile range]"]
    for size, title in (("1 KiB", "1 KiB"), ("big", name)):
        out.append(f"  {title:<38} {'stub':<22} {'bound floor':<22} floor")
        for g, group_name in enumerate(GROUPS):
            cells = []
            for who in ("profiling stub", "bound floor", "floor"):
                values = runs.group(f"{who}, {size}", g)
                cells.append("-" if not values else
                             "{:.1f} [{:.1f}, {:.1f}]".format(*quartiles(values)))
            out.append((f"  {group_name:<38}" + "".join(f" {c:<22}" for c in cells)).rstrip())
    out.append('  ("up to the first file": the stub\'s configuration, work directory and "ap" '
               "mark, the")
    out.append("  bound floor's command line split; \"writing\": the floors' folder and copies, "
               "the stub's")
    out.append("  files, expansion and flush; \"the rest\": the stub's record, both programs' exit)")
    return out


def against_nsis_table(runs, mib):
    """The figures of stages-*.svg: label, part, median, first and third quartile."""
    rows = []
    for s, size in enumerate(("1 KiB", "big")):
        for who in ("profiling stub", "bound floor", "floor"):
            label = f"{who}, {size}"
            for g, group_name in enumerate(GROUPS[:-1]):
                values = runs.group(label, g)
                if values:
                    rows.append((label, group_name, *quartiles(values)))
        for nsis in ["NSIS stored"] + (["NSIS zlib"] if mib == 100 and s == 1 else []):
            label = f"{nsis}, {size}"
            rows.append((label, GROUPS[-1], *quartiles(runs.whole(label))))
    return rows


def sizes(a):
    stub, nsis, packed, stored = a.stub, a.nsis_empty, a.packed, a.stored
    out = ["Sizes",
           f"  stub without payload            {stub:10d} bytes",
           f"  smallest NSIS installer         {nsis:10d} bytes  NSIS / stub {nsis / stub:.2f}",
           f"  packed, {a.name:<7} archive: stub  {packed:10d} bytes  (archive + "
           f"{packed - a.archive})",
           f"  NSIS stored                     {stored:10d} bytes  NSIS / stub "
           f"{stored / packed:.4f}"]
    if a.nsis_zlib is not None:
        out.append(f"  NSIS zlib                       {a.nsis_zlib:10d} bytes")
    return out


# --- bench/lzx-corpus.sh ---------------------------------------------------------------------

class Corpus:
    """The samples of bench/lzx-corpus.sh: every method's output and time per file and round."""

    def __init__(self, samples_path):
        self.input, self.output, self.ms = {}, {}, {}
        self.rounds = 0
        for method, name, round_text, input_bytes, output_bytes, ms in read_rows(samples_path):
            self.input.setdefault(name, int(input_bytes))
            self.output[(method, name)] = int(output_bytes)
            self.ms[(method, name, int(round_text))] = float(ms)
            self.rounds = max(self.rounds, int(round_text))

    def files(self, group="all"):
        return [name for name, size in self.input.items()
                if group == "all" or (group == "small") == (size <= SMALL_FILE)]

    def total(self, method, names):
        return sum(self.output[(method, name)] for name in names)

    def mb_per_s(self, method, names):
        """Input MB per second of wall time over `names`, each in its fastest round: the other
        rounds of a file differ only by what else the machine was doing."""
        best = sum(min(self.ms[(method, name, r)] for r in range(1, self.rounds + 1))
                   for name in names)
        return sum(self.input[name] for name in names) / 1e3 / best


def lzx_corpus(corpus, methods, ours):
    others = [m for m in methods if m != ours]
    out = [f"{'file':<26} {'bytes':>10} {ours:>10}" + "".join(f" {m:>14}" for m in others)]
    for name in corpus.files():
        line = f"{name:<26} {corpus.input[name]:10d} {corpus.output[(ours, name)]:10d}"
        line += "".join(f" {corpus.output[(m, name)] / corpus.output[(ours, name)]:14.4f}"
                        for m in others)
        out.append(line + ("  (above 2 MiB)" if corpus.input[name] > SMALL_FILE else ""))
    out.append(f"({ours}'s bytes, and each other method's output against them: above 1, {ours} "
               "is smaller)")
    for group, title in (("small", "files of at most 2 MiB"), ("large", "files above 2 MiB"),
                         ("all", "all files")):
        names = corpus.files(group)
        if not names:
            continue
        out += ["", f"{title}: {len(names)} files, {sum(corpus.input[n] for n in names)} bytes",
                f"{'method':<16} {'output':>12} {'/ ' + ours:>10} {'median of files':>16} "
                f"{'MB/s':>10}"]
        for m in methods:
            total = corpus.total(m, names)
            ratios = [corpus.output[(m, n)] / corpus.output[(ours, n)] for n in names]
            out.append(f"{m:<16} {total:12d} {total / corpus.total(ours, names):10.4f} "
                       f"{median(ratios):16.4f} {corpus.mb_per_s(m, names):10.2f}")
    out.append(f"(MB/s: input MB per second of wall time, each file's fastest of {corpus.rounds} "
               "rounds)")
    return out


def lzx_expansion(samples_path, profile_path):
    """Each run's expansion stage, matched by its entry mark, and the medians per cabinet."""
    runs = [(label, float(start), float(end))
            for _, label, _, start, end in read_rows(samples_path)]
    expansion = {}
    with open(profile_path, encoding="utf-8") as profile:
        for line in profile:
            if not line.strip():
                continue
            marks = parse_marks(line)
            for label, start, end in runs:
                if start <= marks.get("entry", 0) <= end:
                    expansion.setdefault(label, []).append(
                        (marks["setup_expanded"] - marks["archive_written"]) * 1000 /
                        marks["frequency"])
    medians = {label: median(values) for label, values in expansion.items()}
    out = [f"{label:<34} expansion median {medians[label]:7.1f} ms ({len(expansion[label])} runs)"
           for label in sorted(medians)]
    lzx, fast = medians["stub, LZX 21 cabinet"], medians["stub, LZX 21 fast-parse cabinet"]
    mszip, stored = medians["stub, MSZIP cabinet"], medians["stub, stored cabinet"]
    out.append(f"expansion, LZX 21 / MSZIP: {lzx / mszip:.2f}; beyond a stored cabinet: "
               f"{(lzx - stored) / (mszip - stored):.2f}")
    out.append(f"expansion, LZX 21 / LZX 21 of the fast parse: {lzx / fast:.3f}")
    return out


# --- bench/pack-stub.sh ----------------------------------------------------------------------

def pack_stub_rounds(samples_path):
    """{MiB: {round: {command: (ms, peak KiB)}}} in the order the sizes were run."""
    rounds = {}
    for mib, round_text, command, ms, peak in read_rows(samples_path):
        rounds.setdefault(int(mib), {}).setdefault(int(round_text), {})[command] = (
            float(ms), int(peak))
    return rounds


def pack_stub_row(rounds, mib):
    paired = [r for r in rounds[mib].values() if "pack" in r and "cp" in r]
    pack = median([r["pack"][0] for r in paired])
    cp = median([r["cp"][0] for r in paired])
    ratio = median([r["pack"][0] / r["cp"][0] for r in paired])
    peak = max(r["pack"][1] for r in paired) // 1024
    return f"{f'{mib} MiB':<8} {pack:12g} {cp:12g} {ratio:14.2f} {peak:16d}"


# --- bench/plot.sh ---------------------------------------------------------------------------

COLOURS = ["#4e79a7", "#f28e2b", "#59a14f", "#e15759", "#b07aa1", "#9c755f", "#bab0ac"]
METHOD_NAMES = {"lzx:21": "pack-stub, LZX 21 cabinet", "lzx-fast:21": "pack-stub, LZX 21 fast parse",
                "lzx-max:21": "pack-stub, LZX 21 strongest parse",
                "lzx:15": "pack-stub, LZX 15 cabinet", "lzx:18": "pack-stub, LZX 18 cabinet",
                "wimlib-lzx:100": "wimlib LZX:100", "xz-9e": "xz -9e"}
CORPUS_METHODS = ["lzx:21", "lzx-fast:21", "wimlib-lzx:100", "xz-9e"]


def taken(base):
    """When and under which load the samples were taken, as the benchmark kept it."""
    try:
        with open(base + ".load", encoding="utf-8") as load:
            return load.read().strip()
    except OSError:
        return "time and load not recorded"


def plot_stages(plt, base, name, mib):
    """Stacked bars, one per program and size: each part's median, whiskers its IQR."""
    runs = Runs(base + ".profile", base + ".samples")
    rows = against_nsis_table(runs, mib)
    labels = []
    for label, *_ in rows:
        label = label.replace(", big", ", " + name).replace("profiling stub", "stub (profiling build)")
        if label not in labels:
            labels.append(label)
    figure, axes = plt.subplots(figsize=(11, 6))
    parts, left = [], {}
    for label, part, m, low, high in rows:
        label = label.replace(", big", ", " + name).replace("profiling stub", "stub (profiling build)")
        first = part not in parts
        if first:
            parts.append(part)
        k, y, start = parts.index(part), -labels.index(label), left.get(label, 0)
        title = "whole run (NSIS has no stage marks)" if part == "whole run" else part
        axes.barh(y, m, left=start, height=0.76, color=COLOURS[k % len(COLOURS)],
                  edgecolor="#444444", label=title if first else None)
        axes.errorbar(start + m, y + 0.1 * (k - 2.5), xerr=[[m - low], [high - m]], fmt="o", ms=2,
                      color="#222222")
        left[label] = start + m
    axes.set_yticks([-i for i in range(len(labels))], labels)
    axes.set_xlabel("ms from CreateProcessW to the end of the wait")
    axes.set_title("Where a run goes, stage by stage: medians; whiskers, interquartile ranges\n"
                   + taken(base))
    axes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=3)
    return figure


def plot_pack_stub(plt, base):
    """Packing against cp at each size: medians, whiskers the IQR, and the median ratio."""
    rounds = pack_stub_rounds(base + ".samples")
    figure, all_axes = plt.subplots(1, len(rounds), figsize=(9.6, 4.6), squeeze=False)
    for axes, (mib, by_round) in zip(all_axes[0], rounds.items()):
        paired = [r for r in by_round.values() if "pack" in r and "cp" in r]
        ratio = median([r["pack"][0] / r["cp"][0] for r in paired])
        top = 0
        for x, (command, title) in enumerate((("pack", "pack-stub"),
                                              ("cp", "cp --reflink=never"))):
            m, low, high = quartiles([r[command][0] for r in paired])
            top = max(top, high)
            axes.bar(x + 1, m, width=0.6, color=COLOURS[x], edgecolor="#444444", label=title)
            axes.errorbar(x + 1, m, yerr=[[m - low], [high - m]], fmt="o", ms=2, color="#222222")
        size = f"{mib // 1024} GiB" if mib % 1024 == 0 else f"{mib} MiB"
        axes.set_title(f"{size}, pack-stub / cp {ratio:.2f} (median of the rounds)", fontsize=10)
        axes.set_ylabel("ms")
        axes.set_ylim(0, top * 1.3)
        axes.set_xticks([])
        axes.legend(loc="upper right")
    figure.suptitle("Packing a random archive against copying it: medians; whiskers, "
                    "interquartile ranges\n" + taken(base))
    return figure


def plot_corpus(plt, base):
    """Per corpus file and in all, each method's output against MSZIP's; the key gives each
    one's speed over the corpus (each file's fastest round)."""
    corpus = Corpus(base + ".samples")
    names = corpus.files()
    rows = [("all {} files ({:.1f} MB)".format(len(names), sum(corpus.input.values()) / 1e6),
             {m: corpus.total(m, names) / corpus.total("mszip", names) for m in CORPUS_METHODS})]
    for name in sorted(names, key=lambda n: -corpus.input[n]):
        rows.append((f"{name} ({corpus.input[name] / 1e3:.0f} KB)",
                     {m: corpus.output[(m, name)] / corpus.output[("mszip", name)]
                      for m in CORPUS_METHODS}))
    figure, axes = plt.subplots(figsize=(9.6, 12))
    for k, m in enumerate(CORPUS_METHODS):
        ys = [-i - (0.4 if i else 0) - 0.2 * k for i in range(len(rows))]
        axes.barh(ys, [r[1][m] for r in rows], height=0.2, color=COLOURS[k],
                  label=f"{METHOD_NAMES.get(m, m)}, {corpus.mb_per_s(m, names):.2f} MB/s")
    axes.axvline(1, color="#e15759", lw=2, label="MSZIP")
    axes.set_yticks([-i - (0.4 if i else 0) - 0.3 for i in range(len(rows))],
                    [r[0] for r in rows])
    axes.set_xlim(0, 1.1)
    axes.set_xlabel("size against MSZIP's (1 = the same)")
    axes.set_title("Each corpus file as a setup program: its size compressed, against its MSZIP "
                   "cabinet's (zlib level 9)\n" + taken(base), fontsize=10)
    axes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.04), ncol=2)
    return figure


def plot(samples, figures, png):
    import matplotlib
    matplotlib.use("svg")
    import matplotlib.pyplot as plt
    # The same samples draw the same bytes: no date, fixed element ids.
    matplotlib.rcParams.update({"svg.hashsalt": "ondrel", "font.size": 10,
                                "axes.grid": True, "grid.color": "#dddddd"})
    drawings = []
    for mib, name in ((100, "100 MiB"), (1024, "1 GiB")):
        base = os.path.join(samples, f"against-nsis-{mib}-mib")
        if os.path.exists(base + ".samples"):
            drawings.append((f"stages-{name.lower().replace(' ', '-')}",
                             lambda base=base, name=name, mib=mib: plot_stages(plt, base, name, mib)))
    if os.path.exists(os.path.join(samples, "pack-stub.samples")):
        drawings.append(("pack-stub", lambda: plot_pack_stub(plt, os.path.join(samples, "pack-stub"))))
    if os.path.exists(os.path.join(samples, "lzx-corpus.samples")):
        drawings.append(("lzx-corpus", lambda: plot_corpus(plt, os.path.join(samples, "lzx-corpus"))))
    os.makedirs(figures, exist_ok=True)
    for stem, draw in drawings:
        figure = draw()
        figure.tight_layout()
        out = os.path.join(figures, stem + ".svg")
        figure.savefig(out, metadata={"Date": None})
        print(f"drew {out}")
        if png:
            os.makedirs(os.path.join(samples, "figures"), exist_ok=True)
            figure.savefig(os.path.join(samples, "figures", stem + ".png"), dpi=100)
        plt.close(figure)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    c = commands.add_parser("against-nsis")
    c.add_argument("--name", required=True)
    c.add_argument("--mib", type=int, required=True)
    c.add_argument("--table", action="store_true")
    c.add_argument("profile")
    c.add_argument("samples")
    c = commands.add_parser("sizes")
    for option in ("stub", "nsis-empty", "packed", "stored", "archive", "nsis-zlib"):
        c.add_argument("--" + option, type=int, required=option != "nsis-zlib")
    c.add_argument("--name", required=True)
    c = commands.add_parser("lzx-corpus")
    c.add_argument("--methods", required=True)
    c.add_argument("--ours", required=True)
    c.add_argument("samples")
    c = commands.add_parser("lzx-expansion")
    c.add_argument("samples")
    c.add_argument("profile")
    c = commands.add_parser("pack-stub")
    c.add_argument("samples")
    c.add_argument("mib", type=int)
    c = commands.add_parser("plot")
    c.add_argument("--png", action="store_true")
    c.add_argument("samples")
    c.add_argument("figures")
    a = parser.parse_args(argv)

    if a.command == "against-nsis":
        runs = Runs(a.profile, a.samples)
        if a.table:
            lines = ["\t".join([label, part] + [f"{v:.3f}" for v in figures])
                     for label, part, *figures in against_nsis_table(runs, a.mib)]
        else:
            lines = against_nsis(runs, a.name, a.mib, random.Random(1))  # the same draws each time
    elif a.command == "sizes":
        lines = sizes(a)
    elif a.command == "lzx-corpus":
        lines = lzx_corpus(Corpus(a.samples), a.methods.split(), a.ours)
    elif a.command == "lzx-expansion":
        lines = lzx_expansion(a.samples, a.profile)
    elif a.command == "pack-stub":
        lines = [pack_stub_row(pack_stub_rounds(a.samples), a.mib)]
    else:
        plot(a.samples, a.figures, a.png)
        lines = []
    for line in lines:
        print(line)


if __name__ == "__main__":
    main(sys.argv[1:])
