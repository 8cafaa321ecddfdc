// SPDX-License-Identifier: Zlib
// Without a C runtime the compiler still emits calls to these for block copies and clears.
#include <stddef.h>

extern "C" {

// Kept as plain loops: the compiler must not turn them back into calls to themselves.
__attribute__((optimize("no-tree-loop-distribute-patterns"))) void *
memset(void *destination, int value, size_t count) {
  auto *bytes = static_cast<unsigned char *>(destination);
  for (size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<unsigned char>(value);
  }
  return destination;
}

__attribute__((optimize("no-tree-loop-distribute-patterns"))) void *
memcpy(void *destination, const void *source, size_t count) {
  auto *to = static_cast<unsigned char *>(destination);
  const auto *from = static_cast<const unsigned char *>(source);
  for (size_t i = 0; i < count; ++i) {
    to[i] = from[i];
  }
  return destination;
}
}
