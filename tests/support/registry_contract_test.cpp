// SPDX-License-Identifier: Zlib
#include "support/registry_contract.h"

#include <gtest/gtest.h>

#include <string>

#include "common/registry.h"

namespace {

constexpr wchar_t kGuid[] = L"{7E57C0DE-0000-4000-8000-000000000222}";

using OpenClientStateKeyTest = ClientStateKeyTest<kGuid>;

TEST_F(OpenClientStateKeyTest, KeyIsOpenedWithTheAccessAskedFor) {
  RegistryKey key;
  ASSERT_EQ(Open(key, KEY_QUERY_VALUE), ERROR_SUCCESS);
  EXPECT_EQ(key.WriteDwordValue(L"InstallerResult", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(client_state_.Get(L"InstallerResult"), ValueData::Absent());
}

TEST_F(OpenClientStateKeyTest, OpenNeverCreatesAKeyAndRefusesAnOverlongPathUntouched) {
  // The prefix takes 36 characters: a name of 223 makes a path of exactly 259.
  const std::wstring fits = std::wstring(L"{7E57C0DE-") + std::wstring(213, L'f');
  ASSERT_EQ(fits.size(), 223u);
  const std::wstring too_long = fits + L"f";

  RegistryKey key;
  EXPECT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, fits.c_str(), KEY_QUERY_VALUE, key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key.IsOpen());
  HKEY probe = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, ClientStateSubkey(fits).c_str(), 0,
                          KEY_QUERY_VALUE | KEY_WOW64_32KEY, &probe),
            ERROR_FILE_NOT_FOUND);

  // A path that does not fit leaves the key already held open and usable.
  client_state_.Set(L"ap", ValueData::String(L"stable"));
  ASSERT_EQ(Open(key), ERROR_SUCCESS);
  EXPECT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, too_long.c_str(), KEY_QUERY_VALUE, key),
            ERROR_BUFFER_OVERFLOW);
  ASSERT_TRUE(key.IsOpen());
  wchar_t text[16];
  EXPECT_EQ(key.ReadStringValue(L"ap", text, 16), ERROR_SUCCESS);
  EXPECT_STREQ(text, L"stable");

  // A failed open of a missing key leaves the holder empty.
  EXPECT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, fits.c_str(), KEY_QUERY_VALUE, key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key.IsOpen());
}

} // namespace
