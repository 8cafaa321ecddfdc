// SPDX-License-Identifier: Zlib
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "pe/pe_image.h"
#include "pe/resources.h"
#include "platform/input_file.h"

namespace packer {

class Progress;

// The bare stub with a new resource section: what the sections, the headers and the resource
// directory of the packed image will be. Made before anything is written, so that an image
// that cannot be made is refused with nothing at OUT.
//
// The resource section goes last. The base relocations that follow it in the bare stub move up
// into its place (only the data directory refers to them); every other section keeps its
// address and its bytes. The new section starts on a page in the file and in memory, and each
// payload resource on a page of its own, so the loader can map the payload instead of reading
// it before the stub starts.
class PackedImage {
public:
  // `entries` must hold no duplicates (RefuseDuplicates).
  PackedImage(const InputFile &stub, const PeImage &image, std::vector<ResourceEntry> entries);

  std::uint64_t FileSize() const { return file_size_; }
  const std::vector<ResourceEntry> &entries() const { return entries_; }

  // Writes the whole image to `out` and then its checksum. `out` must be new, nothing written to
  // it yet: the image goes out through a buffer of its own, and `out` is made unbuffered.
  // `out_name` names the output in messages; `progress`, when given, advances by every byte
  // written.
  void Write(std::FILE *out, const std::string &out_name, Progress *progress = nullptr) const;

private:
  std::uint64_t MoveRelocations(const SectionHeader &rsrc, std::vector<SectionHeader> &sections);
  SectionHeader PlaceResourceSection(const SectionHeader &rsrc, std::uint64_t next_rva);
  void WriteHeaders(const std::vector<SectionHeader> &sections,
                    const SectionHeader *moved_relocations, std::uint32_t old_resource_raw_size);
  void LayOutResources(std::uint32_t section_rva);

  const InputFile &stub_;
  const PeImage &image_;
  std::vector<ResourceEntry> entries_;
  std::vector<std::uint8_t> headers_;
  std::uint64_t copied_end_ = 0;        // bare stub bytes kept as they are: [SizeOfHeaders, this)
  std::uint32_t relocation_offset_ = 0; // the relocations' file data, moved to copied_end_
  std::uint32_t relocation_size_ = 0;
  std::uint32_t resource_offset_ = 0; // the new section in the file
  std::uint32_t resource_raw_size_ = 0;
  std::vector<std::uint8_t> resource_head_; // directories, data entries and names
  std::vector<std::uint64_t> data_offsets_; // each entry's data, from the section's start
  std::uint64_t resource_size_ = 0;
  std::uint64_t image_size_ = 0;
  std::uint64_t file_size_ = 0;
};

} // namespace packer
