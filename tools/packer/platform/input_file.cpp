// SPDX-License-Identifier: Zlib
#include "platform/input_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "base/pack_error.h"
#include "platform/file_stream.h"
#include "platform/native_path.h"

namespace packer {
namespace fs = std::filesystem;

namespace {

std::uint64_t CheckedSize(const std::string &path, const std::string &what) {
  if (path.empty()) {
    throw PackError(what + ": empty file name");
  }
  std::error_code error;
  const fs::file_status status = fs::status(NativePath(path), error);
  if (status.type() == fs::file_type::not_found) {
    throw PackError(what + ": no such file: " + path);
  }
  if (error) {
    throw PackError(what + ": cannot read " + path + ": " + error.message());
  }
  if (status.type() != fs::file_type::regular) {
    throw PackError(what + ": not a regular file: " + path);
  }
  const std::uint64_t size = fs::file_size(NativePath(path), error);
  if (error) {
    throw PackError(what + ": cannot read " + path + ": " + error.message());
  }
  if (size >= kFourGiB) {
    throw PackError(what + ": larger than 4 GiB: " + path);
  }
  return size;
}

} // namespace

void CheckInputFile(const std::string &path, const std::string &what) { InputFile(path, what); }

InputFile::InputFile(const std::string &path, const std::string &what)
    : path_(path), what_(what), size_(CheckedSize(path, what)) {
  stream_.reset(OpenFile(path, "rb"));
  if (!stream_) {
    throw PackError(what + ": cannot read " + path + ": " + std::strerror(errno));
  }
}

void InputFile::Seek(std::uint64_t offset) const {
  if (!SeekFile(stream_.get(), static_cast<std::int64_t>(offset), SEEK_SET)) {
    throw PackError(what_ + ": cannot read " + path_ + ": " + std::strerror(errno));
  }
}

void InputFile::ReadAt(std::uint64_t offset, void *buffer, std::size_t count) const {
  if (offset > size_ || count > size_ - offset) {
    throw PackError(what_ + " is truncated: " + path_);
  }
  Seek(offset);
  if (std::fread(buffer, 1, count, stream_.get()) != count) {
    throw PackError(what_ + ": cannot read " + path_ +
                    (std::ferror(stream_.get()) ? std::string(": ") + std::strerror(errno)
                                                : std::string(" (it became shorter)")));
  }
}

} // namespace packer
