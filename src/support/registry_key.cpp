// SPDX-License-Identifier: Zlib
#include "support/registry_key.h"

#include "support/unique_resource.h"

LSTATUS RegistryKey::Open(HKEY root, const wchar_t *subkey, REGSAM access) {
  Close();
  return RegOpenKeyExW(root, subkey, 0, access, &handle_);
}

void RegistryKey::Close() {
  if (handle_ != nullptr) {
    const LastErrorGuard keep;
    // Forget the key before closing it, so no path can close it twice.
    const HKEY held = handle_;
    handle_ = nullptr;
    RegCloseKey(held);
  }
}

LSTATUS RegistryKey::ReadStringValue(const wchar_t *name, wchar_t *buffer, size_t capacity) const {
  DWORD type = REG_NONE;
  DWORD size = static_cast<DWORD>(capacity * sizeof(wchar_t));
  const LSTATUS status =
      RegQueryValueExW(handle_, name, nullptr, &type, reinterpret_cast<BYTE *>(buffer), &size);
  if (status != ERROR_SUCCESS) {
    return status;
  }
  if (type != REG_SZ) {
    return ERROR_NOT_SUPPORTED;
  }
  // Strings are often stored without their terminator, or with an odd last byte; the stored
  // whole characters are what counts.
  const size_t stored = size / sizeof(wchar_t);
  if (stored == 0) {
    buffer[0] = L'\0';
    return ERROR_SUCCESS;
  }
  if (buffer[stored - 1] == L'\0') {
    return ERROR_SUCCESS;
  }
  if (stored >= capacity) {
    return ERROR_MORE_DATA;
  }
  buffer[stored] = L'\0';
  return ERROR_SUCCESS;
}

LSTATUS RegistryKey::ReadDwordValue(const wchar_t *name, uint32_t &value) const {
  DWORD type = REG_NONE;
  DWORD size = sizeof(value);
  const LSTATUS status =
      RegQueryValueExW(handle_, name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size);
  if (status != ERROR_SUCCESS) {
    return status;
  }
  if (type != REG_DWORD) {
    return ERROR_NOT_SUPPORTED;
  }
  return size == sizeof(value) ? ERROR_SUCCESS : ERROR_NO_DATA;
}

LSTATUS RegistryKey::WriteStringValue(const wchar_t *name, const wchar_t *text) const {
  const DWORD size = static_cast<DWORD>(lstrlenW(text) + 1) * sizeof(wchar_t);
  return RegSetValueExW(handle_, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text), size);
}

LSTATUS RegistryKey::WriteDwordValue(const wchar_t *name, uint32_t value) const {
  return RegSetValueExW(handle_, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                        sizeof(value));
}
