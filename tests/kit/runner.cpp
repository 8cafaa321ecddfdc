// SPDX-License-Identifier: Zlib
// The Windows test kit's runner: starts every run of the kit's list one at a time, each in a job
// object so that a time-out ends the program and everything it started, prints one line per run
// and a count, writes a JUnit report, and exits 1 when any run failed (2 when it could not start).
//   ondrel-test-kit [--list FILE] [--report FILE] [--timeout SECONDS]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "gtest_report.h"
#include "run_list.h"

namespace kit {
namespace {

// Limit of one run when the list names none: the slowest program takes about a minute under Wine
// on a loaded machine; ten times that is a hang, not a slow machine.
constexpr unsigned kDefaultTimeoutSeconds = 600;
// Output kept in the report for a failed run: its end says what went wrong.
constexpr size_t kOutputKept = 64 * 1024;

class Handle {
public:
  explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
  ~Handle() {
    if (valid()) {
      const DWORD error = GetLastError();
      CloseHandle(handle_);
      SetLastError(error);
    }
  }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

private:
  HANDLE handle_;
};

void Print(const std::wstring &text) {
  // The console takes UTF-16 as it is; a pipe or a file gets UTF-8.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  } else {
    const std::string bytes = Utf8(text);
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
}

std::wstring ErrorText(DWORD error) {
  wchar_t *buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
  std::wstring text = length ? std::wstring(buffer, length) : L"error " + std::to_wstring(error);
  LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.')) {
    text.pop_back();
  }
  return text;
}

bool IsAbsolute(const std::wstring &path) {
  return (path.size() > 2 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
         path.compare(0, 2, L"\\\\") == 0;
}

std::wstring FullPath(const std::wstring &path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  full.resize(length < size ? length : 0);
  return full.empty() ? path : full;
}

// File calls take paths past MAX_PATH only with the prefix that turns off their parsing.
std::wstring ForFileCalls(const std::wstring &full) {
  if (full.size() < MAX_PATH - 12 || full.compare(0, 4, L"\\\\?\\") == 0) {
    return full;
  }
  if (full.compare(0, 2, L"\\\\") == 0) {
    return L"\\\\?\\UNC\\" + full.substr(2);
  }
  return L"\\\\?\\" + full;
}

std::wstring ProgramPath() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), 32767));
  return path;
}

std::wstring FolderOf(const std::wstring &path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

bool ReadWholeFile(const std::wstring &path, std::string &bytes) {
  Handle file(CreateFileW(ForFileCalls(path).c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, 0, nullptr));
  if (!file.valid()) {
    return false;
  }
  char buffer[65536];
  DWORD count = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &count, nullptr) && count > 0) {
    bytes.append(buffer, count);
  }
  return true;
}

// One argument as the C runtime's parser reads it back: backslashes are literal except before a
// quote, where they and the quote are escaped.
void AppendArgument(std::wstring &line, const std::wstring &argument) {
  if (!line.empty()) {
    line += L' ';
  }
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

std::wstring Upper(std::wstring text) {
  CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

// The runner's environment with the run's variables put over it, sorted as Windows keeps it.
std::wstring EnvironmentBlock(const std::vector<std::wstring> &additions) {
  std::map<std::wstring, std::wstring> variables;
  wchar_t *strings = GetEnvironmentStringsW();
  for (const wchar_t *entry = strings; entry && *entry; entry += wcslen(entry) + 1) {
    const std::wstring text = entry;
    // Entries such as "=C:=C:\folder" keep their leading "=" in the name.
    const size_t equals = text.find(L'=', 1);
    variables[Upper(text.substr(0, equals))] = text;
  }
  FreeEnvironmentStringsW(strings);
  for (const std::wstring &text : additions) {
    variables[Upper(text.substr(0, text.find(L'=')))] = text;
  }
  std::wstring block;
  for (const auto &variable : variables) {
    block += variable.second;
    block += L'\0';
  }
  block += L'\0';
  return block;
}

struct Outcome {
  enum class Status { kPassed, kFailed, kSkipped } status = Status::kFailed;
  std::wstring summary; // the rest of the run's line
  std::vector<TestCase> cases;
  std::string output; // kept for a failed run
  double seconds = 0;
  std::wstring command;
};

// The test that was running when the program ended: GoogleTest announces each one.
std::string LastStartedTest(const std::string &output) {
  const std::string mark = "[ RUN      ] ";
  const size_t at = output.rfind(mark);
  if (at == std::string::npos) {
    return {};
  }
  const std::string name =
      output.substr(at + mark.size(), output.find_first_of("\r\n", at) - at - mark.size());
  // Finished after all, as passed or failed.
  if (output.find("] " + name + " (", at + mark.size()) != std::string::npos) {
    return {};
  }
  return name;
}

// How the test programs end when a case skipped and none failed, so that CTest shows the skip.
constexpr DWORD kSkippedExitCode = 77;

// The reason a test gave for skipping: its message's last line (the first names the source line).
std::string SkipReason(const std::string &message) {
  std::string text = message;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  const size_t newline = text.rfind('\n');
  return newline == std::string::npos ? text : text.substr(newline + 1);
}

Outcome Execute(const Run &run, const std::wstring &kit, const std::wstring &work, unsigned index,
                unsigned timeout_seconds) {
  Outcome outcome;
  const std::wstring program =
      FullPath(IsAbsolute(run.program) ? run.program : kit + L"\\" + run.program);
  std::wstring directory = run.directory.empty()       ? FolderOf(program)
                           : IsAbsolute(run.directory) ? run.directory
                                                       : kit + L"\\" + run.directory;
  directory = FullPath(directory);
  const std::wstring log = work + L"\\" + std::to_wstring(index) + L".log";
  const std::wstring xml = work + L"\\" + std::to_wstring(index) + L".xml";
  std::wstring line;
  AppendArgument(line, program);
  for (const std::wstring &argument : run.arguments) {
    AppendArgument(line, argument);
  }
  outcome.command = line;
  if (run.gtest) {
    AppendArgument(line, L"--gtest_output=xml:" + xml);
  }

  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  Handle output(CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            &inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  Handle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                           OPEN_EXISTING, 0, nullptr));
  if (!output.valid() || !input.valid()) {
    outcome.summary = L"could not make its log " + log + L": " + ErrorText(GetLastError());
    return outcome;
  }
  // Kill on close: whatever the program started ends with it, on time-out or when the runner
  // itself is stopped. Die on an unhandled exception: no error report window waits for a click.
  Handle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
  if (job.valid() && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                              sizeof limits)) {
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.get();
  startup.hStdOutput = output.get();
  startup.hStdError = output.get();
  std::wstring environment = EnvironmentBlock(run.environment);
  PROCESS_INFORMATION process = {};
  LARGE_INTEGER frequency, started, ended;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&started);
  if (!CreateProcessW(ForFileCalls(program).c_str(), line.data(), nullptr, nullptr, TRUE,
                      CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                      environment.data(), directory.c_str(), &startup, &process)) {
    outcome.summary = L"could not start " + program + L": " + ErrorText(GetLastError());
    return outcome;
  }
  Handle process_handle(process.hProcess);
  {
    Handle thread(process.hThread);
    const bool in_job = job.valid() && AssignProcessToJobObject(job.get(), process.hProcess);
    ResumeThread(process.hThread);
    const DWORD waited = WaitForSingleObject(process.hProcess, timeout_seconds * 1000);
    if (waited != WAIT_OBJECT_0) {
      if (in_job) {
        TerminateJobObject(job.get(), ERROR_TIMEOUT);
      } else {
        TerminateProcess(process.hProcess, ERROR_TIMEOUT);
      }
      WaitForSingleObject(process.hProcess, INFINITE);
    }
    QueryPerformanceCounter(&ended);
    outcome.seconds = static_cast<double>(ended.QuadPart - started.QuadPart) /
                      static_cast<double>(frequency.QuadPart);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    // Leftovers of a program that exited, such as a setup program it started, end here.
    if (in_job) {
      TerminateJobObject(job.get(), 0);
    }
    ReadWholeFile(log, outcome.output);
    const bool reported = run.gtest && [&] {
      std::string report;
      return ReadWholeFile(xml, report) && ReadGtestReport(report, outcome.cases);
    }();
    size_t failed = 0, skipped = 0;
    std::string failed_names, reasons;
    for (const TestCase &test : outcome.cases) {
      if (test.result == TestCase::Result::kFailed) {
        ++failed;
        failed_names += (failed_names.empty() ? "" : ", ") + test.suite + "." + test.name;
      } else if (test.result == TestCase::Result::kSkipped) {
        ++skipped;
        const std::string reason = SkipReason(test.message);
        if (reasons.find(reason) == std::string::npos) {
          reasons += (reasons.empty() ? "" : "; ") + reason;
        }
      }
    }
    const std::wstring counts = std::to_wstring(outcome.cases.size()) + L" tests" +
                                (skipped ? L", " + std::to_wstring(skipped) + L" skipped" : L"");
    if (waited != WAIT_OBJECT_0) {
      const std::string test = LastStartedTest(outcome.output);
      outcome.summary = L"timed out after " + std::to_wstring(timeout_seconds) +
                        L" s and was ended with all it started" +
                        (test.empty() ? L"" : L", in " + Widen(test));
    } else if (code >= 0xC0000000u) {
      const std::string test = LastStartedTest(outcome.output);
      wchar_t hex[16];
      swprintf(hex, 16, L"0x%08lX", static_cast<unsigned long>(code));
      outcome.summary = std::wstring(L"crashed with exception ") + hex +
                        (test.empty() ? L"" : L" in " + Widen(test));
    } else if (code != 0 && !(code == kSkippedExitCode && reported && !failed && skipped)) {
      outcome.summary = L"exit code " + std::to_wstring(code) +
                        (failed ? L", failed: " + Widen(failed_names) : L"");
    } else if (failed) {
      outcome.summary = L"exit code 0 but failed: " + Widen(failed_names);
    } else if (run.gtest && !reported) {
      outcome.summary = L"exit code 0 but wrote no report of its tests";
    } else if (run.gtest && outcome.cases.empty()) {
      outcome.summary = L"no test ran (a filter that matches nothing?)";
    } else if (run.gtest && skipped == outcome.cases.size()) {
      outcome.status = Outcome::Status::kSkipped;
      outcome.summary = L"every test skipped: " + Widen(reasons);
    } else {
      outcome.status = Outcome::Status::kPassed;
      outcome.summary = run.gtest ? counts : L"exit code 0";
    }
  }
  if (outcome.status != Outcome::Status::kFailed) {
    outcome.output.clear();
  } else if (outcome.output.size() > kOutputKept) {
    outcome.output = "...\n" + outcome.output.substr(outcome.output.size() - kOutputKept);
  }
  DeleteFileW(log.c_str());
  DeleteFileW(xml.c_str());
  return outcome;
}

struct Platform {
  std::wstring windows; // "10.0 build 19045"
  std::string version, build, wine;
};

Platform WherePlatform() {
  // GetVersionExW reports what the program's manifest claims to support, not the system.
  Platform platform;
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  using RtlGetVersionFunction = LONG(WINAPI *)(OSVERSIONINFOW *);
  const auto get_version = reinterpret_cast<RtlGetVersionFunction>(
      reinterpret_cast<void *>(GetProcAddress(ntdll, "RtlGetVersion")));
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof info;
  if (get_version && get_version(&info) == 0) {
    platform.version =
        std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion);
    platform.build = std::to_string(info.dwBuildNumber);
  }
  // Exported only by Wine's ntdll.
  using WineVersionFunction = const char *(CDECL *)();
  const auto wine_version = reinterpret_cast<WineVersionFunction>(
      reinterpret_cast<void *>(GetProcAddress(ntdll, "wine_get_version")));
  if (wine_version) {
    platform.wine = wine_version();
  }
  platform.windows = L"Windows " + Widen(platform.version) + L" build " + Widen(platform.build) +
                     (platform.wine.empty() ? L"" : L" (Wine " + Widen(platform.wine) + L")");
  return platform;
}

std::string Report(const std::vector<Run> &runs, const std::vector<Outcome> &outcomes,
                   const Platform &platform) {
  size_t tests = 0, failures = 0, skipped = 0;
  std::string suites;
  for (size_t i = 0; i < outcomes.size(); ++i) {
    const Outcome &outcome = outcomes[i];
    std::vector<TestCase> cases = outcome.cases;
    // A run that failed without a failing test (a crash, a time-out, an exit code) or that was
    // skipped is a case of its own, so that every reader of the report counts it.
    const bool case_of_its_own =
        outcome.status == Outcome::Status::kFailed
            ? std::none_of(cases.begin(), cases.end(),
                           [](const TestCase &c) { return c.result == TestCase::Result::kFailed; })
            : cases.empty();
    if (case_of_its_own) {
      TestCase run_case;
      run_case.suite = "run";
      run_case.name = Utf8(runs[i].name);
      run_case.result = outcome.status == Outcome::Status::kFailed    ? TestCase::Result::kFailed
                        : outcome.status == Outcome::Status::kSkipped ? TestCase::Result::kSkipped
                                                                      : TestCase::Result::kPassed;
      run_case.message = Utf8(outcome.summary);
      cases.push_back(run_case);
    }
    size_t suite_failures = 0, suite_skipped = 0;
    std::string body;
    for (const TestCase &test : cases) {
      body += "    <testcase classname=\"" + XmlEscape(test.suite) + "\" name=\"" +
              XmlEscape(test.name) + "\" time=\"" + XmlEscape(test.time.empty() ? "0" : test.time) +
              "\"";
      if (test.result == TestCase::Result::kPassed) {
        body += "/>\n";
        continue;
      }
      const bool failed = test.result == TestCase::Result::kFailed;
      (failed ? suite_failures : suite_skipped)++;
      body += ">\n      <" + std::string(failed ? "failure" : "skipped") + " message=\"" +
              XmlEscape(failed ? test.message : SkipReason(test.message)) +
              "\"/>\n    </testcase>\n";
    }
    char time[32];
    snprintf(time, sizeof time, "%.3f", outcome.seconds);
    suites += "  <testsuite name=\"" + XmlEscape(Utf8(runs[i].name)) + "\" tests=\"" +
              std::to_string(cases.size()) + "\" failures=\"" + std::to_string(suite_failures) +
              "\" errors=\"0\" skipped=\"" + std::to_string(suite_skipped) + "\" time=\"" + time +
              "\">\n    <properties>\n" + "      <property name=\"windows.version\" value=\"" +
              XmlEscape(platform.version) +
              "\"/>\n      <property name=\"windows.build\" value=\"" + XmlEscape(platform.build) +
              "\"/>\n      <property name=\"wine.version\" value=\"" + XmlEscape(platform.wine) +
              "\"/>\n      <property name=\"command\" value=\"" + XmlEscape(Utf8(outcome.command)) +
              "\"/>\n      <property name=\"result\" value=\"" + XmlEscape(Utf8(outcome.summary)) +
              "\"/>\n    </properties>\n" + body;
    if (!outcome.output.empty()) {
      suites += "    <system-out>" + XmlEscape(outcome.output) + "</system-out>\n";
    }
    suites += "  </testsuite>\n";
    tests += cases.size();
    failures += suite_failures;
    skipped += suite_skipped;
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"ondrel-stub Windows "
         "tests on " +
         XmlEscape(Utf8(platform.windows)) + "\" tests=\"" + std::to_string(tests) +
         "\" failures=\"" + std::to_string(failures) + "\" errors=\"0\" skipped=\"" +
         std::to_string(skipped) + "\">\n" + suites + "</testsuites>\n";
}

int Main(int argc, wchar_t **argv) {
  const std::wstring kit = FolderOf(FullPath(ProgramPath()));
  std::wstring list_path = kit + L"\\runs.txt";
  std::wstring report_path = kit + L"\\report.xml";
  unsigned timeout_override = 0;
  for (int i = 1; i < argc; ++i) {
    const std::wstring option = argv[i];
    if (i + 1 < argc && option == L"--list") {
      list_path = argv[++i];
    } else if (i + 1 < argc && option == L"--report") {
      report_path = argv[++i];
    } else if (i + 1 < argc && option == L"--timeout") {
      timeout_override = static_cast<unsigned>(wcstoul(argv[++i], nullptr, 10));
      if (timeout_override == 0 || timeout_override > 86400) {
        Print(L"ondrel-test-kit: --timeout takes seconds from 1 to 86400\n");
        return 2;
      }
    } else {
      Print(L"usage: ondrel-test-kit [--list FILE] [--report FILE] [--timeout SECONDS]\n");
      return 2;
    }
  }
  list_path = FullPath(list_path);
  report_path = FullPath(report_path);

  // The report's place is tried before any run, so that a folder that cannot take it (a kit
  // unpacked somewhere read-only) costs one line, not a whole run for nothing.
  Handle report(CreateFileW(ForFileCalls(report_path).c_str(), GENERIC_WRITE | DELETE,
                            FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
  if (!report.valid()) {
    Print(L"ondrel-test-kit: cannot write the report " + report_path + L": " +
          ErrorText(GetLastError()) + L" (name another place with --report FILE)\n");
    return 2;
  }
  std::string list_text;
  std::vector<Run> runs;
  std::wstring error;
  if (!ReadWholeFile(list_path, list_text)) {
    error = L"cannot read it: " + ErrorText(GetLastError());
  } else if (ReadRunList(list_text, runs, error) && runs.empty()) {
    error = L"it holds no run";
  }
  // An empty report left behind would read as a run that found nothing.
  FILE_DISPOSITION_INFO discard = {TRUE};
  if (!error.empty()) {
    Print(L"ondrel-test-kit: " + list_path + L": " + error + L"\n");
    SetFileInformationByHandle(report.get(), FileDispositionInfo, &discard, sizeof discard);
    return 2;
  }

  // Logs and the programs' own reports go to a folder of this run's own under %TEMP%.
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring work =
      std::wstring(temp) + L"ondrel-test-kit-" + std::to_wstring(GetCurrentProcessId());
  if (!CreateDirectoryW(work.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    Print(L"ondrel-test-kit: cannot make " + work + L": " + ErrorText(GetLastError()) + L"\n");
    SetFileInformationByHandle(report.get(), FileDispositionInfo, &discard, sizeof discard);
    return 2;
  }

  const Platform platform = WherePlatform();
  Print(L"Ondrel stub tests on " + platform.windows + L", " + std::to_wstring(runs.size()) +
        L" runs, one at a time\n");
  std::vector<Outcome> outcomes;
  size_t passed = 0, failed = 0, skipped = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    const unsigned timeout = timeout_override          ? timeout_override
                             : runs[i].timeout_seconds ? runs[i].timeout_seconds
                                                       : kDefaultTimeoutSeconds;
    outcomes.push_back(Execute(runs[i], kit, work, static_cast<unsigned>(i), timeout));
    const Outcome &outcome = outcomes.back();
    const wchar_t *word = outcome.status == Outcome::Status::kPassed    ? L"PASS"
                          : outcome.status == Outcome::Status::kSkipped ? L"SKIP"
                                                                        : L"FAIL";
    (outcome.status == Outcome::Status::kPassed    ? passed
     : outcome.status == Outcome::Status::kSkipped ? skipped
                                                   : failed)++;
    wchar_t seconds[32];
    swprintf(seconds, 32, L"%.1f s", outcome.seconds);
    Print(std::wstring(word) + L" " + runs[i].name + L": " + outcome.summary + L" (" + seconds +
          L")\n");
  }
  RemoveDirectoryW(work.c_str());

  const std::string xml = Report(runs, outcomes, platform);
  DWORD written = 0;
  const bool saved =
      WriteFile(report.get(), xml.data(), static_cast<DWORD>(xml.size()), &written, nullptr) &&
      written == xml.size();
  Print(std::to_wstring(passed) + L" passed, " + std::to_wstring(failed) + L" failed, " +
        std::to_wstring(skipped) + L" skipped\n");
  if (!saved) {
    Print(L"ondrel-test-kit: cannot write the report " + report_path + L": " +
          ErrorText(GetLastError()) + L"\n");
    return 2;
  }
  Print(L"report: " + report_path + L"\n");
  return failed ? 1 : 0;
}

} // namespace
} // namespace kit

int wmain(int argc, wchar_t **argv) {
  // Inherited by every test program: a crash ends the program instead of waiting on a window.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  return kit::Main(argc, argv);
}
