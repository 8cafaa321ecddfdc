// SPDX-License-Identifier: Zlib
#include "pe/icon_file.h"

#include <algorithm>

#include "base/little_endian.h"
#include "base/pack_error.h"

namespace packer {
namespace {

constexpr std::size_t kDirectorySize = 6;
constexpr std::size_t kFileEntrySize = 16;
constexpr std::size_t kGroupEntrySize = 14;
constexpr std::uint16_t kIconType = 1; // 2 is a cursor
constexpr std::uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

bool IsPng(const std::uint8_t *data, std::size_t size) {
  return size >= sizeof kPngSignature &&
         std::equal(std::begin(kPngSignature), std::end(kPngSignature), data);
}

// A BITMAPINFOHEADER or one of its later, longer forms, which is what LoadIcon reads.
bool IsBitmap(const std::uint8_t *data, std::size_t size) {
  if (size < 40) {
    return false;
  }
  const std::uint32_t header = Get32(data);
  return header == 40 || header == 108 || header == 124;
}

} // namespace

std::vector<IconImage> ReadIconFile(const std::vector<std::uint8_t> &bytes,
                                    const std::string &what) {
  const auto refuse = [&](const std::string &why) -> std::vector<IconImage> {
    throw PackError(what + ": " + why);
  };
  if (bytes.size() < kDirectorySize || Get16(&bytes[0]) != 0 || Get16(&bytes[2]) != kIconType) {
    return refuse("not an icon file (.ico)");
  }
  const std::size_t count = Get16(&bytes[4]);
  if (count == 0) {
    return refuse("the icon holds no images");
  }
  if (kDirectorySize + count * kFileEntrySize > bytes.size()) {
    return refuse("the icon is truncated: its directory lists " + std::to_string(count) +
                  " images and the file ends before it");
  }
  std::vector<IconImage> images(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t *entry = &bytes[kDirectorySize + i * kFileEntrySize];
    const std::uint64_t size = Get32(entry + 8), offset = Get32(entry + 12);
    const std::string which = "image " + std::to_string(i + 1);
    if (size == 0 || offset + size > bytes.size()) {
      return refuse(which + " lies beyond the end of the file (offset " + std::to_string(offset) +
                    ", " + std::to_string(size) + " bytes, file of " +
                    std::to_string(bytes.size()) + ")");
    }
    if (offset < kDirectorySize + count * kFileEntrySize) {
      return refuse(which + " overlaps the icon's directory");
    }
    const std::uint8_t *data = &bytes[static_cast<std::size_t>(offset)];
    if (!IsPng(data, size) && !IsBitmap(data, size)) {
      return refuse(which + " is neither a bitmap nor a PNG image");
    }
    IconImage &image = images[i];
    image.width = entry[0];
    image.height = entry[1];
    image.colors = entry[2];
    image.planes = Get16(entry + 4);
    image.bit_count = Get16(entry + 6);
    image.data.assign(data, data + size);
  }
  return images;
}

std::vector<std::uint8_t> WriteIconGroup(const std::vector<IconImage> &images,
                                         std::uint16_t first_id) {
  std::vector<std::uint8_t> group(kDirectorySize + images.size() * kGroupEntrySize);
  Put16(&group[2], kIconType);
  Put16(&group[4], static_cast<std::uint32_t>(images.size()));
  for (std::size_t i = 0; i < images.size(); ++i) {
    const IconImage &image = images[i];
    std::uint8_t *entry = &group[kDirectorySize + i * kGroupEntrySize];
    entry[0] = image.width;
    entry[1] = image.height;
    entry[2] = image.colors;
    Put16(entry + 4, image.planes);
    Put16(entry + 6, image.bit_count);
    Put32(entry + 8, static_cast<std::uint32_t>(image.data.size()));
    Put16(entry + 12, static_cast<std::uint32_t>(first_id + i));
  }
  return group;
}

std::optional<std::vector<IconImage>> ReadIconGroup(const std::vector<std::uint8_t> &bytes) {
  if (bytes.size() < kDirectorySize || Get16(&bytes[0]) != 0 || Get16(&bytes[2]) != kIconType) {
    return std::nullopt;
  }
  const std::size_t count = Get16(&bytes[4]);
  if (kDirectorySize + count * kGroupEntrySize > bytes.size()) {
    return std::nullopt;
  }
  std::vector<IconImage> images(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t *entry = &bytes[kDirectorySize + i * kGroupEntrySize];
    images[i].width = entry[0];
    images[i].height = entry[1];
    images[i].colors = entry[2];
    images[i].planes = Get16(entry + 4);
    images[i].bit_count = Get16(entry + 6);
    images[i].id = Get16(entry + 12);
  }
  return images;
}

} // namespace packer
