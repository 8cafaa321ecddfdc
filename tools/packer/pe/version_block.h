// SPDX-License-Identifier: Zlib
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace packer {

inline constexpr std::uint16_t kRtVersion = 16;

// A version number of four 16-bit parts, as the fixed part of a version block holds it.
struct VersionNumber {
  std::array<std::uint16_t, 4> parts{};

  std::uint32_t High() const { return std::uint32_t{parts[0]} << 16 | parts[1]; }
  std::uint32_t Low() const { return std::uint32_t{parts[2]} << 16 | parts[3]; }
  std::string Text() const; // "1.2.3.4"
  bool operator==(const VersionNumber &) const = default;
};

// "A.B.C.D" (one to four parts of 0-65535, missing ones 0: "2.1" is 2.1.0.0) from `option`'s
// value; anything else is a usage error naming the option.
VersionNumber ParseVersionNumber(const std::string &text, const std::string &option);

struct VersionString {
  std::u16string key, value;
  bool operator==(const VersionString &) const = default;
};

// What a version block says: the fixed part's two numbers and the strings of its first table.
struct VersionInfo {
  VersionNumber file, product;
  std::vector<VersionString> strings;
};

// The longest string key the packer writes, in UTF-16 units.
inline constexpr std::size_t kMaxVersionKey = 255;

// A whole VS_VERSIONINFO for US English in UTF-16 (table "040904b0"): the fixed part, the strings
// in the order given, and the translation. Throws (status 2) when it would exceed the 65,535
// bytes its length field can say.
std::vector<std::uint8_t> WriteVersionBlock(const VersionInfo &info);

// The block's fixed part and the strings of its first table; none when the bytes are not a
// version block that Windows would read.
std::optional<VersionInfo> ReadVersionBlock(const std::vector<std::uint8_t> &bytes);

} // namespace packer
