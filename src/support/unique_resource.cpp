// SPDX-License-Identifier: Zlib
#include "support/unique_resource.h"

void CloseHandleKeepingLastError(HANDLE handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    const LastErrorGuard keep;
    CloseHandle(handle);
  }
}

void LocalFreeKeepingLastError(HLOCAL memory) {
  if (memory != nullptr) {
    const LastErrorGuard keep;
    LocalFree(memory);
  }
}

void HeapFreeKeepingLastError(void *memory) {
  if (memory != nullptr) {
    const LastErrorGuard keep;
    HeapFree(GetProcessHeap(), 0, memory);
  }
}
