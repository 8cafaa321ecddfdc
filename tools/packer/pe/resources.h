// SPDX-License-Identifier: Zlib
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pe/pe_image.h"
#include "pe/resource_id.h"
#include "platform/input_file.h"

namespace packer {

inline constexpr std::uint16_t kLanguageUsEnglish = 1033;
inline constexpr std::uint16_t kRtRcdata = 10;
// The high bit of a directory entry: its identifier is a name, its target a subdirectory.
inline constexpr std::uint32_t kNamedEntry = 0x80000000;
inline constexpr std::uint32_t kSubdirectoryEntry = 0x80000000;

// One resource of a stub. Its bytes are held in memory (the bare stub's own, small texts), or
// stream from `path` at `offset` when the image is written.
struct ResourceEntry {
  ResourceId type;
  ResourceId name;
  std::uint16_t language = kLanguageUsEnglish;
  std::uint64_t size = 0;
  std::vector<std::uint8_t> bytes;
  std::string path;
  std::uint64_t offset = 0;
  std::string origin; // what gave it, for messages: "--archive", "the bare stub", ...

  bool InMemory() const { return path.empty(); }
  // "B7" or "BL": the payload, which starts on a page of its own so the loader can map it
  // without reading it.
  bool IsPayload() const;
  std::string Describe() const; // "B7 ONDREL.PACKED.7Z"
};

// Every resource of an image, in directory order, each naming its place in the file: the
// directory is read through the file, so a packed stub's payload is never loaded to list it.
std::vector<ResourceEntry> ReadResources(const InputFile &file, const PeImage &image);

// Reads an entry's data from its place in `file` into memory.
void LoadIntoMemory(ResourceEntry &entry, const InputFile &file);

// Sorts entries into directory order: type, then name, then language.
void SortEntries(std::vector<ResourceEntry> &entries);

// The origin of the bare stub's own resources.
inline constexpr char kBareStubOrigin[] = "the bare stub";

// Refuses two entries of the same type, name and language (a directory holds one), naming
// where each came from. `entries` in directory order.
void RefuseDuplicates(const std::vector<ResourceEntry> &entries);

} // namespace packer
