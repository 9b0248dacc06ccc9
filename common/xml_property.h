// An element's attribute value as libxml2's xmlGetProp gives it, read in place where that is the
// same thing: the reading of a manifest or patch cache of many thousand elements would otherwise
// copy and free every value it looks at.
#pragma once

#include <libxml/tree.h>

namespace korvel {

class XmlProperty {
 public:
  // The value of the attribute `name` of `element` (absent for a null element or a node that is not
  // an element). An attribute held as one text node is read where the document keeps it; anything
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
