#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "input_file.h"

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
