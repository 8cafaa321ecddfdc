// SPDX-License-Identifier: Zlib
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "support/ascii_case.h"

// Every path, command line and descriptor text is built in a fixed array through these
// operations. None of them writes or reads outside the capacity it is given, and none cuts text
// silently: a copy or append that does not fit reports false.

size_t BoundedLength(const wchar_t *text, size_t capacity);
bool BoundedCopy(wchar_t *destination, size_t capacity, const wchar_t *source);
bool BoundedAppend(wchar_t *destination, size_t capacity, const wchar_t *source);
// Ignores the case of 'A'-'Z' only; the platform's wide characters are UTF-16 units.
inline bool StartsWithNoCase(const wchar_t *text, const wchar_t *prefix) {
  return text != nullptr && prefix != nullptr &&
         StartsWithAsciiNoCase(reinterpret_cast<const char16_t *>(text),
                               reinterpret_cast<const char16_t *>(prefix));
}
bool EndsWithNoCase(const wchar_t *text, const wchar_t *suffix);
wchar_t *FindNoCase(wchar_t *text, const wchar_t *needle);
bool HexEncode(const uint8_t *bytes, size_t count, wchar_t *destination, size_t capacity);
wchar_t *NameAfterLastBackslash(wchar_t *path, size_t length);

// A buffer of Capacity usable characters plus one: both ends are NUL from the start, and the
// last one is never written because every operation is handed Capacity, not the array's size.
template <size_t Capacity> struct FixedBuffer {
  static constexpr size_t capacity = Capacity;
  wchar_t text[Capacity + 1];

  FixedBuffer() {
    text[0] = L'\0';
    text[Capacity] = L'\0';
  }
  FixedBuffer(const FixedBuffer &) = delete;
  FixedBuffer &operator=(const FixedBuffer &) = delete;

  void Clear() { text[0] = L'\0'; }
  bool IsEmpty() const { return text[0] == L'\0'; }
  size_t Length() const { return BoundedLength(text, Capacity); }
  bool Assign(const wchar_t *source) { return BoundedCopy(text, Capacity, source); }
  bool Append(const wchar_t *source) { return BoundedAppend(text, Capacity, source); }
};

inline constexpr size_t kPathCapacity = 260;
inline constexpr size_t kCommandCapacity = 1040;

using PathBuffer = FixedBuffer<kPathCapacity>;
using CommandBuffer = FixedBuffer<kCommandCapacity>;
