// SPDX-License-Identifier: Zlib
#pragma once

#include <stdint.h>

#include "support/bounded_string.h"

inline constexpr int32_t kRemovalAttemptLimit = 100;
inline constexpr uint32_t kRemovalPauseMilliseconds = 100;

// Removes one file or one empty directory (a trailing backslash is allowed), retrying sharing
// conflicts, denied access and non-empty directories. attempts is 1 plus the pauses made. True
// when the path no longer exists.
bool RemoveWithRetries(const wchar_t *path, int32_t &attempts);

// Removes the archive, the setup program and the work directory, in that order, skipping empty
// paths, and raises max_removal_attempts to the largest count seen.
void RemoveExtractedFiles(const PathBuffer &archive_path, const PathBuffer &setup_path,
                          const PathBuffer &work_directory_path, int32_t &max_removal_attempts);

// The raise-the-maximum step that follows every removal of a run.
inline void NoteRemovalAttempts(int32_t attempts, int32_t &max_removal_attempts) {
  if (attempts > max_removal_attempts) {
    max_removal_attempts = attempts;
  }
}
