// SPDX-License-Identifier: Zlib
#include "platform/native_path.h"

#ifdef _WIN32
#include <cstring>
#include <windows.h>
#endif

namespace packer {
namespace fs = std::filesystem;

fs::path NativePath(const std::string &path) {
  return fs::path(std::u8string(path.begin(), path.end()));
}

std::string Utf8Path(const fs::path &path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

#ifdef _WIN32

std::wstring WidePath(const std::string &path) { return NativePath(path).wstring(); }

std::string SystemErrorText(unsigned long code) {
  wchar_t *text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
  std::wstring message(text != nullptr ? text : L"", length);
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L' ' || message.back() == L'.')) {
    message.pop_back();
  }
  if (message.empty()) {
    return "error " + std::to_string(code);
  }
  return Utf8Path(std::filesystem::path(message));
}

std::FILE *OpenFile(const std::string &path, const char *mode) {
  return _wfopen(WidePath(path).c_str(), std::wstring(mode, mode + std::strlen(mode)).c_str());
}

std::string ProgramPath(const char *) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      return Utf8Path(fs::path(path));
    }
    path.resize(path.size() * 2);
  }
}

#else

std::FILE *OpenFile(const std::string &path, const char *mode) {
  return std::fopen(path.c_str(), mode);
}

std::string ProgramPath(const char *argv0) {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string(argv0) : self.string();
}

#endif

} // namespace packer
