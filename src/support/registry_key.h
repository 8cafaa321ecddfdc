// SPDX-License-Identifier: Zlib
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

// One open registry key, owned until closed. Every operation answers with a Windows error code
// (ERROR_SUCCESS, 0, for success); the reads turn a stored value the caller cannot use (wrong
// type, wrong size, no room for the terminator) into a code too, so a caller only ever sees a
// status and a well-formed value. Closing leaves the thread's last-error value as it was.
class RegistryKey {
public:
  RegistryKey() = default;
  ~RegistryKey() { Close(); }
  RegistryKey(const RegistryKey &) = delete;
  RegistryKey &operator=(const RegistryKey &) = delete;

  // Closes what was held, then opens an existing key; a missing key is never created.
  LSTATUS Open(HKEY root, const wchar_t *subkey, REGSAM access);
  void Close();
  bool IsOpen() const { return handle_ != nullptr; }

  // A REG_SZ value, NUL-terminated in buffer. ERROR_NOT_SUPPORTED for any other type,
  // ERROR_MORE_DATA when the string leaves no room for its terminator within capacity characters.
  LSTATUS ReadStringValue(const wchar_t *name, wchar_t *buffer, size_t capacity) const;
  // A REG_DWORD value of exactly four bytes. ERROR_NOT_SUPPORTED for any other type,
  // ERROR_NO_DATA for another size.
  LSTATUS ReadDwordValue(const wchar_t *name, uint32_t &value) const;
  // REG_SZ, stored with its terminator.
  LSTATUS WriteStringValue(const wchar_t *name, const wchar_t *text) const;
  LSTATUS WriteDwordValue(const wchar_t *name, uint32_t value) const;

private:
  HKEY handle_ = nullptr;
};
