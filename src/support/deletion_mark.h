// SPDX-License-Identifier: Zlib
#pragma once

#include <windows.h>

// Marks an open file or directory for deletion through its own handle (FILE_DISPOSITION_INFO),
// never by path, so nothing can swap the item in between: it goes when its last handle closes.
// The handle needs DELETE access. False with the reason in the last-error value, for instance
// ERROR_DIR_NOT_EMPTY for a directory that still has entries.
bool MarkForDeletion(HANDLE item);
