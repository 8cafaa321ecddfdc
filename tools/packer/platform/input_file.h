// SPDX-License-Identifier: Zlib
// platform/: what differs between Linux and Windows: files in and out, native paths, and signing
// through osslsigncode.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace packer {

// Resources and the packed image address data with 32-bit sizes and offsets.
inline constexpr std::uint64_t kFourGiB = std::uint64_t{1} << 32;

// One input file, open for reading: a regular file under 4 GiB. `what` names it in messages
// ("--archive", "the bare stub").
class InputFile {
public:
  InputFile(const std::string &path, const std::string &what);

  const std::string &path() const { return path_; }
  const std::string &what() const { return what_; }
  std::uint64_t size() const { return size_; }
  std::FILE *stream() const { return stream_.get(); }

  // Exactly `count` bytes at `offset`; a shorter read is an error naming the file.
  void ReadAt(std::uint64_t offset, void *buffer, std::size_t count) const;
  // Positions the stream for sequential reads.
  void Seek(std::uint64_t offset) const;

private:
  std::string path_;
  std::string what_;
  std::uint64_t size_ = 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE *)> stream_{nullptr, &std::fclose};
};

// Checks what InputFile would refuse without opening the file for long.
void CheckInputFile(const std::string &path, const std::string &what);

} // namespace packer
