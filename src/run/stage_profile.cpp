// SPDX-License-Identifier: Zlib
// Compiled only into the bench-only profiling stub; see stage_profile.h.
#include "run/stage_profile.h"

#include <windows.h>

namespace {

// Zero-initialised: no start-up code runs in the stub.
LARGE_INTEGER g_stage_ticks[static_cast<unsigned>(Stage::kCount)];

// What the reports call each stage, in the order of Stage: they find a mark by its name, so a
// stage added here shows up in them as it is.
constexpr const char *kStageNames[] = {"entry",
                                       "configured",
                                       "work_directory_made",
                                       "full_install_marked",
                                       "archive_written",
                                       "setup_expanded",
                                       "setup_flushed",
                                       "payload_extracted",
                                       "working_set_trimmed",
                                       "setup_ran",
                                       "files_removed",
                                       "outcome_recorded",
                                       "exit"};
static_assert(sizeof(kStageNames) / sizeof(kStageNames[0]) == static_cast<unsigned>(Stage::kCount));

char *AppendText(char *end, const char *text) {
  while (*text != '\0') {
    *end++ = *text++;
  }
  return end;
}

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
  // "frequency=F entry=T configured=T ...": every name is shorter than 24 characters.
  char line[(24 + 1 + 20 + 1) * (static_cast<unsigned>(Stage::kCount) + 1) + 2];
  char *end = AppendDecimal(AppendText(line, "frequency="), frequency.QuadPart);
  for (unsigned i = 0; i < static_cast<unsigned>(Stage::kCount); ++i) {
    *end++ = ' ';
    end = AppendText(AppendText(end, kStageNames[i]), "=");
    end = AppendDecimal(end, g_stage_ticks[i].QuadPart);
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
