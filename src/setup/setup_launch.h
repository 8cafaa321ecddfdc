// SPDX-License-Identifier: Zlib
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "config/run_configuration.h"
#include "run/run_result.h"
#include "support/bounded_string.h"

// Runs "setup.exe" in its install form: the archive's path, the previous version when the stub
// carries one, then the stub's own arguments. The result is the setup program's exit code, or
// RESULT_COMMAND_TOO_LONG, or RESULT_SETUP_FILE_NOT_FOUND, ..._PATH_NOT_FOUND, ..._LAUNCH_FAILED
// or RESULT_WAIT_FAILED when it could not be run or waited for.
RunResult LaunchSetup(const RunConfiguration &configuration, const wchar_t *archive_path,
                      const wchar_t *setup_path);

// Builds a command line from fragments, the first copied and the rest appended; false as soon as
// one does not fit (every append is all or nothing, so nothing is ever cut).
bool BuildCommandLine(CommandBuffer &command, const wchar_t *const *fragments, size_t count);
template <size_t N>
bool BuildCommandLine(CommandBuffer &command, const wchar_t *const (&fragments)[N]) {
  return BuildCommandLine(command, fragments, N);
}

// Appends everything of the stub's own command line after its program name, character for
// character. Arguments that do not fit are dropped whole; the outcome is not reported.
void AppendPassThroughArguments(CommandBuffer &command, const wchar_t *line);

// Starts application_path with command_line, no window and no inherited handles, and waits for
// it without a time limit. The child's exit code, unchanged, with extra code 0; the three codes
// given for a missing file, a missing path and any other start failure; RESULT_WAIT_FAILED when
// the wait or the exit code fails.
RunResult RunAndWait(const wchar_t *application_path, wchar_t *command_line,
                     uint32_t file_not_found_code, uint32_t path_not_found_code,
                     uint32_t launch_failed_code);
