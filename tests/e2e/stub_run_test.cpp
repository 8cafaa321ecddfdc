#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/process.h"
#include "common/registry.h"
#include "common/scratch.h"
#include "fixtures/setup_fixture.h"
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

// Stubs packed at build time: a real 7z archive and the controllable setup program.
std::wstring PackedStub(const wchar_t *name) { return ProgramDirectory() + L"e2e\\" + name; }

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
    ASSERT_TRUE(CopyFileW(source.c_str(), stub_.c_str(), FALSE)) << GetLastError();
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
  const ProcessOutcome outcome = RunProcess(stub_, L"--cleanup --ondrel-sxs");
  EXPECT_TRUE(outcome.started);
  EXPECT_EQ(outcome.exit_code, 0u);
  EXPECT_TRUE(LeftBeside(stub_folder_).empty());
  // The program name is never passed on, however it looks.
  const std::wstring received = TakeReceived();
  EXPECT_TRUE(received.ends_with(L".7Z\" --ondrel-sxs")) << Narrow(received);
}

TEST_F(StubRunTest, EmptyAndPlatformSizedCommandLinesRunNormally) {
  const ProcessOutcome empty = RunProcess(stub_, L"");
  EXPECT_TRUE(empty.started);
  EXPECT_EQ(empty.exit_code, 0u);
  EXPECT_EQ(TakeReceived().back(), L'"') << "nothing passed on";

  // The platform's limit is 32,767 characters with the NUL; what does not fit behind the
  // setup program's command line is dropped whole.
  std::wstring line = L"\"" + stub_ + L"\" ";
  line += std::wstring(32766 - line.size(), L'x');
  const ProcessOutcome longest = RunProcess(stub_, line);
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

// Runs whose reports the update client reads: its key for the default application exists, as it
// does on a machine where the client has registered the product.
class ReportingRunTest : public StubRunTest {
protected:
  static constexpr wchar_t kDefaultGuid[] = L"{5E1C27B9-3D40-4F8A-9C62-71B0D4E8A315}";
  static constexpr wchar_t kBetaGuid[] = L"{C94A0D17-6B25-4E3F-A8D1-2F57E6B0C942}";

  using Values = std::map<std::wstring, ValueData>;

  ScopedClientStateKey client_state_{kDefaultGuid};
};

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
    for (const auto &[name, value] : client_state_.Values()) {
      client_state_.Set(name.c_str(), ValueData::Absent());
    }
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
