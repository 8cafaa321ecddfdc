// SPDX-License-Identifier: Zlib
#include "common/platform.h"

#include <windows.h>

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool CanWriteMachineKeys() {
  if (RunningUnderWine()) {
    return true;
  }
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  const bool elevated =
      GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
      elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return elevated;
}
