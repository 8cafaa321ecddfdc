// SPDX-License-Identifier: Zlib
#pragma once

// The setup program's switches: the names its two command lines share with the stub. Each is
// written as a space, "--", the name, "=" and the value in double quotes, without escaping, and
// the caller's own arguments follow the switches unchanged. The stub writes them; the demo's
// setup program and the tests' setup fixture read them from here too. Pointers to literals, as
// in support/registry_contract.h.

// Install form, run on "setup.exe" in the work directory: the archive's path, then the previous
// version in a stub that carries one.
inline constexpr const wchar_t *kInstallArchiveSwitch = L"install-archive";
inline constexpr const wchar_t *kPreviousVersionSwitch = L"previous-version";

// Patch form, run on the installed setup program: the patch file's path, then the path where the
// new setup program is to be written.
inline constexpr const wchar_t *kUpdateSetupExeSwitch = L"update-setup-exe";
inline constexpr const wchar_t *kNewSetupExeSwitch = L"new-setup-exe";
