#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/process.h"
#include "common/registry.h"
#include "common/scratch.h"
#include "run/run_result.h"

namespace {

// Reports the names added to and removed from one directory while it is watched.
class DirectoryWatch {
public:
  explicit DirectoryWatch(const std::wstring &directory) {
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

  // Collects what has happened until nothing more arrives for a moment; call it after the
  // watched process has ended, when every change has already been made.
  void Drain(std::vector<std::wstring> &added, std::vector<std::wstring> &removed) {
    while (WaitForSingleObject(event_, 500) == WAIT_OBJECT_0) {
      DWORD bytes = 0;
      if (!GetOverlappedResult(handle_, &overlapped_, &bytes, FALSE) || bytes == 0) {
        return;
      }
      for (auto *info = reinterpret_cast<FILE_NOTIFY_INFORMATION *>(buffer_);;
           info = reinterpret_cast<FILE_NOTIFY_INFORMATION *>(reinterpret_cast<char *>(info) +
                                                              info->NextEntryOffset)) {
        const std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
        if (info->Action == FILE_ACTION_ADDED) {
          added.push_back(name);
        } else if (info->Action == FILE_ACTION_REMOVED) {
          removed.push_back(name);
        }
        if (info->NextEntryOffset == 0) {
          break;
        }
      }
      Arm();
    }
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

  HANDLE handle_;
  HANDLE event_;
  OVERLAPPED overlapped_ = {};
  alignas(DWORD) char buffer_[16384];
};

constexpr wchar_t kStubName[] = L"ondrel-stub.exe";

class StubRunTest : public ::testing::Test {
protected:
  void SetUp() override {
    SetEnvironmentVariableW(L"VelmoraUpdateIsMachine", nullptr);
    PlaceStub(scratch_.path());
  }

  // Copies the built stub into directory, as a user's download would sit there.
  void PlaceStub(const std::wstring &directory, const wchar_t *name = kStubName) {
    stub_ = directory + name;
    ASSERT_TRUE(CopyFileW((ProgramDirectory() + L"ondrel-stub.exe").c_str(), stub_.c_str(), FALSE))
        << GetLastError();
  }

  ProcessOutcome RunStub(const std::wstring &arguments) {
    const ProcessOutcome outcome = RunProcess(stub_, L"\"" + stub_ + L"\" " + arguments);
    EXPECT_TRUE(outcome.started) << outcome.start_error;
    return outcome;
  }

  std::vector<std::wstring> LeftBeside(const std::wstring &directory) {
    std::vector<std::wstring> left = ListDirectory(directory);
    std::erase(left, stub_.substr(stub_.rfind(L'\\') + 1));
    return left;
  }

  ScratchDirectory scratch_;
  ScopedRegistryValue cleanup_{kVelmoraKey, kCleanupValue};
  std::wstring stub_;
};

TEST_F(StubRunTest, RefusedSwitchesEndWith118AndCreateNothing) {
  for (const wchar_t *arguments :
       {L"--cleanup", L"--ondrel-frame", L"--CLEANUP", L"--system-level --Ondrel-Frame",
        L"install \"--cleanup\" now"}) {
    SCOPED_TRACE(Narrow(arguments));
    DirectoryWatch watch(scratch_.path());
    EXPECT_EQ(RunStub(arguments).exit_code, RESULT_REFUSED_SWITCH);
    std::vector<std::wstring> added, removed;
    watch.Drain(added, removed);
    EXPECT_TRUE(added.empty()) << Narrow(added.empty() ? L"" : added[0]);
    EXPECT_TRUE(LeftBeside(scratch_.path()).empty());
  }
}

TEST_F(StubRunTest, PlainRunCreatesItsWorkDirectoryBesideItselfAndRemovesIt) {
  for (const wchar_t *arguments : {L"", L"--system-level", L"--ondrel-beta --ondrel-dev",
                                   L"--cleanup=1 \"--cleanup \"", L"\"unterminated --cleanup"}) {
    SCOPED_TRACE(Narrow(arguments));
    DirectoryWatch watch(scratch_.path());
    const ProcessOutcome outcome = RunStub(arguments);
    EXPECT_EQ(outcome.exit_code, 0u);
    std::vector<std::wstring> added, removed;
    watch.Drain(added, removed);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_TRUE(IsWorkDirectoryName(added[0])) << Narrow(added[0]);
    EXPECT_EQ(removed, added);
    EXPECT_TRUE(LeftBeside(scratch_.path()).empty());
  }
}

TEST_F(StubRunTest, ProgramNamedLikeASwitchIsNotRefused) {
  const ProcessOutcome outcome = RunProcess(stub_, L"--cleanup --ondrel-sxs");
  EXPECT_TRUE(outcome.started);
  EXPECT_EQ(outcome.exit_code, 0u);
  EXPECT_TRUE(LeftBeside(scratch_.path()).empty());
}

TEST_F(StubRunTest, EmptyAndPlatformSizedCommandLinesRunNormally) {
  const ProcessOutcome empty = RunProcess(stub_, L"");
  EXPECT_TRUE(empty.started);
  EXPECT_EQ(empty.exit_code, 0u);

  // The platform's limit is 32,767 characters with the NUL.
  std::wstring line = L"\"" + stub_ + L"\" ";
  line += std::wstring(32766 - line.size(), L'x');
  const ProcessOutcome longest = RunProcess(stub_, line);
  EXPECT_TRUE(longest.started) << longest.start_error;
  EXPECT_EQ(longest.exit_code, 0u);
  EXPECT_TRUE(LeftBeside(scratch_.path()).empty());
}

TEST_F(StubRunTest, CleanupSettingZeroLeavesTheWorkDirectory) {
  cleanup_.SetString(L"0");
  EXPECT_EQ(RunStub(L"").exit_code, 0u);
  const auto left = LeftBeside(scratch_.path());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(IsWorkDirectoryName(left[0])) << Narrow(left[0]);
  EXPECT_TRUE(IsDirectory(scratch_ / left[0]));
}

TEST_F(StubRunTest, FolderOf246CharactersFitsAnd247EndsWith108) {
  cleanup_.SetString(L"0");
  for (size_t length : {246u, 247u}) {
    SCOPED_TRACE(length);
    std::wstring folder = scratch_.path() + std::to_wstring(length) + L"\\";
    folder += std::wstring(length - folder.size() - 1, L'f') + L"\\";
    ASSERT_EQ(folder.size(), length);
    CreateDirectories(folder);
    // A short name keeps the stub's own path within 259 characters.
    PlaceStub(folder, L"s.exe");
    const ProcessOutcome outcome = RunStub(L"");
    const auto left = LeftBeside(folder);
    if (length == 246) {
      EXPECT_EQ(outcome.exit_code, 0u);
      ASSERT_EQ(left.size(), 1u);
      EXPECT_EQ((folder + left[0] + L"\\").size(), 259u);
    } else {
      EXPECT_EQ(outcome.exit_code, RESULT_PATH_TOO_LONG);
      EXPECT_TRUE(left.empty());
    }
  }
}

} // namespace
