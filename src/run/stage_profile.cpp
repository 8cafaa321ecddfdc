// SPDX-License-Identifier: Zlib
// Compiled only into the bench-only profiling stub; see stage_profile.h.
#include "run/stage_profile.h"

#include <windows.h>

namespace {

// Zero-initialised: no start-up code runs in the stub.
LARGE_INTEGER g_stage_ticks[static_cast<unsigned>(Stage::kCount)];

// Appends the decimal digits of value; returns the new end.
char *AppendDecimal(char *end, unsigned long long value) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) {
    *end++ = digits[--count];
  }
  return end;
}

} // namespace

void MarkStage(Stage stage) {
  QueryPerformanceCounter(&g_stage_ticks[static_cast<unsigned>(stage)]);
}

void WriteStageProfile() {
  MarkStage(Stage::kExit);
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD length = GetEnvironmentVariableW(L"ONDREL_STAGE_PROFILE", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return;
  }
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  char line[21 * (static_cast<unsigned>(Stage::kCount) + 1) + 2];
  char *end = AppendDecimal(line, frequency.QuadPart);
  for (const LARGE_INTEGER &ticks : g_stage_ticks) {
    *end++ = ' ';
    end = AppendDecimal(end, ticks.QuadPart);
  }
  *end++ = '\r';
  *end++ = '\n';
  // Appended in one write: runs of several profiling stubs may share the file.
  const HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(end - line), &written, nullptr);
  CloseHandle(file);
}
