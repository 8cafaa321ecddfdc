#pragma once

#include <windows.h>

#include <string>

struct ProcessOutcome {
  bool started = false;
  DWORD start_error = 0;
  // The full 32-bit code from GetExitCodeProcess; Wine's own exit status keeps only 8 bits.
  DWORD exit_code = 0;
};

// Starts application with exactly command_line (argument 0 included) and waits for it.
ProcessOutcome RunProcess(const std::wstring &application, const std::wstring &command_line);
