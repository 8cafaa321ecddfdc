// SPDX-License-Identifier: Zlib
#include "setup/setup_patching.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/platform.h"
#include "common/process.h"
#include "common/registry.h"
#include "common/scratch.h"
#include "common/stub_process.h"
#include "fixtures/setup_fixture.h"
#include "setup/setup_launch.h"
#include "support/bounded_string.h"

namespace {

constexpr wchar_t kGuid[] = L"{7E57C0DE-0000-4000-8000-000000000621}";

TEST(FindInstalledSetup, ChecksTheVersionOnTheValueAndDropsEnclosingQuotes) {
  const std::wstring path = L"C:\\Velmora\\Application\\11.2.3.45\\Installer\\setup.exe";
  const std::wstring quoted = L"\"" + path + L"\"";
  const std::wstring with_arguments = quoted + L" --uninstall --force";
  const std::wstring s259 = L"C:\\" + std::wstring(256, L'p');
  const std::wstring s260 = s259 + L"p";
  const struct {
    const char *label;
    ValueData stored;
    const wchar_t *previous_version;
    RunResult result;
    std::wstring found;
  } cases[] = {
      {"quoted", ValueData::String(quoted), L"11.2.3.45", {0, 0}, path},
      {"bare", ValueData::String(path), L"11.2.3.45", {0, 0}, path},
      {"arguments after the closing quote",
       ValueData::String(with_arguments),
       L"11.2.3.45",
       {0, 0},
       with_arguments},
      {"two quotes alone, no version", ValueData::String(L"\"\""), nullptr, {0, 0}, L""},
      {"one quote alone", ValueData::String(L"\""), nullptr, {0, 0}, L"\""},
      {"quote opened, not closed", ValueData::String(L"\"" + path), nullptr, {0, 0}, L"\"" + path},
      {"version in other case",
       ValueData::String(L"C:\\App\\1.0.0-BETA\\s.exe"),
       L"1.0.0-beta",
       {0, 0},
       L"C:\\App\\1.0.0-BETA\\s.exe"},
      {"version inside a longer number", ValueData::String(quoted), L"1.2.3.4", {0, 0}, path},
      {"version takes the quote into account",
       ValueData::String(quoted),
       L"\"C:\\Velmora",
       {0, 0},
       path},
      {"empty version matches an empty value", ValueData::String(L""), L"", {0, 0}, L""},
      {"version missing", ValueData::String(quoted), L"11.2.3.46", {111, 0}, L""},
      {"absent", ValueData::Absent(), nullptr, {110, ERROR_FILE_NOT_FOUND}, L""},
      {"expandable",
       ValueData::Raw(REG_EXPAND_SZ, path + L'\0'),
       nullptr,
       {110, ERROR_NOT_SUPPORTED},
       L""},
      {"259 characters", ValueData::String(s259), nullptr, {0, 0}, s259},
      {"260 characters", ValueData::String(s260), nullptr, {110, ERROR_MORE_DATA}, L""},
  };
  ScopedClientStateKey client_state(kGuid);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    client_state.Set(L"UninstallString", c.stored);
    PathBuffer found;
    const RunResult result =
        FindInstalledSetup(false, kGuid, c.previous_version, found.text, kPathCapacity);
    EXPECT_EQ(result.exit_code, c.result.exit_code);
    EXPECT_EQ(result.extra_code, c.result.extra_code);
    if (result.exit_code == 0) {
      EXPECT_EQ(std::wstring(found.text), c.found);
    }
  }
}

TEST(FindInstalledSetup, UninstallStringOfEveryTypeAndSize) {
  // A path over and over, cut to each size, and no version to look for. As a string its whole
  // characters are the path, an odd last byte ignored, while they leave room for the terminator
  // within 260; any other type is refused, by the platform first when larger than the buffer.
  const std::wstring path = L"C:\\Velmora\\2.0.1\\setup.exe;";
  ScopedClientStateKey client_state(kGuid);
  for (const DWORD type : kEveryValueType) {
    for (const size_t size : {0, 1, 3, 5, 517, 518, 519, 520, 521, 65536}) {
      SCOPED_TRACE(testing::Message() << "type " << type << ", " << size << " bytes");
      client_state.Set(L"UninstallString", ValueData::Filled(type, path, size));
      PathBuffer found;
      const RunResult result = FindInstalledSetup(false, kGuid, nullptr, found.text, kPathCapacity);
      if (type == REG_SZ && size < 520) {
        EXPECT_EQ(result.exit_code, 0u);
        const ValueData whole = ValueData::Filled(REG_SZ, path, size / 2 * 2);
        EXPECT_EQ(Utf16Bytes(found.text), whole.bytes);
      } else {
        EXPECT_EQ(result.exit_code, RESULT_CLIENT_STATE_UNREADABLE);
        EXPECT_EQ(result.extra_code,
                  static_cast<uint32_t>(type == REG_SZ || size > 520 ? ERROR_MORE_DATA
                                                                     : ERROR_NOT_SUPPORTED));
      }
    }
  }
}

TEST(FindInstalledSetup, FailsWhenTheKeyCannotBeOpened) {
  PathBuffer found;
  const RunResult missing = FindInstalledSetup(false, L"{7E57C0DE-0000-4000-8000-0000000006FF}",
                                               nullptr, found.text, kPathCapacity);
  EXPECT_EQ(missing.exit_code, RESULT_CLIENT_STATE_UNREADABLE);
  EXPECT_EQ(missing.extra_code, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));

  const std::wstring overlong(240, L'g');
  const RunResult unfit =
      FindInstalledSetup(false, overlong.c_str(), nullptr, found.text, kPathCapacity);
  EXPECT_EQ(unfit.exit_code, RESULT_CLIENT_STATE_UNREADABLE);
  EXPECT_EQ(unfit.extra_code, static_cast<uint32_t>(ERROR_BUFFER_OVERFLOW));

  // Per-machine installs are looked up under the machine only.
  SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
  ScopedClientStateKey user(kGuid);
  user.Set(L"UninstallString", ValueData::String(L"C:\\user\\setup.exe"));
  ScopedClientStateKey machine(kGuid, HKEY_LOCAL_MACHINE);
  machine.Set(L"UninstallString", ValueData::String(L"C:\\machine\\setup.exe"));
  ASSERT_EQ(FindInstalledSetup(true, kGuid, nullptr, found.text, kPathCapacity).exit_code, 0u);
  EXPECT_STREQ(found.text, L"C:\\machine\\setup.exe");
}

// The setup fixture installed where the update client registered it, and a patch for it.
class ApplySetupPatchTest : public ::testing::Test {
protected:
  void SetUp() override {
    CreateDirectories(installed_directory_);
    ASSERT_TRUE(CopyFileW((ProgramDirectory() + L"setup-fixture.exe").c_str(),
                          installed_setup_.c_str(), FALSE));
    client_state_.Set(L"UninstallString", ValueData::String(L"\"" + installed_setup_ + L"\""));
    configuration_.app_guid = kGuid;
    configuration_.previous_version = L"2.0.1";
    configuration_.command_line = L"\"C:\\downloads\\stub.exe\" --system-level";
  }

  RunResult Apply(const std::wstring &patch = ProgramDirectory() +
                                              L"fixtures\\setup-fixture.patch") {
    return LaunchOnceMoreIfWineFailed(
        [&] { return ApplySetupPatch(configuration_, patch.c_str(), new_setup_.c_str()); });
  }

  ScratchDirectory scratch_;
  const std::wstring installed_directory_ = scratch_ / L"Velmora\\2.0.1.7\\";
  const std::wstring installed_setup_ = installed_directory_ + L"setup.exe";
  const std::wstring new_setup_ = scratch_ / L"setup.exe";
  const std::wstring record_ = scratch_ / L"patch-record.bin";
  ScopedClientStateKey client_state_{kGuid};
  RunConfiguration configuration_;
  ScopedEnvironmentVariable recording_{kFixturePatchRecordVariable, record_};
  ScopedEnvironmentVariable exit_code_{kFixturePatchExitCodeVariable, std::nullopt};
  ScopedEnvironmentVariable skip_{kFixtureSkipNewSetupVariable, std::nullopt};
};

TEST_F(ApplySetupPatchTest, InstalledProgramBuildsTheNewOneFromThePatchForm) {
  const std::wstring patch = ProgramDirectory() + L"fixtures\\setup-fixture.patch";
  const RunResult result = Apply(patch);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(result.extra_code, 0u);
  EXPECT_EQ(TakeRecordedCommandLine(record_),
            L"\"" + installed_setup_ + L"\" --update-setup-exe=\"" + patch +
                L"\" --new-setup-exe=\"" + new_setup_ + L"\" --system-level");
  EXPECT_EQ(ReadFileBytes(new_setup_), ReadFileBytes(ProgramDirectory() + L"setup-fixture.exe"));
}

TEST_F(ApplySetupPatchTest, InstalledProgramsExitCodeIsTheResult) {
  SetEnvironmentVariableW(kFixturePatchExitCodeVariable, L"7");
  const RunResult failed = Apply();
  EXPECT_EQ(failed.exit_code, 7u);
  EXPECT_EQ(failed.extra_code, 0u);

  // Success without the new program: the patch step cannot tell, the launch then can.
  SetEnvironmentVariableW(kFixturePatchExitCodeVariable, nullptr);
  SetEnvironmentVariableW(kFixtureSkipNewSetupVariable, L"1");
  DeleteFileW(new_setup_.c_str());
  const RunResult silent = Apply();
  EXPECT_EQ(silent.exit_code, 0u);
  EXPECT_FALSE(PathExists(new_setup_));
  const RunResult launch = LaunchSetup(configuration_, L"C:\\a.7z", new_setup_.c_str());
  EXPECT_EQ(launch.exit_code, RESULT_SETUP_FILE_NOT_FOUND);
  EXPECT_EQ(launch.extra_code, INVALID_FILE_ATTRIBUTES);
}

TEST_F(ApplySetupPatchTest, NothingStartsWhenTheInstalledProgramIsNotTheOneToPatch) {
  struct Case {
    const char *label;
    std::optional<std::wstring> uninstall_string;
    uint32_t exit_code;
    uint32_t extra_code;
  };
  const std::wstring missing_file = installed_directory_ + L"gone.exe";
  const std::wstring not_a_program = installed_directory_ + L"readme.exe";
  WriteTextFile(not_a_program, "an installed text, not a program");
  const Case cases[] = {
      {"other version", L"C:\\Velmora\\2.0.2\\setup.exe", RESULT_PATCH_VERSION_MISMATCH, 0},
      {"not registered", std::nullopt, RESULT_CLIENT_STATE_UNREADABLE, ERROR_FILE_NOT_FOUND},
      {"file gone", missing_file, RESULT_PATCH_SETUP_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES},
      {"folder gone", scratch_ / L"2.0.1\\setup.exe", RESULT_PATCH_SETUP_PATH_NOT_FOUND,
       INVALID_FILE_ATTRIBUTES},
      {"not a program", not_a_program, RESULT_PATCH_SETUP_LAUNCH_FAILED, ERROR_BAD_EXE_FORMAT},
      // Kept whole, quotes and all: no valid file name.
      {"arguments after the closing quote", L"\"" + installed_setup_ + L"\" --uninstall",
       RESULT_PATCH_SETUP_LAUNCH_FAILED, ERROR_INVALID_NAME},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    client_state_.Set(L"UninstallString", c.uninstall_string
                                              ? ValueData::String(*c.uninstall_string)
                                              : ValueData::Absent());
    const RunResult result = Apply();
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.extra_code, c.extra_code);
    EXPECT_EQ(TakeRecordedCommandLine(record_), L"") << "nothing may run";
    EXPECT_FALSE(PathExists(new_setup_));
  }
}

TEST_F(ApplySetupPatchTest, CommandLineWithoutThePassThroughMayTake1039Characters) {
  // 43 characters of quotes and switches, the two paths, and a patch path to fill the rest.
  const size_t fixed = 43 + installed_setup_.size() + new_setup_.size();
  configuration_.command_line = L"stub.exe --dropped-when-it-does-not-fit";
  const std::wstring fits = scratch_ / std::wstring(1039 - fixed - scratch_.path().size(), L'f');

  const RunResult launched = Apply(fits);
  EXPECT_EQ(launched.exit_code, kFixtureBadPatch) << "started, and found no such patch";
  const std::wstring received = TakeRecordedCommandLine(record_);
  EXPECT_EQ(received.size(), 1039u);
  EXPECT_EQ(received.find(L"--dropped"), std::wstring::npos);

  const RunResult refused = Apply(fits + L"f");
  EXPECT_EQ(refused.exit_code, RESULT_COMMAND_TOO_LONG);
  EXPECT_EQ(refused.extra_code, 0u);
  EXPECT_EQ(TakeRecordedCommandLine(record_), L"");
}

} // namespace
