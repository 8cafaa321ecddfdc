// SPDX-License-Identifier: Zlib
#include "support/registry_key.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/registry.h"
#include "common/scratch.h"
#include "support/registry_contract.h"

namespace {

constexpr wchar_t kGuid[] = L"{7E57C0DE-0000-4000-8000-000000000221}";

using RegistryKeyTest = ClientStateKeyTest<kGuid>;

TEST_F(RegistryKeyTest, ReadStringValueAcceptsOnlyStringsThatFitWithTheirTerminator) {
  const std::wstring s127(127, L's');
  const std::wstring s128(128, L's');
  const struct {
    const char *label;
    ValueData stored;
    LSTATUS status;
    std::wstring text;
  } cases[] = {
      {"127 with NUL", ValueData::Raw(REG_SZ, s127 + L'\0'), ERROR_SUCCESS, s127},
      {"127 without NUL", ValueData::Raw(REG_SZ, s127), ERROR_SUCCESS, s127},
      {"128 without NUL", ValueData::Raw(REG_SZ, s128), ERROR_MORE_DATA, L""},
      {"128 with NUL, 258 bytes", ValueData::Raw(REG_SZ, s128 + L'\0'), ERROR_MORE_DATA, L""},
      {"zero bytes", ValueData::Raw(REG_SZ, L""), ERROR_SUCCESS, L""},
      {"a lone NUL", ValueData::Raw(REG_SZ, std::wstring(1, L'\0')), ERROR_SUCCESS, L""},
      {"odd last byte", ValueData::Raw(REG_SZ, L"ab", 1), ERROR_SUCCESS, L"ab"},
      {"expandable", ValueData::Raw(REG_EXPAND_SZ, std::wstring(L"x\0", 2)), ERROR_NOT_SUPPORTED,
       L""},
      {"multi-string", ValueData::Raw(REG_MULTI_SZ, std::wstring(L"x\0\0", 3)), ERROR_NOT_SUPPORTED,
       L""},
      {"binary", ValueData::Raw(REG_BINARY, L"xy"), ERROR_NOT_SUPPORTED, L""},
      {"number", ValueData::Dword(7), ERROR_NOT_SUPPORTED, L""},
      {"absent", ValueData::Absent(), ERROR_FILE_NOT_FOUND, L""},
  };
  RegistryKey key;
  ASSERT_EQ(Open(key), ERROR_SUCCESS);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    client_state_.Set(L"ap", c.stored);
    std::vector<wchar_t> buffer(129, L'#');
    buffer[128] = L'\0';
    EXPECT_EQ(key.ReadStringValue(L"ap", buffer.data(), 128), c.status);
    if (c.status == ERROR_SUCCESS) {
      EXPECT_EQ(std::wstring(buffer.data()), c.text);
    }
    EXPECT_EQ(buffer[128], L'\0') << "wrote past the capacity";
  }
}

TEST_F(RegistryKeyTest, ReadDwordValueAcceptsOnlyFourByteNumbers) {
  const struct {
    const char *label;
    ValueData stored;
    LSTATUS status;
    uint32_t number;
  } cases[] = {
      {"four bytes", ValueData::Dword(0xC0FFEE01), ERROR_SUCCESS, 0xC0FFEE01},
      {"zero", ValueData::Dword(0), ERROR_SUCCESS, 0},
      {"two bytes", ValueData::Raw(REG_DWORD, L"\x0102"), ERROR_NO_DATA, 0},
      {"eight bytes", ValueData::Raw(REG_DWORD, L"abcd"), ERROR_MORE_DATA, 0},
      {"short string", ValueData::Raw(REG_SZ, std::wstring(L"1\0", 2)), ERROR_NOT_SUPPORTED, 0},
      {"long string", ValueData::Raw(REG_SZ, std::wstring(L"12\0", 3)), ERROR_MORE_DATA, 0},
      {"binary", ValueData::Raw(REG_BINARY, L"ab"), ERROR_NOT_SUPPORTED, 0},
      {"absent", ValueData::Absent(), ERROR_FILE_NOT_FOUND, 0},
  };
  RegistryKey key;
  ASSERT_EQ(Open(key), ERROR_SUCCESS);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    client_state_.Set(L"InstallerResult", c.stored);
    uint32_t number = 0xDDDDDDDD;
    EXPECT_EQ(key.ReadDwordValue(L"InstallerResult", number), c.status);
    if (c.status == ERROR_SUCCESS) {
      EXPECT_EQ(number, c.number);
    }
  }
}

TEST_F(RegistryKeyTest, WritesStoreTheTerminatorAndFourBytes) {
  RegistryKey key;
  ASSERT_EQ(Open(key), ERROR_SUCCESS);
  EXPECT_EQ(key.WriteStringValue(L"ap", L""), ERROR_SUCCESS);
  EXPECT_EQ(client_state_.Get(L"ap"), ValueData::String(L""));
  EXPECT_EQ(client_state_.Get(L"ap").bytes.size(), 2u);
  EXPECT_EQ(key.WriteStringValue(L"ap", L"beta-full"), ERROR_SUCCESS);
  EXPECT_EQ(client_state_.Get(L"ap"), ValueData::String(L"beta-full"));
  EXPECT_EQ(key.WriteDwordValue(L"InstallerError", 0xFFFFFFFF), ERROR_SUCCESS);
  EXPECT_EQ(client_state_.Get(L"InstallerError"), ValueData::Dword(0xFFFFFFFF));
}

TEST_F(RegistryKeyTest, CloseClosesOnce) {
  RegistryKey first;
  first.Close(); // an empty holder
  ASSERT_EQ(Open(first), ERROR_SUCCESS);
  first.Close();
  EXPECT_FALSE(first.IsOpen());
  // The platform may hand the same handle value to the next key; a second close of the first
  // holder must not close it.
  RegistryKey second;
  ASSERT_EQ(Open(second), ERROR_SUCCESS);
  first.Close();
  EXPECT_EQ(second.WriteDwordValue(L"InstallerResult", 4), ERROR_SUCCESS);
  EXPECT_EQ(client_state_.Get(L"InstallerResult"), ValueData::Dword(4));
}

} // namespace
