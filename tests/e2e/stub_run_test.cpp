// SPDX-License-Identifier: Zlib
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/platform.h"
#include "common/process.h"
#include "common/registry.h"
#include "common/scratch.h"
#include "e2e/stub_run_fixture.h"
#include "fixtures/setup_fixture.h"
#include "run/run_result.h"

namespace {

TEST_F(StubRunTest, RefusedSwitchesEndWith118AndCreateNothing) {
  for (const wchar_t *arguments :
       {L"--cleanup", L"--ondrel-frame", L"--CLEANUP", L"--system-level --Ondrel-Frame",
        L"install \"--cleanup\" now"}) {
    SCOPED_TRACE(Narrow(arguments));
    DirectoryWatch watch(stub_folder_);
    EXPECT_EQ(RunStub(arguments).exit_code, RESULT_REFUSED_SWITCH);
    std::vector<std::wstring> added, removed;
    watch.Drain(added, removed);
    EXPECT_TRUE(added.empty()) << Narrow(added.empty() ? L"" : added[0]);
    EXPECT_TRUE(LeftBeside(stub_folder_).empty());
    EXPECT_EQ(TakeReceived(), L"") << "no setup program may run";
  }
}

TEST_F(StubRunTest, FullStubInstallsThroughTheSetupProgramAndLeavesNothing) {
  const std::string archive = ReadFileBytes(ProgramDirectory() + L"e2e\\product.7z");
  ASSERT_EQ(archive.substr(0, 6), std::string("7z\xBC\xAF\x27\x1C", 6));
  for (const wchar_t *arguments : {L"", L"--system-level", L"--ondrel-beta --ondrel-dev",
                                   L"--cleanup=1 \"--cleanup \"", L"\"unterminated --cleanup"}) {
    SCOPED_TRACE(Narrow(arguments));
    DirectoryWatch watch(stub_folder_);
    const ProcessOutcome outcome = RunStub(arguments);
    EXPECT_EQ(outcome.exit_code, 0u);
    std::vector<std::wstring> added, removed;
    watch.Drain(added, removed);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_TRUE(IsWorkDirectoryName(added[0])) << Narrow(added[0]);
    EXPECT_EQ(removed, added);
    EXPECT_TRUE(LeftBeside(stub_folder_).empty());

    const std::wstring work_directory = stub_folder_ + added[0] + L"\\";
    EXPECT_EQ(TakeReceived(), InstallForm(work_directory) + L" " + arguments);
    EXPECT_EQ(ReadFileBytes(archive_copy_), archive);
    DeleteFileW(archive_copy_.c_str());
  }
}

TEST_F(StubRunTest, SetupProgramsExitCodeBecomesTheStubsUnchanged) {
  for (const wchar_t *code : {L"0", L"3", L"112", L"0xC0000005"}) {
    SCOPED_TRACE(Narrow(code));
    SetEnvironmentVariableW(kFixtureExitCodeVariable, code);
    EXPECT_EQ(RunStub(L"").exit_code, static_cast<DWORD>(wcstoul(code, nullptr, 0)));
    EXPECT_TRUE(LeftBeside(stub_folder_).empty());
  }
}

TEST_F(StubRunTest, MalformedPayloadEndsWithItsCodeStartsNothingAndLeavesNothing) {
  struct Case {
    const wchar_t *stub;
    DWORD exit_code;
  };
  const Case cases[] = {
      {L"no-payload.exe", RESULT_ARCHIVE_EXTRACTION_FAILED},
      {L"archive-only.exe", RESULT_SETUP_EXTRACTION_FAILED},
      {L"broken-cabinet.exe", RESULT_SETUP_EXPANSION_FAILED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(Narrow(c.stub));
    PlaceStub(stub_folder_, kStubName, PackedStub(c.stub));
    EXPECT_EQ(RunStub(L"").exit_code, c.exit_code);
    EXPECT_TRUE(LeftBeside(stub_folder_).empty());
    EXPECT_EQ(TakeReceived(), L"");
  }
}

TEST_F(StubRunTest, ProgramNamedLikeASwitchIsNotRefused) {
  const ProcessOutcome outcome = RunStubProcess(stub_, L"--cleanup --ondrel-sxs");
  EXPECT_TRUE(outcome.started);
  EXPECT_EQ(outcome.exit_code, 0u);
  EXPECT_TRUE(LeftBeside(stub_folder_).empty());
  // The program name is never passed on, however it looks.
  const std::wstring received = TakeReceived();
  EXPECT_TRUE(received.ends_with(L".7Z\" --ondrel-sxs")) << Narrow(received);
}

TEST_F(StubRunTest, EmptyAndPlatformSizedCommandLinesRunNormally) {
  const ProcessOutcome empty = RunStubProcess(stub_, L"");
  EXPECT_TRUE(empty.started);
  EXPECT_EQ(empty.exit_code, 0u);
  EXPECT_EQ(TakeReceived().back(), L'"') << "nothing passed on";

  // The platform's limit is 32,767 characters with the NUL; what does not fit behind the
  // setup program's command line is dropped whole.
  std::wstring line = L"\"" + stub_ + L"\" ";
  line += std::wstring(32766 - line.size(), L'x');
  const ProcessOutcome longest = RunStubProcess(stub_, line);
  EXPECT_TRUE(longest.started) << longest.start_error;
  EXPECT_EQ(longest.exit_code, 0u);
  EXPECT_EQ(TakeReceived().back(), L'"') << "the arguments are dropped whole";
  EXPECT_TRUE(LeftBeside(stub_folder_).empty());
}

TEST_F(StubRunTest, CleanupSettingZeroLeavesTheArchiveTheSetupProgramAndTheWorkDirectory) {
  cleanup_.SetString(L"0");
  EXPECT_EQ(RunStub(L"").exit_code, 0u);
  const auto left = LeftBeside(stub_folder_);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(IsWorkDirectoryName(left[0])) << Narrow(left[0]);
  EXPECT_EQ(ListDirectory(stub_folder_ + left[0] + L"\\"),
            (std::vector<std::wstring>{L"ONDREL.PACKED.7Z", L"setup.exe"}));
}

TEST_F(StubRunTest, FolderLengthDecidesWhereTheRunEnds) {
  cleanup_.SetString(L"0");
  struct Case {
    size_t length;
    DWORD exit_code;
    bool work_directory_left;
  };
  const Case cases[] = {
      // Work directory and "ONDREL.PACKED.7Z" make exactly 259 characters.
      {230, RESULT_SUCCESS, true},
      {231, RESULT_PATH_TOO_LONG, true},
      // The work directory itself is 259 characters: nothing else fits in it.
      {246, RESULT_PATH_TOO_LONG, true},
      {247, RESULT_PATH_TOO_LONG, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.length);
    std::wstring folder = scratch_.path() + std::to_wstring(c.length) + L"\\";
    folder += std::wstring(c.length - folder.size() - 1, L'f') + L"\\";
    ASSERT_EQ(folder.size(), c.length);
    CreateDirectories(folder);
    // A short name keeps the stub's own path within 259 characters.
    PlaceStub(folder, L"s.exe");
    EXPECT_EQ(RunStub(L"").exit_code, c.exit_code);
    const auto left = LeftBeside(folder);
    ASSERT_EQ(left.size(), c.work_directory_left ? 1u : 0u);
    if (c.work_directory_left) {
      EXPECT_EQ((folder + left[0] + L"\\").size(), c.length + 13);
    }
  }
}

TEST_F(ReportingRunTest, EveryRunThatMadeItsWorkDirectoryLeavesOneRecord) {
  const std::wstring own_record = client_state_.subkey();
  struct Case {
    const char *label;
    const wchar_t *stub;
    std::optional<std::wstring> setup_exit_code;
    bool setup_records_its_own;
    DWORD exit_code;
    Values values;
  };
  const Case cases[] = {
      {"success", L"full-stub.exe", std::nullopt, false, 0,
       Values({{L"InstallerExtraCode1", ValueData::Dword(0x30000)},
               {L"ap", ValueData::String(L"-full")}})},
      {"setup program fails", L"full-stub.exe", L"3", false, 3,
       Values({{L"InstallerError", ValueData::Dword(3)},
               {L"InstallerExtraCode1", ValueData::Dword(0)},
               {L"InstallerResult", ValueData::Dword(1)},
               {L"ap", ValueData::String(L"-full")}})},
      {"setup program fails and reports first", L"full-stub.exe", L"1603", true, 1603,
       Values({{L"InstallerError", ValueData::Dword(1603)},
               {L"InstallerExtraCode1", ValueData::Dword(kFixtureOwnExtraCode)},
               {L"InstallerResult", ValueData::Dword(1)},
               {L"ap", ValueData::String(L"-full")}})},
      {"no payload", L"no-payload.exe", std::nullopt, false, RESULT_ARCHIVE_EXTRACTION_FAILED,
       Values({{L"InstallerError", ValueData::Dword(112)},
               {L"InstallerExtraCode1", ValueData::Dword(ERROR_FILE_NOT_FOUND)},
               {L"InstallerResult", ValueData::Dword(1)},
               {L"ap", ValueData::String(L"-full")}})},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    client_state_.Clear();
    PlaceStub(stub_folder_, kStubName, PackedStub(c.stub));
    ScopedEnvironmentVariable exit_code(kFixtureExitCodeVariable, c.setup_exit_code);
    ScopedEnvironmentVariable own(kFixtureFailureRecordVariable, c.setup_records_its_own
                                                                     ? std::optional(own_record)
                                                                     : std::nullopt);
    EXPECT_EQ(RunStub(L"").exit_code, c.exit_code);
    EXPECT_EQ(client_state_.Values(), c.values);
    EXPECT_TRUE(LeftBeside(stub_folder_).empty());
  }
}

TEST_F(ReportingRunTest, RefusedRunTouchesNothing) {
  client_state_.Set(L"ap", ValueData::String(L"stable"));
  EXPECT_EQ(RunStub(L"--cleanup").exit_code, RESULT_REFUSED_SWITCH);
  EXPECT_EQ(client_state_.Values(), Values({{L"ap", ValueData::String(L"stable")}}));
}

TEST_F(ReportingRunTest, RunsReportUnderTheKeyTheirSwitchesSelect) {
  SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
  ScopedClientStateKey beta(kBetaGuid);
  ScopedClientStateKey machine(kDefaultGuid, HKEY_LOCAL_MACHINE);
  const Values success = {{L"InstallerExtraCode1", ValueData::Dword(0x30000)},
                          {L"ap", ValueData::String(L"-full")}};

  EXPECT_EQ(RunStub(L"--system-level").exit_code, 0u);
  EXPECT_EQ(machine.Values(), success);
  EXPECT_TRUE(client_state_.Values().empty());

  EXPECT_EQ(RunStub(L"--ondrel-beta").exit_code, 0u);
  EXPECT_EQ(beta.Values(), success);
  EXPECT_TRUE(client_state_.Values().empty());
}

// A patch stub for version 2.0.1, with that version installed and registered.
class PatchRunTest : public ReportingRunTest {
protected:
  void SetUp() override {
    ReportingRunTest::SetUp();
    PlaceStub(stub_folder_, kStubName, PackedStub(L"patch-stub.exe"));
    CreateDirectories(installed_directory_);
    ASSERT_TRUE(CopyFileW((ProgramDirectory() + L"setup-fixture.exe").c_str(),
                          installed_setup_.c_str(), FALSE));
    client_state_.Set(L"UninstallString", ValueData::String(L"\"" + installed_setup_ + L"\""));
  }

  const std::wstring installed_directory_ = scratch_ / L"Programs\\Velmora\\2.0.1.0\\";
  const std::wstring installed_setup_ = installed_directory_ + L"setup.exe";
  const std::wstring patch_record_ = scratch_ / L"patch-received.txt";
  ScopedEnvironmentVariable patch_recording_{kFixturePatchRecordVariable, patch_record_};
};

TEST_F(PatchRunTest, InstalledSetupProgramBuildsTheNewOneWhichInstalls) {
  const std::string installed = ReadFileBytes(installed_setup_);
  DirectoryWatch watch(stub_folder_);
  EXPECT_EQ(RunStub(L"--system-level-not").exit_code, 0u);
  std::vector<std::wstring> added, removed;
  watch.Drain(added, removed);
  ASSERT_EQ(added.size(), 1u);
  const std::wstring work_directory = stub_folder_ + added[0] + L"\\";

  EXPECT_EQ(TakeRecordedCommandLine(patch_record_),
            L"\"" + installed_setup_ + L"\" --update-setup-exe=\"" + work_directory +
                L"SETUP.PATCH\" --new-setup-exe=\"" + work_directory +
                L"setup.exe\" --system-level-not");
  EXPECT_EQ(TakeReceived(),
            InstallForm(work_directory) + L" --previous-version=\"2.0.1\" --system-level-not");
  EXPECT_EQ(ReadFileBytes(archive_copy_), ReadFileBytes(ProgramDirectory() + L"e2e\\product.7z"));
  EXPECT_TRUE(LeftBeside(stub_folder_).empty());
  EXPECT_EQ(ReadFileBytes(installed_setup_), installed) << "the installation is not touched";
  EXPECT_EQ(client_state_.Get(L"InstallerExtraCode1"), ValueData::Dword(0x30000));
  EXPECT_EQ(client_state_.Get(L"InstallerResult"), ValueData::Absent());
}

TEST_F(PatchRunTest, PatchThatCannotBeAppliedEndsTheRunAndIsRecorded) {
  struct Case {
    const char *label;
    std::optional<std::wstring> uninstall_string;
    std::optional<std::wstring> patch_exit_code;
    bool skip_new_setup;
    RunResult expected;
  };
  const Case cases[] = {
      {"not registered", std::nullopt, std::nullopt, false, {110, ERROR_FILE_NOT_FOUND}},
      {"another version", L"C:\\Velmora\\2.0.2\\setup.exe", std::nullopt, false, {111, 0}},
      {"installed program fails", installed_setup_, L"7", false, {7, 0}},
      {"installed program writes nothing",
       installed_setup_,
       std::nullopt,
       true,
       {RESULT_SETUP_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    client_state_.Set(L"InstallerResult", ValueData::Absent());
    client_state_.Set(L"UninstallString", c.uninstall_string
                                              ? ValueData::String(*c.uninstall_string)
                                              : ValueData::Absent());
    ScopedEnvironmentVariable exit_code(kFixturePatchExitCodeVariable, c.patch_exit_code);
    ScopedEnvironmentVariable skip(kFixtureSkipNewSetupVariable,
                                   c.skip_new_setup ? std::optional<std::wstring>(L"1")
                                                    : std::nullopt);
    EXPECT_EQ(RunStub(L"").exit_code, c.expected.exit_code);
    EXPECT_EQ(client_state_.Get(L"InstallerResult"), ValueData::Dword(1));
    EXPECT_EQ(client_state_.Get(L"InstallerError"), ValueData::Dword(c.expected.exit_code));
    EXPECT_EQ(client_state_.Get(L"InstallerExtraCode1"), ValueData::Dword(c.expected.extra_code));
    EXPECT_EQ(TakeReceived(), L"") << "no install may run";
    EXPECT_TRUE(LeftBeside(stub_folder_).empty());
  }
}

} // namespace
