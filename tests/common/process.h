// SPDX-License-Identifier: Zlib
#pragma once

#include <windows.h>

#include <optional>
#include <string>

struct ProcessOutcome {
  bool started = false;
  DWORD start_error = 0;
  // The full 32-bit code from GetExitCodeProcess; Wine's own exit status keeps only 8 bits.
  DWORD exit_code = 0;
};

// True for an exit status that the loader gives before any of the program's own code has run:
// under load Wine now and then fails a start this way, and such a run is made once more.
bool NeverRan(DWORD exit_code);

// Starts application with exactly command_line (argument 0 included) and waits for it; a run that
// NeverRan is started once more, said on stderr (a program that ran is never run again).
ProcessOutcome RunProcess(const std::wstring &application, const std::wstring &command_line);

// The two halves of RunProcess, for running several at once: the process handle, or null with
// the reason in start_error (a start Wine failed with no process at all is made once more); then
// its outcome once it has ended (the handle is closed).
HANDLE StartProcess(const std::wstring &application, const std::wstring &command_line,
                    DWORD &start_error);
ProcessOutcome WaitForProcess(HANDLE process);

// The command line the controllable setup program recorded in the file record (UTF-16), which is
// deleted so the next run starts afresh; empty when no setup program ran.
std::wstring TakeRecordedCommandLine(const std::wstring &record);

// Sets one environment variable of this process, which the programs it starts inherit, or
// removes it (nullopt); removed again when the holder goes.
class ScopedEnvironmentVariable {
public:
  ScopedEnvironmentVariable(const wchar_t *name, const std::optional<std::wstring> &value)
      : name_(name) {
    SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
  }
  ~ScopedEnvironmentVariable() { SetEnvironmentVariableW(name_, nullptr); }
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable &) = delete;
  ScopedEnvironmentVariable &operator=(const ScopedEnvironmentVariable &) = delete;

private:
  const wchar_t *name_;
};
