// SPDX-License-Identifier: Zlib
// Whole stubs in a hostile world: many at once, files held open or made read-only behind their
// back, a setup program that crashes, a full volume, and libraries planted beside them.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "common/platform.h"
#include "e2e/stub_run_fixture.h"
#include "run/run_result.h"

namespace {

// Keep in step with the overrides tests/e2e/CMakeLists.txt gives this test.
constexpr const wchar_t *kPlantedNames[] = {L"cabinet",   L"version", L"userenv",
                                            L"cryptbase", L"uxtheme", L"dwmapi",
                                            L"profapi",   L"sspicli", L"shfolder"};

class FaultRunTest : public ReportingRunTest {
protected:
  // Starts every stub at once and waits for all of them: their exit codes in order, and the names
  // added to the stubs' folder meanwhile. A batch in which Wine failed a stub's own start of its
  // setup program is run once more as a whole, its reports put back, said on stderr: the runs
  // share one key, so the others' reports may have overwritten the failure's extra code.
  std::vector<DWORD> RunAtOnce(const std::vector<std::wstring> &stubs,
                               std::vector<std::wstring> &added) {
    const ClientStateReports before;
    for (int attempt = 1;; ++attempt) {
      DirectoryWatch watch(stub_folder_);
      const std::vector<DWORD> codes = StartAndWait(stubs);
      std::vector<std::wstring> removed;
      added.clear();
      watch.Drain(added, removed);
      if (attempt == 2 || std::none_of(codes.begin(), codes.end(), SetupLaunchFailed)) {
        return codes;
      }
      fprintf(stderr, "a stub of the batch could not start its setup program; its reports are put "
                      "back and the batch is run once more\n");
      before.PutBack();
    }
  }

  std::vector<DWORD> StartAndWait(const std::vector<std::wstring> &stubs) {
    std::vector<HANDLE> processes;
    for (const std::wstring &stub : stubs) {
      DWORD start_error = 0;
      processes.push_back(StartProcess(stub, L"\"" + stub + L"\"", start_error));
      EXPECT_NE(processes.back(), nullptr) << start_error;
    }
    std::vector<DWORD> codes;
    for (size_t i = 0; i < processes.size(); ++i) {
      codes.push_back(processes[i] == nullptr ? 0xFFFFFFFF
                                              : WaitForProcess(processes[i]).exit_code);
      // A stub Wine did not start is made again, alone, as RunProcess would.
      if (NeverRan(codes.back())) {
        codes.back() = RunProcess(stubs[i], L"\"" + stubs[i] + L"\"").exit_code;
      }
    }
    return codes;
  }

  const Values success_{{L"InstallerExtraCode1", ValueData::Dword(0x30000)},
                        {L"ap", ValueData::String(L"-full")}};
};

TEST_F(FaultRunTest, EightRunsAtOnceFromOneFolderEachUseTheirOwnWorkDirectoryAndLeaveNothing) {
  constexpr int kRuns = 8;
  // One shared record file would make the setup programs trip over each other.
  ScopedEnvironmentVariable no_record(kFixtureRecordVariable, std::nullopt);
  ScopedEnvironmentVariable no_copy(kFixtureArchiveCopyVariable, std::nullopt);
  for (const bool separate_copies : {false, true}) {
    SCOPED_TRACE(separate_copies ? "separate copies" : "one executable");
    client_state_.Clear();
    std::vector<std::wstring> stubs;
    for (int i = 0; i < kRuns; ++i) {
      std::wstring stub = stub_;
      if (separate_copies) {
        stub = stub_folder_ + L"copy-" + std::to_wstring(i) + L".exe";
        ASSERT_TRUE(CopyFileW(stub_.c_str(), stub.c_str(), FALSE));
      }
      stubs.push_back(stub);
    }
    std::vector<std::wstring> added;
    EXPECT_EQ(RunAtOnce(stubs, added), std::vector<DWORD>(kRuns, 0));
    std::erase_if(added, [](const std::wstring &name) { return !IsWorkDirectoryName(name); });
    EXPECT_EQ(std::set<std::wstring>(added.begin(), added.end()).size(), size_t{kRuns})
        << "every run makes a work directory of its own";
    for (const std::wstring &stub : stubs) {
      if (stub != stub_) {
        DeleteFileW(stub.c_str());
      }
    }
    EXPECT_TRUE(LeftBeside(stub_folder_).empty());
    // The last run to finish wrote the record: a success, whose retry count may be above zero
    // when Wine releases an exited setup program's file a moment late under this load.
    EXPECT_EQ(client_state_.Get(L"InstallerResult"), ValueData::Absent());
    EXPECT_EQ(client_state_.Get(L"ap"), ValueData::String(L"-full"));
    const ValueData record = client_state_.Get(L"InstallerExtraCode1");
    ASSERT_EQ(record.type, static_cast<DWORD>(REG_DWORD)) << Describe(record);
    EXPECT_EQ(record.AsDword() & 0xFFFF0000u, 0x30000u);
  }
}

TEST_F(FaultRunTest, ArchiveHeldOpenAfterTheSetupProgramExitsIsRemovedOnARetryThatIsRecorded) {
  ScopedEnvironmentVariable hold(kFixtureHoldArchiveVariable, L"1000");
  EXPECT_EQ(RunStub(L"").exit_code, 0u);
  EXPECT_TRUE(LeftBeside(stub_folder_).empty());
  const ValueData record = client_state_.Get(L"InstallerExtraCode1");
  ASSERT_EQ(record.type, static_cast<DWORD>(REG_DWORD)) << Describe(record);
  const DWORD retries = record.AsDword() - 0x30000;
  // The setup program opens the archive before it exits and its holder keeps that handle for a
  // second of its own, so the first attempt always fails; however slowly Wine starts the holder,
  // the file was removed within the limit of 100 attempts, or the checks above would fail.
  EXPECT_GE(retries, 1u);
  EXPECT_LT(retries, 100u);
  EXPECT_EQ(client_state_.Get(L"InstallerResult"), ValueData::Absent());
}

TEST_F(FaultRunTest, ArchiveAndSetupProgramMadeReadOnlyAreStillRemoved) {
  ScopedEnvironmentVariable read_only(kFixtureReadOnlyVariable, L"1");
  EXPECT_EQ(RunStub(L"").exit_code, 0u);
  EXPECT_TRUE(LeftBeside(stub_folder_).empty());
  EXPECT_EQ(client_state_.Values(), success_);

  // Kept, the files show that the setup program did make them read-only.
  cleanup_.SetString(L"0");
  EXPECT_EQ(RunStub(L"").exit_code, 0u);
  const auto left = LeftBeside(stub_folder_);
  ASSERT_EQ(left.size(), 1u);
  for (const wchar_t *name : {L"ONDREL.PACKED.7Z", L"setup.exe"}) {
    const DWORD attributes = GetFileAttributesW((stub_folder_ + left[0] + L"\\" + name).c_str());
    EXPECT_NE(attributes & FILE_ATTRIBUTE_READONLY, 0u) << Narrow(name);
  }
}

TEST_F(FaultRunTest, SetupProgramThatCrashesPassesItsExceptionCodeOnAndItIsRecorded) {
  ScopedEnvironmentVariable crash(kFixtureCrashVariable, L"1");
  EXPECT_EQ(RunStub(L"").exit_code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
  EXPECT_TRUE(LeftBeside(stub_folder_).empty());
  EXPECT_EQ(client_state_.Values(),
            Values({{L"InstallerError", ValueData::Dword(EXCEPTION_ACCESS_VIOLATION)},
                    {L"InstallerExtraCode1", ValueData::Dword(0)},
                    {L"InstallerResult", ValueData::Dword(1)},
                    {L"ap", ValueData::String(L"-full")}}));
}

// Fills the volume with a file until exactly `left` bytes (whole pages) stay free.
void FillVolumeLeaving(const std::wstring &volume, const std::wstring &filler, ULONGLONG left) {
  HANDLE file = CreateFileW(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  static char page[4096];
  ULARGE_INTEGER free = {};
  DWORD written = 0;
  while (GetDiskFreeSpaceExW(volume.c_str(), &free, nullptr, nullptr) && free.QuadPart > left &&
         WriteFile(file, page, sizeof(page), &written, nullptr) && written == sizeof(page)) {
  }
  CloseHandle(file);
  EXPECT_EQ(free.QuadPart, left);
}

// The set-up mounts a small tmpfs and names it in ONDREL_SMALL_VOLUME; where it cannot mount (no
// root), the folder is an ordinary one without the marker, and the test says so and skips.
TEST_F(FaultRunTest, FullVolumeEndsTheWriteWithDiskFullAndLeavesNoPartialFile) {
  wchar_t volume[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"ONDREL_SMALL_VOLUME", volume, MAX_PATH);
  if (length == 0 || length >= MAX_PATH ||
      !PathExists(std::wstring(volume) + L"\\small-volume-mounted")) {
    GTEST_SKIP() << "no small volume was mounted for this test (mounting a tmpfs needs root)";
  }
  const std::wstring folder = std::wstring(volume) + L"\\downloads\\";
  CreateDirectories(folder);
  PlaceStub(folder);
  const std::wstring filler = std::wstring(volume) + L"\\filler.bin";
  const ULONGLONG archive_pages = (ReadFileBytes(PackedStub(L"product.7z")).size() + 4095) / 4096;
  struct Case {
    const char *label;
    ULONGLONG left;
    DWORD exit_code;
  };
  const Case cases[] = {
      {"no room for the archive", 0, RESULT_ARCHIVE_EXTRACTION_FAILED},
      {"room for the archive only", archive_pages * 4096, RESULT_SETUP_EXTRACTION_FAILED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    client_state_.Clear();
    FillVolumeLeaving(volume, filler, c.left);
    EXPECT_EQ(RunStub(L"").exit_code, c.exit_code);
    DeleteFileW(filler.c_str());
    EXPECT_TRUE(LeftBeside(folder).empty()) << Narrow(LeftBeside(folder)[0]);
    EXPECT_EQ(TakeReceived(), L"");
    EXPECT_EQ(client_state_.Values(),
              Values({{L"InstallerError", ValueData::Dword(c.exit_code)},
                      {L"InstallerExtraCode1", ValueData::Dword(ERROR_DISK_FULL)},
                      {L"InstallerResult", ValueData::Dword(1)},
                      {L"ap", ValueData::String(L"-full")}}));
  }
  DeleteFileW(stub_.c_str());
}

// Libraries a program or the system might load by name, planted in the downloads folder and in
// the current folder. On Windows the loader's own rules decide. Wine prefers its own builtin
// libraries to any file of the same name unless the Wine that started the test was told
// (WINEDLLOVERRIDES, set for this test by the build) to prefer files on disk for these names;
// control copies loaded by their full path show whether it was, so that a run where planting
// cannot be shown skips instead of passing for nothing.
TEST_F(FaultRunTest, LibrariesPlantedBesideTheStubAreNeverLoaded) {
  const std::wstring probe = ProgramDirectory() + L"planted-library.dll";
  const ScratchDirectory control;
  for (const wchar_t *name : kPlantedNames) {
    const std::wstring planted = control / name + L".dll";
    ASSERT_TRUE(CopyFileW(probe.c_str(), planted.c_str(), FALSE));
    const HMODULE loaded = LoadLibraryExW(planted.c_str(), nullptr, 0);
    FreeLibrary(loaded);
    if (!PathExists(planted + L".loaded") && RunningUnderWine()) {
      GTEST_SKIP() << "Wine loads its builtin " << Narrow(name)
                   << " for a planted file: start it with WINEDLLOVERRIDES preferring native "
                      "libraries of these names";
    }
    EXPECT_NE(loaded, nullptr) << Narrow(name);
    EXPECT_TRUE(PathExists(planted + L".loaded")) << Narrow(name) << " betrays itself when loaded";
  }

  const ScratchDirectory current;
  for (const wchar_t *name : kPlantedNames) {
    ASSERT_TRUE(CopyFileW(probe.c_str(), (stub_folder_ + name + L".dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(probe.c_str(), (current / name + L".dll").c_str(), FALSE));
  }
  wchar_t previous[MAX_PATH] = {};
  ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(current.path().c_str()));
  const DWORD exit_code = RunStub(L"").exit_code;
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(exit_code, 0u);
  EXPECT_EQ(client_state_.Values(), success_) << "the run went all the way";
  for (const wchar_t *name : kPlantedNames) {
    EXPECT_FALSE(PathExists(stub_folder_ + name + L".dll.loaded")) << Narrow(name);
    EXPECT_FALSE(PathExists(current / name + L".dll.loaded")) << Narrow(name) << " (current)";
  }
}

} // namespace
