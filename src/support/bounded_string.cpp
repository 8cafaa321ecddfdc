// SPDX-License-Identifier: Zlib
#include "support/bounded_string.h"

#include <windows.h>

#include "support/ascii_case.h"

namespace {

// Copies up to capacity characters, NUL included; the destination may overlap the source as long
// as the source starts later, because the copy runs strictly forwards.
bool CopyForward(wchar_t *destination, size_t capacity, const wchar_t *source) {
  for (size_t i = 0; i < capacity; ++i) {
    const wchar_t c = source[i];
    destination[i] = c;
    if (c == L'\0') {
      return true;
    }
  }
  destination[0] = L'\0';
  return false;
}

} // namespace

size_t BoundedLength(const wchar_t *text, size_t capacity) {
  if (text == nullptr || capacity < 2) {
    return 0;
  }
  for (size_t i = 0; i + 1 < capacity; ++i) {
    if (text[i] == L'\0') {
      return i;
    }
  }
  return capacity - 1;
}

bool BoundedCopy(wchar_t *destination, size_t capacity, const wchar_t *source) {
  if (destination == nullptr || capacity == 0) {
    return false;
  }
  return CopyForward(destination, capacity, source);
}

bool BoundedAppend(wchar_t *destination, size_t capacity, const wchar_t *source) {
  const size_t end = BoundedLength(destination, capacity);
  if (destination == nullptr || capacity == 0) {
    return false;
  }
  // A failed copy empties its destination, which here is the old end: the old text stays.
  return CopyForward(destination + end, capacity - end, source);
}

bool EndsWithNoCase(const wchar_t *text, const wchar_t *suffix) {
  if (text == nullptr || suffix == nullptr) {
    return false;
  }
  int32_t t = lstrlenW(text);
  int32_t s = lstrlenW(suffix);
  for (;;) {
    if (s == 0) {
      return true;
    }
    if (t == 0) {
      return false;
    }
    --t;
    --s;
    if (FoldAscii(text[t]) != FoldAscii(suffix[s])) {
      return false;
    }
  }
}

wchar_t *FindNoCase(wchar_t *text, const wchar_t *needle) {
  if (needle == nullptr || needle[0] == L'\0') {
    return text;
  }
  for (wchar_t *start = text; *start != L'\0'; ++start) {
    size_t i = 0;
    while (needle[i] != L'\0' && FoldAscii(start[i]) == FoldAscii(needle[i])) {
      ++i;
    }
    if (needle[i] == L'\0') {
      return start;
    }
  }
  return nullptr;
}

bool HexEncode(const uint8_t *bytes, size_t count, wchar_t *destination, size_t capacity) {
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  // Needs 2 * count + 1 <= capacity, tested without forming 2 * count, which could wrap.
  if (capacity == 0 || count > (capacity - 1) / 2) {
    return false;
  }
  destination[2 * count] = L'\0';
  for (size_t i = 0; i < count; ++i) {
    destination[2 * i] = kDigits[bytes[i] >> 4];
    destination[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return true;
}

wchar_t *NameAfterLastBackslash(wchar_t *path, size_t length) {
  for (size_t i = length; i > 0; --i) {
    if (path[i - 1] == L'\\') {
      return path + i;
    }
  }
  return path;
}
