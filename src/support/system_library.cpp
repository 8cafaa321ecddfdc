// SPDX-License-Identifier: Zlib
#include "support/system_library.h"

#include "support/bounded_string.h"

namespace {

constexpr const wchar_t *kSystemDirectories[] = {
    L"%WINDIR%\\system32\\",
    L"%SYSTEMROOT%\\system32\\",
    L"C:\\Windows\\system32\\",
};

} // namespace

HMODULE LoadSystemLibrary(const wchar_t *file_name) {
  PathBuffer path;
  for (const wchar_t *directory : kSystemDirectories) {
    const DWORD count = ExpandEnvironmentStringsW(directory, path.text, kPathCapacity);
    if (count >= 1 && count <= kPathCapacity &&
        BoundedAppend(path.text, kPathCapacity, file_name)) {
      // The library's own folder, the system directory, is searched first for what it needs.
      const HMODULE module = LoadLibraryExW(path.text, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
      if (module != nullptr) {
        return module;
      }
    }
    path.text[0] = L'\0';
  }
  return nullptr;
}

LPWSTR *WINAPI SystemCommandLineToArgvW(LPCWSTR command_line, int *count) {
  using Split = LPWSTR *(WINAPI *)(LPCWSTR, int *);
  const HMODULE shell32 = LoadSystemLibrary(L"shell32.dll");
  const Split split = shell32 == nullptr ? nullptr : LookUp<Split>(shell32, "CommandLineToArgvW");
  return split == nullptr ? nullptr : split(command_line, count);
}
