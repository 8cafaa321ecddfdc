// SPDX-License-Identifier: Zlib
#include "cleanup/removal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/scratch.h"
#include "support/platform_seam.h"

namespace {

// Pauses are counted instead of slept, and a pause may be the moment another holder lets go.
struct PauseLog {
  int pauses = 0;
  int release_at_pause = 0; // 0: never
  HANDLE holder = INVALID_HANDLE_VALUE;
};
PauseLog pause_log;

void WINAPI CountedPause(DWORD milliseconds) {
  EXPECT_EQ(milliseconds, 100u);
  ++pause_log.pauses;
  if (pause_log.pauses == pause_log.release_at_pause && pause_log.holder != INVALID_HANDLE_VALUE) {
    CloseHandle(pause_log.holder);
    pause_log.holder = INVALID_HANDLE_VALUE;
  }
}

using SleepFn = decltype(PlatformOverrides::Sleep);
using CreateFileFn = decltype(PlatformOverrides::CreateFileW);

class RemovalTest : public ::testing::Test {
protected:
  void SetUp() override { pause_log = PauseLog{}; }
  void TearDown() override {
    if (pause_log.holder != INVALID_HANDLE_VALUE) {
      CloseHandle(pause_log.holder);
    }
  }

  // Opens path as another program would, keeping it until the given pause.
  void HoldOpen(const std::wstring &path, DWORD share, int release_at_pause) {
    pause_log.holder = CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(pause_log.holder, INVALID_HANDLE_VALUE) << GetLastError();
    pause_log.release_at_pause = release_at_pause;
  }

  ScopedPlatformOverride<SleepFn> pause_{&PlatformOverrides::Sleep, &CountedPause};
  ScratchDirectory scratch_;
};

struct RemovalCase {
  const char *label;
  // Prepares the item under the scratch directory and returns the path to remove.
  std::wstring (*prepare)(const ScratchDirectory &);
  bool removed;
  int32_t attempts;
  bool gone_afterwards;
};

TEST_F(RemovalTest, RealItemsSettleWithTheExpectedAttempts) {
  const RemovalCase cases[] = {
      {"missing file", [](const ScratchDirectory &s) { return s / L"missing.bin"; }, true, 1, true},
      {"missing parent", [](const ScratchDirectory &s) { return s / L"no\\such\\file"; }, true, 1,
       true},
      {"closed writable file",
       [](const ScratchDirectory &s) {
         WriteTextFile(s / L"archive.7z", "payload");
         return s / L"archive.7z";
       },
       true, 1, true},
      {"read-only file",
       [](const ScratchDirectory &s) {
         WriteTextFile(s / L"setup.exe", "program");
         SetFileAttributesW((s / L"setup.exe").c_str(), FILE_ATTRIBUTE_READONLY);
         return s / L"setup.exe";
       },
       true, 1, true},
      {"read-only hidden system file",
       [](const ScratchDirectory &s) {
         WriteTextFile(s / L"odd.bin", "x");
         SetFileAttributesW((s / L"odd.bin").c_str(), FILE_ATTRIBUTE_READONLY |
                                                          FILE_ATTRIBUTE_HIDDEN |
                                                          FILE_ATTRIBUTE_SYSTEM);
         return s / L"odd.bin";
       },
       true, 1, true},
      {"empty directory with its final backslash",
       [](const ScratchDirectory &s) {
         CreateDirectoryW((s / L"QV_00000.tmp").c_str(), nullptr);
         return s / L"QV_00000.tmp\\";
       },
       true, 1, true},
      {"empty directory without a backslash",
       [](const ScratchDirectory &s) {
         CreateDirectoryW((s / L"empty").c_str(), nullptr);
         return s / L"empty";
       },
       true, 1, true},
      {"directory that stays non-empty",
       [](const ScratchDirectory &s) {
         CreateDirectoryW((s / L"full").c_str(), nullptr);
         WriteTextFile(s / L"full\\left.txt", "still here");
         return s / L"full\\";
       },
       false, 100, false},
  };
  for (const RemovalCase &c : cases) {
    SCOPED_TRACE(c.label);
    pause_log = PauseLog{};
    const std::wstring path = c.prepare(scratch_);
    int32_t attempts = -1;
    EXPECT_EQ(RemoveWithRetries(path.c_str(), attempts), c.removed);
    EXPECT_EQ(attempts, c.attempts);
    EXPECT_EQ(pause_log.pauses, c.attempts - 1);
    EXPECT_EQ(!PathExists(path), c.gone_afterwards);
  }
}

TEST_F(RemovalTest, UnexpectedErrorsEndAtOnceWithoutAPause) {
  // Wildcards in a file name are refused by the platform as an invalid name.
  for (const wchar_t *name : {L"bad*name", L"what?", L"sub\\x*y"}) {
    SCOPED_TRACE(Narrow(name));
    int32_t attempts = -1;
    EXPECT_FALSE(RemoveWithRetries((scratch_ / name).c_str(), attempts));
    EXPECT_EQ(attempts, 1);
    EXPECT_EQ(pause_log.pauses, 0);
  }
}

TEST_F(RemovalTest, FilesHeldByAnotherHandleAreRetriedUntilTheHolderLetsGo) {
  const struct {
    const char *label;
    DWORD share;          // without delete sharing, every open is a real sharing violation
    int release_at_pause; // 0: held for good
    bool removed;
    int32_t attempts;
  } cases[] = {
      {"sharing violation clearing after three tries", FILE_SHARE_READ, 3, true, 4},
      {"sharing violation that never clears", FILE_SHARE_READ, 0, false, 100},
      // Marked for deletion, it goes when the holder closes; Windows refuses the reopen of a
      // delete-pending file, Wine reopens it, and both count the same attempts.
      {"held with delete sharing", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 2, true,
       3},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    pause_log = PauseLog{};
    const std::wstring path = scratch_ / L"held.7z";
    WriteTextFile(path, "held by a scanner");
    HoldOpen(path, c.share, c.release_at_pause);
    int32_t attempts = 0;
    EXPECT_EQ(RemoveWithRetries(path.c_str(), attempts), c.removed);
    EXPECT_EQ(attempts, c.attempts);
    EXPECT_EQ(pause_log.pauses, c.attempts - 1);
    EXPECT_EQ(PathExists(path), !c.removed);
    if (pause_log.holder != INVALID_HANDLE_VALUE) {
      CloseHandle(pause_log.holder);
      pause_log.holder = INVALID_HANDLE_VALUE;
    }
    RemoveTree(path);
  }
}

// A file system or filter that accepts the deletion mark but never deletes, or that sets the
// read-only attribute again at once: every open reaches a fresh decoy, so the item never goes.
int decoy_count = 0;
std::wstring decoy_directory;

HANDLE OpenDecoy(DWORD access, DWORD attributes) {
  const std::wstring decoy = decoy_directory + L"decoy" + std::to_wstring(decoy_count++);
  HANDLE h =
      ::CreateFileW(decoy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
  CloseHandle(h);
  return ::CreateFileW(decoy.c_str(), access, 7, nullptr, OPEN_EXISTING, 0, nullptr);
}

HANDLE WINAPI IgnoredMark(LPCWSTR, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                          HANDLE) {
  return OpenDecoy(access, FILE_ATTRIBUTE_NORMAL);
}

HANDLE WINAPI ReadOnlyComesBack(LPCWSTR, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                HANDLE) {
  if (access == DELETE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return OpenDecoy(access, FILE_ATTRIBUTE_READONLY);
}

TEST_F(RemovalTest, ItemsThatSurviveTheirUncountedRetriesStillEndAfterHundredAttempts) {
  const struct {
    const char *label;
    CreateFileFn open;
  } cases[] = {
      {"deletion mark ignored", &IgnoredMark},
      {"read-only attribute set again", &ReadOnlyComesBack},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    pause_log = PauseLog{};
    decoy_count = 0;
    decoy_directory = scratch_.path();
    ScopedPlatformOverride<CreateFileFn> open(&PlatformOverrides::CreateFileW, c.open);
    int32_t attempts = 0;
    EXPECT_FALSE(RemoveWithRetries((scratch_ / L"stubborn").c_str(), attempts));
    EXPECT_EQ(attempts, 100);
    EXPECT_EQ(pause_log.pauses, 99);
    // One uncounted retry per attempt at most: bounded work, not a spin.
    EXPECT_LE(decoy_count, 2 * 100);
  }
}

void FillPath(PathBuffer &buffer, const std::wstring &text) {
  ASSERT_TRUE(buffer.Assign(text.c_str()));
}

TEST_F(RemovalTest, ExtractedFilesGoFirstAndTheMaximumOnlyRises) {
  const struct {
    const char *label;
    int32_t max_before;
    int release_setup_at_pause; // 0: the setup program is not held
    int32_t max_after;
  } cases[] = {
      {"all settle at once", 2, 0, 2},
      {"setup program held for three pauses", 2, 3, 4},
      {"from zero", 0, 0, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    pause_log = PauseLog{};
    const std::wstring work = scratch_ / L"QV_12345.tmp\\";
    ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
    WriteTextFile(work + L"ONDREL.PACKED.7Z", "archive");
    WriteTextFile(work + L"setup.exe", "program");
    if (c.release_setup_at_pause != 0) {
      HoldOpen(work + L"setup.exe", FILE_SHARE_READ, c.release_setup_at_pause);
    }
    PathBuffer archive, setup, directory;
    FillPath(archive, work + L"ONDREL.PACKED.7Z");
    FillPath(setup, work + L"setup.exe");
    FillPath(directory, work);
    int32_t max_attempts = c.max_before;
    RemoveExtractedFiles(archive, setup, directory, max_attempts);
    EXPECT_EQ(max_attempts, c.max_after);
    EXPECT_FALSE(PathExists(work));
  }
}

TEST_F(RemovalTest, EmptyPathsAreSkippedAndTheDirectoryStillGoes) {
  const std::wstring work = scratch_ / L"QV_ABCDE.tmp\\";
  ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
  WriteTextFile(scratch_ / L"keep.txt", "not ours");
  PathBuffer archive, setup, directory;
  FillPath(directory, work);
  int32_t max_attempts = 0;
  RemoveExtractedFiles(archive, setup, directory, max_attempts);
  EXPECT_EQ(max_attempts, 1);
  EXPECT_FALSE(PathExists(work));
  EXPECT_TRUE(PathExists(scratch_ / L"keep.txt"));
}

TEST_F(RemovalTest, DirectoryThatCannotBeEmptiedStaysAndCountsItsAttempts) {
  const std::wstring work = scratch_ / L"QV_FFFFF.tmp\\";
  ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
  WriteTextFile(work + L"written-by-setup.log", "the setup program left this");
  PathBuffer archive, setup, directory;
  FillPath(directory, work);
  int32_t max_attempts = 3;
  RemoveExtractedFiles(archive, setup, directory, max_attempts);
  EXPECT_EQ(max_attempts, 100);
  EXPECT_TRUE(PathExists(work + L"written-by-setup.log"));
}

} // namespace
