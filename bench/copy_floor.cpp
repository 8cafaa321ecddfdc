// SPDX-License-Identifier: Zlib
// The physical floor of a stub run: the same two files copied from disk with CopyFileW into a
// fresh directory, the setup program run on the archive and waited for, everything deleted.
//   copy-floor [--bound] ARCHIVE SETUP FOLDER
// --bound adds what every stub must do on top of that: load shell32 by its full system path and
// split the command line with it, and flush "setup.exe" to disk before running it.
// With ONDREL_STAGE_PROFILE naming a file, a successful run appends one line to it as the
// profiling stub does: the counter frequency, then the counter at the start of wmain, after the
// split, after the files are written, at the setup program's exit and after the removals.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "support/system_library.h"

namespace {

// Through the stub's own loader of system libraries, as every stub splits its command line.
bool SplitCommandLine() {
  int count = 0;
  LPWSTR *arguments = SystemCommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) {
    return false;
  }
  LocalFree(arguments);
  return true;
}

bool Flush(const std::wstring &path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool flushed = FlushFileBuffers(file) != FALSE;
  CloseHandle(file);
  return flushed;
}

class Stamps {
public:
  void Mark() { QueryPerformanceCounter(&ticks_[count_++]); }
  void Append() const {
    const wchar_t *path = _wgetenv(L"ONDREL_STAGE_PROFILE");
    FILE *file = path == nullptr ? nullptr : _wfopen(path, L"a");
    if (file == nullptr) {
      return;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::fprintf(file, "%lld", frequency.QuadPart);
    for (int i = 0; i < count_; ++i) {
      std::fprintf(file, " %lld", ticks_[i].QuadPart);
    }
    std::fprintf(file, "\n");
    std::fclose(file);
  }

private:
  LARGE_INTEGER ticks_[5] = {};
  int count_ = 0;
};

} // namespace

int wmain(int argc, wchar_t **argv) {
  Stamps stamps;
  stamps.Mark();
  const bool bound = argc > 1 && std::wcscmp(argv[1], L"--bound") == 0;
  if (bound) {
    --argc;
    ++argv;
  }
  if (argc != 4 || (bound && !SplitCommandLine())) {
    return 2;
  }
  stamps.Mark();
  const std::wstring directory = std::wstring(argv[3]) + L"\\floor.tmp\\";
  const std::wstring archive = directory + L"ONDREL.PACKED.7Z";
  const std::wstring setup = directory + L"setup.exe";
  // Copies that may not replace a file (the folder is new): Wine replaces a file by truncating it,
  // after which ext4 writes it back as soon as it is closed, a cost a stub need not pay either.
  if (!CreateDirectoryW(directory.c_str(), nullptr) || !CopyFileW(argv[1], archive.c_str(), TRUE) ||
      !CopyFileW(argv[2], setup.c_str(), TRUE) || (bound && !Flush(setup))) {
    return 3;
  }
  stamps.Mark();
  std::wstring command = L"\"" + setup + L"\" --install-archive=\"" + archive + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(setup.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &process)) {
    return 4;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  stamps.Mark();
  DWORD exit_code = 1;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hProcess);
  const bool removed = DeleteFileW(archive.c_str()) && DeleteFileW(setup.c_str()) &&
                       RemoveDirectoryW(directory.c_str());
  stamps.Mark();
  if (exit_code != 0 || !removed) {
    return 5;
  }
  stamps.Append();
  return 0;
}
