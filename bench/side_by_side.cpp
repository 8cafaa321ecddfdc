// Runs pairs of command lines in rotation, several rounds, and prints for each pair the median
// wall time of both and their ratio. Everything runs under the caller's Wine prefix; a run that
// fails to start or exits nonzero spoils the measurement and ends the program.
//   side-by-side ROUNDS LABEL_A COMMAND_A LABEL_B COMMAND_B [LABEL_C COMMAND_C LABEL_D ...]
#include <windows.h>

#include <algorithm>
#include <cstdio>
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
  if (argc < 6 || (argc - 2) % 4 != 0) {
    std::fprintf(stderr, "usage: side-by-side ROUNDS LABEL_A COMMAND_A LABEL_B COMMAND_B ...\n");
    return 2;
  }
  const int rounds = _wtoi(argv[1]);
  const size_t count = (argc - 2) / 2;
  std::vector<std::vector<double>> times(count);
  for (int round = 0; round < rounds; ++round) {
    // Each round starts with another command, so none always meets a warm or a cold cache.
    for (size_t step = 0; step < count; ++step) {
      const size_t which = (round + step) % count;
      DWORD exit_code = 0;
      const double seconds = RunOnce(argv[3 + 2 * which], exit_code);
      if (seconds < 0 || exit_code != 0) {
        std::fprintf(stderr, "%ls failed: %lu\n", argv[2 + 2 * which], exit_code);
        return 1;
      }
      times[which].push_back(seconds);
    }
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
