// SPDX-License-Identifier: Zlib
#include "mszip/mszip_encoder.h"

#include "base/pack_error.h"

namespace packer {

MszipEncoder::MszipEncoder(const std::string &what) : what_(what) {
  if (deflateInit2(&stream_, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
    throw PackError(what_ + ": zlib could not be initialised");
}

MszipEncoder::~MszipEncoder() { deflateEnd(&stream_); }

std::size_t MszipEncoder::Encode(const unsigned char *data, std::size_t size,
                                 const unsigned char *history, std::size_t history_size,
                                 unsigned char *out, std::size_t capacity) {
  if (deflateReset(&stream_) != Z_OK ||
      (history_size != 0 &&
       deflateSetDictionary(&stream_, history, static_cast<uInt>(history_size)) != Z_OK))
    throw PackError(what_ + ": zlib refused to start a block");
  stream_.next_in = const_cast<Bytef *>(data);
  stream_.avail_in = static_cast<uInt>(size);
  stream_.next_out = out;
  stream_.avail_out = static_cast<uInt>(capacity);
  // 32 KiB that does not shrink costs zlib a few stored-block headers, far below the room here.
  if (deflate(&stream_, Z_FINISH) != Z_STREAM_END)
    throw PackError(what_ + ": zlib did not finish a block within " + std::to_string(capacity) +
                    " bytes");
  return capacity - stream_.avail_out;
}

} // namespace packer
