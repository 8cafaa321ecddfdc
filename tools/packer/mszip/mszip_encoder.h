// SPDX-License-Identifier: Zlib
// mszip/: MSZIP, the cabinet's deflate method: one raw deflate stream per data block, behind "CK".
#pragma once

#include <cstddef>
#include <string>

#include <zlib.h>

namespace packer {

// One raw deflate stream per block. Resetting per block gives each block its own final deflate
// block, which the readers require; the preset dictionary hands over the 32 KiB of history that
// the readers keep between blocks.
class MszipEncoder {
public:
  // `what` names the input in messages; it must outlive the encoder.
  explicit MszipEncoder(const std::string &what);
  ~MszipEncoder();
  MszipEncoder(const MszipEncoder &) = delete;
  MszipEncoder &operator=(const MszipEncoder &) = delete;

  // Deflates `size` bytes of `data` after `history_size` bytes of `history` (0 for the first
  // block) into `out`. Returns the number of bytes written; throws PackError when zlib fails or
  // the block does not fit in `capacity`.
  std::size_t Encode(const unsigned char *data, std::size_t size, const unsigned char *history,
                     std::size_t history_size, unsigned char *out, std::size_t capacity);

private:
  z_stream stream_{};
  const std::string &what_;
};

} // namespace packer
