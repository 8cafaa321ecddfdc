// The physical floor of a stub run: the same two files copied from disk with CopyFileW into a
// fresh directory, the setup program run on the archive and waited for, everything deleted.
//   copy-floor ARCHIVE SETUP FOLDER
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t **argv) {
  if (argc != 4) {
    return 2;
  }
  const std::wstring directory = std::wstring(argv[3]) + L"\\floor.tmp\\";
  const std::wstring archive = directory + L"ONDREL.PACKED.7Z";
  const std::wstring setup = directory + L"setup.exe";
  if (!CreateDirectoryW(directory.c_str(), nullptr) ||
      !CopyFileW(argv[1], archive.c_str(), FALSE) || !CopyFileW(argv[2], setup.c_str(), FALSE)) {
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
