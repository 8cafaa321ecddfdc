// SPDX-License-Identifier: Zlib
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace packer::fuzz {

// Extracts the first file of the cabinet in `cabinet` with libmspack, reading and writing memory
// only (an mspack_system of our own). Returns false, with libmspack's reason in `error`, when
// libmspack cannot open the cabinet or decode its file.
bool ExtractWithLibmspack(const std::vector<std::uint8_t> &cabinet, std::vector<std::uint8_t> &file,
                          std::string &error);

} // namespace packer::fuzz
