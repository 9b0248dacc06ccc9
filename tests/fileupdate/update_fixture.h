// Shared fixture of the download and delta tests: an installation folder made the current directory,
// a patch tree served from a scratch folder by the test server, a manifest written for it, delta data
// built record by record, and a session whose updates run against it.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fileupdate/crc32_checksum.h"
#include "fileupdate/time_stamp.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "session/patcher.h"
#include "tests/manifest/model_test_support.h"
#include "tests/support/file_facts.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_http_server.h"

namespace korvel::test {


// Delta data built record by record (numbers 32-bit big-endian).
class DeltaData {
 public:
  explicit DeltaData(std::uint32_t newSize = 0) {
    word(0);
    word(newSize);
  }
  DeltaData& copy(std::uint32_t offset, std::uint32_t count) { return word(count).word(offset); }
  DeltaData& literal(const std::string& bytes) {
    word(static_cast<std::uint32_t>(-static_cast<std::int64_t>(bytes.size())));
    bytes_ += bytes;
    return *this;
  }
  DeltaData& word(std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(static_cast<char>((value >> shift) & 0xFF));
    return *this;
  }
  DeltaData& raw(const std::string& bytes) {
    bytes_ += bytes;
    return *this;
  }
  const std::string& bytes() const { return bytes_; }
  const std::uint8_t* data() const { return reinterpret_cast<const std::uint8_t*>(bytes_.data()); }
  std::size_t size() const { return bytes_.size(); }

 private:
  std::string bytes_;
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

  std::string name;  // "Name": path below the server root and below the installation
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
  UpdateTest() : working(dir.path()), client(std::make_unique<ModelClient>()) {}

  Patcher& patcher() { return *client->patcher(); }

  // The "Product" element's server attributes for the test server.
  std::string serverAttributes() const {
    return "Server=\"127.0.0.1\" Port=\"" + std::to_string(server.port()) + "\"";
  }

  std::string manifest(const std::vector<ServedFile>& files, const std::string& productAttributes) const {
    std::string out = "<?xml version=\"1.0\"?><KorvelPatcher Version=\"1\"><Product Name=\"Game\" Title=\"Game\" " +
                      serverAttributes() + " " + productAttributes + ">";
    for (const ServedFile& file : files) {
      const std::int64_t total =
          file.totalSize >= 0 ? file.totalSize : static_cast<std::int64_t>(file.content.size());
      out += "<File Name=\"" + file.name + "\" TotalSize=\"" + std::to_string(total) + "\" TimeStamp=\"" +
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
    }
    return out + "</Product></KorvelPatcher>";
  }

  // Serves the files (and their deltas) gzip-compressed and loads the manifest (from a local file).
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
    ASSERT_TRUE(writeFile(manifestFolder.file("manifest.xml"), manifest(files, productAttributes)));
    ASSERT_TRUE(client->openLocalManifest(manifestFolder.file("manifest.xml").c_str(), Patcher::kWaitFlag));
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

  std::vector<int> errorCodes() const { return client->errorCodes(); }

  // Loopback requests go straight to the test server whatever proxy the environment names.
  ScopedEnvironment noProxy{"http_proxy", std::nullopt};
  ScopedEnvironment noProxyUpper{"HTTP_PROXY", std::nullopt};
  ScopedEnvironment noAllProxy{"all_proxy", std::nullopt};
  ScopedEnvironment noAllProxyUpper{"ALL_PROXY", std::nullopt};
  ScopedWorkingFolder working;
  TempDir serverRoot;
  TempDir manifestFolder;
  TestHttpServer server;
  std::unique_ptr<ModelClient> client;
};

}  // namespace korvel::test
