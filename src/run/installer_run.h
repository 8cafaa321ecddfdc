// SPDX-License-Identifier: Zlib
#pragma once

#include <windows.h>

#include "run/run_result.h"

// One whole run, from the configuration to the removal of what it wrote; the process entry ends
// the process with the exit code of the result.
RunResult RunInstaller(HMODULE module);
