// Attribute values read in place, and the parse that keeps a manifest's file attributes compact.
#include "common/xml_property.h"

#include <libxml/SAX2.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "common/text_format.h"

namespace korvel {

namespace {

const xmlChar* xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

// The attributes of one element in one block: `count` names, then as many values, each a
// zero-terminated text in the same block. The mark tells such a block from anything else an
// element's `_private` could hold.
struct CompactAttributes {
  static constexpr std::uint32_t kMark = 0x4b41'5454u;
  std::uint32_t mark;
  std::uint32_t count;
  const char* const* names() const { return reinterpret_cast<const char* const*>(this + 1); }
  const char* const* values() const { return names() + count; }
};

// Where in the tree the parse on this thread is, and the blocks it made: a document that turns out
// not to be well-formed is freed by libxml2 itself, and its blocks then here.
struct CompactParse {
  std::vector<void*> blocks;
  int depth = 0;
  bool rootTaken = false;
  // The depth of the outermost "Distribution" with a "Live" attribute open now; 0 when none is.
  int liveScope = 0;
};

thread_local CompactParse* activeParse = nullptr;

bool namedAttribute(int count, const xmlChar** attributes, const char* name) {
  for (int index = 0; index < count; ++index)
    if (equalsIgnoreCase(reinterpret_cast<const char*>(attributes[index * 5]), name)) return true;
  return false;
}

// Whether every attribute reads the same from a block as from the nodes libxml2 would make.
bool compactable(int count, const xmlChar** attributes) {
  for (int index = 0; index < count; ++index) {
    const xmlChar* const* attribute = attributes + index * 5;
    if (attribute[1] != nullptr) return false;  // a prefix
    const auto* value = reinterpret_cast<const char*>(attribute[3]);
    const auto* end = reinterpret_cast<const char*>(attribute[4]);
    if (value == end || std::memchr(value, '&', static_cast<std::size_t>(end - value)) != nullptr) return false;
  }
  return true;
}

// One block for all attributes of an element; freed with the element (freeXmlElement) or its document.
CompactAttributes* storeAttributes(int count, const xmlChar** attributes) {
  constexpr std::size_t kAlign = alignof(const char*);
  std::size_t bytes = sizeof(CompactAttributes) + 2 * static_cast<std::size_t>(count) * sizeof(const char*);
  for (int index = 0; index < count; ++index) {
    const xmlChar* const* attribute = attributes + index * 5;
    bytes += std::strlen(reinterpret_cast<const char*>(attribute[0])) + 1 +
             static_cast<std::size_t>(attribute[4] - attribute[3]) + 1;
  }
  bytes = (bytes + kAlign - 1) / kAlign * kAlign;
  char* block = static_cast<char*>(::operator new(bytes));
  auto* header = new (block) CompactAttributes{CompactAttributes::kMark, static_cast<std::uint32_t>(count)};
  auto** names = reinterpret_cast<const char**>(header + 1);
  const char** values = names + count;
  char* text = reinterpret_cast<char*>(values + count);
  for (int index = 0; index < count; ++index) {
    const xmlChar* const* attribute = attributes + index * 5;
    const std::size_t nameLength = std::strlen(reinterpret_cast<const char*>(attribute[0]));
    std::memcpy(text, attribute[0], nameLength + 1);
    names[index] = text;
    text += nameLength + 1;
    const auto valueLength = static_cast<std::size_t>(attribute[4] - attribute[3]);
    std::memcpy(text, attribute[3], valueLength);
    text[valueLength] = '\0';
    values[index] = text;
    text += valueLength + 1;
  }
  return header;
}

void startElement(void* context, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri,
                  int namespaceCount, const xmlChar** namespaces, int attributeCount, int defaultedCount,
                  const xmlChar** attributes) {
  auto* parser = static_cast<xmlParserCtxtPtr>(context);
  CompactParse* parse = activeParse;
  const char* name = reinterpret_cast<const char*>(localName);
  bool compact = false;
  if (parse) {
    ++parse->depth;
    if (parse->depth == 1 && !parse->rootTaken) {
      parse->rootTaken = true;
      // A document with another root is saved as it was read (the load's report of it).
      if (!equalsIgnoreCase(name, "KorvelPatcher")) parse->liveScope = 1;
    }
    if (parse->liveScope == 0 && equalsIgnoreCase(name, "Distribution") &&
        namedAttribute(attributeCount, attributes, "Live"))
      parse->liveScope = parse->depth;
    const xmlDoc* document = parser->myDoc;
    compact = parse->liveScope == 0 && equalsIgnoreCase(name, "File") && !prefix && defaultedCount == 0 &&
              attributeCount > 0 && document && !document->intSubset && !document->extSubset &&
              compactable(attributeCount, attributes);
  }
  if (!compact) {
    xmlSAX2StartElementNs(context, localName, prefix, uri, namespaceCount, namespaces, attributeCount, defaultedCount,
                          attributes);
    return;
  }
  const xmlNode* parent = parser->node;
  xmlSAX2StartElementNs(context, localName, prefix, uri, namespaceCount, namespaces, 0, 0, nullptr);
  xmlNode* element = parser->node;
  if (!element || element == parent || element->type != XML_ELEMENT_NODE) return;
  // The slot first, so that the block is listed as soon as it exists.
  parse->blocks.push_back(nullptr);
  parse->blocks.back() = storeAttributes(attributeCount, attributes);
  element->_private = parse->blocks.back();
}

void endElement(void* context, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri) {
  if (CompactParse* parse = activeParse) {
    if (parse->liveScope == parse->depth) parse->liveScope = 0;
    --parse->depth;
  }
  xmlSAX2EndElementNs(context, localName, prefix, uri);
}

// The text handed to the parser piece by piece: xmlReadMemory would first copy all of it into a
// buffer of its own (doubled as it grows), which for a manifest of some megabytes is the largest
// block the load holds.
struct MemorySource {
  const char* at;
  std::size_t left;
};

int readMemory(void* context, char* buffer, int length) {
  auto& source = *static_cast<MemorySource*>(context);
  const std::size_t count = std::min(source.left, static_cast<std::size_t>(length > 0 ? length : 0));
  std::memcpy(buffer, source.at, count);
  source.at += count;
  source.left -= count;
  return static_cast<int>(count);
}

int closeMemory(void*) { return 0; }

struct ParserFree {
  void operator()(xmlParserCtxt* parser) const { xmlFreeParserCtxt(parser); }
};

// Runs `read` (one of libxml2's xmlCtxtRead* calls) on a parser whose element callbacks keep the
// attributes of file elements compact.
template <typename Read>
XmlDocument compactParse(Read read) {
  const std::unique_ptr<xmlParserCtxt, ParserFree> parser(xmlNewParserCtxt());
  if (!parser || !parser->sax) return nullptr;
  parser->sax->startElementNs = startElement;
  parser->sax->endElementNs = endElement;
  CompactParse parse;
  CompactParse* const outer = std::exchange(activeParse, &parse);
  XmlDocument document(read(parser.get()));
  activeParse = outer;
  if (!document)
    for (void* block : parse.blocks) ::operator delete(block);
  return document;
}

// Frees the attribute blocks of `node` and of every node below it (iteratively: a tree from the
// network may be deep).
void freeCompactAttributes(xmlNode* node) {
  xmlNode* const top = node;
  while (node) {
    if (node->type == XML_ELEMENT_NODE && node->_private &&
        static_cast<const CompactAttributes*>(node->_private)->mark == CompactAttributes::kMark) {
      ::operator delete(node->_private);
      node->_private = nullptr;
    }
    if (node->type == XML_ELEMENT_NODE && node->children) {
      node = node->children;
      continue;
    }
    while (node != top && !node->next) node = node->parent;
    node = node == top ? nullptr : node->next;
  }
}

}  // namespace

void XmlDocumentFree::operator()(xmlDoc* document) const {
  if (!document) return;
  for (xmlNode* node = document->children; node; node = node->next) freeCompactAttributes(node);
  xmlFreeDoc(document);
}

void freeXmlElement(xmlNode* element) {
  if (!element) return;
  xmlUnlinkNode(element);
  freeCompactAttributes(element);
  xmlFreeNode(element);
}

XmlDocument parseXmlMemory(const char* text, int size) {
  if (!text || size <= 0) return nullptr;
  MemorySource source{text, static_cast<std::size_t>(size)};
  return compactParse([&](xmlParserCtxt* parser) {
    return xmlCtxtReadIO(parser, readMemory, closeMemory, &source, nullptr, nullptr, kXmlReadOptions);
  });
}

XmlDocument parseXmlFile(const char* nativePath, int extraOptions) {
  return compactParse([&](xmlParserCtxt* parser) {
    return xmlCtxtReadFile(parser, nativePath, nullptr, kXmlReadOptions | extraOptions);
  });
}

namespace {

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
  if (const auto* compact = static_cast<const CompactAttributes*>(element->_private);
      compact && compact->mark == CompactAttributes::kMark) {
    // Kept by the parse above: no prefixes, no references, no document type to supply defaults.
    for (std::uint32_t index = 0; index < compact->count; ++index) {
      if (sameName(xml(compact->names()[index]), name)) {
        text_ = compact->values()[index];
        return;
      }
    }
    return;
  }
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
