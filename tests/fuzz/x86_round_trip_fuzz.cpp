// SPDX-License-Identifier: Zlib
// The LZX round trip over data that looks like x86 code, made from the fuzzer's bytes: uniform
// random bytes rarely give the encoder matches, calls or frame edges to get wrong. The input is a
// program for a small generator: the first byte picks the window (15, 18 or 21) and the parse, each
// further step emits code-like bytes, an E8 call, a repeat at a chosen distance, a run across a
// frame's end, an E8 in a frame's last bytes, or incompressible filler up to the window's edge.
#include <algorithm>

#include "base/little_endian.h"
#include "fuzz/fuzz_support.h"
#include "lzx/lzx_format.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The fuzzer's bytes, read from the front; zeros once they run out.
class Program {
public:
  Program(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
  bool Done() const { return next_ == size_; }
  std::uint8_t Byte() { return next_ < size_ ? data_[next_++] : 0; }
  std::uint32_t Word() {
    const std::uint32_t low = Byte();
    return low | std::uint32_t{Byte()} << 8;
  }

private:
  const std::uint8_t *data_;
  std::size_t size_;
  std::size_t next_ = 0;
};

// Filler that no earlier byte matches for long (xorshift32).
void AddNoise(Bytes &out, std::size_t count, std::uint32_t &state) {
  for (std::size_t i = 0; i < count; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    out.push_back(static_cast<std::uint8_t>(state));
  }
}

// Filler up to `position` when that is ahead and at most `most` bytes away.
void NoiseTo(Bytes &out, std::size_t position, std::size_t most, std::uint32_t &state) {
  if (position > out.size() && position - out.size() <= most) {
    AddNoise(out, position - out.size(), state);
  }
}

void AddCall(Bytes &out, Program &p) {
  // Near targets, as in real code, or far ones that fall outside the translated range.
  const bool far = p.Byte() & 1;
  const std::uint32_t operand = far ? p.Word() * 0x10001u : p.Word() - 0x8000u;
  out.push_back(0xE8);
  out.resize(out.size() + 4);
  packer::Put32(out.data() + out.size() - 4, operand);
}

// A repeat of earlier bytes: at the window's farthest distance, around one frame, anywhere, or
// overlapping itself.
void AddRepeat(Bytes &out, Program &p, std::size_t window) {
  const std::size_t small = p.Byte() % 16;
  std::size_t distance;
  switch (p.Byte() % 4) {
  case 0:
    distance = window - 1 - small; // around the largest LZX distance, window - 3
    break;
  case 1:
    distance = packer::kLzxFrameSize + small - 8;
    break;
  case 2:
    distance = 1 + p.Word() * 32;
    break;
  default:
    distance = 1 + small;
  }
  distance = std::clamp<std::size_t>(distance, 1, out.size());
  const std::size_t length = 2 + p.Byte();
  const std::size_t longer = (p.Byte() % 4) * 256;
  for (std::size_t i = 0; i < length + longer; ++i) {
    out.push_back(out[out.size() - distance]);
  }
}

Bytes Generate(Program &p, std::size_t window) {
  // Past the window's edge by a few frames, and no further: the rest adds time, not cases.
  const std::size_t limit = window + 3 * packer::kLzxFrameSize;
  Bytes out = {'M', 'Z'};
  std::uint32_t noise = 0x9E3779B9u;
  while (!p.Done() && out.size() < limit) {
    const std::size_t frame_end = (out.size() / packer::kLzxFrameSize + 1) * packer::kLzxFrameSize;
    switch (p.Byte() % 7) {
    case 0:
      for (unsigned n = p.Byte() % 32 + 1; n != 0; --n) {
        out.push_back(p.Byte());
      }
      break;
    case 1:
      AddCall(out, p);
      break;
    case 2:
      AddRepeat(out, p, window);
      break;
    case 3: { // a run of one byte across the frame's end
      const std::size_t before = p.Byte() % 64 + 1;
      NoiseTo(out, frame_end - before, packer::kLzxFrameSize, noise);
      const std::size_t length = 2 * before + p.Byte() % 3;
      out.insert(out.end(), length, p.Byte());
      break;
    }
    case 4: // a call in the last bytes of a frame, where translation stops
      NoiseTo(out, frame_end - 16 + p.Byte() % 16, packer::kLzxFrameSize, noise);
      AddCall(out, p);
      break;
    case 5:
      NoiseTo(out, window - p.Byte() * 16u, window, noise);
      break;
    default:
      AddNoise(out, p.Byte() * 64u, noise);
    }
  }
  out.resize(std::min(out.size(), limit));
  return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const unsigned window_bits[] = {15, 18, 21};
  // The default parse half the time, the strongest and the fast one a quarter each.
  const packer::LzxParse parses[] = {packer::LzxParse::kNearOptimal, packer::LzxParse::kNearOptimal,
                                     packer::LzxParse::kMax, packer::LzxParse::kFast};
  const packer::CabinetMethod method{packer::CabinetCompression::kLzx, window_bits[data[0] % 3],
                                     parses[data[0] / 3 % 4]};
  Program program(data + 1, size - 1);
  const Bytes code = Generate(program, std::size_t{1} << method.window_bits);
  packer::fuzz::RoundTrip(code.data(), code.size(), method);
  return 0;
}
