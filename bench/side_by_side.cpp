// SPDX-License-Identifier: Zlib
// Runs command lines interleaved, in another order each round, for several rounds, and prints
// each one's median wall time and, for each pair, their ratio. Everything runs under the
// caller's Wine prefix. A run that fails to start or exits nonzero spoils its round, which is
// said on stderr and run again; a third spoiled round ends the program, as something is then
// wrong beyond the odd process that Wine fails to start under load.
//   side-by-side [--samples FILE] [--warmup ROUNDS] [--between COMMAND] [--block SIZE] ROUNDS
//                LABEL_A COMMAND_A LABEL_B COMMAND_B [LABEL_C ...]
// --samples FILE also writes every run's time, one "ROUND<TAB>LABEL<TAB>MILLISECONDS<TAB>START
// <TAB>END" line each (START and END are the performance counter's values around the run, on the
// clock every process shares), so that a caller can take ratios round by round, which a load
// that comes and goes disturbs far less than it disturbs each command's median, and can place
// what a program recorded itself within its run.
// --warmup ROUNDS runs that many untimed rounds first; --between COMMAND runs COMMAND, untimed,
// before every run (for example Z:\bin\sync, so that no run pays for writing back the dirty data
// of the runs before it). --block SIZE keeps each SIZE commands in a row together: the blocks
// and the commands within each are shuffled, so that commands compared with each other run
// moments apart, under much the same load from whatever else the machine is doing.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

struct Run {
  double seconds; // -1 when the command could not be started
  LONGLONG start;
  LONGLONG end;
};

Run RunOnce(const std::wstring &command_line, DWORD &exit_code) {
  std::wstring line = command_line;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  LARGE_INTEGER start, end, frequency;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    exit_code = GetLastError();
    return {-1, 0, 0};
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  QueryPerformanceCounter(&end);
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return {static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart, start.QuadPart,
          end.QuadPart};
}

double Median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  const size_t middle = times.size() / 2;
  return times.size() % 2 ? times[middle] : (times[middle - 1] + times[middle]) / 2;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  FILE *samples = nullptr;
  int warmup_rounds = 0;
  const wchar_t *between = nullptr;
  int block = 1;
  while (argc > 2 && std::wcsncmp(argv[1], L"--", 2) == 0) {
    if (std::wcscmp(argv[1], L"--samples") == 0) {
      samples = _wfopen(argv[2], L"w");
      if (samples == nullptr) {
        std::fprintf(stderr, "cannot write %ls\n", argv[2]);
        return 2;
      }
    } else if (std::wcscmp(argv[1], L"--warmup") == 0) {
      warmup_rounds = _wtoi(argv[2]);
    } else if (std::wcscmp(argv[1], L"--between") == 0) {
      between = argv[2];
    } else if (std::wcscmp(argv[1], L"--block") == 0) {
      block = _wtoi(argv[2]);
    } else {
      break;
    }
    argc -= 2;
    argv += 2;
  }
  if (argc < 4 || argc % 2 != 0 || block < 1) {
    std::fprintf(stderr,
                 "usage: side-by-side [--samples FILE] [--warmup ROUNDS] [--between "
                 "COMMAND] [--block SIZE] ROUNDS LABEL_A COMMAND_A LABEL_B COMMAND_B ...\n");
    return 2;
  }
  const int rounds = _wtoi(argv[1]);
  const size_t count = (argc - 2) / 2;
  std::vector<std::vector<double>> times(count);
  std::vector<size_t> blocks((count + block - 1) / block);
  std::iota(blocks.begin(), blocks.end(), 0);
  std::vector<size_t> order;
  std::mt19937 shuffler(1); // the same orders every time the benchmark runs
  constexpr int kMostSpoiledRounds = 2;
  int spoiled_rounds = 0;
  std::vector<Run> runs(count);
  for (int round = -warmup_rounds; round < rounds; ++round) {
    // Each round runs the commands in another order, so that none always meets a warm or a cold
    // cache, nor always follows the same command and the work that command left the system.
    std::shuffle(blocks.begin(), blocks.end(), shuffler);
    order.clear();
    for (const size_t shuffled_block : blocks) {
      const size_t start = order.size();
      for (size_t which = shuffled_block * block;
           which < count && which < (shuffled_block + 1) * block; ++which) {
        order.push_back(which);
      }
      std::shuffle(order.begin() + start, order.end(), shuffler);
    }
    const wchar_t *failed = nullptr;
    DWORD exit_code = 0;
    for (const size_t which : order) {
      if (between != nullptr && (RunOnce(between, exit_code).seconds < 0 || exit_code != 0)) {
        failed = between;
        break;
      }
      runs[which] = RunOnce(argv[3 + 2 * which], exit_code);
      if (runs[which].seconds < 0 || exit_code != 0) {
        failed = argv[2 + 2 * which];
        break;
      }
    }
    if (failed != nullptr) {
      std::fprintf(stderr, "round %d spoiled: %ls failed: %lu\n", round, failed, exit_code);
      if (++spoiled_rounds > kMostSpoiledRounds) {
        return 1;
      }
      --round;
      continue;
    }
    if (round < 0) {
      continue;
    }
    for (size_t which = 0; which < count; ++which) {
      times[which].push_back(runs[which].seconds);
      if (samples != nullptr) {
        std::fprintf(samples, "%d\t%ls\t%.3f\t%lld\t%lld\n", round, argv[2 + 2 * which],
                     runs[which].seconds * 1000, runs[which].start, runs[which].end);
      }
    }
  }
  if (samples != nullptr && std::fclose(samples) != 0) {
    std::fprintf(stderr, "cannot write the samples\n");
    return 1;
  }
  for (size_t pair = 0; pair + 1 < count; pair += 2) {
    const double a = Median(times[pair]);
    const double b = Median(times[pair + 1]);
    std::printf("%-34ls median %7.1f ms\n", argv[2 + 2 * pair], a * 1000);
    std::printf("%-34ls median %7.1f ms\n", argv[4 + 2 * pair], b * 1000);
    std::printf("  ratio: %.2f (difference %+.1f ms, medians of %d rounds)\n", a / b,
                (a - b) * 1000, rounds);
  }
  if (count % 2 != 0) {
    std::printf("%-34ls median %7.1f ms\n", argv[2 * count], Median(times[count - 1]) * 1000);
  }
  return 0;
}
