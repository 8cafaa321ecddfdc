#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The cleanup setting of the current user, read by every run.
inline constexpr wchar_t kVelmoraKey[] = L"Software\\Velmora";
inline constexpr wchar_t kCleanupValue[] = L"OndrelInstallerCleanup";

// Stores exact bytes under a value, bypassing the terminator RegSetValueExW would add.
LONG SetRawValue(HKEY key, const wchar_t *name, DWORD type, const void *data, DWORD size);

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
  void SetString(const std::wstring &text); // stored with its terminator
  void SetDword(DWORD value);
  void Delete();

private:
  HKEY key_ = nullptr;
  std::wstring subkey_;
  std::wstring name_;
  bool created_ = false;
};
