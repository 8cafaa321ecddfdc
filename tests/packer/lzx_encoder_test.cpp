// SPDX-License-Identifier: Zlib
#include "lzx/lzx_encoder.h"

#include "base/byte_stream.h"
#include "cabinet/cabinet.h"
#include "lzx/lzx_format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace fs = std::filesystem;
using namespace packer;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kFrame = kLzxFrameSize;

// What the encoder handed its sink, frame by frame, and whether each group's payloads had the
// sizes its layout computed before writing them.
struct Encoded {
  std::vector<Bytes> payloads;
  std::vector<LzxEncoder::Layout> layouts;
};

Encoded Encode(const Bytes &input, unsigned window_bits, LzxParse parse) {
  Encoded out;
  LzxEncoder encoder(
      window_bits, input.size(),
      [&](const std::uint8_t *data, std::size_t size, std::uint32_t) {
        out.payloads.emplace_back(data, data + size);
      },
      parse);
  std::size_t group_start = 0;
  for (std::size_t at = 0; at < input.size(); at += kFrame) {
    const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(kFrame, input.size() - at));
    encoder.AddFrame(input.data() + at, size, at + size == input.size());
    if (out.payloads.size() == group_start)
      continue;
    const LzxEncoder::Layout &layout = encoder.last_layout();
    std::vector<std::uint32_t> written;
    for (std::size_t f = group_start; f < out.payloads.size(); ++f)
      written.push_back(static_cast<std::uint32_t>(out.payloads[f].size()));
    EXPECT_EQ(layout.payload, written) << "group from frame " << group_start;
    out.layouts.push_back(layout);
    group_start = out.payloads.size();
  }
  return out;
}

// cabextract (libmspack) gives `input` back from its LZX cabinet, so a wrong bit fails.
void ExpectCabextractDecodes(const Bytes &input, unsigned window_bits, LzxParse parse) {
  MemorySource source(input);
  MemorySink sink;
  WriteSetupCabinet(source, input.size(), sink, "input",
                    {CabinetCompression::kLzx, window_bits, parse});
  const fs::path dir =
      fs::temp_directory_path() / ("lzx_encoder_test-" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  std::ofstream(dir / "setup.cab", std::ios::binary)
      .write(reinterpret_cast<const char *>(sink.bytes().data()),
             static_cast<std::streamsize>(sink.bytes().size()));
  const std::string command =
      "cabextract -q -d " + (dir / "out").string() + " " + (dir / "setup.cab").string();
  const bool extracted = std::system((command + " >/dev/null 2>&1").c_str()) == 0;
  std::ifstream in(dir / "out" / "setup.exe", std::ios::binary);
  const Bytes decoded((std::istreambuf_iterator<char>(in)), {});
  fs::remove_all(dir);
  EXPECT_TRUE(extracted) << "cabextract fails";
  EXPECT_TRUE(decoded == input) << "cabextract gives other bytes";
}

// Pieces of generated input, appended in turn.
Bytes Random(std::mt19937 &random, std::size_t n) {
  Bytes b(n);
  for (auto &x : b)
    x = static_cast<std::uint8_t>(random());
  return b;
}
Bytes Text(std::mt19937 &random, std::size_t n) {
  static constexpr char kLetters[] = "abcdefgh   \n";
  Bytes b(n);
  for (auto &x : b)
    x = static_cast<std::uint8_t>(kLetters[random() % 12]);
  return b;
}
// Code-like: calls (E8) to a few targets among text, so that translation matters.
Bytes Calls(std::mt19937 &random, std::size_t n) {
  Bytes b = Text(random, n);
  for (std::size_t i = 0; i + 5 <= n; i += 7 + random() % 40) {
    const std::uint32_t target = 4096 * (random() % 8) - static_cast<std::uint32_t>(i);
    b[i] = 0xE8;
    for (int k = 0; k < 4; ++k)
      b[i + 1 + k] = static_cast<std::uint8_t>(target >> 8 * k);
  }
  return b;
}
Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes &p : parts)
    b.insert(b.end(), p.begin(), p.end());
  return b;
}

struct Method {
  unsigned window_bits;
  LzxParse parse;
};
constexpr Method kMethods[] = {
    {15, LzxParse::kNearOptimal}, {21, LzxParse::kMax}, {18, LzxParse::kFast}};

// Each group is written exactly as laid out: the sink receives the payload sizes computed before
// a bit was written (Encode checks), no payload outgrows a data block, and a decoder gives the
// input back.
TEST(LzxEncoder, WritesEachGroupAsLaidOut) {
  std::mt19937 random(31);
  const struct {
    const char *name;
    Bytes input;
  } rows[] = {
      {"one byte", Text(random, 1)},
      {"eleven bytes", Text(random, 11)},
      {"one frame less a byte", Text(random, kFrame - 1)},
      {"one frame and a byte", Text(random, kFrame + 1)},
      {"a group", Text(random, 8 * kFrame)},
      {"a group and a byte", Text(random, 8 * kFrame + 1)},
      {"three random frames", Random(random, 3 * kFrame)},
      {"nine random frames and some", Random(random, 9 * kFrame + 777)},
      // A frame the others' codes would code badly.
      {"a random frame among text",
       Join({Text(random, 3 * kFrame), Random(random, kFrame), Text(random, 4 * kFrame + 555)})},
      {"a program", Join({Bytes{'M', 'Z'}, Calls(random, 3 * kFrame), Random(random, 999)})},
  };
  for (const auto &row : rows) {
    for (const Method &m : kMethods) {
      SCOPED_TRACE(std::string(row.name) + ", window " + std::to_string(m.window_bits) +
                   ", parse " + std::to_string(static_cast<int>(m.parse)));
      const Encoded encoded = Encode(row.input, m.window_bits, m.parse);
      ASSERT_EQ(encoded.payloads.size(), (row.input.size() + kFrame - 1) / kFrame);
      for (const Bytes &payload : encoded.payloads)
        EXPECT_LE(payload.size(), LzxEncoder::kMaxBlockData);
      ExpectCabextractDecodes(row.input, m.window_bits, m.parse);
    }
  }
}

// A frame is stored when coding it would take more bytes, and only then.
TEST(LzxEncoder, StoresAFrameThatDoesNotCompress) {
  std::mt19937 random(5);
  const struct {
    const char *name;
    Bytes input;
    std::vector<bool> stored; // per frame
  } rows[] = {
      {"text", Text(random, 2 * kFrame + 5000), {false, false, false}},
      {"random", Random(random, 2 * kFrame + 10), {true, true, true}},
      {"random between text",
       Join({Text(random, kFrame), Random(random, kFrame), Text(random, kFrame)}),
       {false, true, false}},
  };
  for (const auto &row : rows) {
    for (const Method &m : kMethods) {
      SCOPED_TRACE(std::string(row.name) + ", parse " + std::to_string(static_cast<int>(m.parse)));
      const Encoded encoded = Encode(row.input, m.window_bits, m.parse);
      ASSERT_EQ(encoded.layouts.size(), 1u);
      std::vector<bool> stored(row.stored.size());
      for (const LzxEncoder::Layout::Block &block : encoded.layouts[0].blocks)
        for (std::size_t f = block.first; f < block.last; ++f)
          stored[f] = block.stored;
      EXPECT_EQ(stored, row.stored);
    }
  }
}

// libmspack reads a cabinet's data 4,096 bytes at a time and learns that the last frame is short
// only on reading into its data block: the frames before it must never end on such a read, and
// the last frame itself need not change for it. Each row sweeps one byte count `m` of a recipe
// over a range where the frames before the last would end on a read for some m; every m must
// decode.
TEST(LzxEncoder, NeverEndsTheFramesBeforeAShortLastOneOnA4096ByteRead) {
  // Frame 0: m random bytes, then text; frame 1: random (`random_frame`) or text; 100 more.
  const auto recipe = [](std::uint32_t m, bool random_frame) {
    std::mt19937 random(7);
    Bytes b = Join({Random(random, m), Text(random, kFrame - m)});
    b = Join({b, random_frame ? Random(random, kFrame) : Text(random, kFrame), Text(random, 100)});
    return b;
  };
  const struct {
    Method method;
    bool random_frame;
    std::uint32_t from, to;
  } rows[] = {
      // The last whole frame is stored whatever the others do: only compressing it helps.
      {{15, LzxParse::kFast}, true, 5976, 5992},
      {{21, LzxParse::kNearOptimal}, true, 6872, 6892},
      // Frames stored instead of compressed move the end.
      {{15, LzxParse::kFast}, false, 2114, 2130},
  };
  for (const auto &row : rows) {
    bool below = false, above = false; // ends just below and just above a read were seen
    for (std::uint32_t m = row.from; m < row.to; ++m) {
      SCOPED_TRACE("m = " + std::to_string(m) + ", parse " +
                   std::to_string(static_cast<int>(row.method.parse)));
      const Bytes input = recipe(m, row.random_frame);
      const Encoded encoded = Encode(input, row.method.window_bits, row.method.parse);
      ASSERT_EQ(encoded.payloads.size(), 3u);
      const std::size_t end = encoded.payloads[0].size() + encoded.payloads[1].size();
      EXPECT_NE(end % 4096, 0u);
      // Only the frames before the last count: the last, text, stays compressed.
      EXPECT_FALSE(encoded.layouts.back().blocks.back().stored);
      below = below || end % 4096 > 4096 - 64;
      above = above || (end % 4096 != 0 && end % 4096 < 64);
      ExpectCabextractDecodes(input, row.method.window_bits, row.method.parse);
    }
    EXPECT_TRUE(below && above) << "the range no longer crosses a read: move it";
  }
}

// The stream header says whether calls were translated: only a stream that starts with "MZ" is.
// Its E8 operands, translated or not, must decode to the input.
TEST(LzxEncoder, TranslatesOnlyAProgram) {
  std::mt19937 random(3);
  const Bytes calls = Calls(random, 2 * kFrame);
  const struct {
    const char *name;
    Bytes input;
    bool translated;
  } rows[] = {
      {"MZ", Join({Bytes{'M', 'Z'}, calls}), true},
      {"ZM", Join({Bytes{'Z', 'M'}, calls}), false},
      {"M alone", Bytes{'M'}, false},
      {"no header", calls, false},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    const Encoded encoded = Encode(row.input, 16, LzxParse::kNearOptimal);
    ASSERT_GE(encoded.payloads[0].size(), 2u);
    // The first bit of the first 16-bit little-endian word.
    EXPECT_EQ((encoded.payloads[0][1] & 0x80) != 0, row.translated);
    ExpectCabextractDecodes(row.input, 16, LzxParse::kNearOptimal);
  }
}

// A call's operand becomes absolute (position + operand) when the decoder would turn it back:
// from -position to under the translation size (12,000,000); an operand that would end at or past
// it wraps below 0. Not in the last 10 bytes of a frame, nor from frame 32,768 (1 GiB) on.
TEST(LzxTranslateCalls, MakesCallsAbsoluteWhereTheDecoderUndoesIt) {
  const struct {
    const char *name;
    std::uint32_t frame_size, index, at;
    std::int32_t operand, expected;
  } rows[] = {
      {"at the start", kFrame, 0, 0, 100, 100},
      {"further on", kFrame, 0, 20, 100, 120},
      {"in a later frame", kFrame, 1, 20, 100, 32768 + 20 + 100},
      {"back to the start", kFrame, 0, 20, -20, 0},
      {"before the start", kFrame, 0, 20, -21, -21},
      {"near the end of the range", kFrame, 0, 20, 11999979, 11999999},
      {"wrapping", kFrame, 0, 20, 11999980, -20},
      {"at the translation size", kFrame, 0, 20, 12000000, 12000000},
      {"11 bytes before the frame's end", kFrame, 0, kFrame - 11, 1, kFrame - 11 + 1},
      {"10 bytes before the frame's end", kFrame, 0, kFrame - 10, 1, 1},
      {"a short frame", 100, 3, 89, 1, 3 * 32768 + 89 + 1},
      {"a short frame's last 10", 100, 3, 90, 1, 1},
      {"the last frame translated", kFrame, 32767, 0, -(32767 * 32768 - 5), 5},
      {"far from the start", kFrame, 32767, 0, -5, -12000005},
      {"past 1 GiB", kFrame, 32768, 0, -(32767 * 32768 + 32768 - 5), -(32767 * 32768 + 32768 - 5)},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    Bytes frame(row.frame_size, 0);
    frame[row.at] = 0xE8;
    for (int k = 0; k < 4; ++k)
      frame[row.at + 1 + k] =
          static_cast<std::uint8_t>(static_cast<std::uint32_t>(row.operand) >> 8 * k);
    LzxTranslateCalls(frame.data(), row.frame_size, row.index);
    std::uint32_t operand = 0;
    for (int k = 0; k < 4; ++k)
      operand |= std::uint32_t{frame[row.at + 1 + k]} << 8 * k;
    EXPECT_EQ(static_cast<std::int32_t>(operand), row.expected);
  }
  // The bytes of a call's operand are never taken for a call.
  Bytes frame(64, 0);
  const Bytes calls = {0xE8, 0xE8, 0x01, 0x00, 0x00, 0x00, 0xE8, 0x01, 0x00, 0x00, 0x00};
  std::copy(calls.begin(), calls.end(), frame.begin());
  LzxTranslateCalls(frame.data(), 64, 0);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 11),
            (Bytes{0xE8, 0xE8, 0x01, 0x00, 0x00, 0x00, 0xE8, 0x07, 0x00, 0x00, 0x00}));
}

} // namespace
