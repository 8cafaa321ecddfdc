// SPDX-License-Identifier: Zlib
#pragma once

#include <windows.h>

// Loads a library of the system from its full path in the system directory, never by bare name:
// the executable's own folder, which is searched first for bare names, may hold a planted copy.
// Null when no system directory holds it, with the reason in the last-error value. Libraries
// loaded this way stay loaded until the process ends.
HMODULE LoadSystemLibrary(const wchar_t *file_name);

// GetProcAddress answers a generic function pointer; the entry's real type is the documented one.
template <typename Fn> Fn LookUp(HMODULE module, const char *name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

// CommandLineToArgvW from shell32, loaded on first use through LoadSystemLibrary. shell32 is not
// imported: an import is resolved before the entry point can restrict the library search, along
// with libraries of shell32's own that would then be looked for beside the executable first.
LPWSTR *WINAPI SystemCommandLineToArgvW(LPCWSTR command_line, int *count);
