#!/usr/bin/env python3
# SPDX-License-Identifier: Zlib
# The benchmarks' reports over small samples whose every figure is known: which files count as
# small, which round is the best, which median a ratio is. The against-nsis report has a shell
# test of its own (against_nsis_report_test.sh).
#   analysis_test.py BENCH-FOLDER
import os
import subprocess
import sys
import tempfile
import unittest

BENCH = sys.argv.pop(1)


def report(*arguments, files):
    """bench/analysis.py's output for `arguments`, with {name} replaced by the path of a file
    holding files[name] (tab-separated rows)."""
    with tempfile.TemporaryDirectory() as folder:
        paths = {}
        for name, rows in files.items():
            paths[name] = os.path.join(folder, name)
            with open(paths[name], "w", encoding="utf-8") as f:
                f.writelines("\t".join(str(v) for v in row) + "\n" for row in rows)
        command = [sys.executable, os.path.join(BENCH, "analysis.py")]
        command += [a.format(**paths) for a in arguments]
        return subprocess.run(command, check=True, capture_output=True, text=True).stdout


class LzxCorpusTest(unittest.TestCase):
    # method, file, round, input bytes, output bytes, ms. "edge" is exactly 2 MiB: still small.
    SAMPLES = [
        ("lzx:21", "small", 1, 1000, 500, 30), ("lzx:21", "small", 2, 1000, 500, 10),
        ("lzx:21", "edge", 1, 2097152, 1000, 30), ("lzx:21", "edge", 2, 2097152, 1000, 40),
        ("lzx:21", "large", 1, 2097153, 2000, 5), ("lzx:21", "large", 2, 2097153, 2000, 5),
        ("wimlib", "small", 1, 1000, 400, 20), ("wimlib", "small", 2, 1000, 400, 20),
        ("wimlib", "edge", 1, 2097152, 1100, 20), ("wimlib", "edge", 2, 2097152, 1100, 21),
        ("wimlib", "large", 1, 2097153, 3000, 5), ("wimlib", "large", 2, 2097153, 3000, 5),
    ]

    def test_report(self):
        out = report("lzx-corpus", "--methods", "lzx:21 wimlib", "--ours", "lzx:21",
                     "{samples}", files={"samples": self.SAMPLES}).splitlines()
        cases = [
            # why, a line the report must hold exactly
            ("a file's size and each method's against ours",
             "small                            1000        500         0.8000"),
            ("a file of exactly 2 MiB is not marked as above it",
             "edge                          2097152       1000         1.1000"),
            ("a file above 2 MiB is marked",
             "large                         2097153       2000         1.5000  (above 2 MiB)"),
            ("the small files' group holds just them", "files of at most 2 MiB: 2 files, "
             "2098152 bytes"),
            # 1500 against 1500; the median of 0.8 and 1.1; 2.098152 MB in each file's fastest
            # round, 10 + 30 ms (no round of ours took less than 50 ms in all)
            ("ours in the small group, each file's fastest round",
             "lzx:21                   1500     1.0000           1.0000      52.45"),
            ("another method: total, ratio of totals, median of the files' ratios",
             "wimlib                   1500     1.0000           0.9500      52.45"),
            ("the large group", "files above 2 MiB: 1 files, 2097153 bytes"),
            ("all files together", "all files: 3 files, 4195305 bytes"),
            ("the rounds",
             "(MB/s: input MB per second of wall time, each file's fastest of 2 rounds)"),
        ]
        for why, line in cases:
            with self.subTest(why):
                self.assertIn(line, out)


class PackStubTest(unittest.TestCase):
    def test_row(self):
        # MiB, round, command, ms, peak KiB. The ratio is the median of the rounds' ratios (2,
        # 3, 1.25: 2.00), not the ratio of the medians (250 / 100); a round without its cp
        # (cut short) is left out; the peak is the largest, in MiB.
        samples = [(100, 1, "pack", 100, 20480), (100, 1, "cp", 50, 900),
                   (100, 2, "pack", 300, 30720), (100, 2, "cp", 100, 900),
                   (100, 3, "cp", 200, 900), (100, 3, "pack", 250, 25600),
                   (100, 4, "pack", 9000, 99999),
                   (1024, 1, "pack", 7, 1024), (1024, 1, "cp", 7, 900)]
        cases = [(100, "100 MiB           250          100           2.00               30"),
                 (1024, "1024 MiB            7            7           1.00                1")]
        for mib, line in cases:
            with self.subTest(mib=mib):
                out = report("pack-stub", "{samples}", str(mib), files={"samples": samples})
                self.assertEqual(out, line + "\n")


class LzxExpansionTest(unittest.TestCase):
    def test_medians(self):
        # Each cabinet's three runs: the profile lines in another order than the runs, matched
        # by their entry marks; the counter ticks 2000 a second, so 2 ticks are 1 ms.
        labels = {"lzx": "stub, LZX 21 cabinet", "fast": "stub, LZX 21 fast-parse cabinet",
                  "mszip": "stub, MSZIP cabinet", "stored": "stub, stored cabinet"}
        ticks = {"lzx": (60, 20, 40), "fast": (80, 80, 90), "mszip": (100, 120, 140),
                 "stored": (10, 20, 30)}
        samples, profile = [], []
        start = 1000
        for name, runs in ticks.items():
            for r, expanded in enumerate(runs):
                samples.append((r, labels[name], 1, start, start + 500))
                profile.append((f"frequency=2000 entry={start + 5} archive_written={start + 10} "
                                f"setup_expanded={start + 10 + expanded} exit={start + 400}",))
                start += 1000
        out = report("lzx-expansion", "{samples}", "{profile}",
                     files={"samples": samples, "profile": reversed(profile)}).splitlines()
        cases = [
            "stub, LZX 21 cabinet               expansion median    20.0 ms (3 runs)",
            "stub, LZX 21 fast-parse cabinet    expansion median    40.0 ms (3 runs)",
            "stub, MSZIP cabinet                expansion median    60.0 ms (3 runs)",
            "stub, stored cabinet               expansion median    10.0 ms (3 runs)",
            # 20 / 60, and (20 - 10) / (60 - 10)
            "expansion, LZX 21 / MSZIP: 0.33; beyond a stored cabinet: 0.20",
            "expansion, LZX 21 / LZX 21 of the fast parse: 0.500",
        ]
        for line in cases:
            with self.subTest(line):
                self.assertIn(line, out)


if __name__ == "__main__":
    unittest.main()
