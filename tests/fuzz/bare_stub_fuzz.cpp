// SPDX-License-Identifier: Zlib
// Any file as --stub: the bare-stub reader and its refusals (already packed, signed, data after
// the last section), the packed image laid out and written. What is refused leaves nothing at
// OUT; what is packed passes --check.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "base/byte_stream.h"
#include "cli/check_command.h"
#include "cli/options.h"
#include "cli/pack_command.h"
#include "fuzz/fuzz_support.h"

namespace {

struct Payload {
  std::string archive, setup_cab, out_folder;
};

void WriteFile(const std::string &path, const std::vector<std::uint8_t> &bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// A small archive and setup cabinet to pack, and an empty folder for OUT.
Payload MakePayload() {
  packer::fuzz::SilenceOutput();
  const std::string folder = packer::fuzz::ScratchFolder();
  Payload p{folder + "/archive.7z", folder + "/setup.cab", folder + "/out"};
  WriteFile(p.archive, {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4});
  const std::vector<std::uint8_t> program = {'M', 'Z', 0x90, 0, 3, 0};
  packer::MemorySource source(program);
  packer::MemorySink cabinet;
  packer::WriteSetupCabinet(source, program.size(), cabinet, "setup",
                            {packer::CabinetCompression::kMszip, 0});
  WriteFile(p.setup_cab, cabinet.bytes());
  std::filesystem::create_directory(p.out_folder);
  return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const Payload payload = MakePayload();
  const packer::fuzz::MemoryFile stub(data, size);
  packer::Options o;
  o.out = payload.out_folder + "/out.exe";
  o.stub = stub.path();
  o.archive = payload.archive;
  o.setup_cab = payload.setup_cab;
  bool packed = false;
  try {
    packer::Pack(o, "pack-stub");
    packed = true;
  } catch (const packer::PackError &e) {
    packer::fuzz::ExpectInputError(e);
  }
  if (packed) {
    try {
      packer::Check(*o.out, false);
    } catch (const packer::PackError &e) {
      packer::fuzz::Fault(std::string("the packed stub fails --check: ") + e.what());
    }
    std::remove(o.out->c_str());
  }
  if (!packer::fuzz::FolderListing(payload.out_folder).empty()) {
    packer::fuzz::Fault(packed ? "packing leaves files beside OUT"
                               : "a refused stub leaves files beside OUT");
  }
  return 0;
}
