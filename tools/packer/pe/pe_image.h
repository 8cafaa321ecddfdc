// SPDX-License-Identifier: Zlib
// pe/: the PE32+ image: reading the bare stub, its resource tree and names, and writing the packed
// image.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/little_endian.h"
#include "platform/input_file.h"

namespace packer {

struct SectionHeader {
  std::array<char, 8> name{};
  std::uint32_t virtual_size = 0;
  std::uint32_t virtual_address = 0;
  std::uint32_t raw_size = 0;
  std::uint32_t raw_offset = 0;
  std::uint32_t characteristics = 0;
};

struct DataDirectory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};

inline constexpr unsigned kResourceDirectory = 2;
inline constexpr unsigned kSecurityDirectory = 4;
inline constexpr unsigned kRelocationDirectory = 5;

// The headers of a 64-bit Windows program (PE32+, x86-64), checked for what the packer relies
// on: every offset and size inside the file, sections ascending in memory and in the file.
struct PeImage {
  std::vector<std::uint8_t> headers; // the file's first SizeOfHeaders bytes
  std::uint32_t optional_offset = 0;
  std::uint32_t section_table_offset = 0;
  std::uint32_t file_alignment = 0;
  std::uint32_t section_alignment = 0;
  std::vector<SectionHeader> sections;
  std::vector<DataDirectory> directories;
  std::uint64_t end_of_sections = 0; // where the last section's file data ends

  DataDirectory Directory(unsigned index) const {
    return index < directories.size() ? directories[index] : DataDirectory{};
  }
  // The file offset of `size` bytes at `rva`, which must lie in one section's file data.
  std::uint64_t FileOffset(std::uint32_t rva, std::uint32_t size, const std::string &what) const;
};

PeImage ReadPeImage(const InputFile &file);

// Offsets inside the optional header of a PE32+ image.
namespace optional_header {
inline constexpr unsigned kSizeOfInitializedData = 8;
inline constexpr unsigned kSectionAlignment = 32;
inline constexpr unsigned kFileAlignment = 36;
inline constexpr unsigned kSizeOfImage = 56;
inline constexpr unsigned kSizeOfHeaders = 60;
inline constexpr unsigned kCheckSum = 64;
inline constexpr unsigned kNumberOfRvaAndSizes = 108;
inline constexpr unsigned kDataDirectories = 112;
} // namespace optional_header

inline constexpr unsigned kSectionHeaderSize = 40;

} // namespace packer
