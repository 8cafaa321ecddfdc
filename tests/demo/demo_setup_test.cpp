// SPDX-License-Identifier: Zlib
// The demo setup program, started the way the stub starts it: it takes a 7z archive, refuses
// anything else with its own code, and records what it received under the local application
// data folder, which each run here points into a scratch directory.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/process.h"
#include "common/scratch.h"
#include "demo/demo_setup.h"

namespace {

const std::wstring kDemoSetup = ProgramDirectory() + L"demo\\demo-setup.exe";
const std::wstring kDemoArchive = ProgramDirectory() + L"demo\\ONDREL.PACKED.7Z";

// The program finds the local application data folder through this variable, as every program
// of the user does; here it points into the scratch directory (given without its backslash).
std::optional<std::wstring> LocalAppData(const ScratchDirectory &scratch) {
  return scratch.path().substr(0, scratch.path().size() - 1);
}

TEST(DemoSetupTest, ChecksTheArchiveAndRecordsWhatItReceived) {
  ScratchDirectory scratch;
  WriteTextFile(scratch / L"signature.7z", "7z\xBC\xAF\x27\x1C");
  WriteTextFile(scratch / L"five-bytes.7z", "7z\xBC\xAF\x27");
  WriteTextFile(scratch / L"readme.txt", "Ondrel demo product\n");
  WriteTextFile(scratch / L"empty.7z", "");
  const std::wstring record = scratch / L"Velmora\\Ondrel\\last-install.txt";
  struct Case {
    const char *what;
    std::wstring archive;
    std::wstring rest; // what follows the archive switch
    DWORD expected;
    std::string recorded; // the start of a line of the record
  };
  const Case cases[] = {
      {"a 7z archive", kDemoArchive, L"", 0, "7z signature: yes"},
      {"the signature alone", scratch / L"signature.7z", L"", 0,
       "archive size: 6 bytes\r\n7z signature: yes"},
      {"the previous version and the caller's arguments", kDemoArchive,
       L" --previous-version=\"2.0.1\" --system-level \"two words\"", 0, "7z signature: yes"},
      {"asked to fail", kDemoArchive, L" --demo-fail=1603", 1603, "7z signature: yes"},
      {"a text file", scratch / L"readme.txt", L" --demo-fail=7", DEMO_SETUP_NOT_A_7Z_ARCHIVE,
       "7z signature: no"},
      {"five bytes of the signature", scratch / L"five-bytes.7z", L"", DEMO_SETUP_NOT_A_7Z_ARCHIVE,
       "archive size: 5 bytes\r\n7z signature: no"},
      {"an empty file", scratch / L"empty.7z", L"", DEMO_SETUP_NOT_A_7Z_ARCHIVE,
       "archive size: 0 bytes\r\n7z signature: no"},
      {"no such file", scratch / L"absent.7z", L"", DEMO_SETUP_ARCHIVE_UNREADABLE,
       "archive unreadable: error 2"},
      {"a failure code of 0", kDemoArchive, L" --demo-fail=0", DEMO_SETUP_BAD_COMMAND_LINE,
       "not understood"},
      {"a failure code past 32 bits", kDemoArchive, L" --demo-fail=4294967296",
       DEMO_SETUP_BAD_COMMAND_LINE, "not understood"},
  };
  ScopedEnvironmentVariable local_app_data(L"LOCALAPPDATA", LocalAppData(scratch));
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    DeleteFileW(record.c_str());
    const std::wstring line =
        L"\"" + kDemoSetup + L"\" --install-archive=\"" + c.archive + L"\"" + c.rest;
    const ProcessOutcome outcome = RunProcess(kDemoSetup, line);
    ASSERT_TRUE(outcome.started) << "error " << outcome.start_error;
    EXPECT_EQ(outcome.exit_code, c.expected);
    const std::string text = ReadFileBytes(record);
    EXPECT_EQ(text.rfind("command line: " + Utf8(line) + "\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("\r\n" + c.recorded), std::string::npos) << text;
    EXPECT_NE(text.find("\r\nexit code: " + std::to_string(c.expected) + "\r\n"), std::string::npos)
        << text;
  }
}

TEST(DemoSetupTest, RefusesALineOfNeitherForm) {
  ScratchDirectory scratch;
  ScopedEnvironmentVariable local_app_data(L"LOCALAPPDATA", LocalAppData(scratch));
  const std::wstring archive = L"--install-archive=\"" + kDemoArchive + L"\"";
  const std::wstring lines[] = {
      L"\"" + kDemoSetup + L"\"",
      L"\"" + kDemoSetup + L"\" --system-level " + archive,
      L"\"" + kDemoSetup + L"\" --install-archive=\"\"",
      L"\"" + kDemoSetup + L"\" --update-setup-exe=\"" + kDemoArchive + L"\"",
  };
  for (const std::wstring &line : lines) {
    EXPECT_EQ(RunProcess(kDemoSetup, line).exit_code, DEMO_SETUP_BAD_COMMAND_LINE) << Narrow(line);
  }
}

TEST(DemoSetupTest, PatchFormWritesTheProgramThePatchCarries) {
  ScratchDirectory scratch;
  ScopedEnvironmentVariable local_app_data(L"LOCALAPPDATA", LocalAppData(scratch));
  const std::string program = "MZ\x90 the new setup program";
  WriteTextFile(scratch / L"setup.patch", kDemoPatchMarker + program);
  WriteTextFile(scratch / L"no-marker.patch", program);
  const std::wstring made = scratch / L"new-setup.exe";
  const std::wstring record = scratch / L"Velmora\\Ondrel\\last-patch.txt";
  struct Case {
    const char *what;
    std::wstring patch;
    std::wstring new_setup;
    DWORD expected;
  };
  const Case cases[] = {
      {"patched", scratch / L"setup.patch", made, 0},
      {"not a demo patch", scratch / L"no-marker.patch", made, DEMO_SETUP_BAD_PATCH},
      {"no patch file", scratch / L"absent.patch", made, DEMO_SETUP_BAD_PATCH},
      {"nowhere to write", scratch / L"setup.patch", scratch / L"missing\\new.exe",
       DEMO_SETUP_NEW_SETUP_UNWRITTEN},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    DeleteFileW(made.c_str());
    const std::wstring line = L"\"" + kDemoSetup + L"\" --update-setup-exe=\"" + c.patch +
                              L"\" --new-setup-exe=\"" + c.new_setup + L"\" --system-level";
    EXPECT_EQ(RunProcess(kDemoSetup, line).exit_code, c.expected);
    EXPECT_EQ(ReadFileBytes(made), c.expected == 0 ? program : "<unreadable>");
    EXPECT_EQ(ReadFileBytes(record), "command line: " + Utf8(line) +
                                         "\r\nexit code: " + std::to_string(c.expected) + "\r\n");
  }
}

TEST(DemoSetupTest, ASuccessThatCannotBeRecordedFails) {
  ScratchDirectory scratch;
  // A file where the record's first folder should be.
  WriteTextFile(scratch / L"Velmora", "");
  ScopedEnvironmentVariable local_app_data(L"LOCALAPPDATA", LocalAppData(scratch));
  const std::wstring line = L"\"" + kDemoSetup + L"\" --install-archive=\"";
  EXPECT_EQ(RunProcess(kDemoSetup, line + kDemoArchive + L"\"").exit_code,
            DEMO_SETUP_RECORD_FAILED);
  // A failure keeps its own code.
  EXPECT_EQ(RunProcess(kDemoSetup, line + kDemoSetup + L"\"").exit_code,
            DEMO_SETUP_NOT_A_7Z_ARCHIVE);
}

} // namespace
