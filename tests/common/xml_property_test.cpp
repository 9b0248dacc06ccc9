// Attribute values read in place must be what xmlGetProp gives, in every form a document can hold them.
#include "common/xml_property.h"

#include <string>

#include <gtest/gtest.h>
#include <libxml/parser.h>

namespace korvel {
namespace {

TEST(XmlPropertyTest, AgreesWithXmlGetProp) {
  const std::string text =
      "<?xml version=\"1.0\"?>\n"
      "<!DOCTYPE Root [<!ATTLIST File Mode CDATA \"fixed\"> <!ENTITY who \"Korvel\">]>\n"
      "<Root><File Name=\"a.pak\" Empty=\"\" Entity=\"by &who; and &amp;\" Char=\"&#65;B\" p:Name=\"other\" "
      "xmlns:p=\"urn:x\"/></Root>";
  // Parsed as the program parses its documents, short values kept inside their nodes.
  const XmlDocument document(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                                           kXmlReadOptions | XML_PARSE_NONET));
  ASSERT_NE(document, nullptr);
  const xmlNode* file = xmlDocGetRootElement(document.get())->children;
  for (const char* name : {"Name", "Empty", "Entity", "Char", "Mode", "Missing"}) {
    xmlChar* expected = xmlGetProp(file, reinterpret_cast<const xmlChar*>(name));
    const XmlProperty got(file, name);
    ASSERT_EQ(got.present(), expected != nullptr) << name;
    if (expected) {
      EXPECT_STREQ(got.c_str(), reinterpret_cast<const char*>(expected)) << name;
    }
    xmlFree(expected);
  }
  EXPECT_FALSE(XmlProperty(nullptr, "Name").present());
}

}  // namespace
}  // namespace korvel
