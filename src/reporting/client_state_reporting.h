// SPDX-License-Identifier: Zlib
#pragma once

#include <stdint.h>

#include "config/run_configuration.h"
#include "run/run_result.h"

// What the stub tells the update client, through the application's ClientState key. None of it
// can change a run's result: a key that is missing or cannot be written simply gets nothing.

// Appends "-full" to the ap value (kApValueName; created as "-full" when absent), unless it
// already ends so or cannot take the suffix within 127 characters.
void MarkFullInstall(const RunConfiguration &configuration);

// For a failed run: kInstallerResultValueName = 1, kInstallerErrorValueName = exit code and
// kInstallerExtraCode1ValueName = extra code, unless a nonzero result value is already there (the
// setup program's own report, or an earlier one).
void RecordFailure(const RunConfiguration &configuration, const RunResult &result);

// For a successful run: kInstallerExtraCode1ValueName = 0x30000 plus the retries the most
// stubborn removal needed (its attempts minus 1).
void RecordRemovalRetries(const RunConfiguration &configuration, int32_t max_removal_attempts);
