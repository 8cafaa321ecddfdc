#include "workdir/work_directory.h"

#include <sddl.h>

#include "support/platform_seam.h"

namespace {

constexpr size_t kSecurityTextCapacity = 300;
constexpr int kCreateAttempts = 10;
constexpr size_t kNameDigits = 5;
// Five digits, ".tmp", the final backslash and the NUL.
constexpr size_t kNameRoomNeeded = 11;

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
  HANDLE token = nullptr;
  if (!platform::OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  bool answer = false;
  DWORD size = 0;
  void *owner = nullptr;
  if (!GetTokenInformation(token, TokenOwner, nullptr, 0, &size) && size != 0 &&
      GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    owner = LocalAlloc(LMEM_ZEROINIT, size);
    if (owner != nullptr && GetTokenInformation(token, TokenOwner, owner, size, &size)) {
      answer = ConvertSidToStringSidW(static_cast<TOKEN_OWNER *>(owner)->Owner, sid_string);
    }
  }
  // Keep the reason of a failure for the caller across the releases below.
  const DWORD error = GetLastError();
  if (owner != nullptr) {
    LocalFree(owner);
  }
  CloseHandle(token);
  SetLastError(error);
  return answer;
}

bool BuildWorkDirSecurity(const wchar_t *parent, PSECURITY_DESCRIPTOR *descriptor) {
  *descriptor = nullptr;
  // FAT and other volumes without access lists get the default security.
  if (!VolumeKeepsAccessLists(parent)) {
    return true;
  }
  LPWSTR sid = nullptr;
  if (!GetTokenOwnerSidString(&sid)) {
    return false;
  }
  FixedBuffer<kSecurityTextCapacity> text;
  bool ok = text.Append(kWorkDirSecurityPrefix) && text.Append(sid) && text.Append(L")");
  if (!ok) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
  } else {
    ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(text.text, SDDL_REVISION_1,
                                                              descriptor, nullptr);
  }
  const DWORD error = GetLastError();
  LocalFree(sid);
  SetLastError(error);
  return ok;
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

  SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  if (!BuildWorkDirSecurity(parent, &attributes.lpSecurityDescriptor)) {
    result = {RESULT_WORK_DIR_ACL_FAILED, GetLastError()};
    return false;
  }
  SECURITY_ATTRIBUTES *security =
      attributes.lpSecurityDescriptor != nullptr ? &attributes : nullptr;

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
      break;
    }
  }
  if (attributes.lpSecurityDescriptor != nullptr) {
    LocalFree(attributes.lpSecurityDescriptor);
  }
  return result.exit_code == RESULT_SUCCESS;
}
