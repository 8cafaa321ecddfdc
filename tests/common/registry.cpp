// SPDX-License-Identifier: Zlib
#include "common/registry.h"

#include <winternl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "common/scratch.h"
#include "config/run_configuration.h"

LONG SetRawValue(HKEY key, const wchar_t *name, DWORD type, const void *data, DWORD size) {
  using NtSetValueKeyFn = LONG(NTAPI *)(HANDLE, UNICODE_STRING *, ULONG, ULONG, void *, ULONG);
  static const auto set_value = reinterpret_cast<NtSetValueKeyFn>(
      reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
  UNICODE_STRING value_name;
  value_name.Buffer = const_cast<wchar_t *>(name);
  value_name.Length = static_cast<USHORT>(lstrlenW(name) * sizeof(wchar_t));
  value_name.MaximumLength = value_name.Length;
  return set_value(key, &value_name, 0, type, const_cast<void *>(data), size);
}

ValueData ValueData::String(const std::wstring &text) { return Raw(REG_SZ, text + L'\0'); }

ValueData ValueData::Dword(DWORD value) {
  return {true, REG_DWORD, std::string(reinterpret_cast<const char *>(&value), sizeof(value))};
}

ValueData ValueData::Raw(DWORD type, const std::wstring &characters, size_t extra_bytes) {
  std::string bytes = Utf16Bytes(characters);
  bytes.append(extra_bytes, 'A');
  return {true, type, bytes};
}

ValueData ValueData::Filled(DWORD type, const std::wstring &pattern, size_t size) {
  const std::string unit = Utf16Bytes(pattern);
  std::string bytes;
  while (!unit.empty() && bytes.size() < size) {
    bytes += unit;
  }
  bytes.resize(size);
  return {true, type, bytes};
}

std::string Describe(const ValueData &value) {
  if (!value.present) {
    return "absent";
  }
  if (value.type == REG_DWORD && value.bytes.size() == sizeof(DWORD)) {
    DWORD number = 0;
    memcpy(&number, value.bytes.data(), sizeof(number));
    char text[16];
    snprintf(text, sizeof(text), "0x%lx", static_cast<unsigned long>(number));
    return text;
  }
  std::wstring wide(value.bytes.size() / sizeof(wchar_t), L'\0');
  memcpy(wide.data(), value.bytes.data(), wide.size() * sizeof(wchar_t));
  return "type " + std::to_string(value.type) + ", " + std::to_string(value.bytes.size()) +
         " bytes: \"" + Narrow(wide) + "\"";
}

void PrintTo(const ValueData &value, std::ostream *out) { *out << Describe(value); }

ValueData ReadValueData(HKEY key, const wchar_t *name) {
  ValueData value;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) {
    return ValueData::Absent();
  }
  value.present = true;
  value.bytes.resize(size);
  EXPECT_EQ(RegQueryValueExW(key, name, nullptr, &value.type,
                             reinterpret_cast<BYTE *>(value.bytes.data()), &size),
            ERROR_SUCCESS);
  return value;
}

std::map<std::wstring, ValueData> ReadValues(HKEY key) {
  std::map<std::wstring, ValueData> values;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD length = 256;
    if (RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    values[std::wstring(name, length)] = ReadValueData(key, name);
  }
  return values;
}

void ReplaceValues(HKEY key, const std::map<std::wstring, ValueData> &values) {
  for (const auto &[name, value] : ReadValues(key)) {
    RegDeleteValueW(key, name.c_str());
  }
  for (const auto &[name, value] : values) {
    EXPECT_EQ(SetRawValue(key, name.c_str(), value.type, value.bytes.data(),
                          static_cast<DWORD>(value.bytes.size())),
              0);
  }
}

std::wstring ClientStateSubkey(const std::wstring &app_guid) {
  return L"Software\\Velmora\\Update\\ClientState\\" + app_guid;
}

ScopedClientStateKey::ScopedClientStateKey(const std::wstring &app_guid, HKEY root)
    : root_(root), subkey_(ClientStateSubkey(app_guid)) {
  bool real = false;
  for (const wchar_t *guid : {kDefaultAppGuid, kBetaAppGuid, kDevAppGuid, kSxsAppGuid}) {
    real = real || _wcsicmp(guid, app_guid.c_str()) == 0;
  }
  // A key left over from an interrupted run would carry old values into this test; a real
  // application's key is not ours to delete. One this test makes under a real GUID is volatile,
  // so that an interrupted run's is gone at the next restart and not taken for the client's.
  if (!real) {
    RegDeleteKeyExW(root_, subkey_.c_str(), KEY_WOW64_32KEY, 0);
  }
  // The folders above it stay lasting keys: one made volatile would refuse lasting subkeys.
  HKEY parent = nullptr;
  if (RegCreateKeyExW(root_, subkey_.substr(0, subkey_.rfind(L'\\')).c_str(), 0, nullptr, 0,
                      KEY_CREATE_SUB_KEY | KEY_WOW64_32KEY, nullptr, &parent,
                      nullptr) == ERROR_SUCCESS) {
    RegCloseKey(parent);
  }
  DWORD disposition = 0;
  EXPECT_EQ(RegCreateKeyExW(root_, subkey_.c_str(), 0, nullptr,
                            real ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key_, &disposition),
            ERROR_SUCCESS);
  if (real && key_ != nullptr && disposition == REG_OPENED_EXISTING_KEY) {
    restore_ = true;
    saved_ = Values();
    Clear();
  }
}

ScopedClientStateKey::~ScopedClientStateKey() {
  if (restore_) {
    ReplaceValues(key_, saved_);
  }
  RegCloseKey(key_);
  if (!restore_) {
    RegDeleteKeyExW(root_, subkey_.c_str(), KEY_WOW64_32KEY, 0);
  }
}

void ScopedClientStateKey::Set(const wchar_t *name, const ValueData &value) {
  RegDeleteValueW(key_, name);
  if (value.present) {
    ASSERT_EQ(SetRawValue(key_, name, value.type, value.bytes.data(),
                          static_cast<DWORD>(value.bytes.size())),
              0);
  }
}

std::map<std::wstring, ValueData> ScopedClientStateKey::Values() const { return ReadValues(key_); }

void ScopedClientStateKey::Clear() { ReplaceValues(key_, {}); }

ScopedRegistryValue::ScopedRegistryValue(const wchar_t *subkey, const wchar_t *value_name)
    : subkey_(subkey), name_(value_name) {
  DWORD disposition = 0;
  const LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, subkey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                      nullptr, &key_, &disposition);
  EXPECT_EQ(status, ERROR_SUCCESS);
  created_ = disposition == REG_CREATED_NEW_KEY;
  Delete();
}

ScopedRegistryValue::~ScopedRegistryValue() {
  Delete();
  DWORD subkeys = 0, values = 0;
  const bool empty =
      RegQueryInfoKeyW(key_, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                       nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
      subkeys == 0 && values == 0;
  RegCloseKey(key_);
  if (created_ && empty) {
    RegDeleteKeyW(HKEY_CURRENT_USER, subkey_.c_str());
  }
}

void ScopedRegistryValue::SetRaw(DWORD type, const void *data, DWORD size) {
  ASSERT_EQ(SetRawValue(key_, name_.c_str(), type, data, size), 0);
}

void ScopedRegistryValue::Set(const ValueData &value) {
  SetRaw(value.type, value.bytes.data(), static_cast<DWORD>(value.bytes.size()));
}

void ScopedRegistryValue::SetString(const std::wstring &text) { Set(ValueData::String(text)); }

void ScopedRegistryValue::SetDword(DWORD value) { Set(ValueData::Dword(value)); }

void ScopedRegistryValue::Delete() { RegDeleteValueW(key_, name_.c_str()); }
