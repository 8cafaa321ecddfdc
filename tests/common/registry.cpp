#include "common/registry.h"

#include <winternl.h>

#include <gtest/gtest.h>

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

void ScopedRegistryValue::SetString(const std::wstring &text) {
  SetRaw(REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void ScopedRegistryValue::SetDword(DWORD value) { SetRaw(REG_DWORD, &value, sizeof(value)); }

void ScopedRegistryValue::Delete() { RegDeleteValueW(key_, name_.c_str()); }
