// SPDX-License-Identifier: Zlib
#include "platform/file_stream.h"

#include "base/pack_error.h"
#include "cabinet/cabinet.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace packer;

namespace {

using Bytes = std::vector<std::uint8_t>;

using File = std::unique_ptr<std::FILE, int (*)(std::FILE *)>;

File Open(const fs::path &path, const char *mode) {
  return File(std::fopen(path.string().c_str(), mode), &std::fclose);
}

class FileStreamTest : public ::testing::Test {
protected:
  void SetUp() override {
    path_ =
        fs::temp_directory_path() / ("file_stream_test-" + std::to_string(std::random_device{}()));
  }
  void TearDown() override { fs::remove(path_); }

  // The file holding "PRE" and then `bytes`, opened in `mode` and standing just behind "PRE".
  File Behind(const Bytes &bytes, const char *mode) {
    File make = Open(path_, "wb");
    std::fwrite("PRE", 1, 3, make.get());
    std::fwrite(bytes.data(), 1, bytes.size(), make.get());
    make.reset();
    File file = Open(path_, mode);
    std::fseek(file.get(), 3, SEEK_SET);
    return file;
  }

  Bytes Contents() {
    File file = Open(path_, "rb");
    Bytes bytes;
    for (int c; (c = std::fgetc(file.get())) != EOF;)
      bytes.push_back(static_cast<std::uint8_t>(c));
    return bytes;
  }

  fs::path path_;
};

Bytes Sample(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

// A file source reads from where its file stands and behaves as the memory source over the
// same bytes, step by step: reads in pieces, a short read at the end, skips within and past it.
TEST_F(FileStreamTest, FileSourceReadsAsMemorySourceDoes) {
  const Bytes bytes = Sample(100000);
  const struct {
    std::uint64_t skip; // before the read
    std::size_t read;
    std::size_t expected;
  } steps[] = {
      {0, 10, 10}, {0, 40000, 40000}, {5, 1, 1}, {50000, 20000, 9984}, {0, 1, 0}, {7, 1, 0},
  };
  const File file = Behind(bytes, "rb");
  FileSource from_file(file.get());
  MemorySource from_memory(bytes);
  for (const auto &step : steps) {
    SCOPED_TRACE("skip " + std::to_string(step.skip) + ", read " + std::to_string(step.read));
    Bytes a(step.read), b(step.read);
    ASSERT_TRUE(from_file.Skip(step.skip));
    ASSERT_TRUE(from_memory.Skip(step.skip));
    EXPECT_EQ(from_file.Read(a.data(), step.read), step.expected);
    EXPECT_EQ(from_memory.Read(b.data(), step.read), step.expected);
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(from_file.Failed());
  }
}

// A cabinet written through a file sink starts where the file stood: its header, patched last,
// lands there, and it is the memory sink's cabinet byte for byte.
TEST_F(FileStreamTest, CabinetLandsWhereTheFileStood) {
  const Bytes input = Sample(70000);
  const CabinetMethod method{CabinetCompression::kMszip, 0};
  MemorySource memory_input(input);
  MemorySink memory_output;
  WriteSetupCabinet(memory_input, input.size(), memory_output, "input", method);
  {
    const File out = Behind({}, "r+b");
    MemorySource source(input);
    FileSink sink(out.get());
    EXPECT_EQ(WriteSetupCabinet(source, input.size(), sink, "input", method),
              memory_output.bytes().size());
  }
  Bytes expected{'P', 'R', 'E'};
  expected.insert(expected.end(), memory_output.bytes().begin(), memory_output.bytes().end());
  EXPECT_TRUE(Contents() == expected);

  const File in = Behind(memory_output.bytes(), "rb");
  FileSource source(in.get());
  EXPECT_EQ(InspectCabinet(source, memory_output.bytes().size(), "setup.cab").file_size, 70000u);
}

// Failures of the file itself reach the cabinet writer's messages.
TEST_F(FileStreamTest, FileFailuresAreReported) {
  const Bytes input = Sample(1000);
  const fs::path other = path_.string() + ".out";
  const struct {
    const char *name;
    std::function<File()> input; // null: from memory
    std::function<File()> output;
    const char *refusal;
  } rows[] = {
      {"output open for reading only", nullptr, [&] { return Behind({}, "rb"); },
       "input: writing its cabinet failed"},
      {"output a pipe", nullptr, [] { return File(popen("cat >/dev/null", "w"), &pclose); },
       "input: the cabinet's output cannot be repositioned"},
      {"input open for writing only", [&] { return Behind(input, "ab"); },
       [&] { return Open(other, "wb"); }, "input: reading failed after 0 bytes"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    std::string message = "(no error)";
    { // the files close before the next row reuses them
      File in = row.input ? row.input() : File(nullptr, &std::fclose);
      File out = row.output();
      MemorySource from_memory(input);
      FileSource from_file(in.get());
      FileSink sink(out.get());
      ByteSource &source = in ? static_cast<ByteSource &>(from_file) : from_memory;
      try {
        WriteSetupCabinet(source, input.size(), sink, "input", {CabinetCompression::kNone, 0});
      } catch (const PackError &e) {
        message = e.what();
      }
    }
    EXPECT_EQ(message, row.refusal);
  }
  fs::remove(other);
}

} // namespace
