// SPDX-License-Identifier: Zlib
#include "cli/pack_command.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "base/messages.h"
#include "base/pack_error.h"
#include "base/progress.h"
#include "cabinet/cabinet.h"
#include "layout/layout_check.h"
#include "payload/payload_contract.h"
#include "pe/authenticode.h"
#include "pe/packed_image.h"
#include "pe/pe_image.h"
#include "pe/resources.h"
#include "pe/signed_image.h"
#include "platform/file_stream.h"
#include "platform/input_file.h"
#include "platform/native_path.h"
#include "platform/output_file.h"
#include "platform/signing.h"

namespace packer {
namespace {

// Work from which on a terminal shows progress.
constexpr std::uint64_t kLongCompression = std::uint64_t{8} << 20;
constexpr std::uint64_t kLongCopy = std::uint64_t{256} << 20;

std::string DefaultStub(const char *argv0) {
  return Utf8Path(NativePath(ProgramPath(argv0)).parent_path() / "ondrel-stub.exe");
}

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

// Every file the packer reads, which OUT must not be.
std::vector<std::string> InputsOf(const Options &o, const std::string &stub_path) {
  std::vector<std::string> inputs = {stub_path};
  for (const auto *input :
       {&o.archive, &o.setup, &o.setup_cab, &o.patch, &o.rcdata_file, &o.icon, &o.manifest}) {
    if (*input) {
      inputs.push_back(**input);
    }
  }
  for (const auto &r : o.resources) {
    inputs.push_back(r[2]);
  }
  return inputs;
}

// The bare stub's own resources, which must carry no payload yet.
std::vector<ResourceEntry> StubResources(const InputFile &stub, const PeImage &image) {
  std::vector<ResourceEntry> entries = ReadResources(stub, image);
  for (const ResourceEntry &e : entries) {
    if (e.IsPayload() ||
        (e.type == ResourceId::Integer(kRtRcdata) && e.name == ResourceId::Integer(1))) {
      throw PackError("cannot rewrite " + stub.what() + " " + stub.path() +
                      ": it already carries a payload (" + e.Describe() +
                      "); start from the bare stub");
    }
  }
  for (ResourceEntry &e : entries) {
    LoadIntoMemory(e, stub);
    e.origin = kBareStubOrigin;
  }
  return entries;
}

ResourceEntry PreviousVersion(const std::string &text) {
  ResourceEntry version;
  version.type = ResourceId::Integer(kRtRcdata);
  version.name = ResourceId::Integer(1);
  version.origin = "--previous-version";
  for (char16_t unit : Utf8ToUtf16(text, "--previous-version") + u'\0') {
    version.bytes.push_back(static_cast<std::uint8_t>(unit));
    version.bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  version.size = version.bytes.size();
  return version;
}

// The payload the options give, added to `entries` in directory order.
void AddPayload(const Options &o, std::vector<ResourceEntry> &entries,
                std::vector<std::string> &notes) {
  const auto add = [&](const std::string &origin, ResourceId type, ResourceId name,
                       const std::string &path) {
    entries.push_back(
        FromFile(origin, std::move(type), std::move(name), path, o.no_layout_check, notes));
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
    entries.push_back(PreviousVersion(*o.previous_version));
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
}

// Refuses, with the code the stub would end with, a payload the stub would refuse.
void RefuseLayout(const Options &o, const std::vector<ResourceEntry> &entries) {
  if (o.setup && !IsWindowsProgram(InputFile(*o.setup, "--setup"))) {
    throw PackError("--setup " + *o.setup + " is not a Windows program for x86-64 or x86: " +
                    LayoutFault{RESULT_SETUP_LAUNCH_FAILED, 193, "it cannot be started"}.Message());
  }
  PayloadLayout layout = JudgeLayout(entries);
  if (!layout.fault && !layout.patch && layout.setup->origin != "--setup") {
    layout.fault = JudgeCabinet(*layout.setup, nullptr);
  }
  if (layout.fault) {
    throw PackError(layout.fault->Message() + " (--no-layout-check packs it anyway)");
  }
}

// Writes into `path` what `write` writes into the stream it is given.
template <typename Writer> void WriteStaged(const std::string &path, const Writer &write) {
  std::unique_ptr<std::FILE, int (*)(std::FILE *)> out(OpenStaged(path), &CloseStaged);
  if (!out) {
    throw PackError("cannot write " + path + ": " + std::strerror(errno));
  }
  write(out.get());
  if (CloseStaged(out.release()) != 0) {
    throw PackError("cannot write " + path + ": " + std::strerror(errno));
  }
}

// Compresses --setup into a staged cabinet, which its entry then stands for. The cabinet is made
// before the image so that its size is known when the resource directory is.
void CompressSetup(const Options &o, std::vector<ResourceEntry> &entries,
                   StagingDirectory &staging) {
  ResourceEntry &setup = *std::find_if(
      entries.begin(), entries.end(), [](const ResourceEntry &e) { return e.origin == "--setup"; });
  const std::string cabinet = staging.File("setup.cab");
  const InputFile program(setup.path, "--setup");
  if (program.size() != setup.size) {
    throw PackError("--setup: " + setup.path + " changed while it was packed");
  }
  WriteStaged(cabinet, [&](std::FILE *out) {
    Progress progress("compressing the setup program", program.size(), kLongCompression);
    FileSource file(program.stream());
    ProgressSource source(file, progress);
    FileSink sink(out);
    setup.size =
        WriteSetupCabinet(source, program.size(), sink, "--setup " + setup.path, o.cabinet_method);
  });
  setup.path = cabinet;
}

bool Signs(const Options &o) { return o.sign_cert || o.sign_command; }

Signer SignerOf(const Options &o) {
  return {o.sign_cert,          o.sign_key,     o.sign_pass_file,
          o.sign_pkcs11_module, o.sign_command, o.sign_timestamps};
}

// Why a signed copy's time stamp is not over its own signature, or nothing.
std::string ForeignTimestamp(const std::string &signed_copy) {
  const InputFile copy(signed_copy, "the signed image");
  const AuthenticodeReport report = InspectAuthenticode(copy, ReadPeImage(copy));
  for (const SignatureReport &s : report.signatures) {
    if (s.timestamp_foreign) {
      return s.fault;
    }
  }
  return {};
}

// The staged file that becomes OUT: the packed image, signed when asked to be. Whoever signed,
// what came back must be that image with a signature added and nothing else.
std::string WriteOut(const Options &o, const PackedImage &packed, StagingDirectory &staging) {
  const std::string image = staging.File("stub.exe");
  WriteStaged(image, [&](std::FILE *out) {
    Progress progress("writing " + *o.out, packed.FileSize(), kLongCopy);
    packed.Write(out, *o.out, &progress);
  });
  if (!Signs(o)) {
    return image;
  }
  const std::string signed_image = staging.File("signed.exe");
  const std::string log = staging.File("sign.log");
  staging.File("sign.log.err");
  const Signer signer = SignerOf(o);
  const SigningDeadline deadline = SigningDeadlineFromNow();
  if (o.sign_command) {
    RunSigningCommand(image, signed_image, signer, log, deadline);
  } else {
    SignImage(image, signed_image, signer, log, deadline, ForeignTimestamp);
  }
  const std::string who = o.sign_command ? "--sign-command" : "osslsigncode";
  if (const auto fault = SignedImageFault(image, signed_image)) {
    throw PackError("signing failed: " + who + " returned no signed copy of the image: " + *fault);
  }
  // Only a signature over this image's digest, verifying, counts; the file is closed again before
  // it is published.
  bool stamped = false;
  {
    const InputFile returned(signed_image, "the signed image");
    const AuthenticodeReport report = InspectAuthenticode(returned, ReadPeImage(returned));
    if (!report.Sound()) {
      throw PackError("signing failed: " + who +
                      " returned no signed copy of the image: " + report.FirstFault());
    }
    stamped = std::any_of(report.signatures.begin(), report.signatures.end(),
                          [](const SignatureReport &s) { return !s.timestamp_kind.empty(); });
  }
  if (!stamped) {
    Warn("the signature has no time stamp: it stops being valid when the certificate expires "
         "(--sign-timestamp URL adds one)");
  }
  return signed_image;
}

} // namespace

int Pack(const Options &o, const char *argv0) {
  const std::string stub_path = o.stub.value_or(DefaultStub(argv0));
  CheckOutput(*o.out, InputsOf(o, stub_path));
  if (Signs(o)) {
    CheckSigning(SignerOf(o));
  }
  const InputFile stub(stub_path, o.stub ? "--stub" : kBareStubOrigin);
  const PeImage image = ReadPeImage(stub);
  std::vector<ResourceEntry> entries = StubResources(stub, image);
  ApplyIdentity(o.identity, entries);
  std::vector<std::string> notes;
  AddPayload(o, entries, notes);
  if (!o.no_layout_check) {
    RefuseLayout(o, entries);
  }

  StagingDirectory staging(*o.out);
  if (o.setup) {
    CompressSetup(o, entries, staging);
  }
  const PackedImage packed(stub, image, std::move(entries));
  const std::string result = WriteOut(o, packed, staging);
  const std::uint64_t size = std::filesystem::file_size(NativePath(result));
  for (const std::string &note : notes) {
    Note(note);
  }
  if (o.no_layout_check) {
    staging.Publish(result, *o.out);
    return 0;
  }
  const PayloadLayout layout = JudgeLayout(packed.entries());
  WarnAboutPayload(layout, packed.entries());
  staging.Publish(result, *o.out);
  Print(stdout,
        Formatted("%s: %llu bytes; runs from folders of up to %zu characters\n", o.out->c_str(),
                  static_cast<unsigned long long>(size), LongestFolder(layout)));
  return 0;
}

} // namespace packer
