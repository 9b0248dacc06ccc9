// The attribute readers of the manifest model.
#include "manifest/xml_attributes.h"

#include <libxml/tree.h>

#include "common/number_text.h"
#include "common/text_format.h"
#include "common/xml_property.h"

namespace korvel {

std::optional<std::string> readText(const xmlNode* element, const char* name, TextArgument fallback) {
  const XmlProperty value(element, name);
  if (!value.present()) return fallback.present() ? std::optional<std::string>(fallback.str()) : std::nullopt;
  return std::string(value.c_str());
}

std::int32_t readInteger(const xmlNode* element, const char* name, std::int32_t fallback) {
  const XmlProperty value(element, name);
  if (!value.present()) return fallback;
  return decimalToInt32(value.c_str());
}

std::int64_t readSize(const xmlNode* element, const char* name, std::int64_t fallback) {
  const XmlProperty value(element, name);
  if (!value.present()) return fallback;
  return decimalToSize(value.c_str()).value_or(kNotASize);
}

std::uint64_t readLimit(const xmlNode* element, const char* name, std::uint64_t fallback) {
  const XmlProperty value(element, name);
  if (!value.present()) return fallback;
  if (const std::optional<std::int64_t> bytes = decimalToSize(value.c_str())) return static_cast<std::uint64_t>(*bytes);
  return static_cast<std::uint32_t>(decimalToInt32(value.c_str()));
}

int booleanWord(const char* value) {
  if (!value) return kTriStateUnspecified;
  static constexpr const char* kTrue[] = {"y", "yes", "t", "true", "on", "1"};
  static constexpr const char* kFalse[] = {"n", "no", "f", "false", "off", "0"};
  const std::string_view text(value);
  for (const char* word : kTrue)
    if (equalsIgnoreCase(text, word)) return 1;
  for (const char* word : kFalse)
    if (equalsIgnoreCase(text, word)) return 0;
  return kTriStateUnspecified;
}

bool readBoolean(const xmlNode* element, const char* name, bool fallback) {
  const XmlProperty value(element, name);
  if (!value.present()) return fallback;
  const int word = booleanWord(value.c_str());
  return word == kTriStateUnspecified ? fallback : word == 1;
}

int readTriState(const xmlNode* element, const char* name) {
  const XmlProperty value(element, name);
  return booleanWord(value.c_str());
}

bool isElement(const xmlNode* node) { return node && node->type == XML_ELEMENT_NODE; }

bool isElementNamed(const xmlNode* node, const char* name) {
  return isElement(node) && node->name && name &&
         equalsIgnoreCase(reinterpret_cast<const char*>(node->name), name);
}

std::string elementName(const xmlNode* node) {
  if (!node || !node->name) return {};
  return reinterpret_cast<const char*>(node->name);
}

}  // namespace korvel
