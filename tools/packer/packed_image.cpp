// SPDX-License-Identifier: Zlib
#include "packed_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "pack_error.h"
#include "progress.h"

namespace packer {
namespace {

constexpr std::uint32_t kPage = 4096;
constexpr std::uint32_t kDataAlignment = 8;
constexpr std::size_t kCopyBuffer = 1 << 20;

std::uint64_t AlignUp(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// The image checksum of the optional header: 16-bit words added with end-around carry, then the
// file's length. Fed in any pieces; the checksum field itself is written as 0 and so adds
// nothing.
class ImageChecksum {
public:
  void Add(const std::uint8_t *data, std::size_t count) {
    length_ += count;
    if (count != 0 && odd_) {
      sum_ += std::uint64_t{data[0]} << 8;
      ++data;
      --count;
      odd_ = false;
    }
    // In runs of at most 65,536 words, whose sum fits 32 bits: the compiler turns the inner loop
    // into vector adds, which a 64-bit sum would not allow.
    const std::size_t words = count / 2;
    for (std::size_t run = 0; run < words; run += 65536) {
      const std::size_t end = std::min(words, run + 65536);
      std::uint32_t sum = 0;
      for (std::size_t i = run; i < end; ++i) {
        sum += static_cast<std::uint32_t>(data[2 * i] | data[2 * i + 1] << 8);
      }
      sum_ += sum;
    }
    if (count % 2 != 0) {
      sum_ += data[count - 1];
      odd_ = true;
    }
  }
  std::uint32_t Value() const {
    std::uint64_t sum = sum_;
    while (sum >> 16) {
      sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint32_t>(sum + length_);
  }

private:
  std::uint64_t sum_ = 0;
  std::uint64_t length_ = 0;
  bool odd_ = false;
};

class ImageWriter {
public:
  ImageWriter(std::FILE *out, const std::string &name, Progress *progress)
      : out_(out), name_(name), progress_(progress) {}

  void Write(const std::uint8_t *data, std::size_t count) {
    checksum_.Add(data, count);
    if (std::fwrite(data, 1, count, out_) != count) {
      Failed();
    }
    position_ += count;
    if (progress_ != nullptr) {
      progress_->Advance(count);
    }
  }
  void PadTo(std::uint64_t offset) {
    static const std::uint8_t zeros[kPage] = {};
    while (position_ < offset) {
      Write(zeros, static_cast<std::size_t>(std::min<std::uint64_t>(offset - position_, kPage)));
    }
  }
  // Streams `count` bytes of `file` from `offset`; the file must still hold them.
  void Copy(const InputFile &file, std::uint64_t offset, std::uint64_t count) {
    file.Seek(offset);
    buffer_.resize(kCopyBuffer);
    while (count != 0) {
      const std::size_t chunk =
          static_cast<std::size_t>(std::min<std::uint64_t>(count, kCopyBuffer));
      if (std::fread(buffer_.data(), 1, chunk, file.stream()) != chunk) {
        throw PackError(file.what() + ": " + file.path() +
                        (std::ferror(file.stream())
                             ? ": " + std::string(std::strerror(errno))
                             : std::string(" became shorter while it was read")));
      }
      Write(buffer_.data(), chunk);
      count -= chunk;
    }
  }
  void Finish(std::uint64_t checksum_offset) {
    std::uint8_t field[4];
    Put32(field, checksum_.Value());
    if (std::fflush(out_) != 0 || !SeekTo(checksum_offset) || std::fwrite(field, 1, 4, out_) != 4 ||
        std::fflush(out_) != 0) {
      Failed();
    }
  }

private:
  bool SeekTo(std::uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(out_, static_cast<long long>(offset), SEEK_SET) == 0;
#else
    return fseeko(out_, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
  }
  [[noreturn]] void Failed() {
    throw PackError("cannot write " + name_ + ": " + std::strerror(errno));
  }

  std::FILE *out_;
  const std::string &name_;
  Progress *progress_;
  ImageChecksum checksum_;
  std::uint64_t position_ = 0;
  std::vector<std::uint8_t> buffer_;
};

std::uint8_t *SectionHeaderAt(std::vector<std::uint8_t> &headers, const PeImage &image,
                              std::size_t i) {
  return headers.data() + image.section_table_offset + kSectionHeaderSize * i;
}

void PutSection(std::uint8_t *p, const SectionHeader &s) {
  std::memset(p, 0, kSectionHeaderSize);
  std::memcpy(p, s.name.data(), 8);
  Put32(p + 8, s.virtual_size);
  Put32(p + 12, s.virtual_address);
  Put32(p + 16, s.raw_size);
  Put32(p + 20, s.raw_offset);
  Put32(p + 36, s.characteristics);
}

} // namespace

PackedImage::PackedImage(const InputFile &stub, const PeImage &image,
                         std::vector<ResourceEntry> entries)
    : stub_(stub), image_(image), entries_(std::move(entries)), headers_(image.headers) {
  SortEntries(entries_);
  const auto refuse = [&](const std::string &why) {
    throw PackError("cannot rewrite " + stub.what() + " " + stub.path() + ": " + why);
  };
  if (image.Directory(kSecurityDirectory).size != 0) {
    refuse("it is signed (pack the unsigned stub, then sign, or use --sign-cert)");
  }
  if (stub.size() != image.end_of_sections) {
    refuse("data follows its last section");
  }
  const DataDirectory resources = image.Directory(kResourceDirectory);
  const auto rsrc =
      std::find_if(image.sections.begin(), image.sections.end(),
                   [&](const SectionHeader &s) { return s.virtual_address == resources.rva; });
  if (resources.size == 0 || rsrc == image.sections.end()) {
    refuse("it has no resource section of its own");
  }
  const std::size_t rsrc_index = static_cast<std::size_t>(rsrc - image.sections.begin());
  const std::size_t after = image.sections.size() - rsrc_index - 1;
  const DataDirectory relocations = image.Directory(kRelocationDirectory);
  const SectionHeader *reloc = after == 1 ? &image.sections.back() : nullptr;
  if (after > 1 ||
      (after == 1 && (relocations.size == 0 || relocations.rva != reloc->virtual_address ||
                      relocations.size > reloc->virtual_size))) {
    refuse("sections other than the base relocations follow its resources");
  }
  // Only the two directories that move may point into what moves.
  for (unsigned i = 0; i < image.directories.size(); ++i) {
    const DataDirectory d = image.directories[i];
    if (i != kResourceDirectory && i != kRelocationDirectory && d.size != 0 &&
        d.rva + std::uint64_t{d.size} > rsrc->virtual_address) {
      refuse("a data directory points into its resources or what follows them");
    }
  }

  copied_end_ = rsrc->raw_size != 0 ? rsrc->raw_offset : image.end_of_sections;
  std::uint64_t next_rva = rsrc->virtual_address;
  std::vector<SectionHeader> sections(image.sections.begin(), rsrc);
  if (reloc != nullptr) {
    SectionHeader moved = *reloc;
    relocation_offset_ = reloc->raw_offset;
    relocation_size_ = reloc->raw_size;
    moved.virtual_address = rsrc->virtual_address;
    moved.raw_offset = static_cast<std::uint32_t>(copied_end_);
    sections.push_back(moved);
    next_rva =
        AlignUp(std::uint64_t{moved.virtual_address} + std::max(moved.virtual_size, moved.raw_size),
                image.section_alignment);
  }
  const std::uint64_t resource_offset = AlignUp(copied_end_ + relocation_size_, kPage);
  const std::uint64_t resource_rva = AlignUp(next_rva, kPage);
  if (resource_rva >= kFourGiB) {
    refuse("no room for a resource section");
  }
  LayOutResources(static_cast<std::uint32_t>(resource_rva));

  const std::uint64_t raw_size = AlignUp(resource_size_, image.file_alignment);
  const std::uint64_t image_size = AlignUp(resource_rva + resource_size_, image.section_alignment);
  file_size_ = resource_offset + raw_size;
  if (image_size >= kFourGiB || file_size_ >= kFourGiB) {
    throw PackError("the packed stub would reach 4 GiB (" + std::to_string(file_size_) +
                    " bytes): the payload is too large for one Windows program");
  }
  resource_offset_ = static_cast<std::uint32_t>(resource_offset);
  resource_raw_size_ = static_cast<std::uint32_t>(raw_size);
  SectionHeader section = *rsrc;
  section.virtual_address = static_cast<std::uint32_t>(resource_rva);
  section.virtual_size = static_cast<std::uint32_t>(resource_size_);
  section.raw_offset = resource_offset_;
  section.raw_size = resource_raw_size_;
  sections.push_back(section);

  // The headers: section table, data directories, sizes; the checksum is written last.
  for (std::size_t i = 0; i < sections.size(); ++i) {
    PutSection(SectionHeaderAt(headers_, image, i), sections[i]);
  }
  std::uint8_t *optional = headers_.data() + image.optional_offset;
  std::uint8_t *directories = optional + optional_header::kDataDirectories;
  Put32(directories + 8 * kResourceDirectory, section.virtual_address);
  Put32(directories + 8 * kResourceDirectory + 4, section.virtual_size);
  if (reloc != nullptr) {
    Put32(directories + 8 * kRelocationDirectory, sections[rsrc_index].virtual_address);
  }
  Put32(optional + optional_header::kSizeOfImage, static_cast<std::uint32_t>(image_size));
  Put32(optional + optional_header::kSizeOfInitializedData,
        Get32(optional + optional_header::kSizeOfInitializedData) - rsrc->raw_size +
            resource_raw_size_);
  Put32(optional + optional_header::kCheckSum, 0);
}

void PackedImage::LayOutResources(std::uint32_t section_rva) {
  // Directories first (the root, one per type, one per name), then the data entries, then the
  // names, then the data.
  std::vector<std::size_t> type_starts, name_starts;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (i == 0 || !(entries_[i].type == entries_[i - 1].type)) {
      type_starts.push_back(i);
    }
    if (i == 0 || !(entries_[i].type == entries_[i - 1].type) ||
        !(entries_[i].name == entries_[i - 1].name)) {
      name_starts.push_back(i);
    }
  }
  const auto span = [](const std::vector<std::size_t> &starts, std::size_t k, std::size_t end) {
    return (k + 1 < starts.size() ? starts[k + 1] : end) - starts[k];
  };
  // Children of the root are types; of a type, its names; of a name, its languages.
  const std::size_t root_size = 16 + 8 * type_starts.size();
  std::size_t offset = root_size;
  std::vector<std::size_t> type_dir(type_starts.size()), name_dir(name_starts.size());
  std::size_t name_k = 0;
  for (std::size_t t = 0; t < type_starts.size(); ++t) {
    type_dir[t] = offset;
    std::size_t names = 0;
    const std::size_t end = type_starts[t] + span(type_starts, t, entries_.size());
    while (name_k + names < name_starts.size() && name_starts[name_k + names] < end) {
      ++names;
    }
    name_k += names;
    offset += 16 + 8 * names;
  }
  for (std::size_t n = 0; n < name_starts.size(); ++n) {
    name_dir[n] = offset;
    offset += 16 + 8 * span(name_starts, n, entries_.size());
  }
  const std::size_t data_entries = offset;
  offset += 16 * entries_.size();
  // Names, each once per directory that lists it.
  std::vector<std::size_t> type_name(type_starts.size()), name_name(name_starts.size());
  for (std::size_t t = 0; t < type_starts.size(); ++t) {
    if (!entries_[type_starts[t]].type.is_integer) {
      type_name[t] = offset;
      offset += 2 + 2 * entries_[type_starts[t]].type.text.size();
    }
  }
  for (std::size_t n = 0; n < name_starts.size(); ++n) {
    if (!entries_[name_starts[n]].name.is_integer) {
      name_name[n] = offset;
      offset += 2 + 2 * entries_[name_starts[n]].name.text.size();
    }
  }
  // The data in directory order, as resource compilers lay it out: a reader that walks the
  // directory then meets the data that ends the section last.
  const std::uint64_t head_size = offset;
  std::uint64_t end = head_size;
  data_offsets_.assign(entries_.size(), 0);
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    data_offsets_[i] = AlignUp(end, entries_[i].IsPayload() ? kPage : kDataAlignment);
    end = data_offsets_[i] + entries_[i].size;
  }
  resource_size_ = end;
  if (section_rva + resource_size_ >= kFourGiB) {
    throw PackError(
        "the packed stub would reach 4 GiB: the payload is too large for one Windows program");
  }

  std::vector<std::uint8_t> &head = resource_head_;
  head.assign(head_size, 0);
  const auto put_directory = [&](std::size_t at, std::size_t named, std::size_t ids) {
    if (named > 0xFFFF || ids > 0xFFFF) {
      throw PackError("too many resources in one directory");
    }
    Put16(&head[at + 12], static_cast<std::uint32_t>(named));
    Put16(&head[at + 14], static_cast<std::uint32_t>(ids));
  };
  const auto put_entry = [&](std::size_t dir, std::size_t slot, const ResourceId *id,
                             std::size_t name_at, std::uint32_t language, std::uint32_t target) {
    std::uint8_t *p = &head[dir + 16 + 8 * slot];
    Put32(p, id == nullptr    ? language
             : id->is_integer ? id->integer
                              : kNamedEntry | static_cast<std::uint32_t>(name_at));
    Put32(p + 4, target);
  };
  const auto put_name = [&](std::size_t at, const std::u16string &text) {
    Put16(&head[at], static_cast<std::uint32_t>(text.size()));
    for (std::size_t i = 0; i < text.size(); ++i) {
      Put16(&head[at + 2 + 2 * i], text[i]);
    }
  };
  const auto count_named = [&](std::size_t first, std::size_t count, auto id_of) {
    std::size_t named = 0;
    for (std::size_t k = first; k < first + count; ++k) {
      named += !id_of(k).is_integer;
    }
    return named;
  };

  const std::size_t named_types =
      count_named(0, type_starts.size(), [&](std::size_t t) -> const ResourceId & {
        return entries_[type_starts[t]].type;
      });
  put_directory(0, named_types, type_starts.size() - named_types);
  name_k = 0;
  for (std::size_t t = 0; t < type_starts.size(); ++t) {
    const ResourceId &type = entries_[type_starts[t]].type;
    put_entry(0, t, &type, type_name[t], 0,
              kSubdirectoryEntry | static_cast<std::uint32_t>(type_dir[t]));
    if (!type.is_integer) {
      put_name(type_name[t], type.text);
    }
    const std::size_t end_entry = type_starts[t] + span(type_starts, t, entries_.size());
    std::size_t names = 0;
    while (name_k + names < name_starts.size() && name_starts[name_k + names] < end_entry) {
      ++names;
    }
    const auto name_of = [&](std::size_t n) -> const ResourceId & {
      return entries_[name_starts[n]].name;
    };
    const std::size_t named = count_named(name_k, names, name_of);
    put_directory(type_dir[t], named, names - named);
    for (std::size_t k = 0; k < names; ++k) {
      const std::size_t n = name_k + k;
      put_entry(type_dir[t], k, &name_of(n), name_name[n], 0,
                kSubdirectoryEntry | static_cast<std::uint32_t>(name_dir[n]));
      if (!name_of(n).is_integer) {
        put_name(name_name[n], name_of(n).text);
      }
      const std::size_t languages = span(name_starts, n, entries_.size());
      put_directory(name_dir[n], 0, languages);
      for (std::size_t l = 0; l < languages; ++l) {
        const std::size_t i = name_starts[n] + l;
        const std::size_t data_entry = data_entries + 16 * i;
        put_entry(name_dir[n], l, nullptr, 0, entries_[i].language,
                  static_cast<std::uint32_t>(data_entry));
        Put32(&head[data_entry], static_cast<std::uint32_t>(section_rva + data_offsets_[i]));
        Put32(&head[data_entry + 4], static_cast<std::uint32_t>(entries_[i].size));
      }
    }
    name_k += names;
  }
}

void PackedImage::Write(std::FILE *out, const std::string &out_name, Progress *progress) const {
  ImageWriter writer(out, out_name, progress);
  writer.Write(headers_.data(), headers_.size());
  writer.Copy(stub_, headers_.size(), copied_end_ - headers_.size());
  writer.Copy(stub_, relocation_offset_, relocation_size_);
  writer.PadTo(resource_offset_);
  writer.Write(resource_head_.data(), resource_head_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const ResourceEntry &entry = entries_[i];
    writer.PadTo(resource_offset_ + data_offsets_[i]);
    if (entry.InMemory()) {
      writer.Write(entry.bytes.data(), entry.bytes.size());
    } else {
      // Payload files are read whole; one that changed size since it was planned has changed.
      const InputFile file(entry.path, entry.origin);
      if (file.size() != entry.offset + entry.size) {
        throw PackError(entry.origin + ": " + entry.path + " changed while it was packed");
      }
      writer.Copy(file, entry.offset, entry.size);
      if (InputFile(entry.path, entry.origin).size() != file.size()) {
        throw PackError(entry.origin + ": " + entry.path + " changed while it was packed");
      }
    }
  }
  writer.PadTo(file_size_);
  writer.Finish(image_.optional_offset + optional_header::kCheckSum);
}

} // namespace packer
