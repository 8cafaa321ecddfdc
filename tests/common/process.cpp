// SPDX-License-Identifier: Zlib
#include "common/process.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "common/scratch.h"

namespace {

HANDLE CreateOnce(const std::wstring &application, const std::wstring &command_line,
                  DWORD &start_error) {
  std::wstring line = command_line; // CreateProcessW may write into it
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    start_error = GetLastError();
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

} // namespace

HANDLE StartProcess(const std::wstring &application, const std::wstring &command_line,
                    DWORD &start_error) {
  const HANDLE process = CreateOnce(application, command_line, start_error);
  // Under load Wine now and then fails a start with this code and no process at all: nothing
  // ran, so it is made once more. Every other failure is the test's to see.
  if (process != nullptr || start_error != ERROR_INTERNAL_ERROR) {
    return process;
  }
  fprintf(stderr, "%ls could not be started (error %lu); started once more\n", application.c_str(),
          static_cast<unsigned long>(start_error));
  return CreateOnce(application, command_line, start_error);
}

ProcessOutcome WaitForProcess(HANDLE process) {
  ProcessOutcome outcome;
  outcome.started = true;
  // Generous: a run only waits out its own removal pauses; a hang must fail, not block CI.
  EXPECT_EQ(WaitForSingleObject(process, 120000), WAIT_OBJECT_0);
  GetExitCodeProcess(process, &outcome.exit_code);
  CloseHandle(process);
  return outcome;
}

bool NeverRan(DWORD exit_code) {
  switch (exit_code) {
  case 0xC0000135: // STATUS_DLL_NOT_FOUND
  case 0xC0000139: // STATUS_ENTRYPOINT_NOT_FOUND
  case 0xC0000142: // STATUS_DLL_INIT_FAILED
  case 0xC000007B: // STATUS_INVALID_IMAGE_FORMAT
    return true;
  default:
    return false;
  }
}

namespace {

ProcessOutcome RunOnce(const std::wstring &application, const std::wstring &command_line) {
  DWORD start_error = 0;
  const HANDLE process = StartProcess(application, command_line, start_error);
  if (process == nullptr) {
    ProcessOutcome outcome;
    outcome.start_error = start_error;
    return outcome;
  }
  return WaitForProcess(process);
}

} // namespace

ProcessOutcome RunProcess(const std::wstring &application, const std::wstring &command_line) {
  const ProcessOutcome outcome = RunOnce(application, command_line);
  if (!outcome.started || !NeverRan(outcome.exit_code)) {
    return outcome;
  }
  fprintf(stderr, "%ls ended with 0x%08lX before any of its code ran; started once more\n",
          application.c_str(), static_cast<unsigned long>(outcome.exit_code));
  return RunOnce(application, command_line);
}

std::wstring TakeRecordedCommandLine(const std::wstring &record) {
  if (!PathExists(record)) {
    return L"";
  }
  const std::string bytes = ReadFileBytes(record);
  DeleteFileW(record.c_str());
  return std::wstring(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / 2);
}
