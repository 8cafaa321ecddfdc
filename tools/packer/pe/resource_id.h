// SPDX-License-Identifier: Zlib
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace packer {

// A resource type or name as the resource directory stores it: an integer identifier, or a
// string of UTF-16 units.
struct ResourceId {
  bool is_integer = false;
  std::uint16_t integer = 0;
  std::u16string text;

  static ResourceId Integer(std::uint16_t value) { return {true, value, {}}; }
  static ResourceId Text(std::u16string value) { return {false, 0, std::move(value)}; }
  bool operator==(const ResourceId &other) const = default;
  // For messages: the digits of an identifier, or the name in UTF-8 (the start of a long one).
  std::string Display() const;
};

// The order of a directory's entries: names before identifiers; names by their UTF-16 units, a
// name before any longer one it begins (the comparison the platform's binary search makes);
// identifiers ascending. A lookup misses entries that are out of this order.
bool DirectoryOrder(const ResourceId &a, const ResourceId &b);

// A TYPE or NAME as given on the command line: digits only are an integer identifier (1-65535),
// anything else a name, which must be valid UTF-8, at most 65,535 UTF-16 units and must not
// begin with "#" (FindResourceW reads "#12" as the identifier 12). `what` names the argument.
ResourceId ParseResourceId(const std::string &text, const std::string &what);

// Strict UTF-8 (no overlong forms, surrogates or values past U+10FFFF); throws naming `what`.
std::u16string Utf8ToUtf16(std::string_view text, const std::string &what);
std::string Utf16ToUtf8(std::u16string_view text);

// The name as FindResourceW looks it up: every unit through the platform's upper-case table.
std::u16string UpcaseName(std::u16string_view text);

// Case is ignored for 'A'-'Z' only, as the stub compares names.
bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix);

} // namespace packer
