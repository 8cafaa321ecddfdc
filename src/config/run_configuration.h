// SPDX-License-Identifier: Zlib
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "support/unique_resource.h"

inline constexpr wchar_t kDefaultAppGuid[] = L"{5E1C27B9-3D40-4F8A-9C62-71B0D4E8A315}";
inline constexpr wchar_t kBetaAppGuid[] = L"{C94A0D17-6B25-4E3F-A8D1-2F57E6B0C942}";
inline constexpr wchar_t kDevAppGuid[] = L"{0F7D92A4-1C8E-4B60-93E5-D8A46C21F7B0}";
inline constexpr wchar_t kSxsAppGuid[] = L"{7b3e5f10-a2c4-4d98-b61e-05c9f3a7d284}";

// The settings of one run: filled once by InitializeConfiguration and read-only afterwards. The
// argument vector is released by ResetConfiguration, or with the configuration itself.
struct RunConfiguration {
  UniqueLocal<LPWSTR *> argv;
  const wchar_t *app_guid = kDefaultAppGuid;
  const wchar_t *command_line = nullptr;
  int32_t argc = 0;
  bool system_level = false;
  bool refused_switch = false;
  bool cleanup_enabled = true;
  const wchar_t *previous_version = nullptr; // inside the mapped resource data; never freed
};

bool InitializeConfiguration(RunConfiguration &configuration, HMODULE module);
bool ParseCommandLine(RunConfiguration &configuration, const wchar_t *command_line);
void ResetConfiguration(RunConfiguration &configuration);
bool ReadRegistryString(HKEY root, const wchar_t *subkey, const wchar_t *value_name,
                        wchar_t *buffer, size_t capacity);
