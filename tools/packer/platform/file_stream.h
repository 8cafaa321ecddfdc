// SPDX-License-Identifier: Zlib
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/byte_stream.h"

namespace packer {

// fseek and ftell with 64-bit offsets on every platform: long is 32 bits on Windows.
bool SeekFile(std::FILE *file, std::int64_t offset, int whence);
std::int64_t TellFile(std::FILE *file);

// An open file read from where it stands. The file stays its owner's.
class FileSource final : public ByteSource {
public:
  explicit FileSource(std::FILE *file) : file_(file) {}

  std::size_t Read(std::uint8_t *buffer, std::size_t count) override;
  bool Skip(std::uint64_t count) override;
  bool Failed() const override;

private:
  std::FILE *file_;
  bool skip_failed_ = false;
};

// An open file written from where it stands when this is made. It must be seekable and not in
// append mode, so that Patch can go back. The file stays its owner's.
class FileSink final : public ByteSink {
public:
  explicit FileSink(std::FILE *file) : file_(file), start_(TellFile(file)) {}

  bool Write(const std::uint8_t *data, std::size_t count) override;
  bool Patch(std::uint64_t offset, const std::uint8_t *data, std::size_t count) override;
  bool Flush() override;

private:
  std::FILE *file_;
  std::int64_t start_; // -1: the file cannot be repositioned
  bool failed_ = false;
};

} // namespace packer
