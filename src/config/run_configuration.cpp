// SPDX-License-Identifier: Zlib
#include "config/run_configuration.h"

#include "support/platform_seam.h"
#include "support/registry_contract.h"

namespace {

enum class SwitchEffect { SystemLevel, AppGuid, Refuse };

struct Switch {
  const wchar_t *name;
  SwitchEffect effect;
  const wchar_t *app_guid;
};

constexpr Switch kSwitches[] = {
    {L"--system-level", SwitchEffect::SystemLevel, nullptr},
    {L"--ondrel-beta", SwitchEffect::AppGuid, kBetaAppGuid},
    {L"--ondrel-dev", SwitchEffect::AppGuid, kDevAppGuid},
    {L"--ondrel-sxs", SwitchEffect::AppGuid, kSxsAppGuid},
    {L"--cleanup", SwitchEffect::Refuse, nullptr},
    {L"--ondrel-frame", SwitchEffect::Refuse, nullptr},
};

// Switches only ever set: a later argument never clears what an earlier one set.
void ApplySwitch(RunConfiguration &configuration, const Switch &option) {
  switch (option.effect) {
  case SwitchEffect::SystemLevel:
    configuration.system_level = true;
    break;
  case SwitchEffect::AppGuid:
    configuration.app_guid = option.app_guid;
    break;
  case SwitchEffect::Refuse:
    configuration.refused_switch = true;
    break;
  }
}

// A patch stub names the version it updates in RT_RCDATA 1; anything but a non-empty,
// even-sized, NUL-terminated UTF-16 text there is ignored.
const wchar_t *FindPreviousVersion(HMODULE module) {
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(1), RT_RCDATA);
  if (info == nullptr) {
    return nullptr;
  }
  HGLOBAL loaded = LoadResource(module, info);
  if (loaded == nullptr) {
    return nullptr;
  }
  const DWORD size = SizeofResource(module, info);
  if (size == 0 || size % 2 != 0) {
    return nullptr;
  }
  const auto *data = static_cast<const wchar_t *>(LockResource(loaded));
  if (data == nullptr || data[size / 2 - 1] != L'\0') {
    return nullptr;
  }
  return data;
}

bool IsCleanupDisabled() {
  wchar_t value[2] = {L'\0', L'\0'};
  return ReadRegistryString(HKEY_CURRENT_USER, kVendorKeyPath, kCleanupValueName, value, 2) &&
         value[0] == L'0';
}

bool IsMachineLevelRequested() {
  wchar_t value[2] = {L'\0', L'\0'};
  // A longer value makes the call return the size it needs, so only "1" itself gives 1.
  return GetEnvironmentVariableW(L"VelmoraUpdateIsMachine", value, 2) == 1 && value[0] == L'1';
}

} // namespace

bool InitializeConfiguration(RunConfiguration &configuration, HMODULE module) {
  ResetConfiguration(configuration);
  configuration.previous_version = FindPreviousVersion(module);
  configuration.cleanup_enabled = !IsCleanupDisabled();
  return ParseCommandLine(configuration, GetCommandLineW());
}

bool ParseCommandLine(RunConfiguration &configuration, const wchar_t *command_line) {
  configuration.command_line = command_line;
  int count = 0;
  configuration.argv.Reset(platform::CommandLineToArgvW(command_line, &count));
  if (!configuration.argv.IsValid()) {
    return false;
  }
  configuration.argc = count;
  // Position 0 is the program itself, whatever it is called.
  for (int32_t i = 1; i < configuration.argc; ++i) {
    for (const Switch &option : kSwitches) {
      if (lstrcmpiW(configuration.argv.Get()[i], option.name) == 0) {
        ApplySwitch(configuration, option);
        break;
      }
    }
  }
  if (!configuration.system_level && IsMachineLevelRequested()) {
    configuration.system_level = true;
  }
  return true;
}

void ResetConfiguration(RunConfiguration &configuration) {
  // Assigning a fresh configuration releases the argument vector held before.
  configuration = RunConfiguration{};
}

bool ReadRegistryString(HKEY root, const wchar_t *subkey, const wchar_t *value_name,
                        wchar_t *buffer, size_t capacity) {
  RegistryKey key;
  return key.Open(root, subkey, KEY_QUERY_VALUE) == ERROR_SUCCESS &&
         key.ReadStringValue(value_name, buffer, capacity) == ERROR_SUCCESS;
}
