// SPDX-License-Identifier: Zlib
#include "pe/pe_image.h"

#include <algorithm>
#include <cstring>

#include "base/pack_error.h"

namespace packer {
namespace {

constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
// The headers of any program the build makes fit one page; more means this is not one.
constexpr std::uint32_t kMaxHeaders = 0x10000;

[[noreturn]] void NotAProgram(const InputFile &file, const std::string &why) {
  throw PackError(file.what() + " is not a 64-bit Windows program (" + why + "): " + file.path());
}

// The DOS stub's pointer and the COFF header behind it.
struct CoffHeader {
  std::uint32_t pe_offset;
  unsigned section_count;
  unsigned optional_size;
};

CoffHeader ReadCoffHeader(const InputFile &file) {
  std::uint8_t dos[64];
  if (file.size() < sizeof(dos)) {
    NotAProgram(file, "too short");
  }
  file.ReadAt(0, dos, sizeof(dos));
  if (dos[0] != 'M' || dos[1] != 'Z') {
    NotAProgram(file, "no MZ header");
  }
  const std::uint32_t pe_offset = Get32(dos + 60);
  std::uint8_t coff[24];
  if (pe_offset > kMaxHeaders || pe_offset + sizeof(coff) > file.size()) {
    NotAProgram(file, "truncated headers");
  }
  file.ReadAt(pe_offset, coff, sizeof(coff));
  if (std::memcmp(coff, "PE\0\0", 4) != 0) {
    NotAProgram(file, "no PE signature");
  }
  if (Get16(coff + 4) != kMachineAmd64) {
    NotAProgram(file, "not built for x86-64");
  }
  return {pe_offset, Get16(coff + 6), Get16(coff + 20)};
}

// The optional header's alignments, then all the headers and the data directories in them.
void ReadOptionalHeader(const InputFile &file, const CoffHeader &coff, PeImage &image) {
  std::uint8_t optional[optional_header::kDataDirectories];
  if (coff.optional_size < sizeof(optional) ||
      image.optional_offset + sizeof(optional) > file.size()) {
    NotAProgram(file, "truncated optional header");
  }
  file.ReadAt(image.optional_offset, optional, sizeof(optional));
  if (Get16(optional) != kPe32PlusMagic) {
    NotAProgram(file, "not PE32+");
  }
  image.section_alignment = Get32(optional + optional_header::kSectionAlignment);
  image.file_alignment = Get32(optional + optional_header::kFileAlignment);
  const std::uint32_t headers_size = Get32(optional + optional_header::kSizeOfHeaders);
  const std::uint32_t directory_count = Get32(optional + optional_header::kNumberOfRvaAndSizes);
  const auto power_of_two = [](std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; };
  if (!power_of_two(image.file_alignment) || !power_of_two(image.section_alignment) ||
      image.file_alignment < 512 || image.file_alignment > image.section_alignment) {
    NotAProgram(file, "unusual alignment");
  }
  if (directory_count > 16 ||
      optional_header::kDataDirectories + 8 * directory_count > coff.optional_size) {
    NotAProgram(file, "damaged data directories");
  }
  const std::uint64_t table_end =
      std::uint64_t{image.section_table_offset} + kSectionHeaderSize * coff.section_count;
  if (headers_size > kMaxHeaders || headers_size < table_end || headers_size > file.size()) {
    NotAProgram(file, "truncated headers");
  }
  image.headers.resize(headers_size);
  file.ReadAt(0, image.headers.data(), headers_size);

  const std::uint8_t *directories =
      image.headers.data() + image.optional_offset + optional_header::kDataDirectories;
  for (unsigned i = 0; i < directory_count; ++i) {
    image.directories.push_back({Get32(directories + 8 * i), Get32(directories + 8 * i + 4)});
  }
}

// The section table, ascending in memory and in the file, every section's data inside the file.
void ReadSections(const InputFile &file, unsigned count, PeImage &image) {
  std::uint64_t next_address = 0;
  std::uint64_t next_offset = image.headers.size();
  for (unsigned i = 0; i < count; ++i) {
    const std::uint8_t *p =
        image.headers.data() + image.section_table_offset + kSectionHeaderSize * i;
    SectionHeader s;
    std::memcpy(s.name.data(), p, 8);
    s.virtual_size = Get32(p + 8);
    s.virtual_address = Get32(p + 12);
    s.raw_size = Get32(p + 16);
    s.raw_offset = Get32(p + 20);
    s.characteristics = Get32(p + 36);
    if (s.virtual_address < next_address) {
      NotAProgram(file, "sections out of order");
    }
    next_address = std::uint64_t{s.virtual_address} + std::max(s.virtual_size, s.raw_size);
    if (s.raw_size != 0) {
      if (s.raw_offset < next_offset || std::uint64_t{s.raw_offset} + s.raw_size > file.size()) {
        NotAProgram(file, "truncated or overlapping sections");
      }
      next_offset = std::uint64_t{s.raw_offset} + s.raw_size;
      image.end_of_sections = next_offset;
    }
    image.sections.push_back(s);
  }
}

} // namespace

std::uint64_t PeImage::FileOffset(std::uint32_t rva, std::uint32_t size,
                                  const std::string &what) const {
  for (const SectionHeader &s : sections) {
    if (rva >= s.virtual_address && rva - s.virtual_address < s.raw_size &&
        size <= s.raw_size - (rva - s.virtual_address)) {
      return std::uint64_t{s.raw_offset} + (rva - s.virtual_address);
    }
  }
  throw PackError(what + " lies outside the file's sections");
}

PeImage ReadPeImage(const InputFile &file) {
  const CoffHeader coff = ReadCoffHeader(file);
  PeImage image;
  image.optional_offset = coff.pe_offset + 24;
  image.section_table_offset = image.optional_offset + coff.optional_size;
  ReadOptionalHeader(file, coff, image);
  ReadSections(file, coff.section_count, image);
  return image;
}

} // namespace packer
