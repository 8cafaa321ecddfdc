// SPDX-License-Identifier: Zlib
#include "cli/options.h"

#include <algorithm>
#include <cctype>

#include "base/messages.h"
#include "base/pack_error.h"
#include "pe/manifest.h"
#include "pe/resource_id.h"

namespace packer {
namespace {

// Shaped for help2man as well as for reading: every form of the command on a line of its own
// (the man page's synopsis), and every option in a paragraph of its own.
constexpr const char *kUsage =
    R"(Usage: pack-stub -o OUT.exe --archive FILE --setup EXE [OPTION]...
  or:  pack-stub -o OUT.exe --archive FILE --setup-cab CAB [OPTION]...
  or:  pack-stub -o OUT.exe --archive FILE --patch FILE [--previous-version TEXT] [OPTION]...
  or:  pack-stub -o OUT.exe --no-layout-check [--resource TYPE NAME FILE]... [OPTION]...
  or:  pack-stub --check [--json] STUB.exe
  or:  pack-stub --help | --version

Writes a copy of the bare stub with the payload in its resources; no compiler or linker is
needed. The stub's icon, version block and manifest are kept unless the options below replace
them; every payload resource is in language 1033.

Options:
  -o OUT.exe                 the stub to write; it appears only when packing succeeds. An
                             existing file is replaced whole, and a symbolic link is replaced
                             by the stub (what it points to is left alone); a directory, FIFO,
                             device or socket is refused.
  --stub BARE.exe            the bare stub to start from (default: ondrel-stub.exe beside
                             pack-stub)
  --archive FILE             the product's 7z archive, as "B7" "ONDREL.PACKED.7Z" (required)
  --setup EXE                the setup program, compressed into a cabinet holding one file
                             "setup.exe", as "BL" "SETUP.EX_" (this, --setup-cab or --patch is
                             required)
  --cab-compression lzx[:15..21] | lzx-max[:15..21] | lzx-fast[:15..21] | mszip | none
                             how --setup is compressed: lzx (window 2^21, the default),
                             lzx:15 to lzx:21 (a window of 2^15 to 2^21 bytes: smaller windows
                             compress less and need less memory to expand), lzx-max with the
                             same windows (more passes: about 0.2 % smaller, 1.8 times the
                             time), lzx-fast with the same windows (a quicker search for
                             matches: about three times as fast, cabinets about 5 % larger),
                             mszip (deflate, zlib level 9) or none
  --setup-cab CAB            an existing cabinet, embedded as is as "BL" "SETUP.EX_", for
                             example one from makecab /D CompressionType=LZX setup.exe SETUP.EX_
  --patch FILE               a patch for the installed setup program, as "B7" "SETUP.PATCH",
                             which makes a patch stub
  --previous-version TEXT    RT_RCDATA 1: TEXT (UTF-8) as UTF-16LE with its NUL
  --rcdata-file FILE         RT_RCDATA 1: the bytes of FILE
  --resource TYPE NAME FILE  any further resource (repeatable). A TYPE or NAME of digits only
                             is an integer identifier (1-65535); anything else is a name,
                             stored in upper case as resource compilers store it (FindResourceW
                             looks names up in upper case). Names cannot begin with "#".
  --file-version A.B.C.D     the version of OUT.exe (each part 0-65535; missing parts are 0):
                             the fixed part of its version block and its FileVersion string.
                             Any version option builds the whole block from the options alone:
                             none of the bare stub's strings stays.
  --product-version A.B.C.D  the product's version, likewise (default: the file version)
  --version-info KEY=VALUE   a string of the version block (repeatable): CompanyName,
                             ProductName, FileDescription, LegalCopyright, OriginalFilename,
                             InternalName, Comments or any key of up to 255 characters; also a
                             free-text FileVersion or ProductVersion such as "2.1 beta"
  --icon FILE.ico            the icon of OUT.exe: every image of FILE.ico (PNG-compressed
                             256-pixel images too) replaces the stub's icon group and images
  --execution-level asInvoker | highestAvailable | requireAdministrator
                             the level the manifest requests (default asInvoker).
                             requireAdministrator suits a per-machine product whose setup
                             program needs an administrator's rights: the run then belongs to
                             the administrator who elevates (their HKEY_CURRENT_USER and
                             ClientState key), so a per-user product keeps asInvoker
  --manifest FILE            replaces the whole manifest: UTF-8, well-formed XML without a
                             document type or entities, its root <assembly> in the
                             urn:schemas-microsoft-com:asm.v1 namespace (Windows refuses to
                             start a program with a manifest it rejects); not with
                             --execution-level
  --sign-cert CERT           sign OUT.exe (Authenticode, SHA-256) with osslsigncode, as the
                             owner of the certificate in CERT: the signer's certificate first,
                             then any chain to go with it (PEM; DER for a single certificate),
                             or a PKCS #11 URI (pkcs11:...) of the certificate in a token. Needs
                             --sign-key. Without a time stamp the signing time is
                             SOURCE_DATE_EPOCH when set, else the start of the first
                             certificate's validity, so that signing is reproducible too; a
                             certificate in a token needs SOURCE_DATE_EPOCH or a time stamp.
  --sign-key KEY             the private key of the certificate in --sign-cert: a file, or a
                             PKCS #11 URI (pkcs11:token=...;object=...;type=private) of a key
                             that stays in a token, an HSM or a smart card. An encrypted key
                             needs --sign-pass-file: the packer never asks for a pass phrase or
                             a PIN, so it never waits for one.
  --sign-pass-file FILE      the first line of FILE is the pass phrase of the --sign-key key,
                             or the PIN of its token (never on the command line, where every
                             user of the machine can read it)
  --sign-pkcs11-module PATH  the token's PKCS #11 module (for SoftHSM2:
                             /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so), required with
                             a pkcs11: key or certificate; osslsigncode reaches it through
                             OpenSSL's PKCS #11 engine
  --sign-timestamp URL       an RFC 3161 time-stamp authority (repeatable: tried in order until
                             one answers). A time-stamped signature stays valid after the
                             certificate expires; without one, signing warns.
  --sign-command TEMPLATE    sign with any other signer (signtool, jsign, a cloud signing
                             service's tool): TEMPLATE runs through /bin/sh -c (cmd.exe /c on
                             Windows) with {file} replaced by the image to sign in place, or
                             {in} and {out} by the image and the signed file to write, quoted
                             for that shell; without a terminal, with this environment, before
                             OUT appears. Its own last line tells why it failed. What it
                             returns must be the image it was given, byte for byte, but for the
                             checksum, the security directory entry and an Authenticode
                             certificate table at the end; anything else is refused. It does
                             its own time stamping.
  --strict                   every warning fails the pack (status 1, no OUT): among them a
                             signature without a time stamp
  --no-layout-check          pack a payload the stub would refuse, with names stored exactly
                             as given (for tests)
  --quiet                    no notes, warnings or progress; errors are still shown
  --check STUB.exe           list the resources of a stub and say whether it would extract
                             (exit status 0) or with which code it would end (1); report its
                             content digest (the Authenticode SHA-256 of the image, the same
                             signed or not) and each signature, nested ones too: digest
                             algorithm, signer, time stamp, whether the signed digest matches
                             the file and the signature verifies against the signer's
                             certificate; and the version block's numbers and strings, the icon's
                             sizes and the requested execution level. A mismatch, a signature
                             that does not verify or a damaged certificate table ends with
                             status 1. Whether the certificate chain is trusted is for
                             `osslsigncode verify` or `signtool verify /pa` to say.
  --json                     with --check: the same as one JSON object on standard output
  --version                  print the release's version
  --help                     print this text

While a setup program of more than 8 MiB is compressed, or a stub of more than 256 MiB written,
a terminal shows one line with the share done and the rate, cleared at the end.

Before writing anything, a payload the stub would refuse at run time is refused with the exit
code it would end with: names it rejects, an empty payload, a setup program that is not a
Windows program, a cabinet it cannot expand. The same inputs give a byte-identical OUT.exe.
Signing, built in or by a command, ends within PACK_STUB_SIGN_TIMEOUT seconds (default 600):
a signer or an authority that does not answer by then ends the pack, with no OUT.

Exit status: 0 packed, 1 refused or failed, 2 usage error.
)";

// The options that take one value, and what that value is, for "-o needs a file name".
struct ValueOption {
  const char *name;
  std::optional<std::string> Options::*member;
  const char *value;
};
constexpr ValueOption kValueOptions[] = {
    {"-o", &Options::out, "a file name"},
    {"--stub", &Options::stub, "a file name"},
    {"--archive", &Options::archive, "a file name"},
    {"--setup", &Options::setup, "a file name"},
    {"--setup-cab", &Options::setup_cab, "a file name"},
    {"--cab-compression", &Options::cab_compression, "a method"},
    {"--patch", &Options::patch, "a file name"},
    {"--previous-version", &Options::previous_version, "a version"},
    {"--rcdata-file", &Options::rcdata_file, "a file name"},
    {"--sign-cert", &Options::sign_cert, "a file name"},
    {"--sign-key", &Options::sign_key, "a file name"},
    {"--sign-pass-file", &Options::sign_pass_file, "a file name"},
    {"--sign-pkcs11-module", &Options::sign_pkcs11_module, "a file name"},
    {"--sign-command", &Options::sign_command, "a command"},
    {"--check", &Options::check, "a file name"},
    {"--file-version", &Options::file_version, "a version (A.B.C.D)"},
    {"--product-version", &Options::product_version, "a version (A.B.C.D)"},
    {"--icon", &Options::icon, "an .ico file"},
    {"--execution-level", &Options::execution_level,
     "asInvoker, highestAvailable or requireAdministrator"},
    {"--manifest", &Options::manifest, "a file name"},
};
constexpr const char *kOtherOptions[] = {
    "--resource", "--sign-timestamp", "--no-layout-check", "--quiet", "--strict", "--help", "-h",
    "--version",  "--json",           "--version-info"};

[[noreturn]] void Usage(const std::string &message) {
  throw PackError(message + " (see --help)", 2);
}

bool IsOption(const std::string &text) {
  return std::any_of(std::begin(kValueOptions), std::end(kValueOptions),
                     [&](const ValueOption &v) { return text == v.name; }) ||
         std::find(std::begin(kOtherOptions), std::end(kOtherOptions), text) !=
             std::end(kOtherOptions);
}

// argv[i], a value of `option`; one that is missing, or is itself an option
// (`-o --archive a.7z`), is a usage error that says what the option needs.
std::string ValueAt(int argc, char **argv, int i, const std::string &option,
                    const std::string &needs) {
  if (i >= argc || IsOption(argv[i])) {
    throw PackError(option + " needs " + needs, 2);
  }
  return argv[i];
}

CabinetMethod ParseCabinetMethod(const std::string &text) {
  if (text == "none")
    return {CabinetCompression::kNone, 0};
  if (text == "mszip")
    return {CabinetCompression::kMszip, 0};
  const bool fast = text.rfind("lzx-fast", 0) == 0, max = text.rfind("lzx-max", 0) == 0;
  const LzxParse parse = fast ? LzxParse::kFast : max ? LzxParse::kMax : LzxParse::kNearOptimal;
  const std::string name = fast ? "lzx-fast" : max ? "lzx-max" : "lzx";
  if (text == name)
    return {CabinetCompression::kLzx, kLzxMaxWindowBits, parse};
  const std::string prefix = name + ":";
  if (text.rfind(prefix, 0) == 0) {
    const std::string window = text.substr(prefix.size());
    if (window.size() == 2 && std::isdigit(static_cast<unsigned char>(window[0])) &&
        std::isdigit(static_cast<unsigned char>(window[1]))) {
      const unsigned bits = static_cast<unsigned>(std::stoi(window));
      if (bits >= kLzxMinWindowBits && bits <= kLzxMaxWindowBits)
        return {CabinetCompression::kLzx, bits, parse};
    }
    Usage("--cab-compression " + text + ": the LZX window is 15 to 21 (2^15 to 2^21 bytes)");
  }
  Usage("--cab-compression " + text +
        ": not lzx, lzx-max or lzx-fast (each with :15 to :21), mszip or none");
}

// Reads argv[i] and any values it takes into `o`; returns the index of its last value.
int ParseOption(int argc, char **argv, int i, Options &o) {
  const std::string arg = argv[i];
  if (arg == "--no-layout-check" || arg == "--quiet" || arg == "--strict" || arg == "--json") {
    (arg == "--quiet"    ? o.quiet
     : arg == "--strict" ? o.strict
     : arg == "--json"   ? o.json
                         : o.no_layout_check) = true;
    return i;
  }
  if (arg == "--sign-timestamp") {
    o.sign_timestamps.push_back(ValueAt(argc, argv, i + 1, arg, "a URL"));
    return i + 1;
  }
  if (arg == "--version-info") {
    o.version_info.push_back(ValueAt(argc, argv, i + 1, arg, "KEY=VALUE"));
    return i + 1;
  }
  // --check's options come in any order: `--check --json STUB.exe` too.
  if (arg == "--check" && i + 1 < argc && std::string(argv[i + 1]) == "--json") {
    if (o.check) {
      Usage("--check given twice");
    }
    o.json = true;
    o.check = ValueAt(argc, argv, i + 2, arg, "a file name");
    return i + 2;
  }
  if (arg == "--resource") {
    std::array<std::string, 3> values;
    for (int k = 0; k < 3; ++k) {
      values[k] = ValueAt(argc, argv, i + 1 + k, arg, "TYPE NAME FILE");
    }
    o.resources.push_back(values);
    return i + 3;
  }
  for (const ValueOption &option : kValueOptions) {
    if (arg == option.name) {
      const std::string value = ValueAt(argc, argv, i + 1, arg, option.value);
      if (o.*option.member) {
        Usage(arg + " given twice");
      }
      o.*option.member = value;
      return i + 1;
    }
  }
  Usage("unknown argument: " + arg);
}

bool HasResourceType(const Options &o, const std::string &type) {
  return std::any_of(o.resources.begin(), o.resources.end(), [&](const auto &r) {
    return std::equal(r[0].begin(), r[0].end(), type.begin(), type.end(), [](char a, char b) {
      return std::toupper(static_cast<unsigned char>(a)) == b;
    });
  });
}

// The inputs every stub the stub can run needs, asked for by the options that give them. Layouts
// made of --resource entries are judged by the layout check instead, which names the stub's
// exit code.
void RequireInputs(const Options &o) {
  if (o.no_layout_check) {
    return;
  }
  if (!o.archive && !HasResourceType(o, "B7")) {
    throw PackError("--archive is required: the product's 7z archive", 2);
  }
  if (!o.setup && !o.setup_cab && !o.patch && !HasResourceType(o, "BL")) {
    throw PackError("--setup, --setup-cab or --patch is required: the product's setup program, "
                    "that program in a cabinet, or a patch for the installed one",
                    2);
  }
}

bool IsPkcs11(const std::optional<std::string> &text) {
  return text && text->rfind("pkcs11:", 0) == 0;
}

void CheckSigningOptions(const Options &o) {
  if (o.sign_command) {
    if (o.sign_cert || o.sign_pkcs11_module || !o.sign_timestamps.empty()) {
      Usage("--sign-command signs on its own, time stamps included: it excludes --sign-cert, "
            "--sign-key, --sign-pkcs11-module and --sign-timestamp");
    }
    const auto has = [&](const char *field) {
      return o.sign_command->find(field) != std::string::npos;
    };
    if (has("{file}") ? has("{in}") || has("{out}") : !(has("{in}") && has("{out}"))) {
      Usage("--sign-command needs {file} (a signer that signs in place) or both {in} and {out} "
            "(one that writes a new file)");
    }
  }
  if (!o.sign_timestamps.empty() && !o.sign_key) {
    Usage("--sign-timestamp goes with --sign-cert and --sign-key");
  }
  const bool in_token = IsPkcs11(o.sign_key) || IsPkcs11(o.sign_cert);
  if (in_token && !o.sign_pkcs11_module) {
    Usage("a pkcs11: key or certificate needs --sign-pkcs11-module PATH, the token's module");
  }
  if (o.sign_pkcs11_module && !in_token) {
    Usage("--sign-pkcs11-module goes with a pkcs11: --sign-key or --sign-cert");
  }
}

std::u16string Utf16Argument(const std::string &text, const std::string &what) {
  try {
    return Utf8ToUtf16(text, what);
  } catch (const PackError &e) {
    throw PackError(e.what(), 2);
  }
}

// VerQueryValueW finds keys whatever their case: two that differ only in case would shadow one
// another.
bool SameKey(const std::u16string &a, const std::u16string &b) {
  const auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? c - 32 : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&](char16_t x, char16_t y) { return fold(x) == fold(y); });
}

// One --version-info KEY=VALUE into `strings`, replacing a string made from a version number.
void AddVersionString(const std::string &text, std::vector<VersionString> &strings,
                      std::vector<std::u16string> &given) {
  const std::size_t equals = text.find('=');
  if (equals == std::string::npos) {
    Usage("--version-info " + Printable(text) + ": not KEY=VALUE");
  }
  const std::u16string key = Utf16Argument(text.substr(0, equals), "--version-info KEY");
  const std::u16string value = Utf16Argument(text.substr(equals + 1), "--version-info VALUE");
  if (key.empty()) {
    Usage("--version-info " + Printable(text) + ": the key is empty");
  }
  if (key.size() > kMaxVersionKey) {
    Usage(Formatted("--version-info: the key %s... is longer than %zu characters",
                    Printable(text.substr(0, 24)).c_str(), kMaxVersionKey));
  }
  // VerQueryValueW reads a backslash as a step in the path to a value.
  if (key.find(u'\\') != std::u16string::npos) {
    Usage("--version-info " + Printable(text) + ": a key cannot hold \"\\\"");
  }
  if (std::any_of(given.begin(), given.end(),
                  [&](const std::u16string &other) { return SameKey(other, key); })) {
    Usage("--version-info: the key " + Printable(text.substr(0, equals)) + " is given twice");
  }
  given.push_back(key);
  const auto same = std::find_if(strings.begin(), strings.end(),
                                 [&](const VersionString &s) { return SameKey(s.key, key); });
  if (same != strings.end()) {
    *same = {key, value};
  } else {
    strings.push_back({key, value});
  }
}

// The product's identity from its options; any version option makes the whole version block.
void CheckIdentity(Options &o) {
  ProductIdentity &identity = o.identity;
  if (o.file_version || o.product_version || !o.version_info.empty()) {
    VersionInfo info;
    if (o.file_version) {
      info.file = ParseVersionNumber(*o.file_version, "--file-version");
      info.product = info.file;
    }
    if (o.product_version) {
      info.product = ParseVersionNumber(*o.product_version, "--product-version");
    }
    if (o.file_version) {
      info.strings.push_back({u"FileVersion", Utf16Argument(info.file.Text(), "")});
    }
    if (o.file_version || o.product_version) {
      info.strings.push_back({u"ProductVersion", Utf16Argument(info.product.Text(), "")});
    }
    std::vector<std::u16string> given;
    for (const std::string &text : o.version_info) {
      AddVersionString(text, info.strings, given);
    }
    identity.version = std::move(info);
  }
  if (o.execution_level && !IsExecutionLevel(*o.execution_level)) {
    Usage("--execution-level " + Printable(*o.execution_level) +
          ": not asInvoker, highestAvailable or requireAdministrator");
  }
  if (o.execution_level && o.manifest) {
    Usage("--manifest and --execution-level exclude each other (set the level in the manifest)");
  }
  identity.icon = o.icon;
  identity.execution_level = o.execution_level;
  identity.manifest = o.manifest;
}

void CheckCombinations(Options &o) {
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
  if (o.sign_pass_file && !o.sign_key) {
    Usage("--sign-pass-file goes with --sign-cert and --sign-key");
  }
  CheckSigningOptions(o);
  CheckIdentity(o);
  RequireInputs(o);
}

} // namespace

std::optional<Options> ParseOptions(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Print(stdout, kUsage);
      return std::nullopt;
    }
    if (arg == "--version") {
      Print(stdout, std::string("pack-stub ") + PACKER_VERSION + "\n");
      return std::nullopt;
    }
    i = ParseOption(argc, argv, i, o);
  }
  SetQuiet(o.quiet);
  SetStrict(o.strict);
  if (o.check) {
    if (o.no_layout_check || o.strict || !o.resources.empty() || !o.sign_timestamps.empty() ||
        !o.version_info.empty() ||
        std::any_of(std::begin(kValueOptions), std::end(kValueOptions), [&](const ValueOption &v) {
          return v.member != &Options::check && (o.*v.member).has_value();
        })) {
      Usage("--check takes no other option but --json");
    }
    return o;
  }
  if (o.json) {
    Usage("--json goes with --check");
  }
  CheckCombinations(o);
  return o;
}

} // namespace packer
