// SPDX-License-Identifier: Zlib
#include "cleanup/removal.h"

#include <windows.h>

#include "support/deletion_mark.h"
#include "support/platform_seam.h"
#include "support/unique_resource.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Open the item itself: a link is removed as a link, its target is never followed.
constexpr DWORD kOpenItselfFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

HANDLE OpenItem(const wchar_t *path, DWORD access) {
  return platform::CreateFileW(path, access, kShareAll, nullptr, OPEN_EXISTING, kOpenItselfFlags,
                               nullptr);
}

// Opens the item and marks it for deletion; it goes once this handle and any other are closed.
// False with the reason in the last-error value, which closing the handle leaves alone.
bool MarkPathForDeletion(const wchar_t *path) {
  const UniqueFile item(OpenItem(path, DELETE));
  return item.IsValid() && MarkForDeletion(item.Get());
}

// True when a read-only attribute stood in the way and has now been cleared.
bool ClearReadOnly(const wchar_t *path) {
  const UniqueFile item(OpenItem(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES));
  FILE_BASIC_INFO basic = {};
  if (!item.IsValid() ||
      !GetFileInformationByHandleEx(item.Get(), FileBasicInfo, &basic, sizeof(basic)) ||
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return false;
  }
  basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  return platform::SetFileInformationByHandle(item.Get(), FileBasicInfo, &basic, sizeof(basic));
}

} // namespace

bool RemoveWithRetries(const wchar_t *path, int32_t &attempts) {
  attempts = 1;
  // Within one counted attempt, a successful deletion mark and a cleared read-only attribute
  // each earn one immediate, uncounted retry. An item that survives either a second time (a
  // file system or filter that ignores the mark, or sets the attribute again) costs a counted
  // attempt instead, so the removal always ends.
  bool marked_this_attempt = false;
  bool cleared_this_attempt = false;
  for (;;) {
    const DWORD error = MarkPathForDeletion(path) ? ERROR_SUCCESS : GetLastError();
    bool retry_at_once = false;
    switch (error) {
    case ERROR_SUCCESS:
      retry_at_once = !marked_this_attempt;
      marked_this_attempt = true;
      break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return true;
    case ERROR_DIR_NOT_EMPTY:
    case ERROR_SHARING_VIOLATION:
      break;
    case ERROR_ACCESS_DENIED:
      if (!cleared_this_attempt && ClearReadOnly(path)) {
        cleared_this_attempt = true;
        retry_at_once = true;
      }
      break;
    default:
      return false;
    }
    if (retry_at_once) {
      continue;
    }
    if (attempts == kRemovalAttemptLimit) {
      return false;
    }
    ++attempts;
    marked_this_attempt = false;
    cleared_this_attempt = false;
    platform::Sleep(kRemovalPauseMilliseconds);
  }
}

void RemoveExtractedFiles(const PathBuffer &archive_path, const PathBuffer &setup_path,
                          const PathBuffer &work_directory_path, int32_t &max_removal_attempts) {
  int32_t attempts = 0;
  if (archive_path.Length() != 0) {
    RemoveWithRetries(archive_path.text, attempts);
    NoteRemovalAttempts(attempts, max_removal_attempts);
  }
  if (setup_path.Length() != 0) {
    RemoveWithRetries(setup_path.text, attempts);
    NoteRemovalAttempts(attempts, max_removal_attempts);
  }
  // The directory goes last: it can only be removed once the files inside are gone.
  RemoveWithRetries(work_directory_path.text, attempts);
  NoteRemovalAttempts(attempts, max_removal_attempts);
}
