// SPDX-License-Identifier: Zlib
// When a whole stub's run is made again: only when it ended on a start of its setup program and
// every report it wrote names the error Wine fails such starts with; and its reports go back first.
// Likewise a launch of a setup program made in the test's own process.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "common/registry.h"
#include "common/stub_process.h"
#include "config/run_configuration.h"
#include "run/run_result.h"

namespace {

struct Report {
  const wchar_t *guid;
  ValueData extra_code;
};

struct Case {
  const char *label;
  DWORD exit_code;
  std::vector<Report> written;
  bool run_again;
};

TEST(ClientStateReportsTest, OnlyARunEndedByAStartWineFailedIsMadeAgainAndItsReportsGoBack) {
  const ValueData wine_failed = ValueData::Dword(ERROR_INTERNAL_ERROR);
  const Case cases[] = {
      {"a start Wine failed", RESULT_SETUP_LAUNCH_FAILED, {{kDefaultAppGuid, wine_failed}}, true},
      {"a patch's start Wine failed",
       RESULT_PATCH_SETUP_LAUNCH_FAILED,
       {{kBetaAppGuid, wine_failed}},
       true},
      {"no key to report under", RESULT_SETUP_LAUNCH_FAILED, {}, true},
      {"a setup program Windows refused",
       RESULT_SETUP_LAUNCH_FAILED,
       {{kDefaultAppGuid, ValueData::Dword(ERROR_BAD_EXE_FORMAT)}},
       false},
      {"a report without an extra code",
       RESULT_SETUP_LAUNCH_FAILED,
       {{kDefaultAppGuid, ValueData::Absent()}},
       false},
      {"one of two reports names another error",
       RESULT_SETUP_LAUNCH_FAILED,
       {{kDefaultAppGuid, wine_failed}, {kBetaAppGuid, ValueData::Dword(5)}},
       false},
      {"a missing setup program",
       RESULT_SETUP_FILE_NOT_FOUND,
       {{kDefaultAppGuid, wine_failed}},
       false},
  };
  ScopedClientStateKey default_key(kDefaultAppGuid);
  ScopedClientStateKey beta_key(kBetaAppGuid);
  const std::map<std::wstring, ValueData> before = {{L"ap", ValueData::String(L"-full")},
                                                    {L"InstallerExtraCode1", ValueData::Dword(7)}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    ReplaceValues(default_key.key(), before);
    beta_key.Clear();
    const ClientStateReports reports;
    for (const Report &report : c.written) {
      ScopedClientStateKey &key = report.guid == kBetaAppGuid ? beta_key : default_key;
      key.Set(L"InstallerResult", ValueData::Dword(1));
      key.Set(L"InstallerError", ValueData::Dword(c.exit_code));
      key.Set(L"InstallerExtraCode1", report.extra_code);
    }
    EXPECT_EQ(reports.OnlyWineStartFailures(c.exit_code), c.run_again);
    reports.PutBack();
    EXPECT_EQ(default_key.Values(), before);
    EXPECT_TRUE(beta_key.Values().empty());
  }
}

TEST(LaunchOnceMoreIfWineFailedTest, OnlyALaunchWineFailedIsMadeAgain) {
  const struct {
    const char *label;
    RunResult first;
    int launches;
  } cases[] = {
      {"a start Wine failed", {RESULT_SETUP_LAUNCH_FAILED, ERROR_INTERNAL_ERROR}, 2},
      {"a setup program Windows refused", {RESULT_SETUP_LAUNCH_FAILED, ERROR_BAD_EXE_FORMAT}, 1},
      {"a setup program that failed with 1359 itself", {ERROR_INTERNAL_ERROR, 0}, 1},
      {"a success", {RESULT_SUCCESS, 0}, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    int launches = 0;
    const RunResult result = LaunchOnceMoreIfWineFailed([&] {
      return ++launches == 1 ? c.first : RunResult{RESULT_SUCCESS, 0};
    });
    EXPECT_EQ(launches, c.launches);
    EXPECT_EQ(result.exit_code, c.launches == 1 ? c.first.exit_code : RESULT_SUCCESS);
  }
}

} // namespace
