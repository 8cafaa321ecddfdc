// SPDX-License-Identifier: Zlib
#include "support/registry_contract.h"

#include "support/bounded_string.h"

LSTATUS OpenClientStateKey(HKEY root, const wchar_t *app_guid, REGSAM access, RegistryKey &key) {
  PathBuffer path;
  if (!path.Assign(kClientStateKeyPrefix) || !path.Append(app_guid)) {
    return ERROR_BUFFER_OVERFLOW;
  }
  return key.Open(root, path.text, access | KEY_WOW64_32KEY);
}
