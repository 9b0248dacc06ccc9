// An element's attribute value as libxml2's xmlGetProp gives it, read in place where that is the
// same thing: the reading of a manifest or patch cache of many thousand elements would otherwise
// copy and free every value it looks at.
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>

namespace korvel {

// Owns a parsed or built document: the only place a document is freed (with the attribute blocks a
// parse below gave its file elements).
struct XmlDocumentFree {
  void operator()(xmlDoc* document) const;
};
using XmlDocument = std::unique_ptr<xmlDoc, XmlDocumentFree>;

// The options every document this program reads is parsed with: libxml2's defaults, with short texts
// (most attribute values: sizes, CRCs, flags, short names) kept inside their node instead of in a
// block of their own: a manifest of many thousand files is read with far fewer allocations.
inline constexpr int kXmlReadOptions = XML_PARSE_COMPACT;

// Unlinks `element` from its document and frees it with everything below it, attribute blocks too.
void freeXmlElement(xmlNode* element);

// `size` bytes of text as a document; null when they are not well-formed XML.
//
// In a document whose root is "KorvelPatcher" and which has no document type, the attributes of each
// "File" element (the thousands of a manifest) are kept in one block of the element's own instead of
// two nodes each: XmlProperty reads them alike, and the document's tree is a fraction of
// the size. Such an element is only read through XmlProperty and never copied out of its document,
// so those below a "Distribution" with a "Live" attribute (the stager copies that element) and any
// with a namespace prefix, an empty value or a reference in a value are left as libxml2 builds them.
XmlDocument parseXmlMemory(const char* text, int size);
// The file at `nativePath` as a document, with `extraOptions` (XML_PARSE_*) besides the common ones;
// null when it cannot be read or is not well-formed XML. Attributes are kept as parseXmlMemory does.
XmlDocument parseXmlFile(const char* nativePath, int extraOptions = 0);

class XmlProperty {
 public:
  // The value of the attribute `name` of `element` (absent for a null element or a node that is not
  // an element), also where a parse above kept the element's attributes in its store. An attribute
  // held as one text node is read where the document keeps it; anything
  // else (entity references, a document type that supplies default values) is left to xmlGetProp.
  XmlProperty(const xmlNode* element, const char* name);
  ~XmlProperty();
  XmlProperty(const XmlProperty&) = delete;
  XmlProperty& operator=(const XmlProperty&) = delete;

  bool present() const { return text_ != nullptr; }
  // The value, or null when the attribute is absent; valid while this object and the document live.
  const char* c_str() const { return text_; }

 private:
  const char* text_ = nullptr;
  xmlChar* owned_ = nullptr;
};

}  // namespace korvel
