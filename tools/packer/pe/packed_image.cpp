// SPDX-License-Identifier: Zlib
#include "pe/packed_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "base/pack_error.h"
#include "base/progress.h"
#include "platform/file_stream.h"

namespace packer {
namespace {

constexpr std::uint32_t kPage = 4096;
constexpr std::uint32_t kDataAlignment = 8;
// As cp's: a piece that stays in the core's cache between the read, the checksum and the write.
// 1 MiB pieces went out to memory and back three times: 20 to 35 % more system time per pack.
constexpr std::size_t kCopyBuffer = 1 << 17;

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
    std::size_t i = 0;
#ifdef __SSE2__
    i = AddVectors(data, count);
#endif
    for (; count - i >= 2; i += 2)
      sum_ += static_cast<std::uint32_t>(data[i] | data[i + 1] << 8);
    if (i != count) {
      sum_ += data[i];
      odd_ = true;
    }
  }
  std::uint32_t Value() const { return static_cast<std::uint32_t>(Fold(sum_) + length_); }

private:
#ifdef __SSE2__
  // Adds the words of the first whole 16-byte pieces, returns how many bytes it took. Each word
  // is biased by -0x8000 into a signed one so that pmaddwd adds them in pairs into 32-bit lanes;
  // the bias is added back per run. A lane gains at most 65,536 in magnitude a step, so a run of
  // 16,384 steps stays within 2^31. Word by word, this pass took a tenth of a 100 MiB pack; now
  // it takes a twentieth.
  std::size_t AddVectors(const std::uint8_t *data, std::size_t count) {
    constexpr std::size_t kSteps = 16384;
    constexpr std::int64_t kBias = 8 * 0x8000; // per step: eight words
    const __m128i bias = _mm_set1_epi16(static_cast<short>(0x8000)), ones = _mm_set1_epi16(1);
    std::size_t i = 0;
    while (count - i >= 16) {
      const std::size_t steps = std::min((count - i) / 16, kSteps);
      __m128i lanes = _mm_setzero_si128();
      for (const std::size_t end = i + 16 * steps; i < end; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + i));
        lanes = _mm_add_epi32(lanes, _mm_madd_epi16(_mm_xor_si128(v, bias), ones));
      }
      alignas(16) std::int32_t lane[4];
      _mm_store_si128(reinterpret_cast<__m128i *>(lane), lanes);
      sum_ += static_cast<std::uint64_t>(std::int64_t{lane[0]} + lane[1] + lane[2] + lane[3] +
                                         kBias * static_cast<std::int64_t>(steps));
    }
    return i;
  }
#endif
  // The 16-bit sum with end-around carry: the same modulo 65,535, and 0 only for 0.
  static std::uint64_t Fold(std::uint64_t sum) {
    while (sum >> 16) {
      sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum;
  }

  std::uint64_t sum_ = 0;
  std::uint64_t length_ = 0;
  bool odd_ = false;
};

// Writes the image through a buffer of its own, handed to an unbuffered stream whole: stdio's
// own buffer split every piece into two writes, and a payload is read straight into the free
// part of this one, checksummed there and written, as cp does.
class ImageWriter {
public:
  ImageWriter(std::FILE *out, const std::string &name, Progress *progress)
      : out_(out), name_(name), progress_(progress), buffer_(kCopyBuffer) {
    std::setvbuf(out_, nullptr, _IONBF, 0);
  }

  void Write(const std::uint8_t *data, std::size_t count) {
    while (count != 0) {
      const std::size_t piece = std::min(count, Room());
      std::memcpy(buffer_.data() + filled_, data, piece);
      Filled(piece);
      data += piece;
      count -= piece;
    }
  }
  void PadTo(std::uint64_t offset) {
    while (position_ < offset) {
      const std::size_t piece =
          static_cast<std::size_t>(std::min<std::uint64_t>(offset - position_, Room()));
      std::memset(buffer_.data() + filled_, 0, piece);
      Filled(piece);
    }
  }
  // Streams `count` bytes of `file` from `offset`; the file must still hold them.
  void Copy(const InputFile &file, std::uint64_t offset, std::uint64_t count) {
    file.Seek(offset);
    while (count != 0) {
      const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, Room()));
      if (std::fread(buffer_.data() + filled_, 1, piece, file.stream()) != piece) {
        throw PackError(file.what() + ": " + file.path() +
                        (std::ferror(file.stream())
                             ? ": " + std::string(std::strerror(errno))
                             : std::string(" became shorter while it was read")));
      }
      Filled(piece);
      count -= piece;
    }
  }
  void Finish(std::uint64_t checksum_offset) {
    Flush();
    std::uint8_t field[4];
    Put32(field, checksum_.Value());
    if (!SeekFile(out_, static_cast<std::int64_t>(checksum_offset), SEEK_SET) ||
        std::fwrite(field, 1, 4, out_) != 4 || std::fflush(out_) != 0) {
      Failed();
    }
  }

private:
  // The free part of the buffer.
  std::size_t Room() const { return buffer_.size() - filled_; }
  // The next `count` bytes of the buffer hold data now; a full buffer goes out.
  void Filled(std::size_t count) {
    checksum_.Add(buffer_.data() + filled_, count);
    filled_ += count;
    position_ += count;
    if (progress_ != nullptr) {
      progress_->Advance(count);
    }
    if (filled_ == buffer_.size()) {
      Flush();
    }
  }
  void Flush() {
    if (filled_ != 0 && std::fwrite(buffer_.data(), 1, filled_, out_) != filled_) {
      Failed();
    }
    filled_ = 0;
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
  std::size_t filled_ = 0; // bytes of buffer_ not yet written
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

[[noreturn]] void Refuse(const InputFile &stub, const std::string &why) {
  throw PackError("cannot rewrite " + stub.what() + " " + stub.path() + ": " + why);
}

// Refuses a bare stub this cannot rewrite; returns the index of its resource section, which only
// the base relocations may follow.
std::size_t CheckRewritable(const InputFile &stub, const PeImage &image) {
  const DataDirectory certificates = image.Directory(kSecurityDirectory);
  if (certificates.size != 0) {
    Refuse(stub, "it is signed (pack the unsigned stub, then sign, or use --sign-cert)");
  }
  // --check reads any entry there as a certificate table, so a packed stub would fail it.
  if (certificates.rva != 0) {
    Refuse(stub, "its security directory names a certificate table of no size");
  }
  if (stub.size() != image.end_of_sections) {
    Refuse(stub, "data follows its last section");
  }
  const DataDirectory resources = image.Directory(kResourceDirectory);
  const auto rsrc =
      std::find_if(image.sections.begin(), image.sections.end(),
                   [&](const SectionHeader &s) { return s.virtual_address == resources.rva; });
  if (resources.size == 0 || rsrc == image.sections.end()) {
    Refuse(stub, "it has no resource section of its own");
  }
  const std::size_t rsrc_index = static_cast<std::size_t>(rsrc - image.sections.begin());
  const std::size_t after = image.sections.size() - rsrc_index - 1;
  const DataDirectory relocations = image.Directory(kRelocationDirectory);
  const SectionHeader *reloc = after == 1 ? &image.sections.back() : nullptr;
  if (after > 1 ||
      (after == 1 && (relocations.size == 0 || relocations.rva != reloc->virtual_address ||
                      relocations.size > reloc->virtual_size))) {
    Refuse(stub, "sections other than the base relocations follow its resources");
  }
  // Only the two directories that move may point into what moves.
  for (unsigned i = 0; i < image.directories.size(); ++i) {
    const DataDirectory d = image.directories[i];
    if (i != kResourceDirectory && i != kRelocationDirectory && d.size != 0 &&
        d.rva + std::uint64_t{d.size} > rsrc->virtual_address) {
      Refuse(stub, "a data directory points into its resources or what follows them");
    }
  }
  return rsrc_index;
}

// The entries (in directory order) grouped as the directory lists them: by type, and within a
// type by name; what remains under a name are its languages.
struct DirectoryGroups {
  std::vector<std::size_t> type_starts; // each type's first entry
  std::vector<std::size_t> name_starts; // each name's first entry, over all types
  std::vector<std::size_t> type_names;  // how many names each type has

  std::size_t Languages(std::size_t n, std::size_t entries) const {
    return (n + 1 < name_starts.size() ? name_starts[n + 1] : entries) - name_starts[n];
  }
};

DirectoryGroups GroupEntries(const std::vector<ResourceEntry> &entries) {
  DirectoryGroups groups;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const bool new_type = i == 0 || !(entries[i].type == entries[i - 1].type);
    if (new_type) {
      groups.type_starts.push_back(i);
      groups.type_names.push_back(0);
    }
    if (new_type || !(entries[i].name == entries[i - 1].name)) {
      groups.name_starts.push_back(i);
      ++groups.type_names.back();
    }
  }
  return groups;
}

// Where the parts of the section's head go: directories first (the root, one per type, one per
// name), then the data entries, then the names, each once per directory that lists it.
struct HeadLayout {
  std::vector<std::size_t> type_dir, name_dir;   // each directory
  std::vector<std::size_t> type_name, name_name; // each string identifier (0: an integer one)
  std::size_t data_entries = 0;
  std::size_t size = 0;
};

HeadLayout PlaceHead(const DirectoryGroups &groups, const std::vector<ResourceEntry> &entries) {
  const std::size_t types = groups.type_starts.size(), names = groups.name_starts.size();
  HeadLayout layout{std::vector<std::size_t>(types), std::vector<std::size_t>(names),
                    std::vector<std::size_t>(types), std::vector<std::size_t>(names)};
  std::size_t offset = 16 + 8 * types;
  for (std::size_t t = 0; t < types; ++t) {
    layout.type_dir[t] = offset;
    offset += 16 + 8 * groups.type_names[t];
  }
  for (std::size_t n = 0; n < names; ++n) {
    layout.name_dir[n] = offset;
    offset += 16 + 8 * groups.Languages(n, entries.size());
  }
  layout.data_entries = offset;
  offset += 16 * entries.size();
  for (std::size_t t = 0; t < types; ++t) {
    if (const ResourceId &type = entries[groups.type_starts[t]].type; !type.is_integer) {
      layout.type_name[t] = offset;
      offset += 2 + 2 * type.text.size();
    }
  }
  for (std::size_t n = 0; n < names; ++n) {
    if (const ResourceId &name = entries[groups.name_starts[n]].name; !name.is_integer) {
      layout.name_name[n] = offset;
      offset += 2 + 2 * name.text.size();
    }
  }
  layout.size = offset;
  return layout;
}

// Fills the head that PlaceHead laid out: each directory with its entries, each string
// identifier, and the data entries that point at the data.
class HeadWriter {
public:
  HeadWriter(std::vector<std::uint8_t> &head, const std::vector<ResourceEntry> &entries,
             const std::vector<std::uint64_t> &data_offsets, std::uint32_t section_rva)
      : head_(head), entries_(entries), data_offsets_(data_offsets), section_rva_(section_rva) {}

  void Write(const DirectoryGroups &groups, const HeadLayout &layout) {
    const auto type_of = [&](std::size_t t) -> const ResourceId & {
      return entries_[groups.type_starts[t]].type;
    };
    const std::size_t types = groups.type_starts.size();
    const std::size_t named_types = CountNamed(0, types, type_of);
    PutDirectory(0, named_types, types - named_types);
    std::size_t first_name = 0;
    for (std::size_t t = 0; t < types; ++t) {
      PutEntry(0, t, IdField(type_of(t), layout.type_name[t]),
               kSubdirectoryEntry | static_cast<std::uint32_t>(layout.type_dir[t]));
      PutName(type_of(t), layout.type_name[t]);
      WriteType(groups, layout, layout.type_dir[t], first_name, groups.type_names[t]);
      first_name += groups.type_names[t];
    }
  }

private:
  // The directory of one type at `dir`: its `count` names from `first`, and under each name its
  // languages.
  void WriteType(const DirectoryGroups &groups, const HeadLayout &layout, std::size_t dir,
                 std::size_t first, std::size_t count) {
    const auto name_of = [&](std::size_t n) -> const ResourceId & {
      return entries_[groups.name_starts[n]].name;
    };
    const std::size_t named = CountNamed(first, count, name_of);
    PutDirectory(dir, named, count - named);
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t n = first + k;
      PutEntry(dir, k, IdField(name_of(n), layout.name_name[n]),
               kSubdirectoryEntry | static_cast<std::uint32_t>(layout.name_dir[n]));
      PutName(name_of(n), layout.name_name[n]);
      const std::size_t languages = groups.Languages(n, entries_.size());
      PutDirectory(layout.name_dir[n], 0, languages);
      for (std::size_t l = 0; l < languages; ++l) {
        const std::size_t i = groups.name_starts[n] + l;
        const std::size_t data_entry = layout.data_entries + 16 * i;
        PutEntry(layout.name_dir[n], l, entries_[i].language,
                 static_cast<std::uint32_t>(data_entry));
        Put32(&head_[data_entry], static_cast<std::uint32_t>(section_rva_ + data_offsets_[i]));
        Put32(&head_[data_entry + 4], static_cast<std::uint32_t>(entries_[i].size));
      }
    }
  }

  template <class IdOf>
  static std::size_t CountNamed(std::size_t first, std::size_t count, IdOf id_of) {
    std::size_t named = 0;
    for (std::size_t k = first; k < first + count; ++k) {
      named += !id_of(k).is_integer;
    }
    return named;
  }
  static std::uint32_t IdField(const ResourceId &id, std::size_t name_at) {
    return id.is_integer ? id.integer : kNamedEntry | static_cast<std::uint32_t>(name_at);
  }
  void PutDirectory(std::size_t at, std::size_t named, std::size_t ids) {
    if (named > 0xFFFF || ids > 0xFFFF) {
      throw PackError("too many resources in one directory");
    }
    Put16(&head_[at + 12], static_cast<std::uint32_t>(named));
    Put16(&head_[at + 14], static_cast<std::uint32_t>(ids));
  }
  void PutEntry(std::size_t dir, std::size_t slot, std::uint32_t id, std::uint32_t target) {
    std::uint8_t *p = &head_[dir + 16 + 8 * slot];
    Put32(p, id);
    Put32(p + 4, target);
  }
  void PutName(const ResourceId &id, std::size_t at) {
    if (id.is_integer) {
      return;
    }
    Put16(&head_[at], static_cast<std::uint32_t>(id.text.size()));
    for (std::size_t i = 0; i < id.text.size(); ++i) {
      Put16(&head_[at + 2 + 2 * i], id.text[i]);
    }
  }

  std::vector<std::uint8_t> &head_;
  const std::vector<ResourceEntry> &entries_;
  const std::vector<std::uint64_t> &data_offsets_;
  std::uint32_t section_rva_;
};

} // namespace

PackedImage::PackedImage(const InputFile &stub, const PeImage &image,
                         std::vector<ResourceEntry> entries)
    : stub_(stub), image_(image), entries_(std::move(entries)), headers_(image.headers) {
  SortEntries(entries_);
  const std::size_t rsrc_index = CheckRewritable(stub, image);
  const SectionHeader &rsrc = image.sections[rsrc_index];
  std::vector<SectionHeader> sections(image.sections.begin(),
                                      image.sections.begin() + std::ptrdiff_t(rsrc_index));
  const bool relocations_move = rsrc_index + 1 < image.sections.size();
  const std::uint64_t next_rva = MoveRelocations(rsrc, sections);
  sections.push_back(PlaceResourceSection(rsrc, next_rva));
  WriteHeaders(sections, relocations_move ? &sections[rsrc_index] : nullptr, rsrc.raw_size);
}

// The bare stub's bytes up to its resource section stay; the base relocations, if they follow
// it, move into its place. Returns the first address after them.
std::uint64_t PackedImage::MoveRelocations(const SectionHeader &rsrc,
                                           std::vector<SectionHeader> &sections) {
  copied_end_ = rsrc.raw_size != 0 ? rsrc.raw_offset : image_.end_of_sections;
  if (&rsrc == &image_.sections.back()) {
    return rsrc.virtual_address;
  }
  const SectionHeader &reloc = image_.sections.back();
  SectionHeader moved = reloc;
  relocation_offset_ = reloc.raw_offset;
  relocation_size_ = reloc.raw_size;
  moved.virtual_address = rsrc.virtual_address;
  moved.raw_offset = static_cast<std::uint32_t>(copied_end_);
  sections.push_back(moved);
  return AlignUp(std::uint64_t{moved.virtual_address} +
                     std::max(moved.virtual_size, moved.raw_size),
                 image_.section_alignment);
}

// The new resource section, on a page in the file and in memory, laid out; the bare stub's
// `rsrc` lends it its name and characteristics.
SectionHeader PackedImage::PlaceResourceSection(const SectionHeader &rsrc, std::uint64_t next_rva) {
  const std::uint64_t resource_offset = AlignUp(copied_end_ + relocation_size_, kPage);
  const std::uint64_t resource_rva = AlignUp(next_rva, kPage);
  if (resource_rva >= kFourGiB) {
    Refuse(stub_, "no room for a resource section");
  }
  LayOutResources(static_cast<std::uint32_t>(resource_rva));

  const std::uint64_t raw_size = AlignUp(resource_size_, image_.file_alignment);
  image_size_ = AlignUp(resource_rva + resource_size_, image_.section_alignment);
  file_size_ = resource_offset + raw_size;
  if (image_size_ >= kFourGiB || file_size_ >= kFourGiB) {
    throw PackError("the packed stub would reach 4 GiB (" + std::to_string(file_size_) +
                    " bytes): the payload is too large for one Windows program");
  }
  resource_offset_ = static_cast<std::uint32_t>(resource_offset);
  resource_raw_size_ = static_cast<std::uint32_t>(raw_size);
  SectionHeader section = rsrc;
  section.virtual_address = static_cast<std::uint32_t>(resource_rva);
  section.virtual_size = static_cast<std::uint32_t>(resource_size_);
  section.raw_offset = resource_offset_;
  section.raw_size = resource_raw_size_;
  return section;
}

// The headers: section table, data directories, sizes; the checksum is written last.
void PackedImage::WriteHeaders(const std::vector<SectionHeader> &sections,
                               const SectionHeader *moved_relocations,
                               std::uint32_t old_resource_raw_size) {
  for (std::size_t i = 0; i < sections.size(); ++i) {
    PutSection(SectionHeaderAt(headers_, image_, i), sections[i]);
  }
  const SectionHeader &section = sections.back();
  std::uint8_t *optional = headers_.data() + image_.optional_offset;
  std::uint8_t *directories = optional + optional_header::kDataDirectories;
  Put32(directories + 8 * kResourceDirectory, section.virtual_address);
  Put32(directories + 8 * kResourceDirectory + 4, section.virtual_size);
  if (moved_relocations != nullptr) {
    Put32(directories + 8 * kRelocationDirectory, moved_relocations->virtual_address);
  }
  Put32(optional + optional_header::kSizeOfImage, static_cast<std::uint32_t>(image_size_));
  Put32(optional + optional_header::kSizeOfInitializedData,
        Get32(optional + optional_header::kSizeOfInitializedData) - old_resource_raw_size +
            resource_raw_size_);
  Put32(optional + optional_header::kCheckSum, 0);
}

void PackedImage::LayOutResources(std::uint32_t section_rva) {
  const DirectoryGroups groups = GroupEntries(entries_);
  const HeadLayout layout = PlaceHead(groups, entries_);
  // The data in directory order, as resource compilers lay it out: a reader that walks the
  // directory then meets the data that ends the section last.
  std::uint64_t end = layout.size;
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
  resource_head_.assign(layout.size, 0);
  HeadWriter(resource_head_, entries_, data_offsets_, section_rva).Write(groups, layout);
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
