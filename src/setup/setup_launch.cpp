// SPDX-License-Identifier: Zlib
#include "setup/setup_launch.h"

#include <windows.h>

#include "setup/setup_switches.h"
#include "support/platform_seam.h"
#include "support/unique_resource.h"

namespace {

constexpr wchar_t kQuote[] = L"\"";
constexpr wchar_t kSwitchLead[] = L" --";
constexpr wchar_t kValueLead[] = L"=\"";

bool IsBlank(wchar_t character) { return character == L' ' || character == L'\t'; }

bool AppendFragments(CommandBuffer &command, const wchar_t *const *fragments, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (!command.Append(fragments[i])) {
      return false;
    }
  }
  return true;
}

template <size_t N> constexpr size_t CountOf(const wchar_t *const (&)[N]) { return N; }

} // namespace

bool BuildCommandLine(CommandBuffer &command, const wchar_t *const *fragments, size_t count) {
  return count != 0 && command.Assign(fragments[0]) &&
         AppendFragments(command, fragments + 1, count - 1);
}

RunResult LaunchSetup(const RunConfiguration &configuration, const wchar_t *archive_path,
                      const wchar_t *setup_path) {
  PathBuffer program;
  // Always fits: setup_path was built in a buffer of the same capacity.
  program.Assign(setup_path);

  CommandBuffer command;
  const wchar_t *const install[] = {
      kQuote,     program.text, kQuote, kSwitchLead, kInstallArchiveSwitch,
      kValueLead, archive_path, kQuote};
  if (!BuildCommandLine(command, install)) {
    return {RESULT_COMMAND_TOO_LONG, 0};
  }
  // A previous version that is present but empty is still passed, as "".
  if (configuration.previous_version != nullptr) {
    const wchar_t *const version[] = {kSwitchLead, kPreviousVersionSwitch, kValueLead,
                                      configuration.previous_version, kQuote};
    if (!AppendFragments(command, version, CountOf(version))) {
      return {RESULT_COMMAND_TOO_LONG, 0};
    }
  }
  AppendPassThroughArguments(command, configuration.command_line);
  return RunAndWait(program.text, command.text, RESULT_SETUP_FILE_NOT_FOUND,
                    RESULT_SETUP_PATH_NOT_FOUND, RESULT_SETUP_LAUNCH_FAILED);
}

void AppendPassThroughArguments(CommandBuffer &command, const wchar_t *line) {
  if (line == nullptr) {
    return;
  }
  // Skip the program name the way the stub's own name was written: up to the closing quote,
  // or up to the first blank. No other quoting or escaping is interpreted.
  const wchar_t *rest = line;
  if (*rest == L'"') {
    ++rest;
    while (*rest != L'\0' && *rest != L'"') {
      ++rest;
    }
    if (*rest == L'\0') {
      return;
    }
    ++rest;
  } else {
    while (*rest != L'\0' && !IsBlank(*rest)) {
      ++rest;
    }
  }
  if (*rest == L'\0') {
    return;
  }
  // An argument glued to a closing quote still needs a separator from what precedes it.
  if (!IsBlank(*rest) && !command.Append(L" ")) {
    return;
  }
  command.Append(rest);
}

RunResult RunAndWait(const wchar_t *application_path, wchar_t *command_line,
                     uint32_t file_not_found_code, uint32_t path_not_found_code,
                     uint32_t launch_failed_code) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(application_path, command_line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &process)) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) {
      return {file_not_found_code, GetFileAttributesW(application_path)};
    }
    if (error == ERROR_PATH_NOT_FOUND) {
      return {path_not_found_code, GetFileAttributesW(application_path)};
    }
    return {launch_failed_code, error};
  }
  // Only the process is waited for; its first thread is of no further use.
  CloseHandle(process.hThread);
  const UniqueHandle child(process.hProcess);

  DWORD exit_code = 0;
  if (platform::WaitForSingleObject(child.Get(), INFINITE) != WAIT_OBJECT_0 ||
      !platform::GetExitCodeProcess(child.Get(), &exit_code)) {
    return {RESULT_WAIT_FAILED, GetLastError()};
  }
  return {exit_code, 0};
}
