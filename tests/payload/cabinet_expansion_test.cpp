// SPDX-License-Identifier: Zlib
#include "payload/cabinet_expansion.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>

#include "common/scratch.h"
#include "support/platform_seam.h"

namespace {

// Made at build time by gcab, beside the test programs.
std::wstring TestData(const wchar_t *name) { return ProgramDirectory() + L"test-data\\" + name; }

// Rewrites the first file entry's DOS date, time and attribute word, as another cabinet tool
// would have stored them.
std::string WithEntry(std::string cabinet, uint16_t date, uint16_t time, uint16_t attributes) {
  uint32_t first_entry = 0;
  memcpy(&first_entry, cabinet.data() + 16, sizeof(first_entry));
  memcpy(cabinet.data() + first_entry + 10, &date, 2);
  memcpy(cabinet.data() + first_entry + 12, &time, 2);
  memcpy(cabinet.data() + first_entry + 14, &attributes, 2);
  return cabinet;
}

constexpr uint16_t DosDate(int year, int month, int day) {
  return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}
constexpr uint16_t DosTime(int hour, int minute, int second) {
  return static_cast<uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

class CabinetExpansionTest : public ::testing::Test {
protected:
  // Puts the cabinet bytes into the scratch folder and expands them to "setup.exe" beside them.
  bool Expand(const std::string &cabinet_bytes) {
    WriteTextFile(source_, cabinet_bytes);
    return ExpandCabinet(source_.c_str(), destination_);
  }

  void SetUp() override { ASSERT_TRUE(destination_.Assign((scratch_ / L"setup.exe").c_str())); }

  ScratchDirectory scratch_;
  const std::wstring source_ = scratch_ / L"SETUP.EX_";
  PathBuffer destination_;
  const std::string content_ = ReadFileBytes(TestData(L"cabinet-content.bin"));
};

TEST_F(CabinetExpansionTest, WritesTheOneFileToTheDestinationWhateverItsName) {
  ASSERT_EQ(content_.size(), 100000u);
  for (const wchar_t *cabinet : {L"mszip.cab", L"stored.cab", L"other-name.cab"}) {
    SCOPED_TRACE(Narrow(cabinet));
    RemoveTree(destination_.text);
    ASSERT_TRUE(Expand(ReadFileBytes(TestData(cabinet))));
    EXPECT_EQ(ReadFileBytes(destination_.text), content_);
    EXPECT_EQ(ListDirectory(scratch_.path()),
              (std::vector<std::wstring>{L"SETUP.EX_", L"setup.exe"}));
    // Flushed and closed: nothing holds it any more.
    HANDLE exclusive =
        CreateFileW(destination_.text, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(exclusive, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(exclusive);
  }
}

TEST_F(CabinetExpansionTest, KeepsOnlyTheReadOnlyHiddenSystemAndArchiveBits) {
  // What a file created here gets when the cabinet asks for nothing.
  const std::wstring plain = scratch_ / L"plain";
  WriteTextFile(plain, "");
  const DWORD created_with = GetFileAttributesW(plain.c_str());

  struct Case {
    uint16_t stored;
    DWORD expected;
  };
  const Case cases[] = {
      {0x20, FILE_ATTRIBUTE_ARCHIVE},
      {0x21, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY},
      {0x60, FILE_ATTRIBUTE_ARCHIVE},                           // 0x40 dropped
      {0xA1, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY}, // 0x80 dropped
      {0x00, created_with},
  };
  const std::string cabinet = ReadFileBytes(TestData(L"mszip.cab"));
  for (const Case &c : cases) {
    SCOPED_TRACE(c.stored);
    RemoveTree(destination_.text);
    ASSERT_TRUE(Expand(WithEntry(cabinet, DosDate(2020, 1, 1), 0, c.stored)));
    EXPECT_EQ(GetFileAttributesW(destination_.text), c.expected);
    EXPECT_EQ(ReadFileBytes(destination_.text), content_);
  }
}

// Wine keeps no creation time on a Unix file system, so the times handed to the platform are
// recorded on their way through; everything else about the call is real.
FILE_BASIC_INFO recorded_basic_info;

BOOL WINAPI RecordBasicInfo(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID data, DWORD size) {
  if (kind == FileBasicInfo && size == sizeof(FILE_BASIC_INFO)) {
    recorded_basic_info = *static_cast<FILE_BASIC_INFO *>(data);
  }
  return SetFileInformationByHandle(file, kind, data, size);
}

TEST_F(CabinetExpansionTest, CreationTimeIsTheEntrysLocalDateAndTime) {
  ScopedPlatformOverride<decltype(PlatformOverrides::SetFileInformationByHandle)> record(
      &PlatformOverrides::SetFileInformationByHandle, &RecordBasicInfo);
  recorded_basic_info = {};
  ASSERT_TRUE(Expand(WithEntry(ReadFileBytes(TestData(L"mszip.cab")), DosDate(2021, 3, 4),
                               DosTime(5, 6, 8), 0x20)));
  // Only the creation time is set; the others stay the platform's.
  EXPECT_EQ(recorded_basic_info.LastAccessTime.QuadPart, 0);
  EXPECT_EQ(recorded_basic_info.LastWriteTime.QuadPart, 0);
  EXPECT_EQ(recorded_basic_info.ChangeTime.QuadPart, 0);
  EXPECT_EQ(recorded_basic_info.FileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  const FILETIME creation = {recorded_basic_info.CreationTime.LowPart,
                             static_cast<DWORD>(recorded_basic_info.CreationTime.HighPart)};

  FILETIME local = {};
  SYSTEMTIME stamp = {};
  ASSERT_TRUE(FileTimeToLocalFileTime(&creation, &local));
  ASSERT_TRUE(FileTimeToSystemTime(&local, &stamp));
  EXPECT_EQ(stamp.wYear, 2021);
  EXPECT_EQ(stamp.wMonth, 3);
  EXPECT_EQ(stamp.wDay, 4);
  EXPECT_EQ(stamp.wHour, 5);
  EXPECT_EQ(stamp.wMinute, 6);
  EXPECT_EQ(stamp.wSecond, 8);

  // The last write is the expansion itself, not the entry's date.
  HANDLE file = CreateFileW(destination_.text, GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FILETIME write = {};
  ASSERT_TRUE(GetFileTime(file, nullptr, nullptr, &write));
  CloseHandle(file);
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  const auto ticks = [](const FILETIME &t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  EXPECT_LT(ticks(now) - ticks(write), 600ull * 10000000ull);
}

// The cabinet library reports damage its own way: Wine's tells of the destination as closed
// before it fails, Windows' may not. Either way the expansion fails and leaves nothing.
TEST_F(CabinetExpansionTest, DamagedCabinetLeavesNoDestination) {
  const std::string cabinet = ReadFileBytes(TestData(L"mszip.cab"));
  std::string bad_block = cabinet;
  // Every MSZIP block starts with "CK"; the first one follows the first data block's header.
  const size_t block = bad_block.find("CK");
  ASSERT_NE(block, std::string::npos);
  bad_block[block] = 'X';
  // The first data block's checksum: its first four bytes, where the first folder says it starts.
  std::string bad_checksum = cabinet;
  ASSERT_GE(bad_checksum.size(), 40u);
  const uint32_t first_data = static_cast<uint8_t>(bad_checksum[36]) |
                              static_cast<uint8_t>(bad_checksum[37]) << 8 |
                              static_cast<uint8_t>(bad_checksum[38]) << 16 |
                              static_cast<uint32_t>(static_cast<uint8_t>(bad_checksum[39])) << 24;
  ASSERT_LT(first_data + 4, bad_checksum.size());
  ASSERT_NE(bad_checksum.substr(first_data, 4), std::string(4, '\0')) << "a checksum is stored";
  bad_checksum[first_data] ^= 0x5A;

  const struct {
    const char *label;
    std::string bytes;
  } cases[] = {
      {"cut in the middle of its data", cabinet.substr(0, cabinet.size() / 2)},
      {"its last bytes missing", cabinet.substr(0, cabinet.size() - 10)},
      {"a damaged compressed block", bad_block},
      {"a wrong data checksum", bad_checksum},
      {"not a cabinet at all", std::string(4096, 'M')},
      {"empty", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_FALSE(Expand(c.bytes));
    EXPECT_EQ(ListDirectory(scratch_.path()), std::vector<std::wstring>{L"SETUP.EX_"});
  }
}

TEST_F(CabinetExpansionTest, FailsWithoutAFolderToOpenTheCabinetFrom) {
  WriteTextFile(source_, ReadFileBytes(TestData(L"mszip.cab")));
  for (const wchar_t *source : {L"SETUP.EX_", L"\\SETUP.EX_", L""}) {
    SCOPED_TRACE(Narrow(source));
    EXPECT_FALSE(ExpandCabinet(source, destination_));
  }
  EXPECT_EQ(ListDirectory(scratch_.path()), std::vector<std::wstring>{L"SETUP.EX_"});
}

TEST_F(CabinetExpansionTest, FailsWhenTheDestinationCannotBeCreated) {
  ASSERT_TRUE(destination_.Assign((scratch_ / L"missing\\setup.exe").c_str()));
  EXPECT_FALSE(Expand(ReadFileBytes(TestData(L"mszip.cab"))));
  EXPECT_EQ(ListDirectory(scratch_.path()), std::vector<std::wstring>{L"SETUP.EX_"});
}

TEST_F(CabinetExpansionTest, ReadsNamesBeyondAscii) {
  const std::wstring folder = scratch_ / L"\u00e9t\u00e9 \u65e5\u672c\\";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring source = folder + L"SETUP.EX_";
  WriteTextFile(source, ReadFileBytes(TestData(L"stored.cab")));
  PathBuffer destination;
  ASSERT_TRUE(destination.Assign((folder + L"setup.exe").c_str()));
  ASSERT_TRUE(ExpandCabinet(source.c_str(), destination));
  EXPECT_EQ(ReadFileBytes(destination.text), content_);
}

} // namespace
