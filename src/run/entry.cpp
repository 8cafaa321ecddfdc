// SPDX-License-Identifier: Zlib
// The stub's own entry point: no C runtime starts before it, and it never returns.
#include <windows.h>

#include "run/installer_run.h"
#include "run/library_search.h"
#include "run/stage_profile.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" [[noreturn]] void StubEntry() {
  MarkStage(Stage::kEntry);
  LimitLibrarySearchToSystem();
  const RunResult result = RunInstaller(reinterpret_cast<HMODULE>(&__ImageBase));
  WriteStageProfile();
  ExitProcess(result.exit_code);
}
