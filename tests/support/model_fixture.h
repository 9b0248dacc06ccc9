// Shared fixture of the model, file-node and stager tests: a manifest text parsed and turned into the
// product list of a fake session, and lookups of the nodes of the tree built from it.
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/xml_property.h"
#include "fileupdate/file_node.h"
#include "manifest/directory_node.h"
#include "manifest/distribution_node.h"
#include "manifest/product_list.h"
#include "manifest/product_record.h"
#include "platform/files.h"
#include "tests/support/fake_session.h"
#include "tests/support/temp_dir.h"

namespace korvel::test {

using korvel::XmlDocument;

inline XmlDocument parseXml(const std::string& text) {
  return XmlDocument(xmlParseMemory(text.data(), static_cast<int>(text.size())));
}

// The first element child of the document's root: the "Product" element of a manifest.
inline xmlNode* firstElementOfRoot(xmlDoc* doc) {
  xmlNode* root = doc ? xmlDocGetRootElement(doc) : nullptr;
  for (xmlNode* child = root ? root->children : nullptr; child; child = child->next)
    if (child->type == XML_ELEMENT_NODE) return child;
  return nullptr;
}

// The first node of the subtree (depth first, document order) whose name is `name`.
inline ManifestNode* findNode(ManifestNode* node, const std::string& name) {
  if (!node) return nullptr;
  if (node->name() && *node->name() == name) return node;
  for (const auto& child : node->children())
    if (ManifestNode* found = findNode(child.get(), name)) return found;
  return nullptr;
}

class ModelTest : public TempDirTest {
 protected:
  // Wraps `body` in the root element and a "Product" element with the given attributes, and builds
  // the session's product list from it. Returns the read result.
  bool buildProduct(const std::string& productAttributes, const std::string& body) {
    return buildManifest("<KorvelPatcher><Product " + productAttributes + ">" + body + "</Product></KorvelPatcher>");
  }
  bool buildManifest(const std::string& manifest) {
    document = parseXml(manifest);
    EXPECT_NE(document, nullptr) << manifest;
    xmlNode* product = firstElementOfRoot(document.get());
    EXPECT_NE(product, nullptr);
    return session.products().build(product);
  }

  DistributionNode* tree() { return session.tree(); }
  ProductRecord& top() { return session.topProduct()->record(); }
  ManifestNode* node(const std::string& name) { return findNode(tree(), name); }
  FileNode* file(const std::string& name) { return dynamic_cast<FileNode*>(node(name)); }
  DirectoryNode* directory(const std::string& name) { return dynamic_cast<DirectoryNode*>(node(name)); }
  DistributionNode* distribution(const std::string& name) { return dynamic_cast<DistributionNode*>(node(name)); }

  FakeSession session;
  // What the client heard: the model's errors and log lines, and those of the download requests.
  RecordingClient& client = session.client();
  XmlDocument document;
};

}  // namespace korvel::test
