// SPDX-License-Identifier: Zlib
#include "payload/target_file.h"

#include <gtest/gtest.h>

#include <string>

#include "common/scratch.h"

namespace {

bool WriteThrough(HANDLE handle, const std::string &bytes) {
  DWORD written = 0;
  return WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

// True when nobody holds the file open any more (an exclusive open succeeds).
bool IsClosedEverywhere(const std::wstring &path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  CloseHandle(file);
  return true;
}

TEST(TargetFile, OpenReplacesAnExistingFileWithAnEmptyOne) {
  ScratchDirectory scratch;
  const std::wstring path = scratch / L"setup.exe";
  WriteTextFile(path, "old content");

  TargetFile file;
  ASSERT_TRUE(file.Open(path.c_str())) << GetLastError();
  EXPECT_TRUE(file.IsOpen());
  LARGE_INTEGER size = {};
  ASSERT_TRUE(GetFileSizeEx(file.Handle(), &size));
  EXPECT_EQ(size.QuadPart, 0);
  ASSERT_TRUE(WriteThrough(file.Handle(), "new"));
  file.Close();
  EXPECT_EQ(ReadFileBytes(path), "new");
}

TEST(TargetFile, OthersMayOnlyDeleteWhileItIsOpen) {
  ScratchDirectory scratch;
  const std::wstring path = scratch / L"archive.7z";
  TargetFile file;
  ASSERT_TRUE(file.Open(path.c_str()));

  HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (reader != INVALID_HANDLE_VALUE) {
    CloseHandle(reader);
  }
}

TEST(TargetFile, OpeningAgainClosesTheFirstFileAndLeavesIt) {
  ScratchDirectory scratch;
  const std::wstring first = scratch / L"first";
  const std::wstring second = scratch / L"second";
  TargetFile file;
  ASSERT_TRUE(file.Open(first.c_str()));
  ASSERT_TRUE(WriteThrough(file.Handle(), "kept"));
  ASSERT_TRUE(file.Open(second.c_str()));

  EXPECT_TRUE(IsClosedEverywhere(first));
  EXPECT_EQ(ReadFileBytes(first), "kept");
  EXPECT_TRUE(file.IsOpen());
  EXPECT_FALSE(IsClosedEverywhere(second));
  file.Close();
  EXPECT_TRUE(IsClosedEverywhere(second));
}

TEST(TargetFile, MarkedFileVanishesWithItsLastHandle) {
  struct Case {
    const char *label;
    bool mark;
    bool keep_duplicate;
  };
  const Case cases[] = {
      {"closed without the mark", false, false},
      {"marked, then closed", true, false},
      {"marked while a duplicate is open", true, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDirectory scratch;
    const std::wstring path = scratch / L"setup.exe";
    HANDLE duplicate = INVALID_HANDLE_VALUE;
    {
      TargetFile file;
      ASSERT_TRUE(file.Open(path.c_str()));
      ASSERT_TRUE(WriteThrough(file.Handle(), "abc"));
      if (c.keep_duplicate) {
        duplicate = file.Duplicate();
        ASSERT_NE(duplicate, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_NE(duplicate, file.Handle());
      }
      if (c.mark) {
        ASSERT_TRUE(file.MarkForDeletion()) << GetLastError();
      }
    }
    if (duplicate != INVALID_HANDLE_VALUE) {
      // The record is gone, the file is not: the duplicate still writes to it.
      EXPECT_TRUE(WriteThrough(duplicate, "def"));
      LARGE_INTEGER size = {};
      EXPECT_TRUE(GetFileSizeEx(duplicate, &size));
      EXPECT_EQ(size.QuadPart, 6);
      CloseHandle(duplicate);
    }
    EXPECT_EQ(PathExists(path), !c.mark);
  }
}

TEST(TargetFile, ClosedRecordRefusesEveryOperation) {
  ScratchDirectory scratch;
  TargetFile file;
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(file.MarkForDeletion());
  EXPECT_EQ(file.Duplicate(), INVALID_HANDLE_VALUE);

  ASSERT_TRUE(file.Open((scratch / L"x").c_str()));
  file.Close();
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(file.MarkForDeletion());
  EXPECT_TRUE(PathExists(scratch / L"x"));
}

TEST(TargetFile, FailedOpenLeavesTheRecordClosedWithTheReason) {
  ScratchDirectory scratch;
  // A folder where the file should go. (A read-only file would do on Windows; Wine running as
  // root replaces it all the same.)
  const std::wstring folder = scratch / L"folder";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));

  struct Case {
    const char *label;
    std::wstring path;
    DWORD error;
  };
  const Case cases[] = {
      {"missing folder", scratch / L"missing\\file", ERROR_PATH_NOT_FOUND},
      {"folder of the same name", folder, ERROR_ACCESS_DENIED},
      // 260 characters do not fit; the last error is then left as it was.
      {"path of 260 characters", scratch.path() + std::wstring(260 - scratch.path().size(), L'a'),
       12345},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    TargetFile file;
    ASSERT_TRUE(file.Open((scratch / L"open-before").c_str()));
    SetLastError(12345);
    EXPECT_FALSE(file.Open(c.path.c_str()));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Handle(), INVALID_HANDLE_VALUE);
  }
  EXPECT_EQ(ListDirectory(scratch.path()), (std::vector<std::wstring>{L"folder", L"open-before"}));
}

} // namespace
