// The stub's own entry point: no C runtime starts before it, and it never returns.
#include <windows.h>

#include "run/installer_run.h"
#include "run/library_search.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" [[noreturn]] void StubEntry() {
  LimitLibrarySearchToSystem();
  const RunResult result = RunInstaller(reinterpret_cast<HMODULE>(&__ImageBase));
  ExitProcess(result.exit_code);
}
