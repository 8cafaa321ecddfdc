// SPDX-License-Identifier: Zlib
#pragma once

// Names are compared ignoring the case of 'A'-'Z' only, the same on every host and in every
// locale: the stub's own comparisons and its packer's, in UTF-16 units.

inline constexpr char16_t FoldAscii(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 0x20) : c;
}

inline constexpr bool StartsWithAsciiNoCase(const char16_t *text, const char16_t *prefix) {
  for (unsigned i = 0; prefix[i] != u'\0'; ++i) {
    // A shorter text meets its own NUL here, which no prefix character equals.
    if (FoldAscii(text[i]) != FoldAscii(prefix[i])) {
      return false;
    }
  }
  return true;
}
