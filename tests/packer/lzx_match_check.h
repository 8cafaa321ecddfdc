// SPDX-License-Identifier: Zlib
// What the tests of both LZX match finders check their matches against.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace packer::test {

using Bytes = std::vector<std::uint8_t>;

// `n` bytes drawn from the first `letters` lower-case letters.
inline Bytes RandomLetters(std::mt19937 &random, std::size_t n, unsigned letters) {
  Bytes b(n);
  for (auto &x : b)
    x = static_cast<std::uint8_t>('a' + random() % letters);
  return b;
}

// The longest match of at least three bytes at `position`, up to `limit` bytes, at a distance of
// at most `max_distance`, by trying every earlier position; 0 when there is none.
inline std::uint32_t LongestByHand(const Bytes &b, std::uint32_t position, std::uint32_t limit,
                                   std::uint32_t max_distance) {
  std::uint32_t best = 0;
  for (std::uint32_t at = position > max_distance ? position - max_distance : 0; at < position;
       ++at) {
    std::uint32_t n = 0;
    while (n < limit && b[at + n] == b[position + n])
      ++n;
    best = std::max(best, n);
  }
  return best >= 3 ? best : 0;
}

} // namespace packer::test
