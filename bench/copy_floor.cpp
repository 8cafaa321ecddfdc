// The physical floor of a stub run: the same two files copied from disk with CopyFileW into a
// fresh directory, the setup program run on the archive and waited for, everything deleted.
//   copy-floor [--bound] ARCHIVE SETUP FOLDER
// --bound adds what every stub must do on top of that: load shell32 by its full system path and
// split the command line with it, and flush "setup.exe" to disk before running it.
#include <windows.h>

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

} // namespace

int wmain(int argc, wchar_t **argv) {
  const bool bound = argc > 1 && std::wcscmp(argv[1], L"--bound") == 0;
  if (bound) {
    --argc;
    ++argv;
  }
  if (argc != 4 || (bound && !SplitCommandLine())) {
    return 2;
  }
  const std::wstring directory = std::wstring(argv[3]) + L"\\floor.tmp\\";
  const std::wstring archive = directory + L"ONDREL.PACKED.7Z";
  const std::wstring setup = directory + L"setup.exe";
  // Copies that may not replace a file (the folder is new): Wine replaces a file by truncating it,
  // after which ext4 writes it back as soon as it is closed, a cost a stub need not pay either.
  if (!CreateDirectoryW(directory.c_str(), nullptr) || !CopyFileW(argv[1], archive.c_str(), TRUE) ||
      !CopyFileW(argv[2], setup.c_str(), TRUE) || (bound && !Flush(setup))) {
    return 3;
  }
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
  DWORD exit_code = 1;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hProcess);
  const bool removed = DeleteFileW(archive.c_str()) && DeleteFileW(setup.c_str()) &&
                       RemoveDirectoryW(directory.c_str());
  return exit_code == 0 && removed ? 0 : 5;
}
