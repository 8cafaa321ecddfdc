// SPDX-License-Identifier: Zlib
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace packer {

// What the cabinet codecs read: a file in the program (file_stream.h), memory in tests and
// fuzzing. Read strictly forwards, so that a wrapper (a progress reporter, say) sees every byte.
class ByteSource {
public:
  virtual ~ByteSource() = default;
  // Reads up to `count` bytes into `buffer` and returns how many it read: fewer only at the end
  // of the source or when reading fails, which Failed() tells apart.
  virtual std::size_t Read(std::uint8_t *buffer, std::size_t count) = 0;
  // Moves `count` bytes forwards without reading them; past the end, nothing more is read.
  // False when moving fails.
  virtual bool Skip(std::uint64_t count) = 0;
  // Whether a read or a move has failed.
  virtual bool Failed() const = 0;
};

// What the cabinet writer writes: bytes appended in order, a few of them rewritten once their
// value is known (the cabinet's total size goes into its header last).
class ByteSink {
public:
  virtual ~ByteSink() = default;
  // Appends `count` bytes; false when writing fails.
  virtual bool Write(const std::uint8_t *data, std::size_t count) = 0;
  // Rewrites `count` bytes already written, `offset` bytes after the sink's first byte. False
  // when they cannot be reached; a failure to write them shows at Flush.
  virtual bool Patch(std::uint64_t offset, const std::uint8_t *data, std::size_t count) = 0;
  // Hands everything on to its destination; false when that, or any write before, failed.
  virtual bool Flush() = 0;
};

// A source over bytes someone else holds, for as long as this reads them.
class MemorySource final : public ByteSource {
public:
  MemorySource(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
  explicit MemorySource(const std::vector<std::uint8_t> &bytes)
      : MemorySource(bytes.data(), bytes.size()) {}

  std::size_t Read(std::uint8_t *buffer, std::size_t count) override;
  bool Skip(std::uint64_t count) override;
  bool Failed() const override { return false; }

private:
  const std::uint8_t *data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// A sink that keeps what it is given.
class MemorySink final : public ByteSink {
public:
  bool Write(const std::uint8_t *data, std::size_t count) override;
  bool Patch(std::uint64_t offset, const std::uint8_t *data, std::size_t count) override;
  bool Flush() override { return true; }

  const std::vector<std::uint8_t> &bytes() const { return bytes_; }

private:
  std::vector<std::uint8_t> bytes_;
};

} // namespace packer
