// SPDX-License-Identifier: Zlib
#pragma once

#include <windows.h>

#include "support/registry_key.h"

// Every registry path and value name the stub reads or writes, and the opening of the update
// client's per-application ClientState key. The update client, the setup program and the stub
// must agree on each of them; nothing else in the stub spells them out. Pointers to literals
// rather than named arrays: the compiler aligns a named array of 32 bytes or more to 32 bytes.

// Under HKEY_CURRENT_USER, in the process's own registry view: a REG_SZ "0" keeps the work
// directory and what was written into it.
inline constexpr const wchar_t *kVendorKeyPath = L"Software\\Velmora";
inline constexpr const wchar_t *kCleanupValueName = L"OndrelInstallerCleanup";

// The application's ClientState key is this prefix followed directly by its GUID.
inline constexpr const wchar_t *kClientStateKeyPrefix = L"Software\\Velmora\\Update\\ClientState\\";

// Values of the ClientState key. The stub writes the first four (after reading ap and the result)
// and only reads the last, the installed setup program's path, in a patch stub.
inline constexpr const wchar_t *kApValueName = L"ap";
inline constexpr const wchar_t *kInstallerResultValueName = L"InstallerResult";
inline constexpr const wchar_t *kInstallerErrorValueName = L"InstallerError";
inline constexpr const wchar_t *kInstallerExtraCode1ValueName = L"InstallerExtraCode1";
inline constexpr const wchar_t *kUninstallStringValueName = L"UninstallString";

// Per-machine installs keep their ClientState under HKEY_LOCAL_MACHINE, per-user ones under
// HKEY_CURRENT_USER.
inline HKEY ClientStateRoot(bool system_level) {
  return system_level ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// Opens the existing ClientState key of app_guid, always in the 32-bit registry view; a missing
// key is never created. ERROR_BUFFER_OVERFLOW when the path does not fit 260 characters: the
// holder is then not touched at all, and a key it already holds stays open.
LSTATUS OpenClientStateKey(HKEY root, const wchar_t *app_guid, REGSAM access, RegistryKey &key);
