// SPDX-License-Identifier: Zlib
#include "cli/check_command.h"

#include <algorithm>
#include <vector>

#include "base/messages.h"
#include "base/pack_error.h"
#include "layout/layout_check.h"
#include "pe/authenticode.h"
#include "pe/pe_image.h"
#include "pe/product_identity.h"
#include "pe/resource_id.h"
#include "pe/resources.h"
#include "platform/input_file.h"

namespace packer {
namespace {

// The length of the well-formed UTF-8 sequence at `text[i]`, or 0 where it is not one.
std::size_t Utf8SequenceLength(const std::string &text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = lead < 0x80                    ? 1
                       : lead >= 0xC2 && lead <= 0xDF ? 2
                       : lead >= 0xE0 && lead <= 0xEF ? 3
                       : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                      : 0;
  if (length == 0 || i + length > text.size()) {
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      return 0;
    }
  }
  // No overlong forms, no surrogates, nothing above U+10FFFF.
  const unsigned char second = length > 1 ? byte(i + 1) : 0;
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90)) {
    return 0;
  }
  return length;
}

} // namespace

// Names come from certificates in files from anywhere: a byte that is not part of well-formed
// UTF-8 becomes U+FFFD, so the object stays valid JSON whatever the certificate holds.
std::string JsonString(const std::string &text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      out += "\\ufffd";
      ++i;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      out += Formatted("\\u%04x", c);
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out + "\"";
}

namespace {

std::string JsonOrNull(const std::string &text) { return text.empty() ? "null" : JsonString(text); }

const char *JsonBool(bool value) { return value ? "true" : "false"; }

std::string IconSize(const IconImage &icon) {
  return Formatted("%ux%u", icon.Width(), icon.Height());
}

std::string JsonIdentity(const IdentityReport &identity) {
  std::string json = ",\"version\":";
  if (!identity.version) {
    json += "null";
  } else {
    const VersionInfo &v = *identity.version;
    json += "{\"file_version\":" + JsonString(v.file.Text()) +
            ",\"product_version\":" + JsonString(v.product.Text()) + ",\"strings\":{";
    std::vector<std::u16string> shown;
    for (const VersionString &s : v.strings) {
      // A foreign block may repeat a key; an object holds each once.
      if (std::find(shown.begin(), shown.end(), s.key) != shown.end()) {
        continue;
      }
      if (!shown.empty()) {
        json += ',';
      }
      json += JsonString(Utf16ToUtf8(s.key)) + ":" + JsonString(Utf16ToUtf8(s.value));
      shown.push_back(s.key);
    }
    json += "}}";
  }
  json += ",\"icons\":[";
  for (std::size_t i = 0; i < identity.icons.size(); ++i) {
    const IconImage &icon = identity.icons[i];
    json += Formatted("%s{\"width\":%u,\"height\":%u,\"bit_count\":%u}", i ? "," : "", icon.Width(),
                      icon.Height(), icon.bit_count);
  }
  json += "],\"execution_level\":" +
          (identity.execution_level ? JsonString(*identity.execution_level) : "null");
  return json;
}

std::string IdentityLines(const IdentityReport &identity) {
  std::string text;
  if (identity.version) {
    text += "version: file " + identity.version->file.Text() + ", product " +
            identity.version->product.Text() + "\n";
    for (const VersionString &s : identity.version->strings) {
      text += "  " + Printable(Utf16ToUtf8(s.key)) + ": " + Printable(Utf16ToUtf8(s.value)) + "\n";
    }
  } else {
    text += identity.version_damaged ? "version: damaged\n" : "version: none\n";
  }
  std::string sizes;
  for (const IconImage &icon : identity.icons) {
    sizes += (sizes.empty() ? "" : ", ") + IconSize(icon) +
             (icon.bit_count ? Formatted(" %u-bit", icon.bit_count) : std::string());
  }
  text += "icon: " +
          (identity.icons_damaged ? std::string("damaged")
           : sizes.empty()        ? std::string("none")
                                  : sizes) +
          "\n";
  text += "execution level: " +
          (identity.manifest_damaged  ? std::string("the manifest is damaged")
           : identity.execution_level ? Printable(*identity.execution_level)
                                      : std::string("none requested")) +
          "\n";
  return text;
}

// The keys are documented in docs/reference.md and kept: CI jobs read them.
std::string JsonReport(const std::string &path, const std::vector<ResourceEntry> &entries,
                       const PayloadLayout &layout, const std::string &cabinet,
                       const AuthenticodeReport &signing, const IdentityReport &identity,
                       const std::string &fault) {
  std::string json = "{\"file\":" + JsonString(path) + ",\"resources\":[";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ResourceEntry &e = entries[i];
    json += Formatted("%s{\"type\":%s,\"name\":%s,\"language\":%u,\"size\":%llu}", i ? "," : "",
                      JsonString(e.type.Display()).c_str(), JsonString(e.name.Display()).c_str(),
                      e.language, static_cast<unsigned long long>(e.size));
  }
  json += "],\"extracts\":" + std::string(JsonBool(!layout.fault));
  json += ",\"stub\":" + std::string(layout.fault   ? "null"
                                     : layout.patch ? "\"patch\""
                                                    : "\"full\"");
  json += ",\"longest_folder\":" +
          (layout.fault ? std::string("null") : std::to_string(LongestFolder(layout)));
  json += ",\"cabinet\":" + JsonOrNull(cabinet);
  json += JsonIdentity(identity);
  json += ",\"content_digest\":" + JsonString(signing.content_digest);
  json += ",\"signed\":" + std::string(JsonBool(signing.has_table)) + ",\"signatures\":[";
  for (std::size_t i = 0; i < signing.signatures.size(); ++i) {
    const SignatureReport &s = signing.signatures[i];
    json += Formatted("%s{\"depth\":%u,\"digest_algorithm\":%s,\"subject\":%s,\"issuer\":%s,",
                      i ? "," : "", s.depth, JsonString(s.digest_algorithm).c_str(),
                      JsonOrNull(s.subject).c_str(), JsonOrNull(s.issuer).c_str());
    json += "\"timestamp\":";
    json += s.timestamp_kind.empty()
                ? "null"
                : "{\"kind\":" + JsonString(s.timestamp_kind) +
                      ",\"time\":" + JsonOrNull(s.timestamp_time) +
                      ",\"authority\":" + JsonOrNull(s.timestamp_authority) + "}";
    json += ",\"signed_digest\":" + JsonOrNull(s.signed_digest) +
            ",\"digest_matches\":" + JsonBool(s.digest_matches) +
            ",\"signature_verifies\":" + JsonBool(s.signature_verifies) +
            ",\"fault\":" + JsonOrNull(s.fault) + "}";
  }
  json += "],\"fault\":" + JsonOrNull(fault) + "}\n";
  return json;
}

std::string SignatureLines(const AuthenticodeReport &signing) {
  std::string text = "content digest: sha256:" + signing.content_digest + "\n";
  if (!signing.has_table) {
    return text + "not signed\n";
  }
  for (std::size_t i = 0; i < signing.signatures.size(); ++i) {
    const SignatureReport &s = signing.signatures[i];
    text += Formatted("signature %zu%s: %s, signed by %s, issued by %s\n", i + 1,
                      s.depth ? Formatted(" (nested, level %u)", s.depth).c_str() : "",
                      s.digest_algorithm.empty() ? "?" : s.digest_algorithm.c_str(),
                      s.subject.empty() ? "?" : s.subject.c_str(),
                      s.issuer.empty() ? "?" : s.issuer.c_str());
    text += s.timestamp_kind.empty()
                ? std::string("  no time stamp: the signature ends with the certificate\n")
                : "  time stamp (" + s.timestamp_kind + "): " + s.timestamp_time + " by " +
                      (s.timestamp_authority.empty() ? "?" : s.timestamp_authority) + "\n";
    text += Formatted("  digest %s the file; signature %s\n",
                      s.digest_matches ? "matches" : "does NOT match",
                      s.signature_verifies ? "verifies" : "does NOT verify");
  }
  return text;
}

} // namespace

int Check(const std::string &path, bool json) {
  const InputFile file(path, "--check");
  const PeImage image = ReadPeImage(file);
  const std::vector<ResourceEntry> entries = ReadResources(file, image);
  PayloadLayout layout = JudgeLayout(entries);
  std::string cabinet;
  if (!layout.fault && !layout.patch) {
    layout.fault = JudgeCabinet(*layout.setup, &cabinet);
  }
  const AuthenticodeReport signing = InspectAuthenticode(file, image);
  const IdentityReport identity = InspectIdentity(file, entries);
  // The payload's fault names the stub's exit code; a signature's fault comes after it.
  std::string fault = layout.fault ? layout.fault->Message() : signing.FirstFault();
  if (json) {
    Print(stdout, JsonReport(path, entries, layout, cabinet, signing, identity, fault));
  } else {
    std::string listing = Formatted("%-8s %-24s %8s %12s\n", "TYPE", "NAME", "LANGUAGE", "SIZE");
    for (const ResourceEntry &e : entries) {
      listing +=
          Formatted("%-8s %-24s %8u %12llu\n", e.type.Display().c_str(), e.name.Display().c_str(),
                    e.language, static_cast<unsigned long long>(e.size));
    }
    Print(stdout, listing);
    if (!cabinet.empty()) {
      Print(stdout, "cabinet: " + cabinet + "\n");
    }
    Print(stdout, IdentityLines(identity));
    Print(stdout, SignatureLines(signing));
  }
  if (!fault.empty()) {
    throw PackError(path + ": " + fault);
  }
  WarnAboutPayload(layout, entries);
  if (!json) {
    Print(stdout,
          Formatted("%s extracts (a %s stub); it runs from folders of up to %zu characters\n",
                    path.c_str(), layout.patch ? "patch" : "full", LongestFolder(layout)));
  }
  return 0;
}

} // namespace packer
