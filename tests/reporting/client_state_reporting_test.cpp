// SPDX-License-Identifier: Zlib
#include "reporting/client_state_reporting.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/platform.h"
#include "common/registry.h"
#include "common/scratch.h"

namespace {

constexpr wchar_t kGuid[] = L"{7E57C0DE-0000-4000-8000-000000000801}";

RunConfiguration ConfigurationFor(const wchar_t *guid, bool system_level = false) {
  RunConfiguration configuration;
  configuration.app_guid = guid;
  configuration.system_level = system_level;
  return configuration;
}

class ClientStateReportingTest : public ::testing::Test {
protected:
  const RunConfiguration configuration_ = ConfigurationFor(kGuid);
  ScopedClientStateKey client_state_{kGuid};
};

TEST_F(ClientStateReportingTest, MarkFullInstallAppendsTheSuffixOnlyWhereItFitsAndIsMissing) {
  const std::wstring a122(122, L'a');
  const struct {
    const char *label;
    ValueData before;
    ValueData after; // nullopt: unchanged
  } cases[] = {
      {"absent", ValueData::Absent(), ValueData::String(L"-full")},
      {"empty", ValueData::String(L""), ValueData::String(L"-full")},
      {"plain", ValueData::String(L"beta"), ValueData::String(L"beta-full")},
      {"stored without its NUL", ValueData::Raw(REG_SZ, L"beta"), ValueData::String(L"beta-full")},
      {"already marked", ValueData::String(L"x-full"), ValueData::String(L"x-full")},
      {"marked in capitals", ValueData::String(L"x-FULL"), ValueData::String(L"x-FULL")},
      {"marked in mixed case", ValueData::String(L"-fUlL"), ValueData::String(L"-fUlL")},
      {"suffix not at the end", ValueData::String(L"-full-x"), ValueData::String(L"-full-x-full")},
      {"122 characters", ValueData::String(a122), ValueData::String(a122 + L"-full")},
      {"123 characters", ValueData::String(a122 + L"b"), ValueData::String(a122 + L"b")},
      {"127 characters", ValueData::String(a122 + L"bcdef"), ValueData::String(a122 + L"bcdef")},
      {"128 characters", ValueData::String(a122 + L"bcdefg"), ValueData::String(a122 + L"bcdefg")},
      {"a number", ValueData::Dword(5), ValueData::Dword(5)},
      {"expandable", ValueData::Raw(REG_EXPAND_SZ, std::wstring(L"%x%\0", 4)),
       ValueData::Raw(REG_EXPAND_SZ, std::wstring(L"%x%\0", 4))},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    client_state_.Set(L"ap", c.before);
    MarkFullInstall(configuration_);
    EXPECT_EQ(client_state_.Get(L"ap"), c.after);
    EXPECT_EQ(client_state_.Values().size(), 1u) << "only ap is touched";
  }
}

TEST_F(ClientStateReportingTest, MarkFullInstallOfEveryTypeAndSize) {
  // "beta" over and over, cut to each size. As a string its whole characters are the value, an odd
  // last byte ignored, and take "-full" while that fits 127 characters; of any other type, or
  // larger, the value is left alone.
  const auto beta = [](size_t characters) {
    const ValueData filled = ValueData::Filled(REG_SZ, L"beta", characters * sizeof(wchar_t));
    return std::wstring(reinterpret_cast<const wchar_t *>(filled.bytes.data()), characters);
  };
  const struct {
    size_t size;
    std::optional<std::wstring> as_string; // nullopt: left alone even as a string
  } sizes[] = {
      {0, L""},
      {1, L""},
      {3, beta(1)},
      {5, beta(2)},
      {7, beta(3)},
      {245, beta(122)},
      {247, std::nullopt},
      {255, std::nullopt},
      {256, std::nullopt},
      {257, std::nullopt},
      {65536, std::nullopt},
  };
  for (const DWORD type : kEveryValueType) {
    for (const auto &s : sizes) {
      SCOPED_TRACE(testing::Message() << "type " << type << ", " << s.size << " bytes");
      const ValueData before = ValueData::Filled(type, L"beta", s.size);
      client_state_.Set(L"ap", before);
      MarkFullInstall(configuration_);
      EXPECT_EQ(client_state_.Get(L"ap"), type == REG_SZ && s.as_string
                                              ? ValueData::String(*s.as_string + L"-full")
                                              : before);
      EXPECT_EQ(client_state_.Values().size(), 1u) << "only ap is touched";
    }
  }
}

TEST_F(ClientStateReportingTest, RecordFailureWritesUnlessANonzeroResultIsThere) {
  const std::vector<std::wstring> record_names = {L"InstallerError", L"InstallerExtraCode1",
                                                  L"InstallerResult"};
  const struct {
    const char *label;
    ValueData result_before;
    bool written;
  } cases[] = {
      {"no result yet", ValueData::Absent(), true},
      {"result 0", ValueData::Dword(0), true},
      {"result 1", ValueData::Dword(1), false},
      {"result 0x80000000", ValueData::Dword(0x80000000), false},
      {"result as a string", ValueData::String(L"1"), true},
      {"result of two bytes", ValueData::Raw(REG_DWORD, L"\x0001"), true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    client_state_.Set(L"InstallerResult", c.result_before);
    client_state_.Set(L"InstallerError", ValueData::Dword(42));
    client_state_.Set(L"InstallerExtraCode1", ValueData::Absent());
    RecordFailure(configuration_, {RESULT_SETUP_EXPANSION_FAILED, 0xAB});
    if (c.written) {
      EXPECT_EQ(client_state_.Get(L"InstallerResult"), ValueData::Dword(1));
      EXPECT_EQ(client_state_.Get(L"InstallerError"), ValueData::Dword(115));
      EXPECT_EQ(client_state_.Get(L"InstallerExtraCode1"), ValueData::Dword(0xAB));
    } else {
      EXPECT_EQ(client_state_.Get(L"InstallerResult"), c.result_before);
      EXPECT_EQ(client_state_.Get(L"InstallerError"), ValueData::Dword(42));
      EXPECT_EQ(client_state_.Get(L"InstallerExtraCode1"), ValueData::Absent());
    }
  }

  // A successful result is no failure to record.
  client_state_.Set(L"InstallerResult", ValueData::Absent());
  RecordFailure(configuration_, {RESULT_SUCCESS, 5});
  EXPECT_EQ(client_state_.Get(L"InstallerResult"), ValueData::Absent());
}

TEST_F(ClientStateReportingTest, RecordFailureKeepsOnlyAResultOfFourBytes) {
  // Bytes of 1 at every size: only a REG_DWORD of exactly four bytes is a result already there.
  using Values = std::map<std::wstring, ValueData>;
  const Values written = {{L"InstallerError", ValueData::Dword(115)},
                          {L"InstallerExtraCode1", ValueData::Dword(0xAB)},
                          {L"InstallerResult", ValueData::Dword(1)}};
  for (const DWORD type : kEveryValueType) {
    for (const size_t size : {0, 1, 2, 3, 4, 5, 8, 65536}) {
      SCOPED_TRACE(testing::Message() << "type " << type << ", " << size << " bytes");
      client_state_.Clear();
      const ValueData before = ValueData::Filled(type, L"\x0101", size);
      client_state_.Set(L"InstallerResult", before);
      RecordFailure(configuration_, {RESULT_SETUP_EXPANSION_FAILED, 0xAB});
      const Values kept = {{L"InstallerResult", before}};
      EXPECT_EQ(client_state_.Values(), type == REG_DWORD && size == 4 ? kept : written);
    }
  }
}

TEST_F(ClientStateReportingTest, RecordRemovalRetriesCountsTheAttemptsBeyondTheFirst) {
  const struct {
    int32_t attempts;
    DWORD record;
  } cases[] = {
      {0, 0x30000},        {1, 0x30000},  {2, 0x30001},       {5, 0x30004},
      {100, 0x30000 + 99}, {-3, 0x30000}, {0x10001, 0x30000}, {0x7FFFFFFF, 0x3FFFE},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.attempts);
    RecordRemovalRetries(configuration_, c.attempts);
    EXPECT_EQ(client_state_.Get(L"InstallerExtraCode1"), ValueData::Dword(c.record));
    EXPECT_EQ(client_state_.Values(), (std::map<std::wstring, ValueData>{
                                          {L"InstallerExtraCode1", ValueData::Dword(c.record)}}));
  }
}

TEST(ClientStateReporting, WithoutAKeyNothingIsWrittenAndNoKeyIsMade) {
  constexpr wchar_t kMissing[] = L"{7E57C0DE-0000-4000-8000-0000000008FF}";
  const RunConfiguration configuration = ConfigurationFor(kMissing);
  const std::wstring overlong(240, L'g');
  const RunConfiguration overlong_configuration = ConfigurationFor(overlong.c_str());
  for (const RunConfiguration *c : {&configuration, &overlong_configuration}) {
    MarkFullInstall(*c);
    RecordFailure(*c, {RESULT_ARCHIVE_EXTRACTION_FAILED, 2});
    RecordRemovalRetries(*c, 3);
  }
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, ClientStateSubkey(kMissing).c_str(), 0,
                          KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key),
            ERROR_FILE_NOT_FOUND);
  // The overlong identifier names no key that could be opened, so look at what ClientState holds:
  // no key named by it or by any cut of it.
  const std::wstring subkey = ClientStateSubkey(kMissing);
  const std::wstring parent = subkey.substr(0, subkey.rfind(L'\\'));
  if (RegOpenKeyExW(HKEY_CURRENT_USER, parent.c_str(), 0, KEY_ENUMERATE_SUB_KEYS | KEY_WOW64_32KEY,
                    &key) == ERROR_SUCCESS) {
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
      DWORD length = 256;
      if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      EXPECT_NE(std::wstring(name, length).substr(0, 2), L"gg") << Narrow(name);
    }
    RegCloseKey(key);
  }
}

TEST(ClientStateReporting, PerMachineRunsReportUnderTheMachineInThe32BitView) {
  SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
  constexpr wchar_t kGuidM[] = L"{7E57C0DE-0000-4000-8000-000000000802}";
  ScopedClientStateKey machine(kGuidM, HKEY_LOCAL_MACHINE);
  ScopedClientStateKey user(kGuidM);
  const RunConfiguration configuration = ConfigurationFor(kGuidM, true);
  MarkFullInstall(configuration);
  RecordFailure(configuration, {RESULT_WORK_DIR_ACL_FAILED, 1337});
  EXPECT_EQ(machine.Get(L"ap"), ValueData::String(L"-full"));
  EXPECT_EQ(machine.Get(L"InstallerError"), ValueData::Dword(117));
  EXPECT_TRUE(user.Values().empty());

  // The 32-bit view of the machine's software is its WOW6432Node branch in the native view.
  HKEY native = nullptr;
  ASSERT_EQ(
      RegOpenKeyExW(
          HKEY_LOCAL_MACHINE,
          (L"Software\\WOW6432Node\\Velmora\\Update\\ClientState\\" + std::wstring(kGuidM)).c_str(),
          0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &native),
      ERROR_SUCCESS);
  EXPECT_EQ(ReadValueData(native, L"InstallerExtraCode1"), ValueData::Dword(1337));
  RegCloseKey(native);
}

} // namespace
