// SPDX-License-Identifier: Zlib
#include "pe/resources.h"

#include <algorithm>
#include <set>

#include "base/pack_error.h"
#include "payload/payload_contract.h"

namespace packer {
namespace {

constexpr unsigned kLevels = 3; // type, name, language

class TreeReader {
public:
  TreeReader(const InputFile &file, const PeImage &image)
      : file_(file), image_(image), root_rva_(image.Directory(kResourceDirectory).rva),
        size_(image.Directory(kResourceDirectory).size),
        root_offset_(image.FileOffset(root_rva_, size_, "the resource directory")) {}

  void Read(std::vector<ResourceEntry> &out) {
    ResourceEntry entry;
    ReadDirectory(0, 0, entry, out);
  }

private:
  std::vector<std::uint8_t> Bytes(std::uint32_t offset, std::uint32_t count) {
    if (offset > size_ || count > size_ - offset) {
      Damaged();
    }
    std::vector<std::uint8_t> bytes(count);
    file_.ReadAt(root_offset_ + offset, bytes.data(), count);
    return bytes;
  }

  [[noreturn]] void Damaged() const {
    throw PackError(file_.what() + " has a damaged resource directory: " + file_.path());
  }

  ResourceId Identifier(std::uint32_t field) {
    if (!(field & kNamedEntry)) {
      return ResourceId::Integer(static_cast<std::uint16_t>(field));
    }
    const std::uint32_t offset = field & ~kNamedEntry;
    const std::vector<std::uint8_t> length = Bytes(offset, 2);
    const std::vector<std::uint8_t> units = Bytes(offset + 2, 2 * Get16(length.data()));
    std::u16string text;
    for (std::size_t i = 0; i < units.size(); i += 2) {
      text.push_back(static_cast<char16_t>(Get16(units.data() + i)));
    }
    return ResourceId::Text(std::move(text));
  }

  void ReadDirectory(std::uint32_t offset, unsigned level, ResourceEntry &entry,
                     std::vector<ResourceEntry> &out) {
    // Each directory is visited once, so a directory that points back into the tree cannot loop.
    if (!visited_.insert(offset).second) {
      Damaged();
    }
    const std::vector<std::uint8_t> header = Bytes(offset, 16);
    const unsigned count = Get16(header.data() + 12) + Get16(header.data() + 14);
    const std::vector<std::uint8_t> entries = Bytes(offset + 16, 8 * count);
    for (unsigned i = 0; i < count; ++i) {
      const std::uint32_t id = Get32(entries.data() + 8 * i);
      const std::uint32_t target = Get32(entries.data() + 8 * i + 4);
      if (level == 0) {
        entry.type = Identifier(id);
      } else if (level == 1) {
        entry.name = Identifier(id);
      } else {
        entry.language = static_cast<std::uint16_t>(id);
      }
      const bool subdirectory = (target & kSubdirectoryEntry) != 0;
      if (subdirectory != (level + 1 < kLevels)) {
        Damaged();
      }
      if (subdirectory) {
        ReadDirectory(target & ~kSubdirectoryEntry, level + 1, entry, out);
      } else {
        ReadData(target, entry, out);
      }
    }
  }

  void ReadData(std::uint32_t offset, ResourceEntry entry, std::vector<ResourceEntry> &out) {
    const std::vector<std::uint8_t> data = Bytes(offset, 16);
    const std::uint32_t rva = Get32(data.data());
    entry.size = Get32(data.data() + 4);
    entry.origin = file_.what();
    const std::uint32_t size = static_cast<std::uint32_t>(entry.size);
    if (size != 0) {
      entry.offset = image_.FileOffset(rva, size, "resource " + entry.Describe());
      entry.path = file_.path();
    }
    out.push_back(std::move(entry));
  }

  const InputFile &file_;
  const PeImage &image_;
  std::uint32_t root_rva_;
  std::uint32_t size_;
  std::uint64_t root_offset_;
  std::set<std::uint32_t> visited_;
};

} // namespace

bool ResourceEntry::IsPayload() const {
  return !type.is_integer &&
         (StartsWithNoCase(type.text, kPayloadType) ||
          StartsWithNoCase(type.text, kCompressedSetupType)) &&
         type.text.size() == 2;
}

std::string ResourceEntry::Describe() const { return type.Display() + " " + name.Display(); }

std::vector<ResourceEntry> ReadResources(const InputFile &file, const PeImage &image) {
  std::vector<ResourceEntry> entries;
  if (image.Directory(kResourceDirectory).size != 0) {
    TreeReader(file, image).Read(entries);
  }
  SortEntries(entries);
  return entries;
}

void LoadIntoMemory(ResourceEntry &entry, const InputFile &file) {
  if (!entry.InMemory()) {
    entry.bytes.resize(static_cast<std::size_t>(entry.size));
    file.ReadAt(entry.offset, entry.bytes.data(), entry.bytes.size());
    entry.path.clear();
    entry.offset = 0;
  }
}

void RefuseDuplicates(const std::vector<ResourceEntry> &entries) {
  for (std::size_t i = 1; i < entries.size(); ++i) {
    const ResourceEntry &a = entries[i - 1], &b = entries[i];
    if (a.type == b.type && a.name == b.name && a.language == b.language) {
      const ResourceEntry &given = b.origin == kBareStubOrigin ? a : b;
      const ResourceEntry &other = &given == &a ? b : a;
      throw PackError(given.origin + ": the resource " + given.Describe() +
                      (other.origin == kBareStubOrigin
                           ? " clashes with one of the stub's own resources"
                           : " is given twice (also by " + other.origin + ")"));
    }
  }
}

void SortEntries(std::vector<ResourceEntry> &entries) {
  std::stable_sort(entries.begin(), entries.end(),
                   [](const ResourceEntry &a, const ResourceEntry &b) {
                     if (!(a.type == b.type)) {
                       return DirectoryOrder(a.type, b.type);
                     }
                     if (!(a.name == b.name)) {
                       return DirectoryOrder(a.name, b.name);
                     }
                     return a.language < b.language;
                   });
}

} // namespace packer
