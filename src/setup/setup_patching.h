#pragma once

#include <stddef.h>

#include "config/run_configuration.h"
#include "run/run_result.h"

// The installed setup program of the application, from "UninstallString" in its ClientState key:
// the path without enclosing double quotes, after checking that the value names the previous
// version (case ignored, anywhere in the value; an absent or empty version matches anything).
// 110 with the registry's code when the key or value cannot be read, 111 when the version is not
// there.
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
// waits for it. Its exit code, or 110 or 111 from the lookup, 105 when the command line does not
// fit, 119 to 121 when it cannot be started and 107 when the wait fails. Neither the patch file
// nor the new setup program is looked at here.
RunResult ApplySetupPatch(const RunConfiguration &configuration, const wchar_t *patch_file_path,
                          const wchar_t *new_setup_path);
