// SPDX-License-Identifier: Zlib
#include "setup/setup_patching.h"

#include "setup/setup_launch.h"
#include "setup/setup_switches.h"
#include "support/bounded_string.h"
#include "support/registry_contract.h"

bool NamesPreviousVersion(wchar_t *uninstall_string, const wchar_t *previous_version) {
  return FindNoCase(uninstall_string, previous_version) != nullptr;
}

void RemoveEnclosingQuotes(wchar_t *text, size_t capacity) {
  if (capacity == 0 || text[0] != L'"') {
    return;
  }
  const size_t length = BoundedLength(text, capacity);
  if (length < 2 || text[length - 1] != L'"') {
    return;
  }
  // Moves the text one place left; the forward copy reads each character before overwriting it.
  BoundedCopy(text, capacity, text + 1);
  text[length - 2] = L'\0';
}

RunResult FindInstalledSetup(bool system_level, const wchar_t *app_guid,
                             const wchar_t *previous_version, wchar_t *destination,
                             size_t capacity) {
  RegistryKey key;
  LSTATUS status =
      OpenClientStateKey(ClientStateRoot(system_level), app_guid, KEY_QUERY_VALUE, key);
  if (status == ERROR_SUCCESS) {
    status = key.ReadStringValue(kUninstallStringValueName, destination, capacity);
  }
  if (status != ERROR_SUCCESS) {
    return {RESULT_CLIENT_STATE_UNREADABLE, static_cast<uint32_t>(status)};
  }
  // Checked on the value as stored, quotes and all: the version is usually a folder in the path.
  if (!NamesPreviousVersion(destination, previous_version)) {
    return {RESULT_PATCH_VERSION_MISMATCH, 0};
  }
  RemoveEnclosingQuotes(destination, capacity);
  return {RESULT_SUCCESS, 0};
}

RunResult ApplySetupPatch(const RunConfiguration &configuration, const wchar_t *patch_file_path,
                          const wchar_t *new_setup_path) {
  PathBuffer installed_setup;
  const RunResult found =
      FindInstalledSetup(configuration.system_level, configuration.app_guid,
                         configuration.previous_version, installed_setup.text, kPathCapacity);
  if (found.exit_code != RESULT_SUCCESS) {
    return found;
  }
  CommandBuffer command;
  const wchar_t *const patch[] = {L"\"",  installed_setup.text, L"\" --", kUpdateSetupExeSwitch,
                                  L"=\"", patch_file_path,      L"\" --", kNewSetupExeSwitch,
                                  L"=\"", new_setup_path,       L"\""};
  if (!BuildCommandLine(command, patch)) {
    return {RESULT_COMMAND_TOO_LONG, 0};
  }
  AppendPassThroughArguments(command, configuration.command_line);
  return RunAndWait(installed_setup.text, command.text, RESULT_PATCH_SETUP_FILE_NOT_FOUND,
                    RESULT_PATCH_SETUP_PATH_NOT_FOUND, RESULT_PATCH_SETUP_LAUNCH_FAILED);
}
