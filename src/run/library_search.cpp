// SPDX-License-Identifier: Zlib
#include "run/library_search.h"

#include <windows.h>

bool LimitLibrarySearchToSystem() {
  // Looked up rather than imported: importing it would keep the stub from starting at all on a
  // system without it.
  using SetDefaultDllDirectoriesCall = BOOL(WINAPI *)(DWORD);
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const FARPROC found =
      kernel32 == nullptr ? nullptr : GetProcAddress(kernel32, "SetDefaultDllDirectories");
  if (found == nullptr) {
    return false;
  }
  const auto set_default_directories =
      reinterpret_cast<SetDefaultDllDirectoriesCall>(reinterpret_cast<void *>(found));
  return set_default_directories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}
