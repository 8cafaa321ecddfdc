// SPDX-License-Identifier: Zlib
// Whole stubs started with command lines no caller should write: up to the platform's limit of
// 32,767 characters, unbalanced quotes, control characters, tabs, switches inside quoted
// arguments. A run never crashes: it ends with the setup program's 0 or, refused, with 118; it
// leaves nothing beside the stub; it reports under the key its switches select once the line is
// split into arguments; and the setup program receives its install form followed by exactly what
// follows the stub's program name, or by nothing of it when that does not fit.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/platform.h"
#include "common/registry.h"
#include "common/scratch.h"
#include "common/stub_process.h"
#include "fixtures/setup_fixture.h"
#include "run/run_result.h"

namespace {

constexpr wchar_t kDefaultGuid[] = L"{5E1C27B9-3D40-4F8A-9C62-71B0D4E8A315}";
constexpr wchar_t kBetaGuid[] = L"{C94A0D17-6B25-4E3F-A8D1-2F57E6B0C942}";
constexpr wchar_t kDevGuid[] = L"{0F7D92A4-1C8E-4B60-93E5-D8A46C21F7B0}";
constexpr wchar_t kSxsGuid[] = L"{7b3e5f10-a2c4-4d98-b61e-05c9f3a7d284}";

// The longest command line the platform takes, without its NUL.
constexpr size_t kLongestLine = 32766;
// The longest command line the setup program can receive.
constexpr size_t kLongestCommand = 1039;

// Where a run reports: the ClientState key of one application under one root; none when refused.
struct Report {
  HKEY root;
  const wchar_t *guid;
};
const std::optional<Report> kRefused = std::nullopt;
const Report kUser{HKEY_CURRENT_USER, kDefaultGuid};
const Report kMachine{HKEY_LOCAL_MACHINE, kDefaultGuid};

struct Case {
  const char *label;
  std::wstring line;
  std::optional<Report> report;
  std::wstring passed; // what follows the setup program's install form
};

// Arguments up to exactly length characters with tail last: whole copies of a chunk holding a
// quoted tab and control characters, then blanks.
std::wstring FillTo(const std::wstring &head, size_t length, const std::wstring &tail) {
  static const std::wstring chunk = L" \"q \t\x01\" \\\\a\tb\x1F";
  std::wstring line = head;
  while (line.size() + chunk.size() + tail.size() <= length) {
    line += chunk;
  }
  line.append(length - line.size() - tail.size(), L' ');
  return line + tail;
}

class HostileCommandLineTest : public ::testing::Test {
protected:
  void SetUp() override {
    SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
    CreateDirectoryW(folder_.c_str(), nullptr);
    ASSERT_TRUE(
        CopyFileW((ProgramDirectory() + L"e2e\\full-stub.exe").c_str(), stub_.c_str(), FALSE))
        << GetLastError();
    // The bare path stands unquoted as a program name in some lines.
    ASSERT_EQ(stub_.find_first_of(L" \t"), std::wstring::npos) << Narrow(stub_);
    for (const HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
      for (const wchar_t *guid : {kDefaultGuid, kBetaGuid, kDevGuid, kSxsGuid}) {
        keys_.emplace_back(Report{root, guid}, std::make_unique<ScopedClientStateKey>(guid, root));
      }
    }
  }

  // The install form for a work directory of the run; every one has a name of the same length.
  std::wstring InstallForm(const std::wstring &work_directory) const {
    return L"\"" + work_directory + L"setup.exe\" --install-archive=\"" + work_directory +
           L"ONDREL.PACKED.7Z\"";
  }
  size_t InstallFormLength() const { return InstallForm(folder_ + L"QV_00000.tmp\\").size(); }

  void ExpectRun(const Case &c) {
    SCOPED_TRACE(c.label);
    const ProcessOutcome outcome = RunStubProcess(stub_, c.line);
    ASSERT_TRUE(outcome.started) << outcome.start_error;
    EXPECT_EQ(outcome.exit_code, c.report ? RESULT_SUCCESS : RESULT_REFUSED_SWITCH);
    EXPECT_EQ(ListDirectory(folder_), std::vector<std::wstring>{L"ondrel-stub.exe"});

    const std::wstring received = TakeRecordedCommandLine(record_);
    if (!c.report) {
      EXPECT_EQ(received, L"") << "no setup program may run";
    } else {
      // The work directory's random name, taken from where the setup program was started.
      const std::wstring start = L"\"" + folder_;
      const std::wstring name = received.substr(std::min(start.size(), received.size()), 12);
      EXPECT_TRUE(received.starts_with(start) && IsWorkDirectoryName(name)) << Narrow(received);
      EXPECT_EQ(received, InstallForm(folder_ + name + L"\\") + c.passed)
          << "received " << received.size() << " characters";
    }

    using Values = std::map<std::wstring, ValueData>;
    const Values success = {{L"InstallerExtraCode1", ValueData::Dword(0x30000)},
                            {L"ap", ValueData::String(L"-full")}};
    for (auto &[report, key] : keys_) {
      const bool chosen =
          c.report && c.report->root == report.root && std::wstring(c.report->guid) == report.guid;
      SCOPED_TRACE(Narrow(report.guid) +
                   (report.root == HKEY_LOCAL_MACHINE ? " machine" : " user"));
      EXPECT_EQ(key->Values(), chosen ? success : Values());
      key->Clear();
    }
  }

  ScratchDirectory scratch_;
  const std::wstring folder_ = scratch_ / L"downloads\\";
  const std::wstring stub_ = folder_ + L"ondrel-stub.exe";
  const std::wstring quoted_ = L"\"" + stub_ + L"\"";
  const std::wstring record_ = scratch_ / L"received.txt";
  ScopedEnvironmentVariable per_user_{L"VelmoraUpdateIsMachine", std::nullopt};
  ScopedEnvironmentVariable recording_{kFixtureRecordVariable, record_};
  ScopedEnvironmentVariable archive_copying_{kFixtureArchiveCopyVariable, std::nullopt};
  ScopedEnvironmentVariable exit_code_{kFixtureExitCodeVariable, std::nullopt};
  ScopedRegistryValue cleanup_{kVelmoraKey, kCleanupValue};
  std::vector<std::pair<Report, std::unique_ptr<ScopedClientStateKey>>> keys_;
};

TEST_F(HostileCommandLineTest, QuotesBlanksAndControlCharactersSplitAsThePlatformSplits) {
  const std::wstring &q = quoted_;
  const Case cases[] = {
      {"name's quote never closed", L"\"" + stub_ + L" --cleanup --system-level", kUser, L""},
      {"a lone quote", L"\"", kUser, L""},
      {"quote never closed before a switch", q + L" \"--cleanup", kRefused, L""},
      {"quote never closed around more", q + L" \"--cleanup x", kUser, L" \"--cleanup x"},
      {"switch in quotes", q + L" \"--cleanup\"", kRefused, L""},
      {"switch in quotes with more", q + L" \"x --system-level\"", kUser, L" \"x --system-level\""},
      {"quotes inside a switch", q + L" --sys\"tem-lev\"el", kMachine, L" --sys\"tem-lev\"el"},
      {"empty quotes before a switch", q + L" \"\"--cleanup", kRefused, L""},
      {"escaped quotes around a switch", q + L" \\\"--cleanup\\\"", kUser, L" \\\"--cleanup\\\""},
      {"escaped backslash before a quote", q + L" \\\\\"--cleanup\"", kUser, L" \\\\\"--cleanup\""},
      {"switch glued to the name", q + L"--system-level", kMachine, L" --system-level"},
      {"tabs", q + L"\t--ondrel-beta\t\t--system-level\t", Report{HKEY_LOCAL_MACHINE, kBetaGuid},
       L"\t--ondrel-beta\t\t--system-level\t"},
      {"blanks only", q + L" \t ", kUser, L" \t "},
      {"vertical tab is no blank", q + L" --cleanup\x0B", kUser, L" --cleanup\x0B"},
      {"control characters", q + L" \x01\x1F\x7F --ondrel-dev \r\n",
       Report{HKEY_CURRENT_USER, kDevGuid}, L" \x01\x1F\x7F --ondrel-dev \r\n"},
      {"control character in a bare name", L"stub\x0B--cleanup --ondrel-sxs",
       Report{HKEY_CURRENT_USER, kSxsGuid}, L" --ondrel-sxs"},
      {"name like a switch", L"--cleanup\t--ondrel-frame", kRefused, L""},
      {"outside ASCII", q + L" \u00C4\u00E4 --ONDREL-SXS \U0001F600 \xD800\xFFFF",
       Report{HKEY_CURRENT_USER, kSxsGuid}, L" \u00C4\u00E4 --ONDREL-SXS \U0001F600 \xD800\xFFFF"},
  };
  for (const Case &c : cases) {
    ExpectRun(c);
  }
}

TEST_F(HostileCommandLineTest, WhatDoesNotFitIsDroppedWholeUpToThePlatformsLimit) {
  const std::wstring &q = quoted_;
  // Room behind the install form, for what is passed on.
  const size_t room = kLongestCommand - InstallFormLength();
  // One argument with a switch inside quotes, a tab and a control character, then padding.
  const std::wstring fits = L" \"x --cleanup\"\t\x01" + std::wstring(room - 16, L'a');
  ASSERT_EQ(fits.size(), room);
  // Glued to the closing quote: a space goes first, and then the rest only if it fits too.
  const std::wstring glued = L"--ondrel-dev " + std::wstring(room - 14, L'd');
  ASSERT_EQ(glued.size() + 1, room);
  const Case cases[] = {
      {"fits exactly", q + fits, kUser, fits},
      {"one too many", q + fits + L"a", kUser, L""},
      {"glued, fits exactly", q + glued, Report{HKEY_CURRENT_USER, kDevGuid}, L" " + glued},
      {"glued, only the space fits", q + glued + L"d", Report{HKEY_CURRENT_USER, kDevGuid}, L" "},
      {"switch last at the limit", FillTo(q, kLongestLine, L" --cleanup"), kRefused, L""},
      {"per-machine last at the limit", FillTo(q, kLongestLine, L" --system-level"), kMachine, L""},
      {"quote never closed up to the limit",
       q + L" \"" + std::wstring(kLongestLine - q.size() - 2, L'\t'), kUser, L""},
      {"name's quote never closed up to the limit",
       L"\"" + stub_ + L" --cleanup" + std::wstring(kLongestLine - stub_.size() - 11, L'\t'), kUser,
       L""},
      {"bare name, blanks up to the limit",
       stub_ + std::wstring(kLongestLine - stub_.size() - 13, L' ') + L"--ondrel-beta",
       Report{HKEY_CURRENT_USER, kBetaGuid}, L""},
  };
  for (const Case &c : cases) {
    ASSERT_LE(c.line.size(), kLongestLine) << c.label;
    ExpectRun(c);
  }
}

} // namespace
