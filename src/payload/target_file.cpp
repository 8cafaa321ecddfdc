// SPDX-License-Identifier: Zlib
#include "payload/target_file.h"

#include "support/deletion_mark.h"
#include "support/platform_seam.h"

namespace {

constexpr DWORD kTargetAccess = GENERIC_WRITE | DELETE;
// Others may only delete the file while it is being written.
constexpr DWORD kTargetSharing = FILE_SHARE_DELETE;
constexpr DWORD kTargetFlags = FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL;

} // namespace

bool TargetFile::Open(const wchar_t *path) {
  Close();
  if (!path_.Assign(path)) {
    path_.Clear();
    return false;
  }
  // A new file first (CREATE_NEW, 1), and only when that fails one that replaces what is there
  // (CREATE_ALWAYS, 2): Wine replaces a file by truncating it, and ext4 writes a truncated file's
  // data back as soon as it is closed, so the flush of setup.exe and the removals would wait for
  // the archive to reach the disk.
  for (DWORD disposition = CREATE_NEW; disposition <= CREATE_ALWAYS; ++disposition) {
    handle_.Reset(platform::CreateFileW(path_.text, kTargetAccess, kTargetSharing, nullptr,
                                        disposition, kTargetFlags, nullptr));
    if (handle_.IsValid()) {
      break;
    }
  }
  if (!handle_.IsValid()) {
    path_.Clear();
    return false;
  }
  return true;
}

void TargetFile::Close() {
  handle_.Reset();
  path_.Clear();
}

bool TargetFile::MarkForDeletion() { return handle_.IsValid() && ::MarkForDeletion(handle_.Get()); }

HANDLE TargetFile::Duplicate() const {
  if (!handle_.IsValid()) {
    return INVALID_HANDLE_VALUE;
  }
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), handle_.Get(), GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return INVALID_HANDLE_VALUE;
  }
  return copy;
}
