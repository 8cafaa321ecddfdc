// SPDX-License-Identifier: Zlib
// The staging folder on Windows: made with a name of its own beside OUT, moved into place with
// MoveFileExW, and removed when a console event (Ctrl-C, Ctrl-Break, the console closing) ends
// the packer.
#include "platform/output_file.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "base/pack_error.h"
#include "platform/native_path.h"

namespace packer {
namespace {

// What the console handler removes. It runs on a thread of its own while the main thread may be
// writing, so it reads only these fixed buffers, filled before a path is used.
constexpr std::size_t kMaxFiles = 8;
constexpr std::size_t kMaxPath = 4096;
wchar_t g_directory[kMaxPath];
wchar_t g_files[kMaxFiles][kMaxPath];
std::atomic<std::size_t> g_file_count{0};
// The staged files open for writing. Whichever of CloseStaged and the handler takes a handle
// from here closes it, so it is never closed twice.
std::atomic<HANDLE> g_open[kMaxFiles];
// The signer's process, which runs detached from the console and so misses its events.
std::atomic<HANDLE> g_helper{nullptr};

// POSIX semantics take the name away even while the file is still open somewhere; where the
// system lacks them it is marked for deletion instead.
// Declared by the headers only for Windows 10 1709 and later, which the packer does not require.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

void DeleteNow(const wchar_t *path) {
  const HANDLE file =
      CreateFileW(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  FILE_DISPOSITION_INFO_EX posix = {FILE_DISPOSITION_FLAG_DELETE |
                                    FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
  if (!SetFileInformationByHandle(file, kFileDispositionInfoEx, &posix, sizeof(posix))) {
    FILE_DISPOSITION_INFO plain = {TRUE};
    SetFileInformationByHandle(file, FileDispositionInfo, &plain, sizeof(plain));
  }
  CloseHandle(file);
}

void RemoveStaged() {
  for (std::atomic<HANDLE> &open : g_open) {
    if (const HANDLE file = open.exchange(nullptr); file != nullptr) {
      CloseHandle(file);
    }
  }
  const std::size_t count = g_file_count.load();
  for (std::size_t i = 0; i < count; ++i) {
    DeleteNow(g_files[i]);
  }
  if (g_directory[0] != L'\0') {
    RemoveDirectoryW(g_directory);
  }
}

BOOL WINAPI OnConsoleEvent(DWORD) {
  if (const HANDLE helper = g_helper.exchange(nullptr); helper != nullptr) {
    TerminateProcess(helper, 130);
    WaitForSingleObject(helper, INFINITE);
  }
  RemoveStaged();
  // Not ExitProcess: the main thread may hold the C runtime's locks, which exit handlers take.
  // 130, as a shell reports a run ended by Ctrl-C.
  TerminateProcess(GetCurrentProcess(), 130);
  return TRUE;
}

// A `\\?\` path takes no forward slashes; any other takes either, and keeping the separator OUT
// was given with keeps a staged path usable by a helper program that reads only `/`.
char SeparatorFor(const std::string &out) {
  return out.find('\\') != std::string::npos ? '\\' : '/';
}

} // namespace

StagingDirectory::StagingDirectory(const std::string &out) {
  const std::filesystem::path folder = NativePath(out).parent_path();
  const std::string base = folder.empty() ? std::string(".") : Utf8Path(folder);
  DWORD seed = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
  DWORD error = ERROR_ALREADY_EXISTS;
  for (int attempt = 0; attempt < 100 && error == ERROR_ALREADY_EXISTS; ++attempt) {
    std::string name = ".pack-stub.";
    for (int i = 0; i < 6; ++i) {
      seed = seed * 1664525u + 1013904223u;
      name += "abcdefghijklmnopqrstuvwxyz0123456789"[(seed >> 16) % 36];
    }
    path_ = base + SeparatorFor(out) + name;
    const std::wstring wide = WidePath(path_);
    if (wide.size() >= kMaxPath - 64) {
      throw PackError("-o: the path is too long: " + out);
    }
    error = CreateDirectoryW(wide.c_str(), nullptr) ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_SUCCESS) {
      wcscpy(g_directory, wide.c_str());
    }
  }
  if (error != ERROR_SUCCESS) {
    throw PackError("-o: cannot write into " + base + ": " + SystemErrorText(error));
  }
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

StagingDirectory::~StagingDirectory() {
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  RemoveStaged();
  g_file_count = 0;
  g_directory[0] = L'\0';
}

std::string StagingDirectory::File(const std::string &name) {
  const std::string path = path_ + SeparatorFor(path_) + name;
  const std::size_t count = g_file_count.load();
  if (count == kMaxFiles) {
    throw std::logic_error("too many staged files");
  }
  wcscpy(g_files[count], WidePath(path).c_str());
  g_file_count = count + 1;
  return path;
}

std::FILE *OpenStaged(const std::string &path) {
  const HANDLE file =
      CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
    return nullptr;
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY);
  std::FILE *stream = descriptor != -1 ? _fdopen(descriptor, "wb") : nullptr;
  if (stream == nullptr) {
    descriptor != -1 ? _close(descriptor) : CloseHandle(file);
    return nullptr;
  }
  for (std::atomic<HANDLE> &open : g_open) {
    HANDLE empty = nullptr;
    if (open.compare_exchange_strong(empty, file)) {
      break;
    }
  }
  return stream;
}

int CloseStaged(std::FILE *file) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  for (std::atomic<HANDLE> &open : g_open) {
    HANDLE expected = handle;
    if (open.compare_exchange_strong(expected, nullptr)) {
      return std::fclose(file);
    }
  }
  // The console handler has closed it: the run is ending.
  return EOF;
}

void SetStagedHelper(std::intptr_t process) { g_helper = reinterpret_cast<HANDLE>(process); }

// What OUT opens as, without reading or writing it: the system's devices (NUL, CON) open as
// characters and a FIFO under Wine as a pipe. The device namespace (\\.\) is not opened at
// all: opening a named pipe there would connect to it.
const char *RefusedKind(const std::string &out) {
  if (out.rfind("\\\\.\\", 0) == 0) {
    return "a device";
  }
  const HANDLE file = CreateFileW(
      WidePath(out).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  const DWORD type = GetFileType(file);
  BY_HANDLE_FILE_INFORMATION information = {};
  const bool known = GetFileInformationByHandle(file, &information);
  CloseHandle(file);
  if (type == FILE_TYPE_CHAR) {
    return "a device";
  }
  if (type == FILE_TYPE_PIPE) {
    return "a pipe";
  }
  const DWORD attributes = known ? information.dwFileAttributes : 0;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    return nullptr;
  }
  return attributes & FILE_ATTRIBUTE_DIRECTORY ? "a directory" : nullptr;
}

void StagingDirectory::Publish(const std::string &file, const std::string &out) {
  RefuseOutputKind(out);
  if (!MoveFileExW(WidePath(file).c_str(), WidePath(out).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    throw PackError("cannot write " + out + ": " + SystemErrorText(GetLastError()));
  }
}

} // namespace packer
