// SPDX-License-Identifier: Zlib
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "support/registry_contract.h"
#include "support/registry_key.h"

// The cleanup setting of the current user, read by every run.
inline constexpr wchar_t kVelmoraKey[] = L"Software\\Velmora";
inline constexpr wchar_t kCleanupValue[] = L"OndrelInstallerCleanup";

// Stores exact bytes under a value, bypassing the terminator RegSetValueExW would add.
LONG SetRawValue(HKEY key, const wchar_t *name, DWORD type, const void *data, DWORD size);

// What a value holds, byte for byte; absent values compare equal to Absent().
struct ValueData {
  bool present = false;
  DWORD type = REG_NONE;
  std::string bytes;

  static ValueData Absent() { return {}; }
  static ValueData String(const std::wstring &text); // with its terminator
  static ValueData Dword(DWORD value);
  // Exactly these characters, terminator or not, plus extra_bytes odd bytes.
  static ValueData Raw(DWORD type, const std::wstring &characters, size_t extra_bytes = 0);
  // Exactly size bytes: the characters of pattern over and over, the last one cut in half when
  // size is odd.
  static ValueData Filled(DWORD type, const std::wstring &pattern, size_t size);
  bool operator==(const ValueData &) const = default;
  // The number a REG_DWORD holds; only for values of that type.
  DWORD AsDword() const { return *reinterpret_cast<const DWORD *>(bytes.data()); }
};
// Every type a value can be stored with, for tables that try each in a value the stub reads.
inline constexpr DWORD kEveryValueType[] = {REG_NONE,   REG_SZ,       REG_EXPAND_SZ,
                                            REG_BINARY, REG_DWORD,    REG_DWORD_BIG_ENDIAN,
                                            REG_LINK,   REG_MULTI_SZ, REG_QWORD};

// For failure messages: "absent", the text of a string or the number in hexadecimal.
std::string Describe(const ValueData &value);
void PrintTo(const ValueData &value, std::ostream *out);

ValueData ReadValueData(HKEY key, const wchar_t *name);

// Every value of an open key, by name; and the key made to hold exactly the values given.
std::map<std::wstring, ValueData> ReadValues(HKEY key);
void ReplaceValues(HKEY key, const std::map<std::wstring, ValueData> &values);

// The subkey of an application's ClientState key.
std::wstring ClientStateSubkey(const std::wstring &app_guid);

// An application's ClientState key, created for one test in the 32-bit view as the update client
// would have made it (the stub never creates it), and deleted with its values when the test ends.
// Under a real application's GUID, on a machine with the real update client, the key is that
// client's: its values are put aside for the test and written back after it.
class ScopedClientStateKey {
public:
  explicit ScopedClientStateKey(const std::wstring &app_guid, HKEY root = HKEY_CURRENT_USER);
  ~ScopedClientStateKey();
  ScopedClientStateKey(const ScopedClientStateKey &) = delete;
  ScopedClientStateKey &operator=(const ScopedClientStateKey &) = delete;

  HKEY key() const { return key_; }
  const std::wstring &subkey() const { return subkey_; }
  void Set(const wchar_t *name, const ValueData &value);
  ValueData Get(const wchar_t *name) const { return ReadValueData(key_, name); }
  // Every value in the key, by name.
  std::map<std::wstring, ValueData> Values() const;
  // Deletes every value, so the next run's record stands alone.
  void Clear();

private:
  HKEY root_;
  std::wstring subkey_;
  HKEY key_ = nullptr;
  bool restore_ = false;
  std::map<std::wstring, ValueData> saved_;
};

// Holds a key of the current user open (created when missing) and deletes the named value when
// it is made and again when it goes, so each test starts and ends without it. A key it had to
// create is deleted again when nothing else was put under it.
class ScopedRegistryValue {
public:
  ScopedRegistryValue(const wchar_t *subkey, const wchar_t *value_name);
  ~ScopedRegistryValue();
  ScopedRegistryValue(const ScopedRegistryValue &) = delete;
  ScopedRegistryValue &operator=(const ScopedRegistryValue &) = delete;

  void SetRaw(DWORD type, const void *data, DWORD size);
  void Set(const ValueData &value);
  void SetString(const std::wstring &text); // stored with its terminator
  void SetDword(DWORD value);
  void Delete();

private:
  HKEY key_ = nullptr;
  std::wstring subkey_;
  std::wstring name_;
  bool created_ = false;
};

// A test of its own application's ClientState key, made for each test case and opened as the
// stub opens it.
template <const wchar_t *AppGuid> class ClientStateKeyTest : public ::testing::Test {
protected:
  LSTATUS Open(RegistryKey &key, REGSAM access = KEY_QUERY_VALUE | KEY_SET_VALUE) {
    return OpenClientStateKey(HKEY_CURRENT_USER, AppGuid, access, key);
  }

  ScopedClientStateKey client_state_{AppGuid};
};
