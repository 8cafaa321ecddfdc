// SPDX-License-Identifier: Zlib
#include "payload/payload_extraction.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/layout_cases.h"
#include "common/process.h"
#include "common/registry.h"
#include "common/resource_module.h"
#include "common/scratch.h"
#include "fixtures/setup_fixture.h"
#include "support/platform_seam.h"

namespace {

std::wstring TestData(const std::wstring &name) {
  return ProgramDirectory() + L"test-data\\" + name;
}

std::wstring Layout(const std::wstring &name) { return TestData(L"layouts\\" + name + L".exe"); }

constexpr wchar_t kUntouched[] = L"untouched";

// Records the size of every write to the archive and the compressed setup file, and can make one
// of them fail or come up short.
struct WriteLog {
  std::vector<DWORD> sizes;
  size_t fail_call = 0;  // 1-based; 0: none
  size_t short_call = 0; // 1-based; 0: none
};
WriteLog write_log;

// The cabinet library writes "setup.exe" through the same slot; only the resources' own files
// are logged.
bool IsResourceFile(HANDLE file) {
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD length = GetFinalPathNameByHandleW(file, path, MAX_PATH, FILE_NAME_NORMALIZED);
  const std::wstring name(path, length < MAX_PATH ? length : 0);
  return name.ends_with(L"\\ONDREL.PACKED.7Z") || name.ends_with(L"\\SETUP.EX_");
}

BOOL WINAPI LoggedWrite(HANDLE file, LPCVOID data, DWORD count, LPDWORD written,
                        LPOVERLAPPED overlapped) {
  if (!IsResourceFile(file)) {
    return WriteFile(file, data, count, written, overlapped);
  }
  write_log.sizes.push_back(count);
  if (write_log.sizes.size() == write_log.fail_call) {
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
  }
  if (write_log.sizes.size() == write_log.short_call) {
    return WriteFile(file, data, count - 1, written, overlapped);
  }
  return WriteFile(file, data, count, written, overlapped);
}

class PayloadExtractionTest : public ::testing::Test {
protected:
  void SetUp() override {
    write_log = WriteLog{};
    ASSERT_TRUE(work_directory_.Assign(scratch_.path().c_str()));
    archive_path_.Assign(kUntouched);
    setup_path_.Assign(kUntouched);
  }

  RunResult Extract(const std::wstring &stub) {
    ResourceModule loaded(stub);
    return ExtractPayload(configuration_, loaded.module(), work_directory_, archive_path_,
                          setup_path_, max_removal_attempts_);
  }

  // nullopt: the buffer must be untouched; otherwise the work directory plus this name.
  void ExpectPath(const PathBuffer &buffer, const std::optional<std::wstring> &name) {
    EXPECT_EQ(std::wstring(buffer.text), name ? scratch_.path() + *name : kUntouched);
  }

  ScratchDirectory scratch_;
  RunConfiguration configuration_;
  PathBuffer work_directory_;
  PathBuffer archive_path_;
  PathBuffer setup_path_;
  int32_t max_removal_attempts_ = 0;
  ScopedPlatformOverride<decltype(PlatformOverrides::WriteFile)> writes_{
      &PlatformOverrides::WriteFile, &LoggedWrite};
};

TEST(ResourceVisitors, JudgeNamesIgnoringCaseInTheirOrder) {
  const uint8_t bytes[1] = {};
  const ResourceSpan span{bytes, 1};
  const std::wstring long259 = L"ondrel" + std::wstring(253, L'x');
  const std::wstring long260 = long259 + L"x";
  struct Case {
    std::vector<std::wstring> names; // visited in this order
    bool all_accepted;
    uint32_t error;
  };
  const Case payload_cases[] = {
      {{L"ondrel.packed.7z"}, true, 2},
      {{L"Ondrel-payload", L"Setup.Patch"}, true, 2},
      {{L"ONDREL"}, true, 2},
      {{long259}, true, 2},
      {{long260}, false, ERROR_FILENAME_EXCED_RANGE},
      {{L"ONDREL.A", L"ondrel.b"}, false, ERROR_TOO_MANY_NAMES},
      {{L"SETUP.A", L"setup.b"}, false, ERROR_TOO_MANY_NAMES},
      // The duplicate test comes before the length test.
      {{L"ONDREL.A", long260}, false, ERROR_TOO_MANY_NAMES},
      {{L"README"}, false, ERROR_INVALID_DATA},
      {{L"ondre"}, false, ERROR_INVALID_DATA},
  };
  for (const Case &c : payload_cases) {
    SCOPED_TRACE(Narrow(c.names.back().substr(0, 20)));
    PathBuffer archive_name, setup_name;
    ResourceSpan archive_span, setup_span;
    uint32_t error = 2;
    PayloadVisitor visitor(archive_name, archive_span, setup_name, setup_span, error);
    bool accepted = true;
    for (const std::wstring &name : c.names) {
      accepted = accepted && visitor.Visit(name.c_str(), span);
    }
    EXPECT_EQ(accepted, c.all_accepted);
    EXPECT_EQ(error, c.error);
    if (c.all_accepted) {
      EXPECT_EQ(std::wstring(archive_name.text), c.names[0]);
      EXPECT_EQ(archive_span.data, bytes);
    }
  }

  const Case setup_cases[] = {
      {{L"Setup.ex_"}, true, 2},
      {{L"SETUP"}, true, 2},
      {{L"LAUNCHER"}, false, ERROR_INVALID_DATA},
      {{L"ondrel.packed.7z"}, false, ERROR_INVALID_DATA},
      {{L"SETUP.A", L"SETUP.B"}, false, ERROR_TOO_MANY_NAMES},
      {{L"setup" + std::wstring(255, L'x')}, false, ERROR_FILENAME_EXCED_RANGE},
  };
  for (const Case &c : setup_cases) {
    SCOPED_TRACE(Narrow(c.names.back().substr(0, 20)));
    PathBuffer setup_name;
    ResourceSpan setup_span;
    uint32_t error = 2;
    SetupVisitor visitor(setup_name, setup_span, error);
    bool accepted = true;
    for (const std::wstring &name : c.names) {
      accepted = accepted && visitor.Visit(name.c_str(), span);
    }
    EXPECT_EQ(accepted, c.all_accepted);
    EXPECT_EQ(error, c.error);
  }
}

// The table's names are ASCII.
std::wstring Wide(const std::string &text) { return std::wstring(text.begin(), text.end()); }

// The shared table's path column: "-" untouched, "~" the work directory alone, else a name in it.
std::optional<std::wstring> TablePath(const std::string &column) {
  if (column == "-") {
    return std::nullopt;
  }
  return column == "~" ? L"" : Wide(column);
}

TEST_F(PayloadExtractionTest, EveryLayoutGivesItsResultAndLeavesThePathsAsTheRunExpects) {
  const std::vector<LayoutCase> cases =
      ReadLayoutCases(ReadFileBytes(TestData(L"layout_cases.txt")));
  ASSERT_FALSE(cases.empty());
  const std::string archive = ReadFileBytes(TestData(L"archive.bin"));
  const std::string setup = ReadFileBytes(TestData(L"cabinet-content.bin"));
  for (const LayoutCase &c : cases) {
    SCOPED_TRACE(c.layout);
    SetUp();
    const RunResult result = Extract(Layout(Wide(c.layout)));
    EXPECT_EQ(result.exit_code, c.stub.exit_code);
    EXPECT_EQ(result.extra_code, c.stub.extra_code);
    ExpectPath(archive_path_, TablePath(c.archive_path));
    ExpectPath(setup_path_, TablePath(c.setup_path));
    std::vector<std::wstring> files;
    for (const std::string &file : c.files) {
      files.push_back(Wide(file));
    }
    EXPECT_EQ(ListDirectory(scratch_.path()), files);
    if (!files.empty()) {
      EXPECT_TRUE(ReadFileBytes(scratch_ / files[0]) == archive) << "archive differs";
    }
    if (files.size() == 2) {
      EXPECT_TRUE(ReadFileBytes(scratch_ / L"setup.exe") == setup) << "setup program differs";
    }
    for (const std::wstring &file : files) {
      RemoveTree(scratch_ / file);
    }
  }
}

TEST_F(PayloadExtractionTest, WorkDirectoryWithoutRoomFailsBeforeWritingAnything) {
  struct Case {
    size_t length;
    bool archive_path_is_work_directory;
  };
  // 251 characters leave no room for "setup.exe"; 250 do, but not for the archive's name.
  for (const Case c : {Case{251, false}, Case{250, true}}) {
    SCOPED_TRACE(c.length);
    SetUp();
    const std::wstring directory = L"C:\\" + std::wstring(c.length - 4, L'd') + L"\\";
    ASSERT_TRUE(work_directory_.Assign(directory.c_str()));
    const RunResult result = Extract(Layout(L"full"));
    EXPECT_EQ(result.exit_code, RESULT_PATH_TOO_LONG);
    EXPECT_EQ(result.extra_code, 0u);
    EXPECT_EQ(std::wstring(archive_path_.text),
              c.archive_path_is_work_directory ? directory : kUntouched);
    EXPECT_EQ(std::wstring(setup_path_.text), kUntouched);
    EXPECT_TRUE(write_log.sizes.empty());
  }
}

TEST_F(PayloadExtractionTest, ReplacesAnExistingFileOfTheSameName) {
  WriteTextFile(scratch_ / L"ONDREL.PACKED.7Z", std::string(200000, 'o'));
  ASSERT_EQ(Extract(Layout(L"full")).exit_code, 0u);
  EXPECT_TRUE(ReadFileBytes(scratch_ / L"ONDREL.PACKED.7Z") ==
              ReadFileBytes(TestData(L"archive.bin")));
}

TEST_F(PayloadExtractionTest, FileThatCannotBeCreatedGivesThePlatformsReason) {
  // A folder in the way; a read-only file would do on Windows, but Wine running as root
  // replaces it all the same.
  ASSERT_TRUE(CreateDirectoryW((scratch_ / L"SETUP.EX_").c_str(), nullptr));
  const RunResult result = Extract(Layout(L"full"));
  EXPECT_EQ(result.exit_code, RESULT_SETUP_EXTRACTION_FAILED);
  EXPECT_EQ(result.extra_code, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  ExpectPath(setup_path_, L"SETUP.EX_");
  EXPECT_EQ(ListDirectory(scratch_.path()),
            (std::vector<std::wstring>{L"ONDREL.PACKED.7Z", L"SETUP.EX_"}));
  EXPECT_TRUE(IsDirectory(scratch_ / L"SETUP.EX_"));
}

TEST_F(PayloadExtractionTest, RemovalOfTheCompressedFileRaisesTheRunsMaximumOnly) {
  struct Case {
    const wchar_t *layout;
    int32_t before;
    int32_t after;
  };
  for (const Case c : {Case{L"full", 0, 1}, Case{L"full", 5, 5}, Case{L"truncated-cab", 0, 1}}) {
    SCOPED_TRACE(Narrow(c.layout));
    SetUp();
    RemoveTree(scratch_ / L"setup.exe");
    RemoveTree(scratch_ / L"ONDREL.PACKED.7Z");
    max_removal_attempts_ = c.before;
    Extract(Layout(c.layout));
    EXPECT_EQ(max_removal_attempts_, c.after);
    EXPECT_FALSE(PathExists(scratch_ / L"SETUP.EX_"));
  }
}

TEST_F(PayloadExtractionTest, WritesStraightFromTheResourceInChunksOfAtMost8MiB) {
  const DWORD cabinet = static_cast<DWORD>(ReadFileBytes(TestData(L"mszip.cab")).size());
  struct Case {
    const wchar_t *layout;
    const wchar_t *archive;
    std::vector<DWORD> sizes;
  };
  const Case cases[] = {
      {L"exactly-8mib", L"archive-8mib.bin", {8388608, cabinet}},
      {L"8mib-plus-1", L"archive-8mib-plus-1.bin", {8388608, 1, cabinet}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(Narrow(c.layout));
    SetUp();
    ASSERT_EQ(Extract(Layout(c.layout)).exit_code, 0u);
    EXPECT_EQ(write_log.sizes, c.sizes);
    EXPECT_TRUE(ReadFileBytes(scratch_ / L"ONDREL.PACKED.7Z") == ReadFileBytes(TestData(c.archive)))
        << "archive differs";
    RemoveTree(scratch_ / L"ONDREL.PACKED.7Z");
    RemoveTree(scratch_ / L"setup.exe");
  }
}

TEST_F(PayloadExtractionTest, PackersOwnCabinetsExpandToTheSetupProgramByteForByte) {
  // What does not compress grows by the headers and "setup.exe", and per block of 32 KiB by at
  // most its header and, in MSZIP, "CK" and a stored deflate block's header; in LZX an
  // uncompressed block's header, the repeated offsets and the call translation's header. A
  // repetitive run shrinks to a sixteenth only if each block may refer to the one before; a
  // program shrinks by a quarter at least.
  constexpr size_t kHeaders = 70;
  enum Fit { kGrows, kShrinks, kProgram };
  struct Case {
    std::wstring layout; // packed-cab-<method>-<setup>; the default method has no name
    std::wstring setup;
    size_t blocks;
    Fit fit;
    size_t per_block = 32; // LZX
  };
  const Case cases[] = {
      {L"0", L"0", 0, kGrows},
      {L"1", L"1", 1, kGrows},
      {L"32k", L"32k", 1, kGrows},
      {L"32k-plus-1", L"32k-plus-1", 2, kGrows},
      {L"200k-random", L"200k-random", 7, kGrows},
      {L"1m-repetitive", L"1m-repetitive", 33, kShrinks},
      {L"mszip-32k-plus-1", L"32k-plus-1", 2, kGrows, 16},
      {L"mszip-1m-repetitive", L"1m-repetitive", 33, kShrinks},
      {L"none-32k-plus-1", L"32k-plus-1", 2, kGrows, 8},
      {L"lzx15-1m-repetitive", L"1m-repetitive", 33, kShrinks},
      {L"lzx15-program", L"program", 0, kProgram},
      {L"lzx18-200k-random", L"200k-random", 7, kGrows},
      {L"lzx18-program", L"program", 0, kProgram},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(Narrow(c.layout));
    SetUp();
    const std::string expected =
        ReadFileBytes(c.fit == kProgram ? ProgramDirectory() + L"setup-fixture.exe"
                                        : TestData(L"setup-" + c.setup + L".bin"));
    const std::wstring layout = Layout(L"packed-cab-" + c.layout);
    const ResourceModule stub(layout);
    HRSRC cabinet = FindResourceW(stub.module(), L"SETUP.EX_", L"BL");
    ASSERT_NE(cabinet, nullptr);
    const size_t bound = c.fit == kShrinks   ? expected.size() / 16
                         : c.fit == kProgram ? expected.size() * 3 / 4
                                             : expected.size() + kHeaders + c.blocks * c.per_block;
    EXPECT_LE(SizeofResource(stub.module(), cabinet), bound);
    const RunResult result = Extract(layout);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.extra_code, 0u);
    const std::string setup = ReadFileBytes(scratch_ / L"setup.exe");
    EXPECT_EQ(setup.size(), expected.size());
    EXPECT_TRUE(setup == expected) << "setup program differs";
    RemoveTree(scratch_ / L"ONDREL.PACKED.7Z");
    RemoveTree(scratch_ / L"setup.exe");
  }
}

TEST_F(PayloadExtractionTest, FailedWriteLeavesNoPartialFile) {
  struct Case {
    const char *label;
    const wchar_t *layout;
    size_t fail_call;
    size_t short_call;
    RunResult expected;
    std::optional<std::wstring> setup_path;
    std::vector<std::wstring> files;
  };
  const Case cases[] = {
      {"archive fails part-way", L"8mib-plus-1", 2, 0, {112, ERROR_DISK_FULL}, std::nullopt, {}},
      {"archive write comes up short", L"full", 0, 1, {112, ERROR_WRITE_FAULT}, std::nullopt, {}},
      {"compressed setup file fails",
       L"full",
       2,
       0,
       {116, ERROR_DISK_FULL},
       L"SETUP.EX_",
       {L"ONDREL.PACKED.7Z"}},
      {"compressed setup file comes up short",
       L"full",
       0,
       2,
       {116, ERROR_WRITE_FAULT},
       L"SETUP.EX_",
       {L"ONDREL.PACKED.7Z"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    write_log.fail_call = c.fail_call;
    write_log.short_call = c.short_call;
    const RunResult result = Extract(Layout(c.layout));
    EXPECT_EQ(result.exit_code, c.expected.exit_code);
    EXPECT_EQ(result.extra_code, c.expected.extra_code);
    ExpectPath(archive_path_, L"ONDREL.PACKED.7Z");
    ExpectPath(setup_path_, c.setup_path);
    EXPECT_EQ(ListDirectory(scratch_.path()), c.files);
    RemoveTree(scratch_ / L"ONDREL.PACKED.7Z");
  }
}

TEST(WriteResourceToFile, EmptySpanGivesAnEmptyFile) {
  ScratchDirectory scratch;
  const std::wstring path = scratch / L"empty";
  EXPECT_TRUE(WriteResourceToFile(ResourceSpan{}, path.c_str()));
  EXPECT_EQ(ReadFileBytes(path), "");
}

// A patch stub's extraction, with the setup fixture installed where the update client registered
// it.
class PatchExtractionTest : public PayloadExtractionTest {
protected:
  void SetUp() override {
    PayloadExtractionTest::SetUp();
    CreateDirectories(installed_directory_);
    ASSERT_TRUE(CopyFileW(fixture_.c_str(), (installed_directory_ + L"setup.exe").c_str(), FALSE));
    client_state_.Set(L"UninstallString",
                      ValueData::String(L"\"" + installed_directory_ + L"setup.exe\""));
    configuration_.app_guid = kGuid;
    configuration_.previous_version = L"2.0.1";
  }

  static constexpr wchar_t kGuid[] = L"{7E57C0DE-0000-4000-8000-000000000511}";
  const std::wstring fixture_ = ProgramDirectory() + L"setup-fixture.exe";
  ScratchDirectory installation_;
  const std::wstring installed_directory_ = installation_ / L"2.0.1\\";
  ScopedClientStateKey client_state_{kGuid};
  ScopedEnvironmentVariable patch_exit_code_{kFixturePatchExitCodeVariable, std::nullopt};
};

TEST_F(PatchExtractionTest, InstalledProgramBuildsTheSetupProgramAndThePatchGoes) {
  const std::vector<std::wstring> patched = {L"ONDREL.PACKED.7Z", L"setup.exe"};
  const std::vector<std::wstring> archive_only = {L"ONDREL.PACKED.7Z"};
  struct Case {
    const char *label;
    const wchar_t *layout;
    const wchar_t *guid;
    const wchar_t *previous_version;
    std::optional<std::wstring> patch_exit_code;
    RunResult expected;
    std::vector<std::wstring> files;
  };
  const Case cases[] = {
      {"patched", L"patch", kGuid, L"2.0.1", std::nullopt, {0, 0}, patched},
      // "BL" is never looked at: a bad entry there would otherwise give 116.
      {"beside a bad BL", L"patch-beside-launcher", kGuid, L"2.0.1", std::nullopt, {0, 0}, patched},
      // The installed program wrote the new one, then failed: the end of the run removes it.
      {"installed program fails", L"patch", kGuid, L"2.0.1", L"7", {7, 0}, patched},
      {"other version installed", L"patch", kGuid, L"2.0.2", std::nullopt, {111, 0}, archive_only},
      {"nothing installed",
       L"patch",
       L"{7E57C0DE-0000-4000-8000-0000000005FF}",
       L"2.0.1",
       std::nullopt,
       {110, ERROR_FILE_NOT_FOUND},
       archive_only},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    RemoveTree(scratch_ / L"setup.exe");
    RemoveTree(scratch_ / L"ONDREL.PACKED.7Z");
    max_removal_attempts_ = 0;
    configuration_.app_guid = c.guid;
    configuration_.previous_version = c.previous_version;
    ScopedEnvironmentVariable exit_code(kFixturePatchExitCodeVariable, c.patch_exit_code);
    const RunResult result = Extract(Layout(c.layout));
    EXPECT_EQ(result.exit_code, c.expected.exit_code);
    EXPECT_EQ(result.extra_code, c.expected.extra_code);
    ExpectPath(archive_path_, L"ONDREL.PACKED.7Z");
    ExpectPath(setup_path_, L"setup.exe");
    EXPECT_EQ(ListDirectory(scratch_.path()), c.files);
    if (c.files.size() == 2) {
      EXPECT_TRUE(ReadFileBytes(scratch_ / L"setup.exe") == ReadFileBytes(fixture_));
    }
    EXPECT_EQ(max_removal_attempts_, 1) << "the patch was removed at once";
  }
}

} // namespace
