// SPDX-License-Identifier: Zlib
#pragma once

#include <windows.h>

#include "run/run_result.h"
#include "support/bounded_string.h"

// Creates a fresh, access-controlled directory named "QV_" + five hex digits + ".tmp" inside
// parent (which ends in a backslash) and leaves its path, with a final backslash, in path.
// Returns true exactly when result is (RESULT_SUCCESS, 0); otherwise result holds the failure
// (RESULT_PATH_TOO_LONG, RESULT_WORK_DIR_ACL_FAILED or RESULT_WORK_DIR_FAILED).
bool MakeWorkDirectory(const wchar_t *parent, PathBuffer &path, RunResult &result);

// Builds the protected descriptor for the work directory, or none when the volume keeps no
// access lists. False, with the reason in the last-error value, when it cannot be built.
bool BuildWorkDirSecurity(const wchar_t *parent, PSECURITY_DESCRIPTOR *descriptor);

// The owner SID of the process token as text; the caller releases it with LocalFree. False with
// the reason in the last-error value.
bool GetTokenOwnerSidString(LPWSTR *sid_string);

// The fixed part of the work directory's descriptor text, before the owner SID and ")".
inline constexpr wchar_t kWorkDirSecurityPrefix[] =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)(A;;FA;;;";
