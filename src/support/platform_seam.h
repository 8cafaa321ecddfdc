// SPDX-License-Identifier: Zlib
#pragma once

#include <windows.h>

#include "support/system_library.h"

// The few platform calls whose failures tests cannot produce for real under Wine (a token that
// cannot be opened, a module path of 260 characters, chosen random bytes, a sharing violation
// that clears after exactly three tries, a write that fails part-way or comes up short, a wait that
// fails) go through this table, and so does the one call whose effect Wine does not keep (a
// creation time set on a file). It is zero-initialised, so it needs no start-up code in the stub,
// and an unused entry costs one compare. Every call that has an entry goes through it, in every
// place it is made. A forwarder picks the function first and then makes one call, so the
// arguments are set up once.

extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

struct PlatformOverrides {
  DWORD(WINAPI *GetModuleFileNameW)(HMODULE, LPWSTR, DWORD);
  LPWSTR *(WINAPI *CommandLineToArgvW)(LPCWSTR, int *);
  BOOL(WINAPI *OpenProcessToken)(HANDLE, DWORD, PHANDLE);
  BOOLEAN(WINAPI *SystemFunction036)(PVOID, ULONG);
  BOOL(WINAPI *GetVolumePathNameW)(LPCWSTR, LPWSTR, DWORD);
  BOOL(WINAPI *GetVolumeInformationW)
  (LPCWSTR, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPWSTR, DWORD);
  BOOL(WINAPI *CreateDirectoryW)(LPCWSTR, LPSECURITY_ATTRIBUTES);
  HANDLE(WINAPI *CreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  void(WINAPI *Sleep)(DWORD);
  BOOL(WINAPI *WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
  DWORD(WINAPI *WaitForSingleObject)(HANDLE, DWORD);
  BOOL(WINAPI *GetExitCodeProcess)(HANDLE, LPDWORD);
  BOOL(WINAPI *SetFileInformationByHandle)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
};

extern PlatformOverrides g_platform_overrides;

namespace platform {

inline DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  auto fn = g_platform_overrides.GetModuleFileNameW;
  return (fn ? fn : &::GetModuleFileNameW)(module, buffer, size);
}

inline LPWSTR *CommandLineToArgvW(LPCWSTR command_line, int *count) {
  auto fn = g_platform_overrides.CommandLineToArgvW;
  return (fn ? fn : &SystemCommandLineToArgvW)(command_line, count);
}

inline BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  auto fn = g_platform_overrides.OpenProcessToken;
  return (fn ? fn : &::OpenProcessToken)(process, access, token);
}

inline BOOLEAN SystemFunction036(PVOID buffer, ULONG length) {
  auto fn = g_platform_overrides.SystemFunction036;
  return (fn ? fn : &::SystemFunction036)(buffer, length);
}

inline BOOL GetVolumePathNameW(LPCWSTR path, LPWSTR root, DWORD size) {
  auto fn = g_platform_overrides.GetVolumePathNameW;
  return (fn ? fn : &::GetVolumePathNameW)(path, root, size);
}

inline BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR name, DWORD name_size, LPDWORD serial,
                                  LPDWORD max_component, LPDWORD flags, LPWSTR fs_name,
                                  DWORD fs_name_size) {
  auto fn = g_platform_overrides.GetVolumeInformationW;
  return (fn ? fn : &::GetVolumeInformationW)(root, name, name_size, serial, max_component, flags,
                                              fs_name, fs_name_size);
}

inline BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
  auto fn = g_platform_overrides.CreateDirectoryW;
  return (fn ? fn : &::CreateDirectoryW)(path, attributes);
}

inline HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE template_file) {
  auto fn = g_platform_overrides.CreateFileW;
  return (fn ? fn : &::CreateFileW)(path, access, share, security, disposition, flags,
                                    template_file);
}

inline void Sleep(DWORD milliseconds) {
  auto fn = g_platform_overrides.Sleep;
  (fn ? fn : &::Sleep)(milliseconds);
}

inline BOOL WriteFile(HANDLE file, LPCVOID data, DWORD count, LPDWORD written,
                      LPOVERLAPPED overlapped) {
  auto fn = g_platform_overrides.WriteFile;
  return (fn ? fn : &::WriteFile)(file, data, count, written, overlapped);
}

inline DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  auto fn = g_platform_overrides.WaitForSingleObject;
  return (fn ? fn : &::WaitForSingleObject)(object, milliseconds);
}

inline BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code) {
  auto fn = g_platform_overrides.GetExitCodeProcess;
  return (fn ? fn : &::GetExitCodeProcess)(process, exit_code);
}

inline BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID data,
                                       DWORD size) {
  auto fn = g_platform_overrides.SetFileInformationByHandle;
  return (fn ? fn : &::SetFileInformationByHandle)(file, kind, data, size);
}

} // namespace platform

// Installs one override for the life of the guard and puts back what was there before.
template <typename Fn> class ScopedPlatformOverride {
public:
  ScopedPlatformOverride(Fn PlatformOverrides::*slot, Fn replacement)
      : slot_(slot), saved_(g_platform_overrides.*slot) {
    g_platform_overrides.*slot = replacement;
  }
  ~ScopedPlatformOverride() { g_platform_overrides.*slot_ = saved_; }
  ScopedPlatformOverride(const ScopedPlatformOverride &) = delete;
  ScopedPlatformOverride &operator=(const ScopedPlatformOverride &) = delete;

private:
  Fn PlatformOverrides::*slot_;
  Fn saved_;
};

// Clears every override at once, for a test harness that must start from the real platform.
inline void RestoreAllPlatformCalls() { g_platform_overrides = PlatformOverrides{}; }
