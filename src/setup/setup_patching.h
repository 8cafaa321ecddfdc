// SPDX-License-Identifier: Zlib
#pragma once

#include <stddef.h>

#include "config/run_configuration.h"
#include "run/run_result.h"

// The installed setup program of the application, from its ClientState key's uninstall string
// (kUninstallStringValueName): the path without enclosing double quotes, after checking that the
// value names the previous version (case ignored, anywhere in the value; an absent or empty
// version matches anything). RESULT_CLIENT_STATE_UNREADABLE with the registry's code when the key
// or value cannot be read, RESULT_PATCH_VERSION_MISMATCH when the version is not there.
RunResult FindInstalledSetup(bool system_level, const wchar_t *app_guid,
                             const wchar_t *previous_version, wchar_t *destination,
                             size_t capacity);

// Whether the uninstall string contains the previous version anywhere, ASCII letters compared
// without regard to case; an absent or empty version is contained in every value.
bool NamesPreviousVersion(wchar_t *uninstall_string, const wchar_t *previous_version);

// Drops one pair of enclosing double quotes in place. A value that opens a quote it does not
// close at its very end (arguments after the path, or a lone quote) is left as it is. The text
// must end within capacity characters, as every value read into such a buffer does.
void RemoveEnclosingQuotes(wchar_t *text, size_t capacity);

// Has the installed setup program build the new one at new_setup_path from the patch file, and
// waits for it. Its exit code, or what FindInstalledSetup returned, RESULT_COMMAND_TOO_LONG when
// the command line does not fit, RESULT_PATCH_SETUP_FILE_NOT_FOUND, ..._PATH_NOT_FOUND or
// ..._LAUNCH_FAILED when it cannot be started and RESULT_WAIT_FAILED when the wait fails. Neither
// the patch file nor the new setup program is looked at here.
RunResult ApplySetupPatch(const RunConfiguration &configuration, const wchar_t *patch_file_path,
                          const wchar_t *new_setup_path);
