#include "cabinet.h"

#include "pack_error.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>

namespace fs = std::filesystem;
using namespace packer;

namespace {

using Bytes = std::vector<unsigned char>;

struct Closer {
  void operator()(std::FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, Closer>;

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

  // Writes "PRE" and then the cabinet of `input` (declared `declared` bytes long) into `cab`:
  // the header written last must land at the cabinet's own start.
  std::uint64_t Pack(const Bytes &input, std::uint64_t declared, const fs::path &cab,
                     const char *mode = "r+b") {
    Save(dir_ / "input", input);
    Save(cab, {'P', 'R', 'E'});
    File in(std::fopen((dir_ / "input").string().c_str(), "rb"));
    File out(std::fopen(cab.string().c_str(), mode));
    std::fseek(out.get(), 0, SEEK_END);
    return WriteSetupCabinet(in.get(), declared, out.get(), "input",
                             {CabinetCompression::kMszip, 0});
  }

  // Inspects the cabinet behind "PRE": reading starts where the stream stands.
  CabinetSummary Inspect(const Bytes &file) {
    Save(dir_ / "inspected", file);
    File in(std::fopen((dir_ / "inspected").string().c_str(), "rb"));
    std::fseek(in.get(), 3, SEEK_SET);
    return InspectCabinet(in.get(), file.size() - 3, "setup.cab");
  }

  fs::path dir_;
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
    const fs::path packed = dir_ / "packed";
    const std::uint64_t size = Pack(row.input, row.input.size(), packed);
    const Bytes all = Load(packed);
    ASSERT_EQ(all.size(), size + 3);
    ASSERT_EQ(Bytes(all.begin(), all.begin() + 3), (Bytes{'P', 'R', 'E'}));
    Pack(row.input, row.input.size(), dir_ / "again");
    EXPECT_EQ(Load(dir_ / "again"), all) << "not reproducible";
    const double blocks = double((row.input.size() + 32767) / 32768);
    EXPECT_LE(double(size), 70 + 40 * blocks + row.max_ratio * double(row.input.size()));

    const CabinetSummary summary = Inspect(all);
    EXPECT_EQ(summary.compression, CabinetCompression::kMszip);
    EXPECT_EQ(summary.window_bits, 0u);
    EXPECT_EQ(summary.file_name, "setup.exe");
    EXPECT_EQ(summary.file_size, row.input.size());

    const std::string cab = (dir_ / "setup.cab").string();
    Save(cab, Bytes(all.begin() + 3, all.end()));
    fs::remove_all(dir_ / "out");
    ASSERT_TRUE(Shell("cabextract -q -d " + (dir_ / "out").string() + " " + cab));
    EXPECT_TRUE(Load(dir_ / "out" / "setup.exe") == row.input) << "cabextract: other bytes";
    for (const std::string seven : {"7z", "7zz"}) {
      if (!Shell("command -v " + seven))
        continue;
      fs::remove_all(dir_ / "out");
      ASSERT_TRUE(Shell(seven + " t " + cab));
      ASSERT_TRUE(Shell(seven + " x -y -o" + (dir_ / "out").string() + " " + cab));
      EXPECT_TRUE(Load(dir_ / "out" / "setup.exe") == row.input) << seven << ": other bytes";
    }
  }
}

// Reserves of 20 bytes in the header, 3 in the folder and 2 in every data block.
void AddReserves(Bytes &b) {
  for (std::size_t at = 73; at < b.size(); at += 8 + 2 + (b[at + 4] | b[at + 5] << 8))
    b.insert(b.begin() + std::ptrdiff_t(at) + 8, {0xDD, 0xDD});
  b.insert(b.begin() + 47, {0xF0, 0xF1, 0xF2});
  b.insert(b.begin() + 39, 24, 0xEE);
  Put(b, 33, 4);
  Put(b, 39, 20 | 3 << 16 | 2 << 24, 4);
  Put(b, 11, std::uint32_t(b.size() - 3), 4);
  Put(b, 19, 44 + 27, 4);
  Put(b, 63, 70 + 27, 4);
}

TEST_F(CabinetTest, InspectRefusesWhatCabinetDllCannotExpand) {
  using Type = CabinetCompression;
  // The cabinet stands at offset 3: its header at 3, folder at 39 (type at 45), file at 47,
  // first data block at 73. Its 40,000 bytes fill two blocks.
  const struct {
    std::function<void(Bytes &)> edit;
    const char *refusal; // null: accepted, with this compression
    Type type = Type::kMszip;
    unsigned window_bits = 0;
  } rows[] = {
      {[](Bytes &) {}, nullptr},
      {AddReserves, nullptr},
      {[](Bytes &b) { Put(b, 45, 0x0F03); }, nullptr, Type::kLzx, 15},
      {[](Bytes &b) { Put(b, 45, 0x1503); }, nullptr, Type::kLzx, 21},
      {[](Bytes &b) { Put(b, 45, 0x1572); }, nullptr, Type::kQuantum, 21},
      {[](Bytes &b) { b[3] = 'Z'; }, "no MSCF signature"},
      {[](Bytes &b) { b.pop_back(); }, "truncated"},
      {[](Bytes &b) { b.resize(23); }, "truncated"},
      {[](Bytes &b) { b.push_back(0); }, "the file has"},
      {[](Bytes &b) { b[27] = 2; }, "version 1.2"},
      {[](Bytes &b) { Put(b, 29, 2); }, "2 folders"},
      {[](Bytes &b) { Put(b, 31, 2); }, "2 files"},
      {[](Bytes &b) { Put(b, 33, 1); }, "previous cabinet"},
      {[](Bytes &b) { Put(b, 33, 2); }, "next cabinet"},
      {[](Bytes &b) { Put(b, 45, 0x0004); }, "compression type 0x0004"},
      {[](Bytes &b) { Put(b, 45, 0x0E03); }, "LZX window 14"},
      {[](Bytes &b) { Put(b, 45, 0x1603); }, "LZX window 22"},
      {[](Bytes &b) { Put(b, 45, 0x1502); }, "Quantum level 0"},
      {[](Bytes &b) { Put(b, 55, 0xFFFD); }, "folder 0xFFFD"},
      {[](Bytes &b) { Put(b, 51, 1, 4); }, "starts at offset 1 "},
      {[](Bytes &b) { Put(b, 47, 40001, 4); }, "add up to 40,000"},
      {[](Bytes &b) { Put(b, 79, 32767); }, "must hold 32,768"},
      {[](Bytes &b) { Put(b, 77, std::uint32_t(b.size() - 80)); }, "block 1 runs past the end"},
  };
  Pack(Cycle(Random(300), 40000), 40000, dir_ / "good");
  for (const auto &row : rows) {
    Bytes file = Load(dir_ / "good");
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

TEST_F(CabinetTest, WriteRefusesInputThatDisagreesWithItsSize) {
  const struct {
    std::size_t actual;
    std::uint64_t declared;
    const char *mode;
    const char *refusal;
  } rows[] = {
      {1000, 1001, "r+b", "ended before its 1,001 bytes"},
      {40000, 70000, "r+b", "ended before its 70,000 bytes"},
      {1000, 999, "r+b", "holds more than its 999 bytes"},
      {40000, 32768, "r+b", "holds more than its 32,768 bytes"},
      {1, 0, "r+b", "holds more than its 0 bytes"},
      {0, 2147450881, "r+b", "more than one cabinet folder holds (2,147,450,880)"},
      {1000, 1000, "rb", "writing its cabinet failed"},
  };
  for (const auto &row : rows) {
    const std::string message =
        Refusal([&] { Pack(Random(row.actual), row.declared, dir_ / "out", row.mode); });
    EXPECT_NE(message.find(row.refusal), std::string::npos) << message;
  }
}

} // namespace
