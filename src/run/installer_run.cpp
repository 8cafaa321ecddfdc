// SPDX-License-Identifier: Zlib
#include "run/installer_run.h"

#include "cleanup/removal.h"
#include "config/run_configuration.h"
#include "payload/payload_extraction.h"
#include "reporting/client_state_reporting.h"
#include "run/stage_profile.h"
#include "setup/setup_launch.h"
#include "support/bounded_string.h"
#include "support/platform_seam.h"
#include "workdir/work_directory.h"

namespace {

// Cuts the module path to its directory, final backslash kept. A path that was cut to fit, or
// that is empty or has no backslash, leaves nowhere to put the work directory: that must end the
// run with a failure, never with a success that did nothing.
RunResult FindExecutableDirectory(HMODULE module, PathBuffer &directory) {
  const DWORD count = platform::GetModuleFileNameW(module, directory.text, kPathCapacity);
  if (count >= kPathCapacity) {
    return {RESULT_PATH_TOO_LONG, 0};
  }
  if (count == 0) {
    return {RESULT_WORK_DIR_FAILED, 0};
  }
  wchar_t *name = NameAfterLastBackslash(directory.text, count);
  if (name == directory.text) {
    return {RESULT_WORK_DIR_FAILED, 0};
  }
  *name = L'\0';
  return {RESULT_SUCCESS, 0};
}

} // namespace

RunResult RunInstaller(HMODULE module) {
  // Released when the run ends, on every path: the configuration owns its argument vector.
  RunConfiguration configuration;

  if (!InitializeConfiguration(configuration, module)) {
    return {RESULT_CONFIGURATION_FAILED, GetLastError()};
  }
  if (configuration.refused_switch) {
    return {RESULT_REFUSED_SWITCH, 0};
  }
  MarkStage(Stage::kConfigured);

  PathBuffer work_directory;
  PathBuffer executable_directory;
  RunResult result = FindExecutableDirectory(module, executable_directory);
  if (result.exit_code != RESULT_SUCCESS ||
      !MakeWorkDirectory(executable_directory.text, work_directory, result)) {
    return result;
  }
  MarkStage(Stage::kWorkDirectoryMade);
  MarkFullInstall(configuration);
  MarkStage(Stage::kFullInstallMarked);

  int32_t max_removal_attempts = 0;
  PathBuffer archive_path;
  PathBuffer setup_path;
  RunResult stage = ExtractPayload(configuration, module, work_directory, archive_path, setup_path,
                                   max_removal_attempts);
  MarkStage(Stage::kPayloadExtracted);

  // Written-out payload pages are not needed again; hand them back before the setup program,
  // which may be large, starts.
  SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1), static_cast<SIZE_T>(-1));
  MarkStage(Stage::kWorkingSetTrimmed);

  if (stage.exit_code == RESULT_SUCCESS) {
    stage = LaunchSetup(configuration, archive_path.text, setup_path.text);
  }
  MarkStage(Stage::kSetupRan);

  if (configuration.cleanup_enabled) {
    RemoveExtractedFiles(archive_path, setup_path, work_directory, max_removal_attempts);
  }
  MarkStage(Stage::kFilesRemoved);

  // After the cleanup, so that the retry count includes its removals.
  if (stage.exit_code != RESULT_SUCCESS) {
    RecordFailure(configuration, stage);
  } else {
    RecordRemovalRetries(configuration, max_removal_attempts);
  }
  MarkStage(Stage::kOutcomeRecorded);
  return stage;
}
