// SPDX-License-Identifier: Zlib
// --icon on any file: the .ico reader, and the group the packer writes from what it accepts,
// read back as --check reads a stub's group.
#include "fuzz/fuzz_support.h"
#include "pe/icon_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using packer::fuzz::Fault;
  const std::vector<std::uint8_t> bytes(data, data + size);
  // --check reads any stub's group: it may refuse it, never read past it.
  (void)packer::ReadIconGroup(bytes);
  std::vector<packer::IconImage> images;
  try {
    images = packer::ReadIconFile(bytes, "--icon fuzz.ico");
  } catch (const packer::PackError &e) {
    packer::fuzz::ExpectInputError(e);
    return 0;
  }
  if (images.empty() || images.size() > 0xFFFF) {
    Fault("an icon with no images, or more than a group can name, was accepted");
  }
  for (const packer::IconImage &image : images) {
    if (image.data.empty() || image.data.size() > size) {
      Fault("an image larger than the file it came from");
    }
  }
  const auto group = packer::ReadIconGroup(packer::WriteIconGroup(images, 1));
  if (!group || group->size() != images.size()) {
    Fault("the group written for an accepted icon does not read back");
  }
  for (std::size_t i = 0; i < images.size(); ++i) {
    const packer::IconImage &a = images[i], &b = (*group)[i];
    if (a.Width() != b.Width() || a.Height() != b.Height() || a.bit_count != b.bit_count ||
        b.id != i + 1) {
      Fault("the group's entry differs from the icon's");
    }
  }
  return 0;
}
