// Shared fixture of the manifest model tests: a session client that records errors and log lines, and
// a manifest text turned into the session's product list.
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fileupdate/file_node.h"
#include "launcher/patch_client.h"
#include "manifest/directory_node.h"
#include "manifest/distribution_node.h"
#include "manifest/product_list.h"
#include "manifest/product_record.h"
#include "platform/files.h"
#include "session/patcher.h"
#include "tests/support/temp_dir.h"

namespace korvel::test {

// Records the errors the session reports and the lines it logs (both may come from any thread).
class ModelClient : public PatchClient {
 public:
  struct Error {
    int code;
    std::string message;
  };

  ModelClient() {
    if (patcher()) patcher()->attachLogSink(0, std::make_unique<Sink>(this));
  }

  std::vector<Error> errors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
  }
  std::vector<int> errorCodes() const {
    std::vector<int> codes;
    for (const Error& error : errors()) codes.push_back(error.code);
    return codes;
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // Whether a logged line equals "Patcher: " + line.
  bool logged(const std::string& line) const { return countLogged(line) > 0; }
  int countLogged(const std::string& line) const {
    int count = 0;
    for (const std::string& each : lines())
      if (each == "Patcher: " + line) ++count;
    return count;
  }

  bool scanStarted() override { return true; }
  bool downloadFinished() override { return true; }
  bool stopped() override { return true; }
  bool error(int code, const char* message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.push_back({code, message ? message : ""});
    return true;
  }
  bool unnamedNotice12(int, int) override { return true; }
  bool timeEstimate(std::int64_t, std::int64_t) override { return true; }

 private:
  class Sink : public LogSink {
   public:
    explicit Sink(ModelClient* owner) : owner_(owner) {}
    void write(const std::string& line) override {
      std::lock_guard<std::mutex> lock(owner_->mutex_);
      owner_->lines_.push_back(line);
    }

   private:
    ModelClient* owner_;
  };

  mutable std::mutex mutex_;
  std::vector<Error> errors_;
  std::vector<std::string> lines_;
};

// Makes `folder` the current directory until destroyed (temporary files are made there).
class ScopedWorkingFolder {
 public:
  explicit ScopedWorkingFolder(const std::string& folder) : previous_(platform::currentDirectory()) {
    platform::setCurrentDirectory(folder);
  }
  ~ScopedWorkingFolder() { platform::setCurrentDirectory(previous_); }
  ScopedWorkingFolder(const ScopedWorkingFolder&) = delete;
  ScopedWorkingFolder& operator=(const ScopedWorkingFolder&) = delete;

 private:
  std::string previous_;
};

struct XmlDocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocument = std::unique_ptr<xmlDoc, XmlDocDeleter>;

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
  Patcher& patcher() { return *client.patcher(); }

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
    return patcher().products().build(product);
  }

  DistributionNode* tree() { return patcher().tree(); }
  ProductRecord& top() { return patcher().topProduct()->record(); }
  ManifestNode* node(const std::string& name) { return findNode(tree(), name); }
  FileNode* file(const std::string& name) { return dynamic_cast<FileNode*>(node(name)); }
  DirectoryNode* directory(const std::string& name) { return dynamic_cast<DirectoryNode*>(node(name)); }
  DistributionNode* distribution(const std::string& name) { return dynamic_cast<DistributionNode*>(node(name)); }

  ModelClient client;
  XmlDocument document;
};

}  // namespace korvel::test
