// SPDX-License-Identifier: Zlib
#pragma once

#include <cstdint>
#include <vector>

namespace packer {

// Code lengths of a canonical prefix code for `counts`, none longer than `limit`: 0 for a symbol
// never used. At least two symbols get a length (the first unused ones are added at need), so that
// the code is complete, which decoders that build lookup tables require. The same counts always
// give the same lengths.
std::vector<std::uint8_t> HuffmanLengths(const std::vector<std::uint32_t> &counts, unsigned limit);

// The canonical codes for `lengths`: shorter codes first, and by symbol within one length.
std::vector<std::uint16_t> CanonicalCodes(const std::vector<std::uint8_t> &lengths);

} // namespace packer
