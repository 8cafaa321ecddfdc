// SPDX-License-Identifier: Zlib
// cabinet/: the Microsoft Cabinet container: writing the setup program's cabinet (stored, MSZIP or
// LZX) and checking a cabinet made elsewhere.
#pragma once
#include <cstdint>
#include <string>

#include "base/byte_stream.h"
#include "lzx/lzx_parse.h"

namespace packer {

enum class CabinetCompression { kNone, kMszip, kQuantum, kLzx };

// How a cabinet's folder is compressed: stored, MSZIP, or LZX with a window of 2^15..2^21.
struct CabinetMethod {
  CabinetCompression compression;
  unsigned window_bits;                        // LZX only
  LzxParse lzx_parse = LzxParse::kNearOptimal; // LZX only
};

// Compresses `size` bytes read from `input` into a cabinet written to `output`: "MSCF" 1.3, one
// folder, one file named "setup.exe", compressed by `method` in 32 KiB blocks, each with its
// checksum, a fixed date (2000-01-01 00:00:00) and the archive attribute. The same input gives the
// same bytes. Memory stays bounded: the input is never held whole. The total size goes into the
// header last, through `output.Patch`.
// Returns the cabinet's size in bytes. Throws PackError when the input ends before `size` bytes or
// holds more (it changed while read), when `size` exceeds what one folder can hold
// (65,535 blocks x 32,768 = 2,147,450,880 bytes), or when reading or writing fails. `what` names
// the input in messages.
std::uint64_t WriteSetupCabinet(ByteSource &input, std::uint64_t size, ByteSink &output,
                                const std::string &what, CabinetMethod method);

struct CabinetSummary {
  CabinetCompression compression;
  unsigned window_bits;    // LZX/Quantum window (15..21 for LZX), 0 otherwise
  std::string file_name;   // the one file's name as stored
  std::uint32_t file_size; // its uncompressed size
};

// Reads a cabinet (the next `size` bytes of `input`) and says whether the stub's expansion through
// cabinet.dll can turn it into setup.exe. Returns the summary, or throws PackError with a one-line
// reason: not a cabinet (no "MSCF", truncated, sizes that disagree with the file), not version
// 1.3, continued from or into another cabinet, not exactly one folder or one file, the file not
// at offset 0 of folder 0, a compression cabinet.dll does not decode, data blocks that break the
// block size limits, do not fit inside the file, or whose uncompressed sizes do not add up to the
// file's size. Reserve areas are allowed and skipped. Reads headers and CFDATA headers only;
// never decompresses.
CabinetSummary InspectCabinet(ByteSource &input, std::uint64_t size, const std::string &what);

} // namespace packer
