// SPDX-License-Identifier: Zlib
#pragma once

// What every whole-stub test needs: a folder holding a copy of a packed stub, as a user's
// download would sit there, its runs, and what they leave and pass on.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/registry.h"
#include "common/scratch.h"
#include "common/stub_process.h"
#include "fixtures/setup_fixture.h"

// Reports the names added to and removed from one directory while it is watched.
class DirectoryWatch {
public:
  explicit DirectoryWatch(const std::wstring &directory) : directory_(directory) {
    handle_ = CreateFileW(directory.c_str(), FILE_LIST_DIRECTORY, 7, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Arm();
  }
  ~DirectoryWatch() {
    CancelIo(handle_);
    CloseHandle(handle_);
    CloseHandle(event_);
  }

  // Collects what has happened; call it after the watched process has ended, when every change
  // has already been made. A marker file made and removed now comes after all of them, so the
  // collection ends when the marker's removal is seen, however slowly the events arrive; a watch
  // that never sees it (or overflowed) fails the test rather than report too little.
  void Drain(std::vector<std::wstring> &added, std::vector<std::wstring> &removed) {
    const std::wstring marker = L"watch-marker-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(++markers_);
    const HANDLE file =
        CreateFileW((directory_ + (directory_.back() == L'\\' ? L"" : L"\\") + marker).c_str(),
                    GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(file);
    // Only a hang guard: the marker's removal is the event that ends the wait.
    while (WaitForSingleObject(event_, 120000) == WAIT_OBJECT_0) {
      DWORD bytes = 0;
      ASSERT_TRUE(GetOverlappedResult(handle_, &overlapped_, &bytes, FALSE)) << GetLastError();
      ASSERT_NE(bytes, 0u) << "the directory watch overflowed and lost events";
      bool marker_removed = false;
      for (auto *info = reinterpret_cast<FILE_NOTIFY_INFORMATION *>(buffer_);;
           info = reinterpret_cast<FILE_NOTIFY_INFORMATION *>(reinterpret_cast<char *>(info) +
                                                              info->NextEntryOffset)) {
        const std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
        if (name == marker) {
          marker_removed = marker_removed || info->Action == FILE_ACTION_REMOVED;
        } else if (info->Action == FILE_ACTION_ADDED) {
          added.push_back(name);
        } else if (info->Action == FILE_ACTION_REMOVED) {
          removed.push_back(name);
        }
        if (info->NextEntryOffset == 0) {
          break;
        }
      }
      Arm();
      if (marker_removed) {
        return;
      }
    }
    ADD_FAILURE() << "the directory watch never saw its marker " << Narrow(marker);
  }

private:
  void Arm() {
    ResetEvent(event_);
    overlapped_ = {};
    overlapped_.hEvent = event_;
    ReadDirectoryChangesW(handle_, buffer_, sizeof(buffer_), FALSE,
                          FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_FILE_NAME, nullptr,
                          &overlapped_, nullptr);
  }

  std::wstring directory_;
  int markers_ = 0;
  HANDLE handle_;
  HANDLE event_;
  OVERLAPPED overlapped_ = {};
  alignas(DWORD) char buffer_[16384];
};

inline constexpr wchar_t kStubName[] = L"ondrel-stub.exe";

// Stubs packed at build time: a real 7z archive and the controllable setup program.
inline std::wstring PackedStub(const wchar_t *name) { return ProgramDirectory() + L"e2e\\" + name; }

class StubRunTest : public ::testing::Test {
protected:
  void SetUp() override {
    CreateDirectoryW(stub_folder_.c_str(), nullptr);
    PlaceStub(stub_folder_);
  }

  // Copies a stub into directory, as a user's download would sit there.
  void PlaceStub(const std::wstring &directory, const wchar_t *name = kStubName,
                 const std::wstring &source = PackedStub(L"full-stub.exe")) {
    stub_ = directory + name;
    // A new file rather than one rewritten in place: Wine can keep what it learnt about the
    // image of the file that was there, and then fail to start the new one (1359).
    DeleteFileW(stub_.c_str());
    ASSERT_TRUE(CopyFileW(source.c_str(), stub_.c_str(), FALSE)) << GetLastError();
  }

  ProcessOutcome RunStub(const std::wstring &arguments) {
    const ProcessOutcome outcome = RunStubProcess(stub_, L"\"" + stub_ + L"\" " + arguments);
    EXPECT_TRUE(outcome.started) << outcome.start_error;
    return outcome;
  }

  std::vector<std::wstring> LeftBeside(const std::wstring &directory) {
    std::vector<std::wstring> left = ListDirectory(directory);
    std::erase(left, stub_.substr(stub_.rfind(L'\\') + 1));
    return left;
  }

  std::wstring TakeReceived() { return TakeRecordedCommandLine(record_); }

  // The install form for the one work directory of a run in the stub's folder.
  std::wstring InstallForm(const std::wstring &work_directory) const {
    return L"\"" + work_directory + L"setup.exe\" --install-archive=\"" + work_directory +
           L"ONDREL.PACKED.7Z\"";
  }

  ScratchDirectory scratch_;
  // The stub's folder holds nothing but the stub and what its runs leave.
  const std::wstring stub_folder_ = scratch_ / L"downloads\\";
  const std::wstring record_ = scratch_ / L"received.txt";
  const std::wstring archive_copy_ = scratch_ / L"archive-seen.7z";
  ScopedEnvironmentVariable per_user_{L"VelmoraUpdateIsMachine", std::nullopt};
  ScopedEnvironmentVariable recording_{kFixtureRecordVariable, record_};
  ScopedEnvironmentVariable archive_copying_{kFixtureArchiveCopyVariable, archive_copy_};
  ScopedEnvironmentVariable exit_code_{kFixtureExitCodeVariable, std::nullopt};
  ScopedRegistryValue cleanup_{kVelmoraKey, kCleanupValue};
  std::wstring stub_;
};

// Runs whose reports the update client reads: its key for the default application exists, as it
// does on a machine where the client has registered the product.
class ReportingRunTest : public StubRunTest {
protected:
  static constexpr wchar_t kDefaultGuid[] = L"{5E1C27B9-3D40-4F8A-9C62-71B0D4E8A315}";
  static constexpr wchar_t kBetaGuid[] = L"{C94A0D17-6B25-4E3F-A8D1-2F57E6B0C942}";

  using Values = std::map<std::wstring, ValueData>;

  ScopedClientStateKey client_state_{kDefaultGuid};
};
