// Runs pairs of command lines interleaved, in another order each round, for several rounds, and
// prints for each pair the median wall time of both and their ratio. Everything runs under the
// caller's Wine prefix; a run that fails to start or exits nonzero spoils the measurement and ends
// the program.
//   side-by-side [--samples FILE] ROUNDS LABEL_A COMMAND_A LABEL_B COMMAND_B [LABEL_C ...]
// --samples FILE also writes every run's time, one "ROUND<TAB>LABEL<TAB>MILLISECONDS" line each,
// so that a caller can take ratios round by round, which a load that comes and goes disturbs far
// less than it disturbs each command's median.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

double RunOnce(const std::wstring &command_line, DWORD &exit_code) {
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
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  QueryPerformanceCounter(&end);
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
}

double Median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  const size_t middle = times.size() / 2;
  return times.size() % 2 ? times[middle] : (times[middle - 1] + times[middle]) / 2;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  FILE *samples = nullptr;
  if (argc > 2 && std::wcscmp(argv[1], L"--samples") == 0) {
    samples = _wfopen(argv[2], L"w");
    if (samples == nullptr) {
      std::fprintf(stderr, "cannot write %ls\n", argv[2]);
      return 2;
    }
    argc -= 2;
    argv += 2;
  }
  if (argc < 6 || (argc - 2) % 4 != 0) {
    std::fprintf(stderr, "usage: side-by-side [--samples FILE] ROUNDS LABEL_A COMMAND_A LABEL_B "
                         "COMMAND_B ...\n");
    return 2;
  }
  const int rounds = _wtoi(argv[1]);
  const size_t count = (argc - 2) / 2;
  std::vector<std::vector<double>> times(count);
  std::vector<size_t> order(count);
  std::iota(order.begin(), order.end(), 0);
  std::mt19937 shuffler(1); // the same orders every time the benchmark runs
  for (int round = 0; round < rounds; ++round) {
    // Each round runs the commands in another order, so that none always meets a warm or a cold
    // cache, nor always follows the same command and the work that command left the system.
    std::shuffle(order.begin(), order.end(), shuffler);
    for (const size_t which : order) {
      DWORD exit_code = 0;
      const double seconds = RunOnce(argv[3 + 2 * which], exit_code);
      if (seconds < 0 || exit_code != 0) {
        std::fprintf(stderr, "%ls failed: %lu\n", argv[2 + 2 * which], exit_code);
        return 1;
      }
      times[which].push_back(seconds);
      if (samples != nullptr) {
        std::fprintf(samples, "%d\t%ls\t%.3f\n", round, argv[2 + 2 * which], seconds * 1000);
      }
    }
  }
  if (samples != nullptr && std::fclose(samples) != 0) {
    std::fprintf(stderr, "cannot write the samples\n");
    return 1;
  }
  for (size_t pair = 0; pair < count; pair += 2) {
    const double a = Median(times[pair]);
    const double b = Median(times[pair + 1]);
    std::printf("%-34ls median %7.1f ms\n", argv[2 + 2 * pair], a * 1000);
    std::printf("%-34ls median %7.1f ms\n", argv[4 + 2 * pair], b * 1000);
    std::printf("  ratio: %.2f (difference %+.1f ms, medians of %d rounds)\n", a / b,
                (a - b) * 1000, rounds);
  }
  return 0;
}
