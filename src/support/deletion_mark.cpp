// SPDX-License-Identifier: Zlib
#include "support/deletion_mark.h"

#include "support/platform_seam.h"

bool MarkForDeletion(HANDLE item) {
  FILE_DISPOSITION_INFO mark = {};
  mark.DeleteFile = TRUE;
  // The record's one byte is all the platform reads.
  return platform::SetFileInformationByHandle(item, FileDispositionInfo, &mark, 1) != FALSE;
}
