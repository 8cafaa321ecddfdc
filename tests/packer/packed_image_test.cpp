// SPDX-License-Identifier: Zlib
#include "pe/packed_image.h"

#include "base/pack_error.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

using namespace packer;

namespace {

using Bytes = std::vector<std::uint8_t>;

ResourceEntry InMemory(ResourceId type, ResourceId name, Bytes bytes) {
  ResourceEntry e;
  e.type = std::move(type);
  e.name = std::move(name);
  e.size = bytes.size();
  e.bytes = std::move(bytes);
  e.origin = "the test";
  return e;
}

// An entry streamed from a file of `bytes` when the image is written.
ResourceEntry InFile(ResourceId type, ResourceId name, const Bytes &bytes,
                     const std::string &file) {
  const std::string path = testing::TempDir() + file;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  ResourceEntry e = InMemory(std::move(type), std::move(name), {});
  e.size = bytes.size();
  e.path = path;
  return e;
}

Bytes Pattern(std::size_t size, unsigned seed) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i)
    b[i] = static_cast<std::uint8_t>((i * 131 + seed) >> 3);
  return b;
}

// The optional header's checksum, computed apart from the packer: 16-bit words added with
// end-around carry, the checksum field counted as 0, then the file's length.
std::uint32_t ImageChecksum(Bytes file, std::size_t field) {
  std::fill_n(file.begin() + field, 4, 0);
  file.push_back(0);
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i + 1 < file.size(); i += 2) {
    sum += file[i] | file[i + 1] << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<std::uint32_t>(sum + file.size() - 1);
}

// The packed image at path read back: every entry with its bytes, the payload on pages of its
// own and the rest 8-byte aligned, and the image's own checksum.
void ExpectReadBack(const std::vector<ResourceEntry> &entries, const std::string &path) {
  const InputFile file(path, "the packed stub");
  const PeImage image = ReadPeImage(file);
  std::vector<ResourceEntry> back = ReadResources(file, image);
  ASSERT_EQ(back.size(), entries.size());
  for (std::size_t i = 0; i < back.size(); ++i) {
    SCOPED_TRACE(entries[i].Describe());
    EXPECT_EQ(back[i].type, entries[i].type);
    EXPECT_EQ(back[i].name, entries[i].name);
    EXPECT_EQ(back[i].language, entries[i].language);
    EXPECT_EQ(back[i].size, entries[i].size);
    if (back[i].size != 0) {
      EXPECT_EQ(back[i].offset % (back[i].IsPayload() ? 4096 : 8), 0u) << back[i].offset;
    }
    LoadIntoMemory(back[i], file);
    ResourceEntry expected = entries[i];
    if (!expected.InMemory())
      LoadIntoMemory(expected, InputFile(expected.path, expected.origin));
    EXPECT_TRUE(back[i].bytes == expected.bytes) << "the data differs";
  }
  std::ifstream in(path, std::ios::binary);
  const Bytes bytes(std::istreambuf_iterator<char>(in), {});
  const std::size_t field = image.optional_offset + optional_header::kCheckSum;
  EXPECT_EQ(Get32(bytes.data() + field), ImageChecksum(bytes, field));
}

// The bare stub, named first in PACKER_TEST_PROGRAMS; empty when the test runs without it.
std::string BarePath() {
  const char *programs = std::getenv("PACKER_TEST_PROGRAMS");
  return programs == nullptr ? ""
                             : std::string(programs).substr(0, std::string(programs).find(':'));
}

// The bare stub's own entries, in memory, with `added`, in directory order.
std::vector<ResourceEntry> WithBareEntries(const InputFile &bare, const PeImage &image,
                                           const std::vector<ResourceEntry> &added) {
  std::vector<ResourceEntry> entries = ReadResources(bare, image);
  for (ResourceEntry &e : entries)
    LoadIntoMemory(e, bare);
  entries.insert(entries.end(), added.begin(), added.end());
  SortEntries(entries);
  return entries;
}

// The bare stub with resources added, written and read back through the resource reader.
TEST(PackedImage, ReadsBackEveryEntryAlignedWithItsChecksum) {
  const std::string bare_path = BarePath();
  if (bare_path.empty()) {
    GTEST_SKIP() << "PACKER_TEST_PROGRAMS names the bare stub first";
  }
  struct Case {
    std::string label;
    std::vector<ResourceEntry> added;
  };
  const Case cases[] = {
      {"nothing added", {}},
      {"a full payload of odd sizes",
       {InMemory(ResourceId::Text(u"B7"), ResourceId::Text(u"ONDREL.PACKED.7Z"), Pattern(5001, 1)),
        InMemory(ResourceId::Text(u"BL"), ResourceId::Text(u"SETUP.EX_"), Pattern(4097, 2)),
        InMemory(ResourceId::Integer(kRtRcdata), ResourceId::Integer(1), Pattern(7, 3))}},
      {"names of every length, empty data and integer types",
       {InMemory(ResourceId::Text(u"B7"), ResourceId::Text(u"ONDREL"), Pattern(1, 4)),
        InMemory(ResourceId::Text(u"B7"), ResourceId::Text(u"SETUP.PATCH"), Pattern(3, 5)),
        InMemory(ResourceId::Text(u"ZZ"), ResourceId::Text(std::u16string(300, u'N')), {}),
        InMemory(ResourceId::Text(u"ZZ"), ResourceId::Text(u"\u540D"), Pattern(9, 6)),
        InMemory(ResourceId::Integer(300), ResourceId::Integer(7), Pattern(100, 7))}},
      // Streamed through the writer's buffer in pieces of every alignment; bytes of 0xFF carry
      // out of every add of the checksum.
      {"payload files larger than the write buffer, of odd sizes",
       {InFile(ResourceId::Text(u"B7"), ResourceId::Text(u"ONDREL.PACKED.7Z"), Bytes(300001, 0xFF),
               "packed_image_test.7z"),
        InFile(ResourceId::Text(u"BL"), ResourceId::Text(u"SETUP.EX_"), Pattern(200003, 8),
               "packed_image_test.cab"),
        InMemory(ResourceId::Integer(kRtRcdata), ResourceId::Integer(1), Pattern(131073, 9))}},
  };
  const std::string out_path = testing::TempDir() + "packed_image_test.exe";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    const InputFile bare(bare_path, "the bare stub");
    const PeImage bare_image = ReadPeImage(bare);
    const std::vector<ResourceEntry> entries = WithBareEntries(bare, bare_image, c.added);
    {
      const PackedImage packed(bare, bare_image, entries);
      std::unique_ptr<std::FILE, int (*)(std::FILE *)> out(std::fopen(out_path.c_str(), "wb"),
                                                           &std::fclose);
      ASSERT_TRUE(out);
      packed.Write(out.get(), out_path);
    }

    ExpectReadBack(entries, out_path);
  }
  std::filesystem::remove(out_path);
}

// A full disk stops the write with one line naming the output and the cause, whether it shows
// at the first full buffer or only when the last piece goes out.
TEST(PackedImage, SaysWhenTheDiskIsFull) {
  const std::string bare_path = BarePath();
  if (bare_path.empty() || !std::filesystem::exists("/dev/full")) {
    GTEST_SKIP() << "needs the bare stub (PACKER_TEST_PROGRAMS) and /dev/full";
  }
  const struct {
    const char *label;
    std::size_t payload;
  } cases[] = {{"an image smaller than the write buffer", 0},
               {"a payload of several buffers", 300001}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    const InputFile bare(bare_path, "the bare stub");
    const PeImage bare_image = ReadPeImage(bare);
    std::vector<ResourceEntry> added;
    if (c.payload != 0)
      added.push_back(InMemory(ResourceId::Text(u"B7"), ResourceId::Text(u"ONDREL.PACKED.7Z"),
                               Pattern(c.payload, 10)));
    const PackedImage packed(bare, bare_image, WithBareEntries(bare, bare_image, added));
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> out(std::fopen("/dev/full", "wb"),
                                                         &std::fclose);
    ASSERT_TRUE(out);
    try {
      packed.Write(out.get(), "out.exe");
      ADD_FAILURE() << "the write succeeded";
    } catch (const PackError &e) {
      EXPECT_STREQ(e.what(), "cannot write out.exe: No space left on device");
    }
  }
}

} // namespace
