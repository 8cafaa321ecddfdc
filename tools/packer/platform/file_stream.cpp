// SPDX-License-Identifier: Zlib
#include "platform/file_stream.h"

namespace packer {

bool SeekFile(std::FILE *file, std::int64_t offset, int whence) {
#ifdef _WIN32
  return _fseeki64(file, offset, whence) == 0;
#else
  return fseeko(file, static_cast<off_t>(offset), whence) == 0;
#endif
}

std::int64_t TellFile(std::FILE *file) {
#ifdef _WIN32
  return _ftelli64(file);
#else
  return ftello(file);
#endif
}

std::size_t FileSource::Read(std::uint8_t *buffer, std::size_t count) {
  return std::fread(buffer, 1, count, file_);
}

bool FileSource::Skip(std::uint64_t count) {
  if (!SeekFile(file_, static_cast<std::int64_t>(count), SEEK_CUR))
    skip_failed_ = true;
  return !skip_failed_;
}

bool FileSource::Failed() const { return skip_failed_ || std::ferror(file_) != 0; }

bool FileSink::Write(const std::uint8_t *data, std::size_t count) {
  return std::fwrite(data, 1, count, file_) == count;
}

bool FileSink::Patch(std::uint64_t offset, const std::uint8_t *data, std::size_t count) {
  const std::int64_t end = TellFile(file_);
  if (start_ < 0 || end < 0 ||
      !SeekFile(file_, start_ + static_cast<std::int64_t>(offset), SEEK_SET))
    return false;
  if (std::fwrite(data, 1, count, file_) != count || !SeekFile(file_, end, SEEK_SET))
    failed_ = true;
  return true;
}

bool FileSink::Flush() { return !failed_ && std::fflush(file_) == 0 && !std::ferror(file_); }

} // namespace packer
