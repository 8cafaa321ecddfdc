// SPDX-License-Identifier: Zlib
#pragma once

#include "support/bounded_string.h"

// Expands the cabinet file at source through the platform's cabinet library, writing whatever
// file it holds to destination, whatever its name inside. True exactly when a file was written
// completely; it is then flushed to disk. On false no partial destination remains and no error
// code is set. cabinet.dll is loaded from the system directory on first use and kept loaded.
bool ExpandCabinet(const wchar_t *source, PathBuffer &destination);
