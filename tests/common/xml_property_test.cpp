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

// Every element of `plain` (as libxml2 builds it) and of `kept` (as parseXmlMemory keeps it), in
// document order: the attributes read from `kept` are what xmlGetProp reads from `plain`.
void expectSameAttributes(const xmlNode* plain, const xmlNode* kept) {
  for (; plain && kept; plain = plain->next, kept = kept->next) {
    ASSERT_EQ(plain->type, kept->type);
    if (plain->type != XML_ELEMENT_NODE) continue;
    for (const char* name : {"Name", "Size", "SHA256", "Empty", "Entity", "Mode", "Live", "Missing", "name"}) {
      xmlChar* expected = xmlGetProp(plain, reinterpret_cast<const xmlChar*>(name));
      const XmlProperty got(kept, name);
      ASSERT_EQ(got.present(), expected != nullptr) << plain->name << " " << name;
      if (expected) {
        EXPECT_STREQ(got.c_str(), reinterpret_cast<const char*>(expected)) << plain->name << " " << name;
      }
      xmlFree(expected);
    }
    expectSameAttributes(plain->children, kept->children);
  }
  EXPECT_EQ(plain, nullptr);
  EXPECT_EQ(kept, nullptr);
}

std::string dumped(xmlDoc* document) {
  xmlChar* text = nullptr;
  int size = 0;
  xmlDocDumpMemory(document, &text, &size);
  std::string result(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
  xmlFree(text);
  return result;
}

TEST(XmlPropertyTest, FileAttributesKeptCompactReadAsLibxml2BuildsThem) {
  const std::string files =
      "<File Name=\"a.pak\" Size=\"12\" SHA256=\"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\"/>"
      "<File Name=\"b &amp; c\" Entity=\"&#65;\"/><File Name=\"\" Size=\"1\"/>"
      "<File xmlns:p=\"urn:x\" p:Name=\"other\" Name=\"d\"/><file Name=\"e\"><DeltaFile Name=\"f\"/></file>";
  struct Case {
    std::string text;
    bool compacted;  // whether the first file element is held in the store
    bool asRead;     // whether the document is written back as libxml2 builds it
  };
  const Case cases[] = {
      {"<KorvelPatcher><Product><Distribution Name=\"x\">" + files + "</Distribution></Product></KorvelPatcher>", true,
       false},
      {"<korvelpatcher>\n  " + files + "\n</korvelpatcher>", true, false},
      // The stager copies a distribution with a "Live" attribute out of the document.
      {"<KorvelPatcher><Distribution Live=\"false\"><Directory>" + files + "</Directory></Distribution>" + files +
           "</KorvelPatcher>",
       false, false},
      // A document type may give defaults; a document of another root is written back as it was read.
      {"<!DOCTYPE KorvelPatcher [<!ATTLIST File Mode CDATA \"fixed\">]><KorvelPatcher>" + files + "</KorvelPatcher>",
       false, true},
      {"<Root>" + files + "</Root>", false, true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.text);
    const XmlDocument plain(xmlReadMemory(test.text.data(), static_cast<int>(test.text.size()), nullptr, nullptr,
                                          kXmlReadOptions));
    const XmlDocument kept = parseXmlMemory(test.text.data(), static_cast<int>(test.text.size()));
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(kept, nullptr);
    expectSameAttributes(xmlDocGetRootElement(plain.get()), xmlDocGetRootElement(kept.get()));
    const xmlNode* first = xmlDocGetRootElement(kept.get());
    while (first && !(first->type == XML_ELEMENT_NODE && xmlStrEqual(first->name, reinterpret_cast<const xmlChar*>("File"))))
      first = first->children ? first->children : first->next;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->properties == nullptr, test.compacted);
    if (test.asRead) {
      EXPECT_EQ(dumped(kept.get()), dumped(plain.get()));
    }
  }
  // Text that is not well-formed gives no document.
  const std::string broken = "<KorvelPatcher><File Name=\"a\"></KorvelPatcher>";
  EXPECT_EQ(parseXmlMemory(broken.data(), static_cast<int>(broken.size())), nullptr);
  EXPECT_EQ(parseXmlMemory(broken.data(), 0), nullptr);
}

}  // namespace
}  // namespace korvel
