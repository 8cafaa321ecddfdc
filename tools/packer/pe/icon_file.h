// SPDX-License-Identifier: Zlib
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace packer {

inline constexpr std::uint16_t kRtIcon = 3;
inline constexpr std::uint16_t kRtGroupIcon = 14;

// One image of an icon as its directory describes it; a width or height of 0 means 256.
struct IconImage {
  std::uint8_t width = 0, height = 0, colors = 0;
  std::uint16_t planes = 0, bit_count = 0;
  std::uint16_t id = 0;           // in a group: the RT_ICON resource that holds the image
  std::vector<std::uint8_t> data; // a DIB or a whole PNG file

  unsigned Width() const { return width == 0 ? 256 : width; }
  unsigned Height() const { return height == 0 ? 256 : height; }
};

// The images of an .ico file, each a bitmap or a PNG image within the file; anything else is
// refused (status 1) naming `what` and the fault.
std::vector<IconImage> ReadIconFile(const std::vector<std::uint8_t> &bytes,
                                    const std::string &what);

// An RT_GROUP_ICON for `images`, the n-th image held by RT_ICON `first_id + n`.
std::vector<std::uint8_t> WriteIconGroup(const std::vector<IconImage> &images,
                                         std::uint16_t first_id);

// The entries of an RT_GROUP_ICON (without data); none when the bytes are not a group.
std::optional<std::vector<IconImage>> ReadIconGroup(const std::vector<std::uint8_t> &bytes);

} // namespace packer
