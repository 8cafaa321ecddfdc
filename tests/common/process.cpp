#include "common/process.h"

#include <gtest/gtest.h>

#include "common/scratch.h"

ProcessOutcome RunProcess(const std::wstring &application, const std::wstring &command_line) {
  ProcessOutcome outcome;
  std::wstring line = command_line; // CreateProcessW may write into it
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    outcome.start_error = GetLastError();
    return outcome;
  }
  CloseHandle(process.hThread);
  outcome.started = true;
  // Generous: a run only waits out its own removal pauses; a hang must fail, not block CI.
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 120000), WAIT_OBJECT_0);
  GetExitCodeProcess(process.hProcess, &outcome.exit_code);
  CloseHandle(process.hProcess);
  return outcome;
}

std::wstring TakeRecordedCommandLine(const std::wstring &record) {
  if (!PathExists(record)) {
    return L"";
  }
  const std::string bytes = ReadFileBytes(record);
  DeleteFileW(record.c_str());
  return std::wstring(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / 2);
}
