// SPDX-License-Identifier: Zlib
// pack-stub: edits a bare stub into a packed one. See kUsage.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "cabinet.h"
#include "file_stream.h"
#include "input_file.h"
#include "layout_check.h"
#include "lzx_format.h"
#include "native_path.h"
#include "output_file.h"
#include "pack_error.h"
#include "packed_image.h"
#include "payload/payload_contract.h"
#include "pe_image.h"
#include "resources.h"
#include "signing.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace packer {
namespace {

constexpr const char *kUsage =
    R"(Usage: pack-stub -o OUT.exe [--stub BARE.exe] [--archive FILE] [--setup EXE | --setup-cab CAB]
                 [--patch FILE] [--previous-version TEXT | --rcdata-file FILE]
                 [--cab-compression lzx[:15..21] | mszip | none]
                 [--resource TYPE NAME FILE]... [--sign-cert CERT --sign-key KEY]
                 [--no-layout-check]
       pack-stub --check STUB.exe

Writes a copy of the bare stub with the payload in its resources; no compiler or linker is
needed. The stub's icon, version block and manifest are kept; every payload resource is in
language 1033.

  -o OUT.exe                 the stub to write; it appears only when packing succeeds
  --stub BARE.exe            the bare stub to start from (default: ondrel-stub.exe beside
                             pack-stub)
  --archive FILE             the product archive, as "B7" "ONDREL.PACKED.7Z"
  --setup EXE                the setup program, compressed into a cabinet holding one file
                             "setup.exe", as "BL" "SETUP.EX_"
  --cab-compression METHOD   how --setup is compressed: lzx (window 2^21, the default),
                             lzx:15 to lzx:21 (a window of 2^15 to 2^21 bytes: smaller windows
                             compress less and need less memory to expand), mszip (deflate,
                             zlib level 9) or none
  --setup-cab CAB            an existing cabinet, embedded as is as "BL" "SETUP.EX_", for
                             example one from makecab /D CompressionType=LZX setup.exe SETUP.EX_
  --patch FILE               a patch for the installed setup program, as "B7" "SETUP.PATCH"
  --previous-version TEXT    RT_RCDATA 1: TEXT (UTF-8) as UTF-16LE with its NUL
  --rcdata-file FILE         RT_RCDATA 1: the bytes of FILE
  --resource TYPE NAME FILE  any further resource (repeatable). A TYPE or NAME of digits only
                             is an integer identifier (1-65535); anything else is a name,
                             stored in upper case as resource compilers store it (FindResourceW
                             looks names up in upper case). Names cannot begin with "#".
  --sign-cert CERT           sign OUT.exe (Authenticode, SHA-256) with osslsigncode: CERT holds
  --sign-key KEY             the signer's certificate, first, and any chain to go with it (PEM;
                             DER for a single certificate), KEY its unencrypted private key.
                             Both or neither. No time stamp is requested; the signing time is
                             SOURCE_DATE_EPOCH when set, else the start of the first
                             certificate's validity, so that signing is reproducible too.
  --no-layout-check          pack a payload the stub would refuse, with names stored exactly
                             as given (for tests)
  --check STUB.exe           list the resources of a stub and say whether it would extract
                             (exit status 0) or with which code it would end (1)
  --version                  print the release's version
  --help                     print this text

Before writing anything, a payload the stub would refuse at run time is refused with the exit
code it would end with: no archive, names it rejects, an empty payload, no setup program, a
setup program that is not a Windows program, a cabinet it cannot expand. The same inputs give
a byte-identical OUT.exe. Exit status: 0 packed, 1 refused or failed, 2 usage error.
)";

// LZX with the largest window: the setup program is smallest (a quarter smaller than with MSZIP
// over bench/lzx-corpus.sh), and cabinet.dll expands it nearly as fast.
constexpr CabinetMethod kDefaultCabinetMethod{CabinetCompression::kLzx, kLzxMaxWindowBits};

struct Options {
  std::optional<std::string> out, stub, archive, setup, setup_cab, cab_compression, patch,
      previous_version, rcdata_file, sign_cert, sign_key, check;
  std::vector<std::array<std::string, 3>> resources;
  bool no_layout_check = false;
  CabinetMethod cabinet_method = kDefaultCabinetMethod; // from --cab-compression
};

[[noreturn]] void Usage(const std::string &message) {
  throw PackError(message + " (see --help)", 2);
}

CabinetMethod ParseCabinetMethod(const std::string &text) {
  if (text == "none")
    return {CabinetCompression::kNone, 0};
  if (text == "mszip")
    return {CabinetCompression::kMszip, 0};
  if (text == "lzx")
    return {CabinetCompression::kLzx, kLzxMaxWindowBits};
  const std::string prefix = "lzx:";
  if (text.rfind(prefix, 0) == 0) {
    const std::string window = text.substr(prefix.size());
    if (window.size() == 2 && std::isdigit(static_cast<unsigned char>(window[0])) &&
        std::isdigit(static_cast<unsigned char>(window[1]))) {
      const unsigned bits = static_cast<unsigned>(std::stoi(window));
      if (bits >= kLzxMinWindowBits && bits <= kLzxMaxWindowBits)
        return {CabinetCompression::kLzx, bits};
    }
    Usage("--cab-compression " + text + ": the LZX window is 15 to 21 (2^15 to 2^21 bytes)");
  }
  Usage("--cab-compression " + text + ": not lzx, lzx:15 to lzx:21, mszip or none");
}

Options ParseOptions(int argc, char **argv, bool &done) {
  Options o;
  const std::pair<const char *, std::optional<std::string> Options::*> single[] = {
      {"-o", &Options::out},
      {"--stub", &Options::stub},
      {"--archive", &Options::archive},
      {"--setup", &Options::setup},
      {"--setup-cab", &Options::setup_cab},
      {"--cab-compression", &Options::cab_compression},
      {"--patch", &Options::patch},
      {"--previous-version", &Options::previous_version},
      {"--rcdata-file", &Options::rcdata_file},
      {"--sign-cert", &Options::sign_cert},
      {"--sign-key", &Options::sign_key},
      {"--check", &Options::check},
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      done = true;
      return o;
    }
    if (arg == "--version") {
      std::cout << "pack-stub " << PACKER_VERSION << "\n";
      done = true;
      return o;
    }
    if (arg == "--no-layout-check") {
      o.no_layout_check = true;
      continue;
    }
    if (arg == "--resource") {
      if (argc - i - 1 < 3) {
        Usage("--resource needs 3 values");
      }
      o.resources.push_back({argv[i + 1], argv[i + 2], argv[i + 3]});
      i += 3;
      continue;
    }
    bool known = false;
    for (const auto &[name, member] : single) {
      if (arg == name) {
        if (i + 1 >= argc) {
          Usage(arg + " needs a value");
        }
        if (o.*member) {
          Usage(arg + " given twice");
        }
        o.*member = argv[++i];
        known = true;
        break;
      }
    }
    if (!known) {
      Usage("unknown argument: " + arg);
    }
  }
  if (o.check) {
    if (o.out || o.stub || o.archive || o.setup || o.setup_cab || o.cab_compression || o.patch ||
        o.previous_version || o.rcdata_file || o.sign_cert || o.sign_key || !o.resources.empty() ||
        o.no_layout_check) {
      Usage("--check takes no other option");
    }
    return o;
  }
  if (!o.out) {
    Usage("no output given (-o OUT.exe)");
  }
  if (o.out->empty()) {
    throw PackError("-o needs a file name", 2);
  }
  if (o.setup && o.setup_cab) {
    Usage("--setup and --setup-cab exclude each other");
  }
  if (o.cab_compression && !o.setup) {
    Usage("--cab-compression applies to --setup only");
  }
  if (o.cab_compression) {
    o.cabinet_method = ParseCabinetMethod(*o.cab_compression);
  }
  if (o.previous_version && o.rcdata_file) {
    Usage("--previous-version and --rcdata-file exclude each other");
  }
  if (o.sign_cert.has_value() != o.sign_key.has_value()) {
    Usage("--sign-cert and --sign-key go together");
  }
  return o;
}

std::string DefaultStub(const char *argv0) {
  return Utf8Path(NativePath(ProgramPath(argv0)).parent_path() / "ondrel-stub.exe");
}

void Warn(const std::string &text) { std::cerr << "pack-stub: warning: " << text << "\n"; }

// A payload resource read from a file; its type and name in upper case unless the layout is
// not checked.
ResourceEntry FromFile(const std::string &origin, ResourceId type, ResourceId name,
                       const std::string &path, bool exact, std::vector<std::string> &notes) {
  const InputFile file(path, origin);
  bool renamed = false;
  for (ResourceId *id : {&type, &name}) {
    if (!id->is_integer && !exact && UpcaseName(id->text) != id->text) {
      id->text = UpcaseName(id->text);
      renamed = true;
    }
  }
  ResourceEntry entry;
  entry.type = std::move(type);
  entry.name = std::move(name);
  entry.size = file.size();
  entry.path = path;
  entry.origin = origin;
  if (renamed) {
    notes.push_back(origin + " is stored as " + entry.Describe() +
                    " (the stub looks names up in upper case)");
  }
  return entry;
}

ResourceId Text(const char16_t *text) { return ResourceId::Text(text); }

// The stub would launch it: a Windows program for x86-64 or x86.
bool IsWindowsProgram(const InputFile &file) {
  std::uint8_t dos[64], pe[24];
  if (file.size() < sizeof(dos)) {
    return false;
  }
  file.ReadAt(0, dos, sizeof(dos));
  const std::uint32_t at = Get32(dos + 60);
  if (dos[0] != 'M' || dos[1] != 'Z' || at > file.size() || file.size() - at < sizeof(pe)) {
    return false;
  }
  file.ReadAt(at, pe, sizeof(pe));
  const std::uint16_t machine = Get16(pe + 4);
  const std::uint16_t characteristics = Get16(pe + 22);
  constexpr std::uint16_t kExecutable = 0x0002, kDll = 0x2000;
  return std::memcmp(pe, "PE\0\0", 4) == 0 && (machine == 0x8664 || machine == 0x014C) &&
         (characteristics & kExecutable) && !(characteristics & kDll);
}

std::string CompressionName(const CabinetSummary &s) {
  switch (s.compression) {
  case CabinetCompression::kNone:
    return "stored";
  case CabinetCompression::kMszip:
    return "MSZIP";
  case CabinetCompression::kQuantum:
    return "Quantum, window 2^" + std::to_string(s.window_bits);
  case CabinetCompression::kLzx:
    return "LZX, window 2^" + std::to_string(s.window_bits);
  }
  return "?";
}

// Whether the stub's cabinet library can expand the "BL" resource: a fault for 115, else its
// summary, with a warning for a file not named setup.exe.
std::optional<LayoutFault> JudgeCabinet(const ResourceEntry &entry, std::string *summary) {
  const InputFile file(entry.path, entry.origin);
  file.Seek(entry.offset);
  try {
    FileSource source(file.stream());
    const CabinetSummary s = InspectCabinet(source, entry.size, entry.Describe());
    if (summary != nullptr) {
      *summary = CompressionName(s) + ", one file \"" + s.file_name + "\" of " +
                 std::to_string(s.file_size) + " bytes";
    }
    if (s.file_name != "setup.exe") {
      Warn("the cabinet's file is named \"" + s.file_name +
           "\"; the stub writes it as setup.exe all the same");
    }
    return std::nullopt;
  } catch (const PackError &e) {
    return LayoutFault{RESULT_SETUP_EXPANSION_FAILED, 0, e.what()};
  }
}

void WarnAboutPayload(const PayloadLayout &layout, const std::vector<ResourceEntry> &entries) {
  if (layout.archive != nullptr && layout.archive->size >= 6) {
    const InputFile file(layout.archive->path, layout.archive->origin);
    std::uint8_t signature[6];
    file.ReadAt(layout.archive->offset, signature, sizeof(signature));
    if (std::memcmp(signature, "7z\xBC\xAF\x27\x1C", 6) != 0) {
      Warn("the archive " + layout.archive->name.Display() +
           " is not a 7z archive (no 7z signature)");
    }
  }
  const bool has_version = std::any_of(entries.begin(), entries.end(), [](const ResourceEntry &e) {
    return e.type == ResourceId::Integer(kRtRcdata) && e.name == ResourceId::Integer(1);
  });
  if (layout.patch && !has_version) {
    Warn("a patch stub without a previous version (--previous-version) applies to any installed "
         "version");
  }
}

int Check(const std::string &path) {
  const InputFile file(path, "--check");
  const PeImage image = ReadPeImage(file);
  const std::vector<ResourceEntry> entries = ReadResources(file, image);
  std::printf("%-8s %-24s %8s %12s\n", "TYPE", "NAME", "LANGUAGE", "SIZE");
  for (const ResourceEntry &e : entries) {
    std::printf("%-8s %-24s %8u %12llu\n", e.type.Display().c_str(), e.name.Display().c_str(),
                e.language, static_cast<unsigned long long>(e.size));
  }
  PayloadLayout layout = JudgeLayout(entries);
  std::string cabinet;
  if (!layout.fault && !layout.patch) {
    layout.fault = JudgeCabinet(*layout.setup, &cabinet);
  }
  if (layout.fault) {
    throw PackError(path + ": " + layout.fault->Message());
  }
  WarnAboutPayload(layout, entries);
  if (!cabinet.empty()) {
    std::printf("cabinet: %s\n", cabinet.c_str());
  }
  std::printf("%s extracts (a %s stub); it runs from folders of up to %zu characters\n",
              path.c_str(), layout.patch ? "patch" : "full", LongestFolder(layout));
  return 0;
}

int Pack(const Options &o, const char *argv0) {
  const bool exact = o.no_layout_check;
  const std::string stub_path = o.stub.value_or(DefaultStub(argv0));
  std::vector<std::string> inputs = {stub_path};
  for (const auto *input : {&o.archive, &o.setup, &o.setup_cab, &o.patch, &o.rcdata_file}) {
    if (*input) {
      inputs.push_back(**input);
    }
  }
  for (const auto &r : o.resources) {
    inputs.push_back(r[2]);
  }
  CheckOutput(*o.out, inputs);
  if (o.sign_cert) {
    CheckSigning(*o.sign_cert, *o.sign_key);
  }

  const InputFile stub(stub_path, o.stub ? "--stub" : kBareStubOrigin);
  const PeImage image = ReadPeImage(stub);
  std::vector<ResourceEntry> entries = ReadResources(stub, image);
  for (const ResourceEntry &e : entries) {
    if (e.IsPayload() ||
        (e.type == ResourceId::Integer(kRtRcdata) && e.name == ResourceId::Integer(1))) {
      throw PackError("cannot rewrite " + stub.what() + " " + stub_path +
                      ": it already carries a payload (" + e.Describe() +
                      "); start from the bare stub");
    }
  }
  for (ResourceEntry &e : entries) {
    LoadIntoMemory(e, stub);
    e.origin = kBareStubOrigin;
  }

  std::vector<std::string> notes;
  const auto add = [&](const std::string &origin, ResourceId type, ResourceId name,
                       const std::string &path) {
    entries.push_back(FromFile(origin, std::move(type), std::move(name), path, exact, notes));
  };
  if (o.archive) {
    add("--archive", Text(kPayloadType), Text(u"ONDREL.PACKED.7Z"), *o.archive);
  }
  if (o.setup) {
    add("--setup", Text(kCompressedSetupType), Text(u"SETUP.EX_"), *o.setup);
  }
  if (o.setup_cab) {
    add("--setup-cab", Text(kCompressedSetupType), Text(u"SETUP.EX_"), *o.setup_cab);
  }
  if (o.patch) {
    add("--patch", Text(kPayloadType), Text(u"SETUP.PATCH"), *o.patch);
  }
  if (o.previous_version) {
    ResourceEntry version;
    version.type = ResourceId::Integer(kRtRcdata);
    version.name = ResourceId::Integer(1);
    version.origin = "--previous-version";
    for (char16_t unit : Utf8ToUtf16(*o.previous_version, "--previous-version") + u'\0') {
      version.bytes.push_back(static_cast<std::uint8_t>(unit));
      version.bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    version.size = version.bytes.size();
    entries.push_back(std::move(version));
  }
  if (o.rcdata_file) {
    add("--rcdata-file", ResourceId::Integer(kRtRcdata), ResourceId::Integer(1), *o.rcdata_file);
  }
  for (const auto &[type, name, path] : o.resources) {
    ResourceId type_id = ParseResourceId(type, "--resource TYPE");
    ResourceId name_id = ParseResourceId(name, "--resource NAME");
    const std::string origin = "--resource " + type_id.Display() + " " + name_id.Display();
    add(origin, std::move(type_id), std::move(name_id), path);
  }
  SortEntries(entries);
  RefuseDuplicates(entries);

  std::optional<PayloadLayout> layout;
  if (!exact) {
    if (o.setup && !IsWindowsProgram(InputFile(*o.setup, "--setup"))) {
      throw PackError(
          "--setup " + *o.setup + " is not a Windows program for x86-64 or x86: " +
          LayoutFault{RESULT_SETUP_LAUNCH_FAILED, 193, "it cannot be started"}.Message());
    }
    layout = JudgeLayout(entries);
    if (!layout->fault && !layout->patch && layout->setup->origin != "--setup") {
      layout->fault = JudgeCabinet(*layout->setup, nullptr);
    }
    if (layout->fault) {
      throw PackError(layout->fault->Message() + " (--no-layout-check packs it anyway)");
    }
  }

  StagingDirectory staging(*o.out);
  if (o.setup) {
    // The cabinet is made before the image so that its size is known when the directory is.
    ResourceEntry &setup =
        *std::find_if(entries.begin(), entries.end(),
                      [](const ResourceEntry &e) { return e.origin == "--setup"; });
    const std::string cabinet = staging.File("setup.cab");
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> out(OpenStaged(cabinet), &CloseStaged);
    if (!out) {
      throw PackError("cannot write " + cabinet + ": " + std::strerror(errno));
    }
    const InputFile program(setup.path, "--setup");
    if (program.size() != setup.size) {
      throw PackError("--setup: " + setup.path + " changed while it was packed");
    }
    FileSource source(program.stream());
    FileSink sink(out.get());
    setup.size =
        WriteSetupCabinet(source, program.size(), sink, "--setup " + setup.path, o.cabinet_method);
    if (CloseStaged(out.release()) != 0) {
      throw PackError("cannot write " + cabinet + ": " + std::strerror(errno));
    }
    setup.path = cabinet;
  }

  const PackedImage packed(stub, image, std::move(entries));
  const std::string unsigned_image = staging.File("stub.exe");
  {
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> out(OpenStaged(unsigned_image), &CloseStaged);
    if (!out) {
      throw PackError("cannot write " + unsigned_image + ": " + std::strerror(errno));
    }
    packed.Write(out.get(), *o.out);
    if (CloseStaged(out.release()) != 0) {
      throw PackError("cannot write " + *o.out + ": " + std::strerror(errno));
    }
  }
  std::string result = unsigned_image;
  if (o.sign_cert) {
    result = staging.File("signed.exe");
    const std::string log = staging.File("sign.log");
    staging.File("sign.log.err");
    SignImage(unsigned_image, result, *o.sign_cert, *o.sign_key, log);
  }
  for (const std::string &note : notes) {
    std::cerr << "pack-stub: note: " << note << "\n";
  }
  if (!exact) {
    const PayloadLayout final_layout = JudgeLayout(packed.entries());
    WarnAboutPayload(final_layout, packed.entries());
    staging.Publish(result, *o.out);
    std::printf("%s: %llu bytes; runs from folders of up to %zu characters\n", o.out->c_str(),
                static_cast<unsigned long long>(packed.FileSize()), LongestFolder(final_layout));
  } else {
    staging.Publish(result, *o.out);
  }
  return 0;
}

} // namespace
} // namespace packer

namespace {

int PackStub(int argc, char **argv) {
  try {
    bool done = false;
    const packer::Options options = packer::ParseOptions(argc, argv, done);
    if (done) {
      return 0;
    }
    return options.check ? packer::Check(*options.check) : packer::Pack(options, argv[0]);
  } catch (const packer::PackError &e) {
    std::cerr << "pack-stub: " << e.what() << "\n";
    return e.status;
  } catch (const std::exception &e) {
    std::cerr << "pack-stub: " << e.what() << "\n";
    return 1;
  }
}

} // namespace

#ifdef _WIN32
// The system holds the command line in UTF-16; the packer's paths and texts are UTF-8, so that
// any file name works whatever the code page.
int wmain(int argc, wchar_t **wide_argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    // A lone surrogate has no UTF-8 form: refused rather than turned into another name.
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide_argv[i], -1, nullptr,
                                         0, nullptr, nullptr);
    if (size == 0) {
      std::cerr << "pack-stub: argument " << i << " is not valid UTF-16\n";
      return 1;
    }
    std::string text(size - 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide_argv[i], -1, text.data(), size, nullptr, nullptr);
    arguments.push_back(std::move(text));
  }
  std::vector<char *> argv;
  for (std::string &argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  return PackStub(argc, argv.data());
}
#else
int main(int argc, char **argv) { return PackStub(argc, argv); }
#endif
