// SPDX-License-Identifier: Zlib
#include "workdir/work_directory.h"

#include <sddl.h>

#include "payload/payload_contract.h"
#include "support/platform_seam.h"
#include "support/unique_resource.h"

namespace {

constexpr size_t kSecurityTextCapacity = 300;
constexpr int kCreateAttempts = 10;
constexpr size_t kNameDigits = 5;
// Five digits, ".tmp", the final backslash and the NUL.
constexpr size_t kNameRoomNeeded = 11;
// The packer tells from this length the longest folder a stub runs from.
static_assert(sizeof("QV_") - 1 + kNameRoomNeeded - 1 == kWorkDirectoryNameLength);

bool VolumeKeepsAccessLists(const wchar_t *parent) {
  PathBuffer root;
  if (!platform::GetVolumePathNameW(parent, root.text, kPathCapacity)) {
    return false;
  }
  DWORD flags = 0;
  return platform::GetVolumeInformationW(root.text, nullptr, 0, nullptr, nullptr, &flags, nullptr,
                                         0) &&
         (flags & FILE_PERSISTENT_ACLS) != 0;
}

} // namespace

bool GetTokenOwnerSidString(LPWSTR *sid_string) {
  UniqueHandle token;
  if (!platform::OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put())) {
    return false;
  }
  DWORD size = 0;
  if (GetTokenInformation(token.Get(), TokenOwner, nullptr, 0, &size) || size == 0 ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  const UniqueLocal<TOKEN_OWNER *> owner(
      static_cast<TOKEN_OWNER *>(LocalAlloc(LMEM_ZEROINIT, size)));
  return owner.IsValid() &&
         GetTokenInformation(token.Get(), TokenOwner, owner.Get(), size, &size) &&
         ConvertSidToStringSidW(owner.Get()->Owner, sid_string);
}

bool BuildWorkDirSecurity(const wchar_t *parent, PSECURITY_DESCRIPTOR *descriptor) {
  *descriptor = nullptr;
  // FAT and other volumes without access lists get the default security.
  if (!VolumeKeepsAccessLists(parent)) {
    return true;
  }
  UniqueLocal<LPWSTR> sid;
  if (!GetTokenOwnerSidString(sid.Put())) {
    return false;
  }
  FixedBuffer<kSecurityTextCapacity> text;
  if (!text.Append(kWorkDirSecurityPrefix) || !text.Append(sid.Get()) || !text.Append(L")")) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  return ConvertStringSecurityDescriptorToSecurityDescriptorW(text.text, SDDL_REVISION_1,
                                                              descriptor, nullptr);
}

bool MakeWorkDirectory(const wchar_t *parent, PathBuffer &path, RunResult &result) {
  result = {RESULT_PATH_TOO_LONG, 0};
  if (!path.Assign(parent) || !path.Append(L"QV_")) {
    return false;
  }
  const size_t length = path.Length();
  if (kPathCapacity - length < kNameRoomNeeded) {
    return false;
  }

  UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
  if (!BuildWorkDirSecurity(parent, descriptor.Put())) {
    result = {RESULT_WORK_DIR_ACL_FAILED, GetLastError()};
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), descriptor.Get(), FALSE};
  SECURITY_ATTRIBUTES *security = descriptor.IsValid() ? &attributes : nullptr;

  result = {RESULT_WORK_DIR_FAILED, 0};
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    // A failed draw counts as a failed attempt rather than reusing the previous name.
    uint8_t random[4] = {};
    if (!platform::SystemFunction036(random, sizeof(random))) {
      continue;
    }
    HexEncode(random, sizeof(random), path.text + length, kPathCapacity - length);
    path.text[length + kNameDigits] = L'\0';
    path.Append(L".tmp");
    // Whatever the reason a creation fails, the next attempt draws a new name.
    if (platform::CreateDirectoryW(path.text, security)) {
      path.Append(L"\\");
      result = {RESULT_SUCCESS, 0};
      return true;
    }
  }
  return false;
}
