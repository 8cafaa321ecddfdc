// SPDX-License-Identifier: Zlib
#include "setup/setup_launch.h"

#include <gtest/gtest.h>

#include <string>

#include "common/process.h"
#include "common/scratch.h"
#include "common/stub_process.h"
#include "fixtures/setup_fixture.h"
#include "support/platform_seam.h"

namespace {

TEST(AppendPassThroughArguments, CopiesWhatFollowsTheProgramNameCharacterForCharacter) {
  struct Case {
    const char *label;
    const wchar_t *line;
    const wchar_t *appended;
  };
  const Case cases[] = {
      {"empty line", L"", L""},
      {"quoted name alone", L"\"C:\\a b\\stub.exe\"", L""},
      {"unquoted name alone", L"stub.exe", L""},
      {"quoted name, a space, a switch", L"\"C:\\a b\\stub.exe\" --system-level",
       L" --system-level"},
      {"argument glued to the closing quote", L"\"C:\\stub.exe\"--system-level",
       L" --system-level"},
      {"glued quoted argument", L"\"stub.exe\"\"x y\"", L" \"x y\""},
      {"tab after an unquoted name", L"stub.exe\t--x", L"\t--x"},
      {"three spaces", L"stub.exe   --x", L"   --x"},
      {"trailing blank only", L"stub.exe ", L" "},
      {"unterminated quote", L"\"C:\\stub.exe --system-level", L""},
      {"vertical tab belongs to the name", L"stub\x0B.exe --x", L" --x"},
      {"quotes and backslashes untouched", L"stub.exe \"a\\\"b\" \\\\c\\", L" \"a\\\"b\" \\\\c\\"},
      {"switch inside a quoted argument", L"s.exe \"--cleanup x\"", L" \"--cleanup x\""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    CommandBuffer command;
    ASSERT_TRUE(command.Assign(L"\"setup.exe\""));
    AppendPassThroughArguments(command, c.line);
    EXPECT_EQ(std::wstring(command.text), std::wstring(L"\"setup.exe\"") + c.appended);
  }
}

TEST(AppendPassThroughArguments, DropsWhatDoesNotFitWhole) {
  struct Case {
    const char *label;
    size_t filled; // characters already in the command
    const wchar_t *line;
    const wchar_t *appended;
  };
  const Case cases[] = {
      {"rest fits exactly", kCommandCapacity - 6, L"s.exe --ab", L" --ab"},
      {"rest one too long", kCommandCapacity - 5, L"s.exe --ab", L""},
      {"glued: space and rest fit", kCommandCapacity - 6, L"\"s.exe\"--ab", L" --ab"},
      {"glued: only the space fits", kCommandCapacity - 5, L"\"s.exe\"--ab", L" "},
      {"glued: not even the space", kCommandCapacity - 1, L"\"s.exe\"--ab", L""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    CommandBuffer command;
    const std::wstring filled(c.filled, L'c');
    ASSERT_TRUE(command.Assign(filled.c_str()));
    AppendPassThroughArguments(command, c.line);
    EXPECT_EQ(std::wstring(command.text), filled + c.appended);
    EXPECT_EQ(command.text[kCommandCapacity], L'\0');
  }
}

// The controllable setup program, copied into the scratch folder as "setup.exe"; it records the
// command line it received and exits with the code it is told.
class SetupLaunchTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(
        CopyFileW((ProgramDirectory() + L"setup-fixture.exe").c_str(), setup_.c_str(), FALSE))
        << GetLastError();
    WriteTextFile(archive_, "7z");
    configuration_.command_line = L"stub.exe";
  }

  RunResult Launch() {
    return LaunchOnceMoreIfWineFailed(
        [&] { return LaunchSetup(configuration_, archive_.c_str(), setup_.c_str()); });
  }

  std::wstring Received() { return TakeRecordedCommandLine(record_); }

  std::wstring InstallForm() const {
    return L"\"" + setup_ + L"\" --install-archive=\"" + archive_ + L"\"";
  }

  ScratchDirectory scratch_;
  const std::wstring setup_ = scratch_ / L"setup.exe";
  const std::wstring archive_ = scratch_ / L"ONDREL.PACKED.7Z";
  const std::wstring record_ = scratch_ / L"received.txt";
  ScopedEnvironmentVariable recording_{kFixtureRecordVariable, record_};
  ScopedEnvironmentVariable exit_code_{kFixtureExitCodeVariable, std::nullopt};
  RunConfiguration configuration_;
};

TEST_F(SetupLaunchTest, HandsOverTheInstallFormAndThePassThrough) {
  struct Case {
    const char *label;
    const wchar_t *previous_version;
    const wchar_t *own_command_line;
    std::wstring tail; // after the install form
  };
  const std::wstring overlong = L"stub.exe " + std::wstring(1100, L'x');
  const Case cases[] = {
      {"program name only", nullptr, L"\"C:\\dl\\stub.exe\"", L""},
      {"empty own command line", nullptr, L"", L""},
      {"previous version present but empty", L"", L"stub.exe", L" --previous-version=\"\""},
      {"previous version and switches", L"1.2.3.4", L"\"stub.exe\" --system-level --x=\"a b\"",
       L" --previous-version=\"1.2.3.4\" --system-level --x=\"a b\""},
      {"tab kept", nullptr, L"stub.exe\t--ondrel-beta", L"\t--ondrel-beta"},
      {"three spaces kept", nullptr, L"stub.exe   a", L"   a"},
      {"glued argument", nullptr, L"\"stub.exe\"--system-level", L" --system-level"},
      {"unterminated quote", nullptr, L"\"stub.exe --system-level", L""},
      {"overlong pass-through dropped whole", nullptr, overlong.c_str(), L""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    configuration_.previous_version = c.previous_version;
    configuration_.command_line = c.own_command_line;
    const RunResult result = Launch();
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.extra_code, 0u);
    EXPECT_EQ(Received(), InstallForm() + c.tail);
  }
}

TEST_F(SetupLaunchTest, CommandLineOfAtMost1039CharactersBeforeThePassThrough) {
  // The previous version pads the command line to the length under test.
  const size_t base = InstallForm().size() + std::wstring(L" --previous-version=\"\"").size();
  for (const size_t length : {size_t{1039}, size_t{1040}}) {
    SCOPED_TRACE(length);
    const std::wstring version(length - base, L'9');
    configuration_.previous_version = version.c_str();
    configuration_.command_line = L"stub.exe --dropped";
    const RunResult result = Launch();
    if (length == 1039) {
      EXPECT_EQ(result.exit_code, 0u);
      EXPECT_EQ(Received().size(), 1039u);
    } else {
      EXPECT_EQ(result.exit_code, RESULT_COMMAND_TOO_LONG);
      EXPECT_EQ(result.extra_code, 0u);
      EXPECT_EQ(Received(), L"") << "nothing may be started";
    }
  }
}

TEST_F(SetupLaunchTest, PassesTheSetupProgramsExitCodeOnUnchanged) {
  for (const wchar_t *code : {L"0", L"3", L"112", L"0xC0000005", L"0xFFFFFFFF"}) {
    SCOPED_TRACE(Narrow(code));
    SetEnvironmentVariableW(kFixtureExitCodeVariable, code);
    const RunResult result = Launch();
    EXPECT_EQ(result.exit_code, static_cast<uint32_t>(wcstoul(code, nullptr, 0)));
    EXPECT_EQ(result.extra_code, 0u);
  }
}

TEST_F(SetupLaunchTest, MapsLaunchFailures) {
  const std::wstring folder = scratch_ / L"folder.exe";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring not_a_program = scratch_ / L"text.exe";
  WriteTextFile(not_a_program, "plain text, no program");

  struct Case {
    const char *label;
    std::wstring setup;
    RunResult expected;
  };
  const Case cases[] = {
      {"missing file",
       scratch_ / L"missing.exe",
       {RESULT_SETUP_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES}},
      {"missing folder",
       scratch_ / L"missing\\setup.exe",
       {RESULT_SETUP_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES}},
      {"not a program", not_a_program, {RESULT_SETUP_LAUNCH_FAILED, ERROR_BAD_EXE_FORMAT}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    const RunResult result = LaunchOnceMoreIfWineFailed(
        [&] { return LaunchSetup(configuration_, archive_.c_str(), c.setup.c_str()); });
    EXPECT_EQ(result.exit_code, c.expected.exit_code);
    EXPECT_EQ(result.extra_code, c.expected.extra_code);
  }
  EXPECT_EQ(Received(), L"");
}

DWORD WINAPI FailedWait(HANDLE process, DWORD) {
  WaitForSingleObject(process, INFINITE); // let the child finish; the failure is the answer
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

BOOL WINAPI FailedExitCode(HANDLE, LPDWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

TEST_F(SetupLaunchTest, WaitOrExitCodeFailureGives107) {
  {
    ScopedPlatformOverride<decltype(PlatformOverrides::WaitForSingleObject)> wait(
        &PlatformOverrides::WaitForSingleObject, &FailedWait);
    const RunResult result = Launch();
    EXPECT_EQ(result.exit_code, RESULT_WAIT_FAILED);
    EXPECT_EQ(result.extra_code, static_cast<uint32_t>(ERROR_INVALID_HANDLE));
  }
  {
    ScopedPlatformOverride<decltype(PlatformOverrides::GetExitCodeProcess)> exit_code(
        &PlatformOverrides::GetExitCodeProcess, &FailedExitCode);
    const RunResult result = Launch();
    EXPECT_EQ(result.exit_code, RESULT_WAIT_FAILED);
    EXPECT_EQ(result.extra_code, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  }
}

} // namespace
