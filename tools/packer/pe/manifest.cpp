// SPDX-License-Identifier: Zlib
#include "pe/manifest.h"

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "base/pack_error.h"
#include "pe/resource_id.h"

namespace packer {
namespace {

constexpr std::string_view kAssemblyNamespace = "urn:schemas-microsoft-com:asm.v1";
// Deeper nesting than any manifest needs; it bounds the parser's memory on hostile input.
constexpr std::size_t kMaxDepth = 256;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsNameStart(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || u >= 0x80;
}

bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// XML 1.0's characters: no control characters but tab, line feed and carriage return.
bool IsXmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

struct Element {
  std::string name;
  std::map<std::string, std::string> namespaces; // prefixes declared on it ("" the default)
};

class ManifestParser {
public:
  ManifestParser(std::string_view text, const std::string &what) : text_(text), what_(what) {}

  ManifestFacts Parse() {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") {
      pos_ = 3;
    }
    if (Ahead("<?xml") && pos_ + 5 < text_.size() && IsSpace(text_[pos_ + 5])) {
      Skip("?>", "an XML declaration");
    }
    Misc();
    if (!Ahead("<") || Ahead("</")) {
      Fail(pos_ == text_.size() ? "it has no root element" : "text before the root element");
    }
    Elements();
    Misc();
    if (pos_ != text_.size()) {
      Fail("something follows the root element");
    }
    return facts_;
  }

private:
  [[noreturn]] void Fail(const std::string &why) const {
    // Lines counted to the fault, so the user finds it.
    const std::size_t line =
        1 + static_cast<std::size_t>(
                std::count(text_.begin(), text_.begin() + std::min(pos_, text_.size()), '\n'));
    throw PackError(what_ + ": not a manifest Windows accepts: " + why + " (line " +
                    std::to_string(line) + ")");
  }

  bool Ahead(std::string_view s) const { return text_.substr(pos_, s.size()) == s; }

  // Moves past the next `end`, checking the characters on the way.
  void Skip(std::string_view end, const char *what) {
    const std::size_t found = text_.find(end, pos_);
    if (found == std::string_view::npos) {
      Fail(std::string("an unterminated ") + what);
    }
    pos_ = found + end.size();
  }

  void Spaces() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) {
      ++pos_;
    }
  }

  void Comment() {
    pos_ += 4;
    const std::size_t end = text_.find("--", pos_);
    if (end == std::string_view::npos || text_.substr(end, 3) != "-->") {
      Fail(end == std::string_view::npos ? "an unterminated comment" : "\"--\" inside a comment");
    }
    pos_ = end + 3;
  }

  void ProcessingInstruction() {
    pos_ += 2;
    const std::size_t start = pos_;
    while (pos_ < text_.size() && IsNameChar(text_[pos_])) {
      ++pos_;
    }
    std::string target(text_.substr(start, pos_ - start));
    std::transform(target.begin(), target.end(), target.begin(),
                   [](char c) { return static_cast<char>(c | 0x20); });
    if (start == pos_ || target == "xml") {
      Fail("a misplaced XML declaration or processing instruction");
    }
    Skip("?>", "processing instruction");
  }

  // Comments, processing instructions and white space; a document type is refused.
  void Misc() {
    for (;;) {
      Spaces();
      if (Ahead("<!--")) {
        Comment();
      } else if (Ahead("<?")) {
        ProcessingInstruction();
      } else if (Ahead("<!")) {
        Fail("a document type (DTD) or declaration, which a manifest must not have");
      } else {
        return;
      }
    }
  }

  std::string Name() {
    const std::size_t start = pos_;
    if (pos_ >= text_.size() || !IsNameStart(text_[pos_])) {
      Fail("a name was expected");
    }
    while (pos_ < text_.size() && IsNameChar(text_[pos_])) {
      ++pos_;
    }
    return std::string(text_.substr(start, pos_ - start));
  }

  // A reference at pos_ ('&'): only character references and the five predefined entities.
  void Reference() {
    const std::size_t end = text_.find(';', pos_);
    if (end == std::string_view::npos || end - pos_ > 12) {
      Fail("a bare \"&\" (write &amp;)");
    }
    const std::string_view ref = text_.substr(pos_ + 1, end - pos_ - 1);
    if (ref == "lt" || ref == "gt" || ref == "amp" || ref == "apos" || ref == "quot") {
      pos_ = end + 1;
      return;
    }
    if (ref.size() > 1 && ref[0] == '#') {
      const bool hex = ref[1] == 'x';
      const std::string_view digits = ref.substr(hex ? 2 : 1);
      std::uint32_t value = 0;
      bool good = !digits.empty();
      for (char c : digits) {
        const int d = c >= '0' && c <= '9'                            ? c - '0'
                      : hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10
                                                                      : -1;
        good = good && d >= 0 && value <= 0x10FFFF;
        value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(d < 0 ? 0 : d);
      }
      if (!good || !IsXmlChar(value)) {
        Fail("a character reference to no XML character");
      }
      pos_ = end + 1;
      return;
    }
    // Only a name makes an entity reference; anything else is an ampersand on its own.
    if (ref.empty() || !IsNameStart(ref[0]) ||
        !std::all_of(ref.begin(), ref.end(), [](char c) { return IsNameChar(c); })) {
      Fail("a bare \"&\" (write &amp;)");
    }
    Fail("an entity reference &" + std::string(ref) +
         "; (a manifest has no entities but the five predefined ones)");
  }

  // An attribute's value, returning where it lies.
  std::pair<std::size_t, std::size_t> AttributeValue() {
    if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\'')) {
      Fail("an attribute value must be quoted");
    }
    const char quote = text_[pos_++];
    const std::size_t begin = pos_;
    while (pos_ < text_.size() && text_[pos_] != quote) {
      if (text_[pos_] == '<') {
        Fail("\"<\" in an attribute value");
      }
      if (text_[pos_] == '&') {
        Reference();
      } else {
        ++pos_;
      }
    }
    if (pos_ >= text_.size()) {
      Fail("an unterminated attribute value");
    }
    return {begin, pos_++};
  }

  std::string Resolve(const std::string &prefix) const {
    for (auto e = open_.rbegin(); e != open_.rend(); ++e) {
      if (const auto found = e->namespaces.find(prefix); found != e->namespaces.end()) {
        return found->second;
      }
    }
    if (!prefix.empty() && prefix != "xml") {
      Fail("the namespace prefix \"" + prefix + "\" is not declared");
    }
    return {};
  }

  static std::pair<std::string, std::string> Split(const std::string &name) {
    const std::size_t colon = name.find(':');
    return colon == std::string::npos
               ? std::pair<std::string, std::string>{"", name}
               : std::pair<std::string, std::string>{name.substr(0, colon), name.substr(colon + 1)};
  }

  // A start tag at pos_ ('<'); returns whether it was empty (<x/>).
  bool StartTag() {
    ++pos_;
    Element element;
    element.name = Name();
    std::set<std::string> names;
    std::vector<std::pair<std::string, std::pair<std::size_t, std::size_t>>> attributes;
    for (;;) {
      const std::size_t before = pos_;
      Spaces();
      if (Ahead("/>") || Ahead(">")) {
        break;
      }
      if (before == pos_) {
        Fail("attributes must be separated by white space");
      }
      std::string name = Name();
      Spaces();
      if (!Ahead("=")) {
        Fail("attribute " + name + " has no value");
      }
      ++pos_;
      Spaces();
      const auto value = AttributeValue();
      if (!names.insert(name).second) {
        Fail("attribute " + name + " is given twice");
      }
      if (name == "xmlns" || name.rfind("xmlns:", 0) == 0) {
        element.namespaces[name == "xmlns" ? "" : name.substr(6)] =
            std::string(text_.substr(value.first, value.second - value.first));
      }
      attributes.push_back({std::move(name), value});
    }
    const bool empty = Ahead("/>");
    pos_ += empty ? 2 : 1;
    if (open_.size() == kMaxDepth) {
      Fail("elements nested too deeply");
    }
    open_.push_back(std::move(element));
    const auto [prefix, local] = Split(open_.back().name);
    const std::string space = Resolve(prefix);
    for (const auto &[name, value] : attributes) {
      const auto [attribute_prefix, attribute_local] = Split(name);
      if (attribute_prefix != "xmlns" && name != "xmlns") {
        Resolve(attribute_prefix);
      }
      if (local == "requestedExecutionLevel" && name == "level" && facts_.level_end == 0) {
        facts_.level_begin = value.first;
        facts_.level_end = value.second;
        facts_.execution_level = std::string(text_.substr(value.first, value.second - value.first));
      }
    }
    if (open_.size() == 1 && (local != "assembly" || space != kAssemblyNamespace)) {
      Fail("the root element is not <assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\">");
    }
    if (empty) {
      open_.pop_back();
    }
    return empty;
  }

  void EndTag() {
    pos_ += 2;
    const std::string name = Name();
    Spaces();
    if (!Ahead(">")) {
      Fail("an end tag must end with \">\"");
    }
    ++pos_;
    if (name != open_.back().name) {
      Fail("</" + name + "> ends <" + open_.back().name + ">");
    }
    open_.pop_back();
  }

  // The root element and everything in it, without recursion.
  void Elements() {
    if (StartTag()) {
      return;
    }
    while (!open_.empty()) {
      if (pos_ >= text_.size()) {
        Fail("<" + open_.back().name + "> is not closed");
      }
      if (Ahead("</")) {
        EndTag();
      } else if (Ahead("<!--")) {
        Comment();
      } else if (Ahead("<![CDATA[")) {
        Skip("]]>", "CDATA section");
      } else if (Ahead("<?")) {
        ProcessingInstruction();
      } else if (Ahead("<!")) {
        Fail("a declaration inside an element");
      } else if (Ahead("<")) {
        StartTag();
      } else if (Ahead("&")) {
        Reference();
      } else if (Ahead("]]>")) {
        Fail("\"]]>\" in text");
      } else {
        ++pos_;
      }
    }
  }

  std::string_view text_;
  const std::string &what_;
  std::size_t pos_ = 0;
  std::vector<Element> open_;
  ManifestFacts facts_;
};

// Strict UTF-8 made only of XML characters.
void CheckCharacters(std::string_view text, const std::string &what) {
  std::u16string units;
  try {
    units = Utf8ToUtf16(text, what);
  } catch (const PackError &) {
    throw PackError(what + ": not a manifest Windows accepts: it is not valid UTF-8");
  }
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
    }
    if (!IsXmlChar(c)) {
      throw PackError(what + ": not a manifest Windows accepts: it holds a control character " +
                      "that XML does not allow");
    }
  }
}

} // namespace

ManifestFacts CheckManifest(std::string_view text, const std::string &what) {
  CheckCharacters(text, what);
  return ManifestParser(text, what).Parse();
}

bool IsExecutionLevel(std::string_view level) {
  return level == "asInvoker" || level == "highestAvailable" || level == "requireAdministrator";
}

std::string WithExecutionLevel(std::string_view text, std::string_view level,
                               const std::string &what) {
  const ManifestFacts facts = CheckManifest(text, what);
  if (facts.level_end == 0) {
    throw PackError(what + ": its manifest requests no execution level to change");
  }
  std::string out(text.substr(0, facts.level_begin));
  out += level;
  out += text.substr(facts.level_end);
  return out;
}

} // namespace packer
