// Shared fixture of the download and delta tests: an installation folder made the current directory,
// a patch tree served from a scratch folder by the test server, a manifest written for it, delta data
// built record by record, and a fake session whose model is scanned and updated against it the way
// the session's passes do.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fileupdate/file_node.h"
#include "manifest/product_record.h"
#include "manifest/scan_flags.h"
#include "platform/files.h"
#include "tests/support/fake_session.h"
#include "tests/support/file_facts.h"
#include "tests/support/model_fixture.h"
#include "tests/support/no_proxy.h"
#include "tests/support/scoped_current_directory.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_http_server.h"

namespace korvel::test {

// Delta data built record by record (numbers 32-bit big-endian). The header's new-file size is the one
// given, else what the copy and literal records add up to.
class DeltaData {
 public:
  explicit DeltaData(std::optional<std::uint32_t> newSize = std::nullopt) : newSize_(newSize) {}
  DeltaData& copy(std::uint32_t offset, std::uint32_t count) {
    produced_ += count;
    return word(count).word(offset);
  }
  DeltaData& literal(const std::string& bytes) {
    produced_ += static_cast<std::uint32_t>(bytes.size());
    word(static_cast<std::uint32_t>(-static_cast<std::int64_t>(bytes.size())));
    records_ += bytes;
    return *this;
  }
  DeltaData& word(std::uint32_t value) {
    append(records_, value);
    return *this;
  }
  DeltaData& raw(const std::string& bytes) {
    records_ += bytes;
    return *this;
  }
  const std::string& bytes() const {
    bytes_.clear();
    append(bytes_, 0);
    append(bytes_, newSize_.value_or(produced_));
    bytes_ += records_;
    return bytes_;
  }
  const std::uint8_t* data() const { return reinterpret_cast<const std::uint8_t*>(bytes().data()); }
  std::size_t size() const { return bytes().size(); }

 private:
  static void append(std::string& to, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) to.push_back(static_cast<char>((value >> shift) & 0xFF));
  }

  std::optional<std::uint32_t> newSize_;
  std::uint32_t produced_ = 0;
  std::string records_;
  mutable std::string bytes_;
};

// A delta of a served file: applies to the old content whose CRC is sourceCrc.
struct ServedDelta {
  std::string name;  // path below the server root
  std::string data;
  std::uint32_t sourceCrc = 0;
  // Written as the "TotalSize" of the DeltaFile; the data's own size unless set.
  std::int64_t totalSize = -1;
};

// One file of the served tree.
struct ServedFile {
  ServedFile(std::string name, std::string content, std::int64_t time = 1100000000, std::string attributes = "")
      : name(std::move(name)), content(std::move(content)), time(time), attributes(std::move(attributes)) {}

  std::string name;  // path below the server root and below the installation (its folders become "Directory" elements)
  std::string content;
  std::int64_t time = 1100000000;
  std::string attributes;  // more attributes of the "File" element
  std::vector<ServedDelta> deltas;
  bool served = true;  // false: the server has no such file (it answers with its 404 page)
  bool withCrc = true;
  // "TotalSize" written; the content's size unless set.
  std::int64_t totalSize = -1;
};

class UpdateTest : public TempDirTest {
 protected:
  UpdateTest() : working(dir.path()) {}

  // The "Product" element's server attributes for the test server.
  std::string serverAttributes() const {
    return "Server=\"127.0.0.1\" Port=\"" + std::to_string(server.port()) + "\"";
  }

  std::string manifest(const std::vector<ServedFile>& files, const std::string& productAttributes) const {
    std::string out = "<?xml version=\"1.0\"?><KorvelPatcher Version=\"1\"><Product Name=\"Game\" Title=\"Game\" " +
                      serverAttributes() + " " + productAttributes + ">";
    for (const ServedFile& file : files) {
      // Every folder of the path is a "Directory" element around the file: a name is one component.
      std::string name = file.name;
      int folders = 0;
      for (std::size_t cut; (cut = name.find('\\')) != std::string::npos; ++folders) {
        out += "<Directory Name=\"" + name.substr(0, cut) + "\">";
        name.erase(0, cut + 1);
      }
      const std::int64_t total =
          file.totalSize >= 0 ? file.totalSize : static_cast<std::int64_t>(file.content.size());
      out += "<File Name=\"" + name + "\" TotalSize=\"" + std::to_string(total) + "\" TimeStamp=\"" +
             timeStampText(file.time) + "\"";
      if (file.withCrc) out += " CRC=\"" + std::to_string(static_cast<std::int32_t>(crcOf(file.content))) + "\"";
      out += " " + file.attributes + ">";
      for (const ServedDelta& delta : file.deltas) {
        const std::int64_t deltaTotal =
            delta.totalSize >= 0 ? delta.totalSize : static_cast<std::int64_t>(delta.data.size());
        out += "<DeltaFile FilePath=\"" + delta.name + "\" TotalSize=\"" + std::to_string(deltaTotal) + "\" CRC=\"" +
               std::to_string(static_cast<std::int32_t>(delta.sourceCrc)) + "\"/>";
      }
      out += "</File>";
      for (int i = 0; i < folders; ++i) out += "</Directory>";
    }
    return out + "</Product></KorvelPatcher>";
  }

  // Serves the files (and their deltas) gzip-compressed, builds the model from the manifest and checks
  // every file against the installation, as a load does.
  void load(const std::vector<ServedFile>& files, const std::string& productAttributes = "") {
    for (const ServedFile& file : files) {
      if (file.served) {
        ASSERT_TRUE(writeFile(serverRoot.file(file.name), TestHttpServer::gzip(file.content)));
      }
      for (const ServedDelta& delta : file.deltas) {
        ASSERT_TRUE(writeFile(serverRoot.file(delta.name), TestHttpServer::gzip(delta.data)));
      }
    }
    server.serveFolder("/", serverRoot.path());
    document = parseXml(manifest(files, productAttributes));
    xmlNode* product = firstElementOfRoot(document.get());
    ASSERT_NE(product, nullptr);
    session.resume();
    ASSERT_TRUE(session.products().build(product));
    session.products().aggregateFlags();
    session.products().linkEnvironments();
    scan(0);
  }

  // The walk of a scan over the top product, between the caches of its folder.
  void scan(ScanFlags flags) {
    session.openCaches(base());
    top().scan(flags, base());
    top().aggregateFlags();
    session.closeCaches();
  }

  // An update of the top product in the session's order: the files not checked yet are checked, the
  // product is held to its download limits, downloads what is out of date and loses the files marked
  // "Delete". Returns the product's download result. May run on a thread of its own while the test
  // stops the session.
  int update() {
    session.resume();
    session.products().setPassFlag(pass::kCounted, false);
    if (top().countFiles(scan::kSkipScanned) > 0) scan(scan::kSkipScanned);
    top().checkLimits(scan::kIncludeLimitExceeded);
    const int code = top().download(0, base());
    if (!session.isCancelled()) top().removeDeleted(base());
    session.closeCaches();
    session.products().setPassFlag(pass::kVerified, false);
    return code;
  }

  ProductRecord& top() { return session.topProduct()->record(); }
  std::string base() { return top().baseDirectory(dir.path()).value_or(dir.path()); }
  // The node of a served file, by its path (the node itself is named by the last component).
  FileNode* file(const std::string& path) {
    return dynamic_cast<FileNode*>(findNode(session.tree(), path.substr(path.rfind('\\') + 1)));
  }

  // The installed copy of a file: its content, with the manifest's time unless told otherwise.
  void install(const ServedFile& file, const std::string& content, bool withManifestTime = true) {
    ASSERT_TRUE(writeFile(dir.file(file.name), content));
    if (withManifestTime) {
      ASSERT_TRUE(setModified(dir.file(file.name), manifestTime(file.time)));
    }
  }

  std::int64_t modified(const std::string& name) const {
    platform::FileInfo info;
    return platform::fileInfo(dir.file(name), info) ? info.modifiedSeconds : -1;
  }

  // Requests for a path below the server root.
  int requests(const std::string& name) const { return server.requestCount("/" + name); }

  // Every error the client heard: the model's, its warnings (code 0), and the download requests'.
  std::vector<int> errorCodes() const { return client.errorCodes(); }

  // Loopback requests go straight to the test server whatever proxy the environment names.
  NoProxy noProxy;
  ScopedCurrentDirectory working;
  TempDir serverRoot;
  TestHttpServer server;
  // Made in the installation folder, which becomes its install directory.
  FakeSession session;
  RecordingClient& client = session.client();
  XmlDocument document;
};

}  // namespace korvel::test
