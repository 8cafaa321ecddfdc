// SPDX-License-Identifier: Zlib
#include "cabinet/cabinet.h"

#include "base/byte_stream.h"
#include "base/pack_error.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <set>

namespace fs = std::filesystem;
using namespace packer;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Load(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void Save(const fs::path &path, const Bytes &bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

bool Shell(const std::string &command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// The message of the PackError that `action` throws, or why there is none.
std::string Refusal(const std::function<void()> &action) {
  try {
    action();
  } catch (const PackError &e) {
    return e.status == 1 ? e.what() : "status " + std::to_string(e.status);
  }
  return "(no error)";
}

constexpr CabinetMethod kMszip{CabinetCompression::kMszip, 0};

// The cabinet of `input`, declared `declared` bytes long; the size the writer reports must be
// the size it wrote.
Bytes Pack(const Bytes &input, std::uint64_t declared, CabinetMethod method = kMszip) {
  MemorySource source(input);
  MemorySink sink;
  const std::uint64_t size = WriteSetupCabinet(source, declared, sink, "input", method);
  EXPECT_EQ(size, sink.bytes().size());
  return sink.bytes();
}

CabinetSummary Inspect(const Bytes &cabinet) {
  MemorySource source(cabinet);
  return InspectCabinet(source, cabinet.size(), "setup.cab");
}

Bytes Random(std::size_t size) {
  std::mt19937 random(12);
  Bytes bytes(size);
  for (auto &b : bytes)
    b = static_cast<unsigned char>(random());
  return bytes;
}

Bytes Cycle(const Bytes &pattern, std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = pattern[i % pattern.size()];
  return bytes;
}

// Little-endian `value` into `width` bytes at `at`.
void Put(Bytes &b, std::size_t at, std::uint32_t value, int width = 2) {
  for (int i = 0; i < width; ++i)
    b[at + i] = static_cast<unsigned char>(value >> 8 * i);
}

class CabinetTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("cabinet_test-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // cabextract and each of `sevens` (7-Zip's programs) give back `input`; where `optional`, a
  // 7-Zip program that is not installed is passed over and named in passed_over_.
  void ExpectReadersDecode(const Bytes &cabinet, const Bytes &input,
                           const std::vector<std::string> &sevens, bool optional) {
    const std::string cab = (dir_ / "setup.cab").string();
    Save(cab, cabinet);
    fs::remove_all(dir_ / "out");
    ASSERT_TRUE(Shell("cabextract -q -d " + (dir_ / "out").string() + " " + cab));
    EXPECT_TRUE(Load(dir_ / "out" / "setup.exe") == input) << "cabextract: other bytes";
    for (const std::string &seven : sevens) {
      if (optional && !Shell("command -v " + seven)) {
        passed_over_.insert(seven);
        continue;
      }
      fs::remove_all(dir_ / "out");
      ASSERT_TRUE(Shell(seven + " t " + cab));
      ASSERT_TRUE(Shell(seven + " x -y -o" + (dir_ / "out").string() + " " + cab));
      EXPECT_TRUE(Load(dir_ / "out" / "setup.exe") == input) << seven << ": other bytes";
    }
  }

  fs::path dir_;
  std::set<std::string> passed_over_;
};

TEST_F(CabinetTest, ReadersGiveBackTheInput) {
  const struct {
    const char *name;
    Bytes input;
    double max_ratio; // cabinet bytes per input byte, on top of the headers
  } rows[] = {
      {"empty", {}, 0},
      {"one byte", {0x5A}, 1},
      {"one block", Cycle({'a', 'b'}, 32768), 0.01},
      {"one block and one byte", Random(32769), 1},
      {"three blocks and five bytes", Random(96 * 1024 + 5), 1},
      {"incompressible", Random(200 * 1024), 1},
      // Only the previous block as history makes the second block nearly free.
      {"repeats across blocks", Cycle(Random(20000), 65536), 0.4},
      {"repetitive", Cycle({'s', 'e', 't', 'u', 'p', '\n'}, 1 << 20), 0.01},
      {"program", fs::exists("/usr/bin/ls") ? Load("/usr/bin/ls") : Bytes{}, 1},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    if (row.input.empty() && std::string(row.name) == "program")
      continue; // no program file on this system
    const Bytes cabinet = Pack(row.input, row.input.size());
    EXPECT_TRUE(Pack(row.input, row.input.size()) == cabinet) << "not reproducible";
    const double blocks = double((row.input.size() + 32767) / 32768);
    EXPECT_LE(double(cabinet.size()), 70 + 40 * blocks + row.max_ratio * double(row.input.size()));

    const CabinetSummary summary = Inspect(cabinet);
    EXPECT_EQ(summary.compression, CabinetCompression::kMszip);
    EXPECT_EQ(summary.window_bits, 0u);
    EXPECT_EQ(summary.file_name, "setup.exe");
    EXPECT_EQ(summary.file_size, row.input.size());
    ExpectReadersDecode(cabinet, row.input, {"7z", "7zz"}, true);
  }
  for (const std::string &seven : passed_over_) {
    GTEST_SKIP() << seven << " is not installed, so it did not read the cabinets";
  }
}

// Reserves of 20 bytes in the header, 3 in the folder and 2 in every data block.
void AddReserves(Bytes &b) {
  for (std::size_t at = 70; at < b.size(); at += 8 + 2 + (b[at + 4] | b[at + 5] << 8))
    b.insert(b.begin() + std::ptrdiff_t(at) + 8, {0xDD, 0xDD});
  b.insert(b.begin() + 44, {0xF0, 0xF1, 0xF2});
  b.insert(b.begin() + 36, 24, 0xEE);
  Put(b, 30, 4);
  Put(b, 36, 20 | 3 << 16 | 2 << 24, 4);
  Put(b, 8, std::uint32_t(b.size()), 4);
  Put(b, 16, 44 + 27, 4);
  Put(b, 60, 70 + 27, 4);
}

TEST(CabinetInspectTest, RefusesWhatCabinetDllCannotExpand) {
  using Type = CabinetCompression;
  // The header at 0, the folder at 36 (its type at 42), the file at 44, the first data block at
  // 70. Its 40,000 bytes fill two blocks.
  const struct {
    std::function<void(Bytes &)> edit;
    const char *refusal; // null: accepted, with this compression
    Type type = Type::kMszip;
    unsigned window_bits = 0;
  } rows[] = {
      {[](Bytes &) {}, nullptr},
      {AddReserves, nullptr},
      {[](Bytes &b) { Put(b, 42, 0x0F03); }, nullptr, Type::kLzx, 15},
      {[](Bytes &b) { Put(b, 42, 0x1503); }, nullptr, Type::kLzx, 21},
      {[](Bytes &b) { Put(b, 42, 0x1572); }, nullptr, Type::kQuantum, 21},
      {[](Bytes &b) { b[0] = 'Z'; }, "no MSCF signature"},
      {[](Bytes &b) { b.pop_back(); }, "truncated"},
      {[](Bytes &b) { b.resize(20); }, "truncated"},
      {[](Bytes &b) { b.push_back(0); }, "the file has"},
      {[](Bytes &b) { b[24] = 2; }, "version 1.2"},
      {[](Bytes &b) { Put(b, 26, 2); }, "2 folders"},
      {[](Bytes &b) { Put(b, 28, 2); }, "2 files"},
      {[](Bytes &b) { Put(b, 30, 1); }, "previous cabinet"},
      {[](Bytes &b) { Put(b, 30, 2); }, "next cabinet"},
      {[](Bytes &b) { Put(b, 42, 0x0004); }, "compression type 0x0004"},
      {[](Bytes &b) { Put(b, 42, 0x0E03); }, "LZX window 14"},
      {[](Bytes &b) { Put(b, 42, 0x1603); }, "LZX window 22"},
      {[](Bytes &b) { Put(b, 42, 0x1502); }, "Quantum level 0"},
      {[](Bytes &b) { Put(b, 52, 0xFFFD); }, "folder 0xFFFD"},
      {[](Bytes &b) { Put(b, 48, 1, 4); }, "starts at offset 1 "},
      {[](Bytes &b) { Put(b, 44, 40001, 4); }, "add up to 40,000"},
      {[](Bytes &b) { Put(b, 76, 32767); }, "must hold 32,768"},
      {[](Bytes &b) { Put(b, 74, std::uint32_t(b.size() - 77)); }, "block 1 runs past the end"},
  };
  const Bytes good = Pack(Cycle(Random(300), 40000), 40000);
  for (const auto &row : rows) {
    Bytes file = good;
    row.edit(file);
    SCOPED_TRACE("row " + std::to_string(&row - rows));
    if (row.refusal) {
      const std::string message = Refusal([&] { Inspect(file); });
      EXPECT_EQ(message.rfind("setup.cab: ", 0), 0u) << message;
      EXPECT_NE(message.find(row.refusal), std::string::npos) << message;
    } else {
      const CabinetSummary summary = Inspect(file);
      EXPECT_EQ(summary.compression, row.type);
      EXPECT_EQ(summary.window_bits, row.window_bits);
      EXPECT_EQ(summary.file_size, 40000u);
    }
  }
}

TEST(CabinetWriteTest, RefusesInputThatDisagreesWithItsSize) {
  const struct {
    std::size_t actual;
    std::uint64_t declared;
    const char *refusal;
  } rows[] = {
      {1000, 1001, "ended before its 1,001 bytes"},
      {40000, 70000, "ended before its 70,000 bytes"},
      {1000, 999, "holds more than its 999 bytes"},
      {40000, 32768, "holds more than its 32,768 bytes"},
      {1, 0, "holds more than its 0 bytes"},
      {0, 2147450881, "more than one cabinet folder holds (2,147,450,880)"},
  };
  for (const CabinetMethod method : {kMszip, CabinetMethod{CabinetCompression::kLzx, 15},
                                     CabinetMethod{CabinetCompression::kNone, 0}}) {
    for (const auto &row : rows) {
      const std::string message = Refusal([&] { Pack(Random(row.actual), row.declared, method); });
      EXPECT_NE(message.find(row.refusal), std::string::npos) << message;
    }
  }
}

// Setup programs of every kind the encoder must get right, generated from one seed.
enum class Kind { kRandom, kRuns, kText, kCode, kEcho, kShifting, kCount };

Bytes Generate(Kind kind, std::size_t size, unsigned window_bits, std::mt19937_64 &random) {
  const auto below = [&](std::uint64_t n) { return n == 0 ? 0 : random() % n; };
  Bytes b;
  b.reserve(size + 600);
  std::vector<Bytes> words(300);
  for (auto &w : words)
    for (std::size_t i = 0, n = 2 + below(9); i < n; ++i)
      w.push_back(static_cast<unsigned char>('a' + below(26)));
  while (b.size() < size) {
    switch (kind) {
    case Kind::kRandom:
      b.push_back(static_cast<unsigned char>(random()));
      break;
    case Kind::kRuns: // runs, and copies from near and far back, so all three registers matter
      if (below(3) == 0) {
        b.insert(b.end(), 1 + below(300), static_cast<unsigned char>(below(4)));
      } else if (b.size() > 8 && below(2) == 0) {
        const std::size_t from = b.size() - 1 - below(std::min<std::size_t>(b.size() - 1, 5000));
        const std::size_t n = 2 + below(270);
        for (std::size_t i = 0; i < n; ++i)
          b.push_back(b[from + i]);
      } else {
        for (std::size_t i = 0, n = below(20); i < n; ++i)
          b.push_back(static_cast<unsigned char>(random()));
      }
      break;
    case Kind::kText: {
      const Bytes &w = words[below(words.size()) * below(words.size()) / words.size()];
      b.insert(b.end(), w.begin(), w.end());
      b.push_back(below(12) == 0 ? '\n' : ' ');
      break;
    }
    case Kind::kCode: // a program: calls near and far, in and out of the translated range
      if (b.empty())
        b = {'M', 'Z'};
      if (below(3) == 0) {
        const std::uint32_t far = static_cast<std::uint32_t>(random());
        const std::int64_t near = static_cast<std::int64_t>(below(1 << 16)) - (1 << 15);
        const std::uint32_t operand =
            below(4) == 0 ? far : static_cast<std::uint32_t>(near - std::int64_t(b.size()) % 4096);
        b.push_back(0xE8);
        for (int i = 0; i < 4; ++i)
          b.push_back(static_cast<unsigned char>(operand >> 8 * i));
      } else {
        static const unsigned char kOps[] = {0x48, 0x89, 0x8B, 0x83, 0xC3, 0x00, 0xFF, 0x0F};
        b.push_back(kOps[below(sizeof kOps)]);
      }
      break;
    case Kind::kEcho: { // a random block again at the longest distance used, 2^N - 4
      // (MSZIP and stored cabinets have no window: 32 KiB, MSZIP's history)
      const std::size_t window = std::size_t{1} << (window_bits != 0 ? window_bits : 15);
      const std::size_t block = 1000;
      if (b.size() < window) {
        b.push_back(static_cast<unsigned char>(random()));
        break;
      }
      const std::size_t from = b.size() - (window - 4);
      for (std::size_t i = 0; i < block; ++i)
        b.push_back(b[from + i]);
      break;
    }
    case Kind::kShifting: { // bytes whose mix changes every frame, so that blocks end there, and a
                            // copy from one distance, broken by a byte now and then, so that R0
                            // carries across those ends
      const std::size_t distance = 40000;
      const std::size_t frame = b.size() / 32768;
      if (b.size() >= distance && below(4) != 0) {
        for (std::size_t i = 0, n = 2 + below(100); i < n; ++i)
          b.push_back(b[b.size() - distance]);
        b.push_back(static_cast<unsigned char>(random()));
      } else {
        for (std::size_t i = 0, n = below(50); i < n; ++i)
          b.push_back(static_cast<unsigned char>((frame % 2) * 0x80 + below(8 + 40 * (frame % 3))));
      }
      break;
    }
    case Kind::kCount:
      break;
    }
  }
  b.resize(size);
  return b;
}

std::uint64_t EnvNumber(const char *name, std::uint64_t fallback) {
  const char *value = std::getenv(name);
  return value != nullptr && *value != 0 ? std::strtoull(value, nullptr, 10) : fallback;
}

std::string MethodName(const CabinetMethod &method) {
  switch (method.compression) {
  case CabinetCompression::kLzx:
    return (method.lzx_parse == LzxParse::kFast  ? "lzx-fast:"
            : method.lzx_parse == LzxParse::kMax ? "lzx-max:"
                                                 : "lzx:") +
           std::to_string(method.window_bits);
  case CabinetCompression::kMszip:
    return "mszip";
  default:
    return "none";
  }
}

struct RoundTrip {
  std::string name;
  Bytes input;
  CabinetMethod method;
  std::optional<std::uint64_t> smaller_than; // a cabinet size to beat
};

// Generated setup programs of every kind, at sizes around every frame, block group and window
// boundary, in every method.
std::vector<RoundTrip> GeneratedRoundTrips(std::uint64_t seed, std::uint64_t count) {
  std::mt19937_64 random(seed);
  std::vector<RoundTrip> cases;
  for (std::uint64_t i = 0; i < count; ++i) {
    const auto kind = static_cast<Kind>(random() % static_cast<unsigned>(Kind::kCount));
    const auto pick = random() % 8;
    CabinetMethod method{CabinetCompression::kLzx, 15 + static_cast<unsigned>(random() % 7)};
    if (pick == 0)
      method = {CabinetCompression::kMszip, 0};
    else if (pick == 1)
      method = {CabinetCompression::kNone, 0};
    // Small windows are likelier: a round trip at 2^21 costs a window's worth of input.
    else if (pick < 5)
      method.window_bits = 15 + static_cast<unsigned>(random() % 3);
    if (const auto parse = random() % 4; parse == 0)
      method.lzx_parse = LzxParse::kFast;
    else if (parse == 1)
      method.lzx_parse = LzxParse::kMax;
    const std::size_t window = std::size_t{1} << method.window_bits;
    const std::size_t frame = 32768, group = 8 * frame;
    const std::size_t edges[] = {0, 1, 11, frame, 2 * frame, group, 3 * group, window};
    std::size_t size = edges[random() % std::size(edges)] + random() % 3 - 1;
    if (kind == Kind::kEcho || random() % 4 == 0)
      size = std::max<std::size_t>(size, window + random() % (3 * frame));
    if (size > 3 * std::max(window, group))
      size = 0;
    const Bytes input = Generate(kind, size, method.window_bits, random);
    cases.push_back({"seed " + std::to_string(seed) + " case " + std::to_string(i) + ": kind " +
                         std::to_string(static_cast<int>(kind)) + ", " + std::to_string(size) +
                         " bytes, " + MethodName(method),
                     input, method, std::nullopt});
  }
  return cases;
}

// Each program of the ':'-separated `programs` at the smallest and the largest window.
std::vector<RoundTrip> ProgramRoundTrips(const std::string &programs) {
  std::vector<RoundTrip> cases;
  for (std::size_t at = 0; at <= programs.size();) {
    const std::size_t end = std::min(programs.find(':', at), programs.size());
    const std::string path = programs.substr(at, end - at);
    at = end + 1;
    if (path.empty())
      continue;
    const Bytes program = Load(path);
    if (program.empty()) {
      ADD_FAILURE() << path << ": no such program, or empty";
      continue;
    }
    // LZX must beat MSZIP on a program beyond a few frames, or the match finder has gone
    // blind; on a small one its larger trees can cost more than it gains.
    std::optional<std::uint64_t> mszip;
    if (program.size() > 65536)
      mszip = Pack(program, program.size()).size();
    for (const CabinetMethod method :
         {CabinetMethod{CabinetCompression::kLzx, 15}, CabinetMethod{CabinetCompression::kLzx, 21},
          CabinetMethod{CabinetCompression::kLzx, 21, LzxParse::kFast},
          CabinetMethod{CabinetCompression::kLzx, 18, LzxParse::kMax}})
      cases.push_back({path + ", " + MethodName(method), program, method, mszip});
  }
  return cases;
}

// Seeded round trips through both independent readers: generated setup programs of every kind,
// at sizes around every frame, block group and window boundary, and real programs, in every
// method. PACKER_ROUND_TRIPS sets how many generated ones (bench/lzx-round-trips.sh runs more),
// PACKER_ROUND_TRIP_SEED the seed, PACKER_TEST_PROGRAMS (':'-separated) the real programs.
TEST_F(CabinetTest, EveryCabinetDecodesToItsInputInBothReaders) {
  std::vector<RoundTrip> cases = GeneratedRoundTrips(EnvNumber("PACKER_ROUND_TRIP_SEED", 14),
                                                     EnvNumber("PACKER_ROUND_TRIPS", 24));
  if (const char *programs = std::getenv("PACKER_TEST_PROGRAMS")) {
    for (RoundTrip &c : ProgramRoundTrips(programs))
      cases.push_back(std::move(c));
  }
  for (const RoundTrip &c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes cabinet = Pack(c.input, c.input.size(), c.method);
    EXPECT_TRUE(Pack(c.input, c.input.size(), c.method) == cabinet) << "not reproducible";
    // Nothing grows by more than an uncompressed block's header per frame.
    const std::uint64_t frames = (c.input.size() + 32767) / 32768;
    EXPECT_LE(cabinet.size(), 70 + c.input.size() + 36 * frames);
    if (c.smaller_than) {
      EXPECT_LT(cabinet.size(), *c.smaller_than);
    }
    const CabinetSummary summary = Inspect(cabinet);
    EXPECT_EQ(summary.compression, c.method.compression);
    EXPECT_EQ(summary.window_bits, c.method.window_bits);
    ExpectReadersDecode(cabinet, c.input, {"7zz"}, false);
  }
}

} // namespace
