// SPDX-License-Identifier: Zlib
#include "cabinet/cabinet.h"

#include "base/little_endian.h"
#include "base/pack_error.h"
#include "lzx/lzx_encoder.h"
#include "mszip/mszip_encoder.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <vector>

namespace packer {
namespace {

constexpr std::size_t kHeaderSize = 36;
constexpr std::size_t kReserveFieldsSize = 4;
constexpr std::size_t kFolderSize = 8;
constexpr std::size_t kFileEntrySize = 16;
constexpr std::size_t kDataHeaderSize = 8;
constexpr std::size_t kMaxNameSize = 256; // 255 bytes and the NUL

// Readers assume every block but a folder's last fills their whole 32 KiB history.
constexpr std::uint32_t kBlockSize = 32768;
// cabextract and Wine refuse a block with more compressed bytes than this.
constexpr std::uint32_t kMaxBlockData = LzxEncoder::kMaxBlockData;
constexpr std::uint32_t kMaxBlocks = 65535;
constexpr std::uint64_t kMaxFolderBytes = std::uint64_t{kMaxBlocks} * kBlockSize;

constexpr std::uint16_t kFlagPrevious = 0x0001;
constexpr std::uint16_t kFlagNext = 0x0002;
constexpr std::uint16_t kFlagReserve = 0x0004;
constexpr std::uint16_t kMethodNone = 0;
constexpr std::uint16_t kMethodMszip = 1;
constexpr std::uint16_t kMethodLzx = 3;

constexpr char kSetupName[] = "setup.exe";
// A fixed stamp keeps the cabinet reproducible: 2000-01-01 00:00:00, archive attribute only.
constexpr std::uint16_t kDosDate = (2000 - 1980) << 9 | 1 << 5 | 1;
constexpr std::uint16_t kDosTime = 0;
constexpr std::uint16_t kAttribArchive = 0x20;

constexpr std::size_t kSetupHeadersSize =
    kHeaderSize + kFolderSize + kFileEntrySize + sizeof kSetupName;

// The cabinet checksum: LE words XORed; 1-3 leftover bytes are folded in first-byte-highest.
std::uint32_t Sum32(const unsigned char *p, std::size_t n, std::uint32_t seed) {
  std::uint32_t sum = seed;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4)
    sum ^= Get32(p + i);
  std::uint32_t tail = 0;
  for (; i < n; ++i)
    tail = tail << 8 | p[i];
  return sum ^ tail;
}

std::string Grouped(std::uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0)
      grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

std::string Hex4(unsigned v) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text = "0x";
  for (int shift = 12; shift >= 0; shift -= 4)
    text += kDigits[(v >> shift) & 0xF];
  return text;
}

void WriteAll(ByteSink &output, const unsigned char *data, std::size_t size,
              const std::string &what) {
  if (!output.Write(data, size))
    throw PackError(what + ": writing its cabinet failed");
}

// The total size at offset 8 stays 0 until the blocks are written.
void BuildSetupHeaders(unsigned char (&headers)[kSetupHeadersSize], std::uint32_t file_size,
                       std::uint32_t blocks, std::uint16_t type) {
  std::fill(std::begin(headers), std::end(headers), 0);
  unsigned char *header = headers;
  header[0] = 'M', header[1] = 'S', header[2] = 'C', header[3] = 'F';
  Put32(header + 16, kHeaderSize + kFolderSize);
  header[24] = 3;
  header[25] = 1;
  Put16(header + 26, 1);
  Put16(header + 28, 1);
  unsigned char *folder = header + kHeaderSize;
  Put32(folder, kSetupHeadersSize);
  Put16(folder + 4, static_cast<std::uint16_t>(blocks));
  Put16(folder + 6, type);
  unsigned char *file = folder + kFolderSize;
  Put32(file, file_size);
  Put16(file + 10, kDosDate);
  Put16(file + 12, kDosTime);
  Put16(file + 14, kAttribArchive);
  std::copy(std::begin(kSetupName), std::end(kSetupName), file + kFileEntrySize);
}

// Reads a cabinet strictly forwards, never past `size` bytes, so that a damaged offset
// cannot make it read beyond the cabinet.
class CabinetReader {
public:
  CabinetReader(ByteSource &input, std::uint64_t size, const std::string &what)
      : input_(input), size_(size), what_(what) {}

  [[noreturn]] void Fail(const std::string &reason) const {
    throw PackError(what_ + ": " + reason);
  }

  std::uint64_t position() const { return position_; }

  void Read(unsigned char *data, std::size_t count, const std::string &part) {
    if (count > size_ - position_)
      Fail("truncated: " + part + " runs past the end of the " + Grouped(size_) + " bytes");
    if (input_.Read(data, count) != count)
      Fail("truncated: reading failed after " + Grouped(position_) + " bytes");
    position_ += count;
  }

  void SkipTo(std::uint64_t offset, const std::string &part) {
    if (offset < position_)
      Fail(part + " at offset " + Grouped(offset) + " overlaps what comes before it");
    if (offset > size_)
      Fail(part + " runs past the end of the " + Grouped(size_) + " bytes");
    if (!input_.Skip(offset - position_))
      Fail("reading failed after " + Grouped(position_) + " bytes");
    position_ = offset;
  }

private:
  ByteSource &input_;
  std::uint64_t size_;
  std::uint64_t position_ = 0;
  const std::string &what_;
};

// The summary with the compression filled in; the file's fields come later.
CabinetSummary CheckCompression(const CabinetReader &reader, std::uint16_t type) {
  const unsigned method = type & 0x000F;
  const unsigned window = (type >> 8) & 0x1F;
  switch (method) {
  case 0:
    return {CabinetCompression::kNone, 0, {}, 0};
  case 1:
    return {CabinetCompression::kMszip, 0, {}, 0};
  case 2: {
    const unsigned level = (type >> 4) & 0xF;
    if (level < 1 || level > 7 || window < 10 || window > 21)
      reader.Fail("Quantum level " + std::to_string(level) + " window " + std::to_string(window) +
                  " (type " + Hex4(type) + ") is outside levels 1..7, windows 10..21");
    return {CabinetCompression::kQuantum, window, {}, 0};
  }
  case 3:
    if (window < 15 || window > 21)
      reader.Fail("LZX window " + std::to_string(window) + " (type " + Hex4(type) +
                  ") is outside 15..21");
    return {CabinetCompression::kLzx, window, {}, 0};
  default:
    reader.Fail("compression type " + Hex4(type) + " is not one cabinet.dll decodes");
  }
}

std::uint16_t FolderType(CabinetMethod method) {
  if (method.compression == CabinetCompression::kMszip)
    return kMethodMszip;
  if (method.compression == CabinetCompression::kLzx)
    return static_cast<std::uint16_t>(kMethodLzx | method.window_bits << 8);
  return kMethodNone;
}

// Writes a folder's data blocks, each behind its header and checksum, and counts them.
class DataBlockWriter {
public:
  DataBlockWriter(ByteSink &output, const std::string &what) : output_(output), what_(what) {}

  void Write(const unsigned char *ab, std::size_t ab_size, std::uint32_t uncompressed) {
    if (ab_size > kMaxBlockData)
      throw PackError(what_ + ": a data block of " + Grouped(ab_size) + " bytes, more than " +
                      Grouped(kMaxBlockData));
    unsigned char header[kDataHeaderSize];
    Put16(header + 4, static_cast<std::uint16_t>(ab_size));
    Put16(header + 6, static_cast<std::uint16_t>(uncompressed));
    Put32(header, Sum32(header + 4, 4, Sum32(ab, ab_size, 0)));
    WriteAll(output_, header, sizeof header, what_);
    WriteAll(output_, ab, ab_size, what_);
    size_ += kDataHeaderSize + ab_size;
    ++count_;
  }

  std::uint64_t size() const { return size_; }
  std::uint32_t count() const { return count_; }

private:
  ByteSink &output_;
  const std::string &what_;
  std::uint64_t size_ = 0;
  std::uint32_t count_ = 0;
};

// Turns 32 KiB blocks of input into data blocks, compressed by the folder's method.
class FolderEncoder {
public:
  FolderEncoder(CabinetMethod method, std::uint64_t size, DataBlockWriter &blocks,
                const std::string &what)
      : blocks_(blocks) {
    if (method.compression == CabinetCompression::kMszip) {
      mszip_.emplace(what);
      out_.resize(kMaxBlockData);
    } else if (method.compression == CabinetCompression::kLzx) {
      lzx_.emplace(
          method.window_bits, size,
          [&blocks](const unsigned char *ab, std::size_t ab_size, std::uint32_t uncompressed) {
            blocks.Write(ab, ab_size, uncompressed);
          },
          method.lzx_parse);
    }
  }

  // The next block; `history` is the one before it (null for the first).
  void Add(const unsigned char *data, std::size_t count, const unsigned char *history, bool last) {
    const auto size = static_cast<std::uint32_t>(count);
    if (lzx_) {
      lzx_->AddFrame(data, size, last);
    } else if (mszip_) {
      unsigned char *ab = out_.data();
      ab[0] = 'C';
      ab[1] = 'K';
      const std::size_t ab_size = 2 + mszip_->Encode(data, count, history, history ? kBlockSize : 0,
                                                     ab + 2, kMaxBlockData - 2);
      blocks_.Write(ab, ab_size, size);
    } else {
      blocks_.Write(data, count, size);
    }
  }

private:
  DataBlockWriter &blocks_;
  std::optional<MszipEncoder> mszip_;
  std::optional<LzxEncoder> lzx_;
  std::vector<unsigned char> out_;
};

// Feeds exactly `size` bytes of `input` to `encoder`, block by block, and makes sure that
// nothing follows them.
void EncodeInput(ByteSource &input, std::uint64_t size, FolderEncoder &encoder,
                 const std::string &what) {
  // Two input buffers take turns: the previous block is the next one's dictionary.
  std::vector<unsigned char> blocks_in[2] = {std::vector<unsigned char>(kBlockSize),
                                             std::vector<unsigned char>(kBlockSize)};
  std::uint64_t done = 0;
  for (std::uint32_t block = 0; done < size; ++block) {
    const unsigned char *history = block == 0 ? nullptr : blocks_in[(block - 1) % 2].data();
    unsigned char *data = blocks_in[block % 2].data();
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, kBlockSize));
    if (input.Read(data, count) != count) {
      if (input.Failed())
        throw PackError(what + ": reading failed after " + Grouped(done) + " bytes");
      throw PackError(what + ": ended before its " + Grouped(size) +
                      " bytes; it changed while being read");
    }
    done += count;
    encoder.Add(data, count, history, done == size);
  }
}

void CheckInputEnds(ByteSource &input, std::uint64_t size, const std::string &what) {
  unsigned char more;
  if (input.Read(&more, 1) != 0)
    throw PackError(what + ": holds more than its " + Grouped(size) +
                    " bytes; it changed while being read");
  if (input.Failed())
    throw PackError(what + ": reading failed after " + Grouped(size) + " bytes");
}

// What the cabinet header says about the rest: where the file entry starts and the size of the
// reserve areas after the folder entry and in each data block.
struct CabinetLayout {
  std::uint32_t files_offset;
  std::size_t folder_reserve;
  std::size_t data_reserve;
};

CabinetLayout ReadCabinetHeader(CabinetReader &reader, std::uint64_t size) {
  unsigned char header[kHeaderSize];
  reader.Read(header, 4, "the signature");
  if (header[0] != 'M' || header[1] != 'S' || header[2] != 'C' || header[3] != 'F')
    reader.Fail("not a cabinet (no MSCF signature)");
  reader.Read(header + 4, kHeaderSize - 4, "the cabinet header");
  const std::uint32_t cabinet_size = Get32(header + 8);
  if (cabinet_size > size)
    reader.Fail("truncated: its header says " + Grouped(cabinet_size) + " bytes, there are " +
                Grouped(size));
  if (cabinet_size < size)
    reader.Fail("its header says " + Grouped(cabinet_size) + " bytes, the file has " +
                Grouped(size));
  if (header[25] != 1 || header[24] != 3)
    reader.Fail("version " + std::to_string(header[25]) + "." + std::to_string(header[24]) +
                ", not 1.3");
  const std::uint16_t flags = Get16(header + 30);
  if (flags & kFlagPrevious)
    reader.Fail("continued from a previous cabinet");
  if (flags & kFlagNext)
    reader.Fail("continued in a next cabinet");
  const std::uint16_t folders = Get16(header + 26);
  const std::uint16_t files = Get16(header + 28);
  if (folders != 1)
    reader.Fail("holds " + std::to_string(folders) + " folders, not exactly one");
  if (files != 1)
    reader.Fail("holds " + std::to_string(files) + " files, not exactly one");

  CabinetLayout layout{Get32(header + 16), 0, 0};
  if (flags & kFlagReserve) {
    unsigned char sizes[kReserveFieldsSize];
    reader.Read(sizes, sizeof sizes, "the reserve sizes");
    const std::uint16_t header_reserve = Get16(sizes);
    if (header_reserve > 60000)
      reader.Fail("a header reserve of " + Grouped(header_reserve) + " bytes exceeds 60,000");
    layout.folder_reserve = sizes[2];
    layout.data_reserve = sizes[3];
    reader.SkipTo(reader.position() + header_reserve, "the header reserve");
  }
  return layout;
}

// The file entry at `offset`: its name and size into `summary`, refused unless it is the whole
// of folder 0.
void ReadFileEntry(CabinetReader &reader, std::uint32_t offset, CabinetSummary &summary) {
  reader.SkipTo(offset, "the file entry");
  unsigned char file[kFileEntrySize];
  reader.Read(file, sizeof file, "the file entry");
  summary.file_size = Get32(file);
  for (;;) {
    unsigned char c;
    reader.Read(&c, 1, "the file name");
    if (c == 0)
      break;
    if (summary.file_name.size() + 1 == kMaxNameSize)
      reader.Fail("the file name is longer than 255 bytes");
    summary.file_name += static_cast<char>(c);
  }
  const std::uint16_t file_folder = Get16(file + 8);
  if (file_folder != 0)
    reader.Fail("its file is in folder " + Hex4(file_folder) + ", not folder 0");
  if (Get32(file + 4) != 0)
    reader.Fail("its file starts at offset " + Grouped(Get32(file + 4)) + " of its folder, not 0");
  if (summary.file_size > kMaxFolderBytes)
    reader.Fail("its file of " + Grouped(summary.file_size) +
                " bytes is more than one folder holds");
}

// The headers of the folder's `count` data blocks from `offset`: within the block size limits,
// inside the cabinet, and holding the file's bytes exactly.
void CheckDataBlocks(CabinetReader &reader, std::uint32_t offset, std::uint16_t count,
                     std::size_t reserve, const CabinetSummary &summary) {
  reader.SkipTo(offset, "the first data block");
  std::uint64_t uncompressed = 0;
  for (unsigned index = 1; index <= count; ++index) {
    const std::string name = "data block " + std::to_string(index);
    unsigned char block[kDataHeaderSize];
    reader.Read(block, sizeof block, name);
    const std::uint16_t data_size = Get16(block + 4);
    const std::uint16_t block_size = Get16(block + 6);
    if (block_size == 0 || block_size > kBlockSize)
      reader.Fail(name + " holds " + Grouped(block_size) + " bytes, not 1 to 32,768");
    if (index < count && block_size != kBlockSize)
      reader.Fail(name + " holds " + Grouped(block_size) +
                  " bytes; every block but the last must hold 32,768");
    if (data_size > kMaxBlockData)
      reader.Fail(name + " has " + Grouped(data_size) + " compressed bytes, more than 38,912");
    if (summary.compression == CabinetCompression::kNone && data_size != block_size)
      reader.Fail("stored " + name + " has " + Grouped(data_size) + " bytes for " +
                  Grouped(block_size));
    reader.SkipTo(reader.position() + reserve + data_size, name);
    uncompressed += block_size;
  }
  if (uncompressed != summary.file_size)
    reader.Fail("its data blocks add up to " + Grouped(uncompressed) + " bytes, not the file's " +
                Grouped(summary.file_size));
}

} // namespace

std::uint64_t WriteSetupCabinet(ByteSource &input, std::uint64_t size, ByteSink &output,
                                const std::string &what, CabinetMethod method) {
  if (size > kMaxFolderBytes)
    throw PackError(what + ": " + Grouped(size) + " bytes is more than one cabinet folder holds (" +
                    Grouped(kMaxFolderBytes) + ")");
  const auto blocks = static_cast<std::uint32_t>((size + kBlockSize - 1) / kBlockSize);
  unsigned char headers[kSetupHeadersSize];
  BuildSetupHeaders(headers, static_cast<std::uint32_t>(size), blocks, FolderType(method));
  WriteAll(output, headers, sizeof headers, what);

  DataBlockWriter written(output, what);
  {
    FolderEncoder encoder(method, size, written, what);
    EncodeInput(input, size, encoder, what);
  }
  if (written.count() != blocks)
    throw PackError(what + ": wrote " + Grouped(written.count()) + " data blocks for " +
                    Grouped(blocks));
  CheckInputEnds(input, size, what);

  // The total size is known only now; it always fits: 70 + 65,535 x (8 + 38,912) < 2^32.
  const std::uint64_t cabinet_size = sizeof headers + written.size();
  Put32(headers + 8, static_cast<std::uint32_t>(cabinet_size));
  if (!output.Patch(0, headers, sizeof headers))
    throw PackError(what + ": the cabinet's output cannot be repositioned");
  if (!output.Flush())
    throw PackError(what + ": writing its cabinet failed");
  return cabinet_size;
}

CabinetSummary InspectCabinet(ByteSource &input, std::uint64_t size, const std::string &what) {
  CabinetReader reader(input, size, what);
  const CabinetLayout layout = ReadCabinetHeader(reader, size);
  unsigned char folder[kFolderSize];
  reader.Read(folder, sizeof folder, "the folder entry");
  reader.SkipTo(reader.position() + layout.folder_reserve, "the folder reserve");
  CabinetSummary summary = CheckCompression(reader, Get16(folder + 6));
  ReadFileEntry(reader, layout.files_offset, summary);
  CheckDataBlocks(reader, Get32(folder), Get16(folder + 4), layout.data_reserve, summary);
  return summary;
}

} // namespace packer
