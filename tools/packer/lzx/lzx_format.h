// SPDX-License-Identifier: Zlib
#pragma once

#include <cstdint>

namespace packer {

// Fixed quantities of cabinet LZX.
inline constexpr std::uint32_t kLzxFrameSize = 32768;
inline constexpr unsigned kLzxMinWindowBits = 15;
inline constexpr unsigned kLzxMaxWindowBits = 21;
inline constexpr std::uint32_t kLzxMinMatch = 2;
inline constexpr std::uint32_t kLzxMaxMatch = 257;
inline constexpr unsigned kLzxLengthSymbols = 249;
inline constexpr unsigned kLzxAlignedSymbols = 8;
inline constexpr unsigned kLzxPretreeSymbols = 20;
inline constexpr unsigned kLzxMaxSlots = 50;

// Position slots per window size: the main tree has 256 + 8 x slots symbols.
inline constexpr unsigned LzxPositionSlots(unsigned window_bits) {
  return window_bits == 20 ? 42 : window_bits == 21 ? 50 : 2 * window_bits;
}

// Footer bits of a position slot.
inline constexpr unsigned LzxExtraBits(unsigned slot) {
  return slot < 4 ? 0 : slot < 36 ? slot / 2 - 1 : 17;
}

// The smallest formatted offset (distance + 2) of a position slot.
inline constexpr std::uint32_t LzxSlotBase(unsigned slot) {
  std::uint32_t base = 0;
  for (unsigned s = 0; s < slot; ++s)
    base += std::uint32_t{1} << LzxExtraBits(s);
  return base;
}

} // namespace packer
