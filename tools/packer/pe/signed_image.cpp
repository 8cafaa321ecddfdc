// SPDX-License-Identifier: Zlib
#include "pe/signed_image.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/little_endian.h"
#include "base/messages.h"
#include "platform/input_file.h"

namespace packer {
namespace {

constexpr std::uint16_t kWinCertRevision2 = 0x0200;
constexpr std::uint16_t kWinCertTypePkcsSignedData = 0x0002;
constexpr std::uint32_t kWinCertHeader = 8;

std::uint64_t AlignTo8(std::uint64_t n) { return (n + 7) & ~std::uint64_t{7}; }

// The byte ranges a signer rewrites in the headers: the checksum and the security directory
// entry. Empty when `image` is no PE image (the packer wrote one, so a signer broke it).
struct SignerFields {
  std::uint64_t checksum = 0;
  std::uint64_t security_entry = 0;
};

std::optional<SignerFields> FindSignerFields(const InputFile &image) {
  std::uint8_t dos[64];
  if (image.size() < sizeof(dos)) {
    return std::nullopt;
  }
  image.ReadAt(0, dos, sizeof(dos));
  const std::uint64_t pe = Get32(dos + 0x3C);
  std::uint8_t headers[24 + 2];
  if (dos[0] != 'M' || dos[1] != 'Z' || pe + sizeof(headers) > image.size()) {
    return std::nullopt;
  }
  image.ReadAt(pe, headers, sizeof(headers));
  const std::uint64_t optional = pe + 24;
  const std::uint16_t magic = Get16(headers + 24);
  if (Get32(headers) != 0x00004550 || (magic != 0x20B && magic != 0x10B)) {
    return std::nullopt;
  }
  // The data directories follow 96 bytes of fields in PE32, 112 in PE32+; security is the fifth.
  SignerFields fields;
  fields.checksum = optional + 64;
  fields.security_entry = optional + (magic == 0x20B ? 112 : 96) + 4 * 8;
  if (fields.security_entry + 8 > image.size()) {
    return std::nullopt;
  }
  return fields;
}

bool InSignerField(std::uint64_t offset, const SignerFields &f) {
  return (offset >= f.checksum && offset < f.checksum + 4) ||
         (offset >= f.security_entry && offset < f.security_entry + 8);
}

// The first offset below `size` where the two files differ outside the signer's fields.
std::optional<std::uint64_t> FirstChange(const InputFile &a, const InputFile &b, std::uint64_t size,
                                         const SignerFields &fields) {
  std::vector<std::uint8_t> left(1 << 16), right(1 << 16);
  for (std::uint64_t offset = 0; offset < size; offset += left.size()) {
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(left.size(), size - offset));
    a.ReadAt(offset, left.data(), count);
    b.ReadAt(offset, right.data(), count);
    if (std::equal(left.begin(), left.begin() + count, right.begin())) {
      continue;
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (left[i] != right[i] && !InSignerField(offset + i, fields)) {
        return offset + i;
      }
    }
  }
  return std::nullopt;
}

// What is wrong with the certificate table of [start, end) in `file`.
std::optional<std::string> TableFault(const InputFile &file, std::uint64_t start,
                                      std::uint64_t end) {
  std::uint64_t at = start;
  while (at < end) {
    std::uint8_t header[kWinCertHeader];
    if (end - at < sizeof(header)) {
      return "its certificate table is cut short";
    }
    file.ReadAt(at, header, sizeof(header));
    const std::uint32_t length = Get32(header);
    if (length <= kWinCertHeader || length > end - at) {
      return "its certificate table has an entry of an impossible length";
    }
    if (Get16(header + 4) != kWinCertRevision2 || Get16(header + 6) != kWinCertTypePkcsSignedData) {
      return "its certificate table holds something other than an Authenticode signature";
    }
    // Entries are aligned to 8 bytes; the last one may stop short of the table's end by its
    // padding only.
    at = std::min(AlignTo8(at + length), end);
  }
  return std::nullopt;
}

} // namespace

std::optional<std::string> SignedImageFault(const std::string &written,
                                            const std::string &returned) {
  const InputFile image(written, "the image to sign");
  const InputFile result(returned, "the signed image");
  const std::optional<SignerFields> fields = FindSignerFields(image);
  if (!fields || result.size() < image.size()) {
    return "it is not the image it was given: " + std::to_string(result.size()) +
           " bytes, fewer than the " + std::to_string(image.size()) + " it was given";
  }
  if (const auto change = FirstChange(image, result, image.size(), *fields)) {
    return Formatted("it changed the image at byte %llu (0x%llx): only a signature may be added",
                     static_cast<unsigned long long>(*change),
                     static_cast<unsigned long long>(*change));
  }
  std::uint8_t entry[8];
  result.ReadAt(fields->security_entry, entry, sizeof(entry));
  const std::uint64_t table = Get32(entry);
  const std::uint64_t table_size = Get32(entry + 4);
  if (table_size == 0 || result.size() == image.size()) {
    return std::string("it added no signature");
  }
  if (table != AlignTo8(image.size()) || table > result.size()) {
    return std::string("it added more than a signature at the end of the image");
  }
  std::uint8_t padding[8] = {};
  result.ReadAt(image.size(), padding, static_cast<std::size_t>(table - image.size()));
  if (std::any_of(padding, padding + (table - image.size()),
                  [](std::uint8_t b) { return b != 0; })) {
    return std::string("it added more than a signature at the end of the image");
  }
  if (table + table_size != result.size()) {
    return table + table_size < result.size()
               ? std::string("data follows its certificate table")
               : std::string("its certificate table runs past the end of the file");
  }
  return TableFault(result, table, result.size());
}

} // namespace packer
