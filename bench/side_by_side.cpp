// SPDX-License-Identifier: Zlib
// Runs command lines interleaved, in another order each round, for several rounds, and prints
// each one's median wall time and, for each pair, their ratio. Everything runs under the
// caller's Wine prefix. A run that fails to start or exits nonzero spoils its round, which is
// said on stderr and run again; a third spoiled round ends the program, as something is then
// wrong beyond the odd process that Wine fails to start under load.
//   side-by-side [--samples FILE] [--warmup ROUNDS] [--between COMMAND --between-done FILE]
//                [--block SIZE] [--folder FOLDER]... ROUNDS
//                LABEL_A COMMAND_A LABEL_B COMMAND_B [LABEL_C ...]
// --samples FILE also writes every run's time, one "ROUND<TAB>LABEL<TAB>MILLISECONDS<TAB>START
// <TAB>END" line each (START and END are the performance counter's values around the run, on the
// clock every process shares), so that a caller can take ratios round by round, which a load
// that comes and goes disturbs far less than it disturbs each command's median, and can place
// what a program recorded itself within its run.
// --warmup ROUNDS runs that many untimed rounds first.
// --between COMMAND runs COMMAND, untimed, before every run (for example a script that syncs and
// reads the inputs back into the page cache), and the run starts only once COMMAND has written
// its exit status, as decimal text, to the file --between-done names (write it under another
// name and rename it, so that it appears whole). The file is the only sign that counts: under
// Wine the process of a Unix program ends at once, however long the program itself runs.
// --block SIZE keeps each SIZE commands in a row together: the blocks and the commands within
// each are shuffled, so that commands compared with each other run moments apart, under much the
// same load from whatever else the machine is doing.
// --folder FOLDER names a folder the commands work in. Before a spoiled round runs again,
// everything that appeared in it since the start is removed (and named on stderr), so that the
// round starts again from the state the first one started from; when the program gives up, what
// is left there is named instead.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kMostSpoiledRounds = 2;
// Far beyond any page-cache step; a step that takes longer has hung.
constexpr ULONGLONG kBetweenLimitMs = 10 * 60 * 1000;

struct Options {
  FILE *samples = nullptr;
  const wchar_t *samples_path = nullptr;
  int warmup_rounds = 0;
  const wchar_t *between = nullptr;
  const wchar_t *between_done = nullptr;
  int block = 1;
  std::vector<std::wstring> folders;
  int rounds = 0;
  size_t count = 0;
  wchar_t **labels_and_commands = nullptr; // LABEL, COMMAND, LABEL, COMMAND ...

  const wchar_t *Label(size_t which) const { return labels_and_commands[2 * which]; }
  const wchar_t *Command(size_t which) const { return labels_and_commands[2 * which + 1]; }
};

struct Run {
  double seconds; // -1 when the command could not be started
  LONGLONG start;
  LONGLONG end;
};

// What spoiled a round: the label (or the between step's command), and the exit code, or the
// error of CreateProcessW when it could not be started.
struct Failure {
  const wchar_t *what = nullptr;
  DWORD code = 0;
  bool started = true;
  bool unfinished = false; // the between step never said it had finished
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

bool Exists(const wchar_t *path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

// Runs the between step and waits for its completion file; false with the failure filled in when
// it could not be started, ended nonzero or did not finish in time.
bool RunBetween(const Options &options, Failure &failure) {
  failure.what = options.between;
  DeleteFileW(options.between_done); // a file left by a step that ran before counts for nothing
  if (RunOnce(options.between, failure.code).seconds < 0) {
    failure.started = false;
    return false;
  }
  const ULONGLONG started = GetTickCount64();
  while (!Exists(options.between_done)) {
    if (GetTickCount64() - started > kBetweenLimitMs) {
      failure.unfinished = true;
      return false;
    }
    Sleep(1);
  }
  FILE *done = _wfopen(options.between_done, L"r");
  unsigned long status = ERROR_INVALID_DATA;
  if (done != nullptr) {
    if (std::fscanf(done, "%lu", &status) != 1) {
      status = ERROR_INVALID_DATA;
    }
    std::fclose(done);
  }
  DeleteFileW(options.between_done);
  failure.code = status;
  return status == 0;
}

std::vector<std::wstring> Entries(const std::wstring &folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return names;
  }
  do {
    if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0) {
      names.push_back(found.cFileName);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

struct Folder {
  std::wstring path;
  std::vector<std::wstring> at_start;

  std::vector<std::wstring> Appeared() const {
    std::vector<std::wstring> now = Entries(path), appeared;
    std::set_difference(now.begin(), now.end(), at_start.begin(), at_start.end(),
                        std::back_inserter(appeared));
    return appeared;
  }
};

bool RemoveOnce(const std::wstring &path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
  }
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return DeleteFileW(path.c_str()) != FALSE;
  }
  bool removed = true;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    for (const std::wstring &name : Entries(path)) {
      removed = RemoveOnce(path + L"\\" + name) && removed;
    }
  }
  return removed && RemoveDirectoryW(path.c_str()) != FALSE;
}

// Under Wine a folder is often not yet removable just after the process that used it has ended.
bool RemoveTree(const std::wstring &path) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (RemoveOnce(path)) {
      return true;
    }
    Sleep(10);
  }
  return false;
}

// Before a spoiled round runs again: what its runs left in the folders goes.
void RestoreFolders(const std::vector<Folder> &folders) {
  for (const Folder &folder : folders) {
    for (const std::wstring &name : folder.Appeared()) {
      const std::wstring path = folder.path + L"\\" + name;
      if (RemoveTree(path)) {
        std::fprintf(stderr, "removed %ls, left by the spoiled round\n", path.c_str());
      } else {
        std::fprintf(stderr, "could not remove %ls, left by the spoiled round: error %lu\n",
                     path.c_str(), GetLastError());
      }
    }
  }
}

void ReportLeft(const std::vector<Folder> &folders) {
  for (const Folder &folder : folders) {
    for (const std::wstring &name : folder.Appeared()) {
      std::fprintf(stderr, "left: %ls\\%ls\n", folder.path.c_str(), name.c_str());
    }
  }
}

void ReportFailure(int round, const Failure &failure) {
  if (failure.unfinished) {
    std::fprintf(stderr, "round %d: the between step %ls did not finish within %llu s\n", round,
                 failure.what, kBetweenLimitMs / 1000);
  } else if (!failure.started) {
    std::fprintf(stderr, "round %d spoiled: %ls could not be started: error %lu\n", round,
                 failure.what, failure.code);
  } else {
    std::fprintf(stderr, "round %d spoiled: %ls failed: exit code %lu\n", round, failure.what,
                 failure.code);
  }
}

bool TakeOption(Options &options, const wchar_t *name, const wchar_t *value) {
  if (std::wcscmp(name, L"--samples") == 0) {
    options.samples_path = value;
    options.samples = _wfopen(value, L"w");
    if (options.samples == nullptr) {
      std::fprintf(stderr, "cannot write %ls\n", value);
      return false;
    }
  } else if (std::wcscmp(name, L"--warmup") == 0) {
    options.warmup_rounds = _wtoi(value);
  } else if (std::wcscmp(name, L"--between") == 0) {
    options.between = value;
  } else if (std::wcscmp(name, L"--between-done") == 0) {
    options.between_done = value;
  } else if (std::wcscmp(name, L"--block") == 0) {
    options.block = _wtoi(value);
  } else if (std::wcscmp(name, L"--folder") == 0) {
    options.folders.push_back(value);
  } else {
    std::fprintf(stderr, "unknown option %ls\n", name);
    return false;
  }
  return true;
}

bool ParseOptions(int argc, wchar_t **argv, Options &options) {
  int at = 1;
  for (; at + 1 < argc && std::wcsncmp(argv[at], L"--", 2) == 0; at += 2) {
    if (!TakeOption(options, argv[at], argv[at + 1])) {
      return false;
    }
  }
  const int left = argc - at;
  if (left < 3 || left % 2 == 0 || options.block < 1 ||
      (options.between == nullptr) != (options.between_done == nullptr)) {
    std::fprintf(stderr, "usage: side-by-side [--samples FILE] [--warmup ROUNDS] [--between "
                         "COMMAND --between-done FILE] [--block SIZE] [--folder FOLDER]... "
                         "ROUNDS LABEL_A COMMAND_A LABEL_B COMMAND_B ...\n");
    return false;
  }
  options.rounds = _wtoi(argv[at]);
  options.count = (left - 1) / 2;
  options.labels_and_commands = argv + at + 1;
  return true;
}

double Median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  const size_t middle = times.size() / 2;
  return times.size() % 2 ? times[middle] : (times[middle - 1] + times[middle]) / 2;
}

// Each round runs the commands in another order, so that none always meets a warm or a cold
// cache, nor always follows the same command and the work that command left the system.
class Rounds {
public:
  explicit Rounds(const Options &options)
      : options_(options), runs_(options.count), times_(options.count),
        blocks_((options.count + options.block - 1) / options.block) {
    std::iota(blocks_.begin(), blocks_.end(), 0);
    for (const std::wstring &path : options.folders) {
      folders_.push_back({path, Entries(path)});
    }
  }

  // Every round, warm-up first; false when the program gives up.
  bool RunAll() {
    int spoiled_rounds = 0;
    for (int round = -options_.warmup_rounds; round < options_.rounds; ++round) {
      Failure failure;
      if (RunRound(failure)) {
        Keep(round);
        continue;
      }
      ReportFailure(round, failure);
      if (failure.unfinished || ++spoiled_rounds > kMostSpoiledRounds) {
        std::fprintf(stderr, "giving up after %d spoiled rounds, the last as said above\n",
                     spoiled_rounds + (failure.unfinished ? 1 : 0));
        ReportLeft(folders_);
        return false;
      }
      RestoreFolders(folders_);
      --round;
    }
    return true;
  }

  void PrintMedians() const {
    const size_t count = options_.count;
    for (size_t pair = 0; pair + 1 < count; pair += 2) {
      const double a = Median(times_[pair]);
      const double b = Median(times_[pair + 1]);
      std::printf("%-34ls median %7.1f ms\n", options_.Label(pair), a * 1000);
      std::printf("%-34ls median %7.1f ms\n", options_.Label(pair + 1), b * 1000);
      std::printf("  ratio: %.2f (difference %+.1f ms, medians of %d rounds)\n", a / b,
                  (a - b) * 1000, options_.rounds);
    }
    if (count % 2 != 0) {
      std::printf("%-34ls median %7.1f ms\n", options_.Label(count - 1),
                  Median(times_[count - 1]) * 1000);
    }
  }

private:
  void ShuffleOrder() {
    std::shuffle(blocks_.begin(), blocks_.end(), shuffler_);
    order_.clear();
    const size_t block = options_.block;
    for (const size_t shuffled_block : blocks_) {
      const size_t start = order_.size();
      for (size_t which = shuffled_block * block;
           which < options_.count && which < (shuffled_block + 1) * block; ++which) {
        order_.push_back(which);
      }
      std::shuffle(order_.begin() + start, order_.end(), shuffler_);
    }
  }

  bool RunRound(Failure &failure) {
    ShuffleOrder();
    for (const size_t which : order_) {
      if (options_.between != nullptr && !RunBetween(options_, failure)) {
        return false;
      }
      failure.what = options_.Label(which);
      runs_[which] = RunOnce(options_.Command(which), failure.code);
      failure.started = runs_[which].seconds >= 0;
      if (!failure.started || failure.code != 0) {
        return false;
      }
    }
    return true;
  }

  void Keep(int round) {
    if (round < 0) {
      return;
    }
    for (size_t which = 0; which < options_.count; ++which) {
      times_[which].push_back(runs_[which].seconds);
      if (options_.samples != nullptr) {
        std::fprintf(options_.samples, "%d\t%ls\t%.3f\t%lld\t%lld\n", round, options_.Label(which),
                     runs_[which].seconds * 1000, runs_[which].start, runs_[which].end);
      }
    }
  }

  const Options &options_;
  std::vector<Run> runs_;
  std::vector<std::vector<double>> times_;
  std::vector<size_t> blocks_;
  std::vector<size_t> order_;
  std::vector<Folder> folders_;
  std::mt19937 shuffler_{1}; // the same orders every time the benchmark runs
};

} // namespace

int wmain(int argc, wchar_t **argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    if (options.samples != nullptr) {
      std::fclose(options.samples);
      _wremove(options.samples_path);
    }
    return 2;
  }
  Rounds rounds(options);
  const bool finished = rounds.RunAll();
  if (options.between_done != nullptr) {
    DeleteFileW(options.between_done);
  }
  // Samples of a benchmark that did not finish would pass for a whole one.
  if (options.samples != nullptr && (std::fclose(options.samples) != 0 || !finished)) {
    _wremove(options.samples_path);
    if (finished) {
      std::fprintf(stderr, "cannot write the samples\n");
    }
    return 1;
  }
  if (!finished) {
    return 1;
  }
  rounds.PrintMedians();
  return 0;
}
