// SPDX-License-Identifier: Zlib
#pragma once

#include <cstdint>

namespace packer {

// Little-endian fields in a byte buffer.
inline std::uint16_t Get16(const std::uint8_t *p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t Get32(const std::uint8_t *p) {
  return Get16(p) | static_cast<std::uint32_t>(Get16(p + 2)) << 16;
}
inline void Put16(std::uint8_t *p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::uint8_t *p, std::uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p + 2, v >> 16);
}

} // namespace packer
