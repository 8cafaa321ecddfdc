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
  handle_.Reset(platform::CreateFileW(path_.text, kTargetAccess, kTargetSharing, nullptr,
                                      CREATE_ALWAYS, kTargetFlags, nullptr));
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
