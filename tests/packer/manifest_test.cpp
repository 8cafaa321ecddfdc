// SPDX-License-Identifier: Zlib
#include "pe/manifest.h"

#include "base/pack_error.h"

#include <gtest/gtest.h>

#include <string>

using namespace packer;

namespace {

const std::string kRoot =
    R"(<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">)";
const std::string kLevel =
    R"(<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security>)"
    R"(<requestedPrivileges><requestedExecutionLevel level="highestAvailable")"
    R"( uiAccess="false"/></requestedPrivileges></security></trustInfo>)";

// What Windows would refuse to start with is refused; what the XML rules allow is kept, and the
// requested level is found wherever the namespaces put it.
TEST(CheckManifest, AcceptsWellFormedAssembliesOnly) {
  struct Case {
    std::string text;
    std::string fault; // empty: accepted
    std::string level = "";
  };
  const Case cases[] = {
      {kRoot + "</assembly>", ""},
      {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n" + kRoot +
           kLevel + "</assembly>\n<!-- after -->\n",
       "", "highestAvailable"},
      {R"(<a:assembly xmlns:a="urn:schemas-microsoft-com:asm.v1"><a:x a:y="1"/></a:assembly>)", ""},
      {kRoot + "<![CDATA[<not markup> & ]]>&lt;&#65;&#x42;&amp;<?pi x?></assembly>", ""},
      {kRoot + "<x level='requireAdministrator'/><requestedExecutionLevel level='asInvoker'/>" +
           "<requestedExecutionLevel level='highestAvailable'/></assembly>",
       "", "asInvoker"},
      {"", "it has no root element"},
      {"   \n", "it has no root element"},
      {"MZ", "text before the root element"},
      {"<assembly/>", "the root element is not <assembly"},
      {R"(<assembly xmlns="urn:schemas-microsoft-com:asm.v3"/>)", "the root element is not"},
      {R"(<html xmlns="urn:schemas-microsoft-com:asm.v1"/>)", "the root element is not"},
      {"<!DOCTYPE assembly>" + kRoot + "</assembly>", "a document type (DTD)"},
      {kRoot + "<!ENTITY x 'y'></assembly>", "a declaration inside an element"},
      {kRoot + "&ent;</assembly>", "an entity reference &ent;"},
      {kRoot + "a & b</assembly>", "a bare \"&\""},
      {kRoot + "<x a='&\n p;'/></assembly>", "a bare \"&\""}, // the message stays one line
      {kRoot + "&#0;</assembly>", "a character reference to no XML character"},
      {kRoot + "&#x110000;</assembly>", "a character reference to no XML character"},
      {kRoot + "</assembly><x/>", "something follows the root element"},
      {kRoot + "<x></y></assembly>", "</y> ends <x>"},
      {kRoot + "<x>", "<x> is not closed"},
      {kRoot + "<x a='1' a='2'/></assembly>", "attribute a is given twice"},
      {kRoot + "<x a=1/></assembly>", "must be quoted"},
      {kRoot + "<x a='<'/></assembly>", "\"<\" in an attribute value"},
      {kRoot + "<x a='1'b='2'/></assembly>", "separated by white space"},
      {kRoot + "<p:x/></assembly>", "the namespace prefix \"p\" is not declared"},
      {kRoot + "<!-- a -- b --></assembly>", "\"--\" inside a comment"},
      {kRoot + "]]></assembly>", "\"]]>\" in text"},
      {kRoot + "<?xml version='1.0'?></assembly>", "a misplaced XML declaration"},
      {kRoot + "\x01</assembly>", "a control character"},
      {kRoot + "\xC3</assembly>", "not valid UTF-8"},
      {kRoot + std::string(300, '<'), "a name was expected"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    try {
      const ManifestFacts facts = CheckManifest(c.text, "--manifest m.xml");
      EXPECT_EQ(c.fault, "") << "accepted";
      EXPECT_EQ(facts.execution_level, c.level);
    } catch (const PackError &e) {
      EXPECT_NE(c.fault, "") << e.what();
      EXPECT_NE(std::string(e.what()).find(c.fault), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind("--manifest m.xml: ", 0), 0u) << e.what();
      EXPECT_EQ(e.status, 1);
    }
  }
}

TEST(CheckManifest, BoundsHowDeepElementsNest) {
  std::string nested = kRoot;
  for (int i = 0; i < 300; ++i) {
    nested += "<x>";
  }
  EXPECT_THROW(CheckManifest(nested, "m"), PackError);
}

// The level's value alone changes; the rest of the manifest stays byte for byte.
TEST(WithExecutionLevel, ReplacesTheRequestedLevelOnly) {
  const std::string before = kRoot + "\n  " + kLevel + "\n</assembly>\n";
  const std::string after = WithExecutionLevel(before, "requireAdministrator", "the bare stub");
  std::string expected = before;
  expected.replace(expected.find("highestAvailable"), 16, "requireAdministrator");
  EXPECT_EQ(after, expected);
  EXPECT_EQ(CheckManifest(after, "m").execution_level, "requireAdministrator");
  EXPECT_THROW(WithExecutionLevel(kRoot + "</assembly>", "asInvoker", "the bare stub"), PackError);
}

} // namespace
