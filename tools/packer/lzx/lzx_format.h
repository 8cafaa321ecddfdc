// SPDX-License-Identifier: Zlib
#pragma once

#include <array>
#include <bit>
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

inline constexpr auto kLzxSlotBases = [] {
  std::array<std::uint32_t, kLzxMaxSlots> bases{};
  for (unsigned s = 0; s < kLzxMaxSlots; ++s)
    bases[s] = LzxSlotBase(s);
  return bases;
}();

// The position slot of a formatted offset: slots 4 to 35 come two per power of two, and from 36 on
// every slot spans 2^17.
inline constexpr unsigned LzxSlotOf(std::uint32_t formatted) {
  if (formatted < 4)
    return formatted;
  if (formatted >= kLzxSlotBases[36])
    return 36 + (formatted - kLzxSlotBases[36]) / (std::uint32_t{1} << 17);
  const unsigned high = static_cast<unsigned>(std::bit_width(formatted)) - 1;
  return 2 * high + ((formatted >> (high - 1)) & 1);
}

// The longest distance a match may have. The format allows 2^N - 3, but 7-Zip gives some matches
// at that distance back wrongly.
inline constexpr std::uint32_t LzxMaxDistance(unsigned window_bits) {
  return (std::uint32_t{1} << window_bits) - 4;
}

// One coded element: a literal (main < 256) or a match (main = 256 + 8 x slot + length header,
// with a length tree symbol when the header is 7, and the offset's footer for slots above 2).
struct LzxItem {
  std::uint16_t main;
  std::uint16_t length_symbol;
  std::uint32_t footer;
};
inline constexpr std::uint16_t kLzxNoLengthSymbol = 0xFFFF;

// The item of a match of `length` in `slot` (0-2: a repeated offset) with `footer`.
inline constexpr LzxItem LzxMatchItem(std::uint32_t length, unsigned slot, std::uint32_t footer) {
  const std::uint32_t header = length - 2 < 7 ? length - 2 : 7;
  return {static_cast<std::uint16_t>(256 + slot * 8 + header),
          header == 7 ? static_cast<std::uint16_t>(length - 9) : kLzxNoLengthSymbol, footer};
}

} // namespace packer
