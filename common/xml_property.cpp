// Attribute values read in place.
#include "common/xml_property.h"

#include <cstring>

namespace korvel {

XmlDocument parseXmlMemory(const char* text, int size) {
  return XmlDocument(xmlReadMemory(text, size, nullptr, nullptr, kXmlReadOptions));
}

XmlDocument parseXmlFile(const char* nativePath, int extraOptions) {
  return XmlDocument(xmlReadFile(nativePath, nullptr, kXmlReadOptions | extraOptions));
}

namespace {

const xmlChar* xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

// xmlStrEqual for an attribute's name; the readers ask for a dozen names an element mostly lacks, so
// the first byte settles nearly every comparison.
bool sameName(const xmlChar* attributeName, const char* name) {
  if (!attributeName) return false;
  const char* own = reinterpret_cast<const char*>(attributeName);
  return own[0] == name[0] && std::strcmp(own, name) == 0;
}

}  // namespace

XmlProperty::XmlProperty(const xmlNode* element, const char* name) {
  if (!element || element->type != XML_ELEMENT_NODE || !name) return;
  // xmlGetProp takes the first attribute of that name whatever its namespace, and copies its value
  // when that is a single text or character-data node; the same value is read here without the copy.
  bool listed = false;
  for (const xmlAttr* attribute = element->properties; attribute; attribute = attribute->next) {
    if (!sameName(attribute->name, name)) continue;
    listed = true;
    const xmlNode* value = attribute->children;
    if (value && !value->next && (value->type == XML_TEXT_NODE || value->type == XML_CDATA_SECTION_NODE)) {
      text_ = reinterpret_cast<const char*>(value->content);
      return;
    }
    break;
  }
  // A value made of several nodes, or no attribute where the document type could supply a default.
  const xmlDoc* document = element->doc;
  if (!listed && !(document && (document->intSubset || document->extSubset))) return;
  owned_ = xmlGetProp(element, xml(name));
  text_ = reinterpret_cast<const char*>(owned_);
}

XmlProperty::~XmlProperty() {
  if (owned_) xmlFree(owned_);
}

}  // namespace korvel
