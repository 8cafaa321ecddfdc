// SPDX-License-Identifier: Zlib
// The physical floor of a stub run: the same two files copied from disk with CopyFileW into a
// fresh directory, the setup program run on the archive and waited for, everything deleted.
//   copy-floor [--bound] ARCHIVE SETUP FOLDER
// --bound adds what every stub must do on top of that: load shell32 by its full system path and
// split the command line with it, and flush "setup.exe" to disk before running it.
// With ONDREL_STAGE_PROFILE naming a file, a successful run appends one line to it as the
// profiling stub does: "frequency=F", then "name=T" for the counter at the start of wmain
// (entry), after the split (configured), after the files are written (files_written), at the
// setup program's exit (setup_ran) and after the removals (files_removed).
// A run that fails removes what it made before it ends, so that the next run can make it afresh.
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

bool Gone(BOOL removed) {
  return removed || GetLastError() == ERROR_FILE_NOT_FOUND ||
         GetLastError() == ERROR_PATH_NOT_FOUND;
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
  void Mark(const char *name) {
    names_[count_] = name;
    QueryPerformanceCounter(&ticks_[count_++]);
  }
  void Append() const {
    const wchar_t *path = _wgetenv(L"ONDREL_STAGE_PROFILE");
    FILE *file = path == nullptr ? nullptr : _wfopen(path, L"a");
    if (file == nullptr) {
      return;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::fprintf(file, "frequency=%lld", frequency.QuadPart);
    for (int i = 0; i < count_; ++i) {
      std::fprintf(file, " %s=%lld", names_[i], ticks_[i].QuadPart);
    }
    std::fprintf(file, "\n");
    std::fclose(file);
  }

private:
  LARGE_INTEGER ticks_[5] = {};
  const char *names_[5] = {};
  int count_ = 0;
};

// What the run made, removed again on the paths that fail, so that the next run finds the folder
// as this one found it. A successful run removes its files itself, timed, as a stub does.
class Made {
public:
  explicit Made(const std::wstring &directory)
      : directory_(directory), archive_(directory + L"ONDREL.PACKED.7Z"),
        setup_(directory + L"setup.exe") {}
  const std::wstring &Archive() const { return archive_; }
  const std::wstring &Setup() const { return setup_; }

  // Copies that may not replace a file (the folder is new): Wine replaces a file by truncating
  // it, after which ext4 writes it back as soon as it is closed, a cost a stub need not pay either.
  bool Write(const wchar_t *archive, const wchar_t *setup, bool bound) {
    if (!CreateDirectoryW(directory_.c_str(), nullptr)) {
      return false; // not ours: a folder that was there before is left alone
    }
    // A copy that failed may have left part of its file.
    directory_made_ = archive_made_ = true;
    if (!CopyFileW(archive, archive_.c_str(), TRUE)) {
      return false;
    }
    setup_made_ = true;
    return CopyFileW(setup, setup_.c_str(), TRUE) && (!bound || Flush(setup_));
  }
  bool Remove() {
    const bool removed = DeleteFileW(archive_.c_str()) && DeleteFileW(setup_.c_str()) &&
                         RemoveDirectoryW(directory_.c_str());
    directory_made_ = archive_made_ = setup_made_ = !removed;
    return removed;
  }
  // Under Wine a file the setup program had open may not be removable for a moment after it ends.
  ~Made() {
    for (int attempt = 0; directory_made_ && attempt < 100; ++attempt) {
      archive_made_ = archive_made_ && !Gone(DeleteFileW(archive_.c_str()));
      setup_made_ = setup_made_ && !Gone(DeleteFileW(setup_.c_str()));
      directory_made_ = archive_made_ || setup_made_ || !Gone(RemoveDirectoryW(directory_.c_str()));
      if (directory_made_) {
        Sleep(10);
      }
    }
  }

private:
  std::wstring directory_, archive_, setup_;
  bool directory_made_ = false, archive_made_ = false, setup_made_ = false;
};

// Runs the setup program on the archive and waits for it; false when it could not be started.
bool RunSetup(const Made &made, Stamps &stamps, DWORD &exit_code) {
  std::wstring command = L"\"" + made.Setup() + L"\" --install-archive=\"" + made.Archive() + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(made.Setup().c_str(), command.data(), nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  stamps.Mark("setup_ran");
  exit_code = 1;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hProcess);
  return true;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  Stamps stamps;
  stamps.Mark("entry");
  const bool bound = argc > 1 && std::wcscmp(argv[1], L"--bound") == 0;
  if (bound) {
    --argc;
    ++argv;
  }
  if (argc != 4 || (bound && !SplitCommandLine())) {
    return 2;
  }
  stamps.Mark("configured");
  Made made(std::wstring(argv[3]) + L"\\floor.tmp\\");
  if (!made.Write(argv[1], argv[2], bound)) {
    return 3;
  }
  stamps.Mark("files_written");
  DWORD exit_code = 1;
  if (!RunSetup(made, stamps, exit_code)) {
    return 4;
  }
  const bool removed = made.Remove();
  stamps.Mark("files_removed");
  if (exit_code != 0 || !removed) {
    return 5;
  }
  stamps.Append();
  return 0;
}
