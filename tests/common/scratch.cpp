// SPDX-License-Identifier: Zlib
#include "common/scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

ScratchDirectory::ScratchDirectory() {
  static std::atomic<unsigned> counter{0};
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  for (;;) {
    path_ = std::wstring(temp) + L"stubtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter++) + L"\\";
    if (CreateDirectoryW(path_.c_str(), nullptr)) {
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      ADD_FAILURE() << "cannot create a scratch directory: " << GetLastError();
      return;
    }
  }
}

ScratchDirectory::~ScratchDirectory() { RemoveTree(path_); }

void RemoveTree(const std::wstring &path) {
  std::wstring plain = path;
  while (!plain.empty() && plain.back() == L'\\') {
    plain.pop_back();
  }
  const DWORD attributes = GetFileAttributesW(plain.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return;
  }
  SetFileAttributesW(plain.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    for (const std::wstring &name : ListDirectory(plain + L"\\")) {
      RemoveTree(plain + L"\\" + name);
    }
    RemoveDirectoryW(plain.c_str());
  } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    RemoveDirectoryW(plain.c_str());
  } else {
    DeleteFileW(plain.c_str());
  }
}

bool PathExists(const std::wstring &path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::wstring &path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void WriteTextFile(const std::wstring &path, const std::string &content) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << Narrow(path) << ": " << GetLastError();
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(file);
  ASSERT_TRUE(ok && written == content.size()) << Narrow(path);
}

std::string ReadFileBytes(const std::wstring &path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return "<unreadable>";
  }
  LARGE_INTEGER size = {};
  GetFileSizeEx(file, &size);
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  const BOOL ok = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  CloseHandle(file);
  return ok && read == bytes.size() ? bytes : "<unreadable>";
}

std::vector<std::wstring> ListDirectory(const std::wstring &directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((directory + L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    return names;
  }
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") {
      names.push_back(name);
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

std::wstring ProgramDirectory() {
  wchar_t path[32768] = {};
  const DWORD count = GetModuleFileNameW(nullptr, path, 32767);
  std::wstring directory(path, count);
  return directory.substr(0, directory.rfind(L'\\') + 1);
}

void CreateDirectories(const std::wstring &directory) {
  for (size_t at = directory.find(L'\\', 3); at != std::wstring::npos;
       at = directory.find(L'\\', at + 1)) {
    CreateDirectoryW(directory.substr(0, at).c_str(), nullptr);
  }
  CreateDirectoryW(directory.c_str(), nullptr);
}

bool IsWorkDirectoryName(const std::wstring &name) {
  if (name.size() != 12 || name.substr(0, 3) != L"QV_" || name.substr(8) != L".tmp") {
    return false;
  }
  for (wchar_t c : name.substr(3, 5)) {
    if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'))) {
      return false;
    }
  }
  return true;
}

std::string Utf16Bytes(const std::wstring &text) {
  return std::string(reinterpret_cast<const char *>(text.data()), text.size() * sizeof(wchar_t));
}

std::string Narrow(const std::wstring &text) {
  std::string out;
  for (wchar_t c : text) {
    out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return out;
}

std::string Utf8(const std::wstring &text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}
