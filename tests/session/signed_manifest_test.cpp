// Tests of signed manifests: with a manifest key configured, the manifest and its external documents
// count only with a valid signature of that key, and nothing is installed from a refused one; and the
// "SHA256" attributes, checked with or without a key.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/result_codes.h"
#include "tests/session/session_test_support.h"
#include "tests/support/recording_client.h"
#include "tests/support/scoped_current_directory.h"
#include "trust/minisign_secret_key.h"
#include "trust/sha256.h"

namespace korvel {
namespace {

using ::testing::Contains;

constexpr const char* kPath = "/patch/wendrel/wendrelonly.xml.gz";
constexpr const char* kExternalPath = "/ext/more.xml.gz";
const test::TreeFile kMain = {"a.bin", "alpha content"};
const test::TreeFile kExternal = {"b.bin", "bravo content"};

std::string gz(const std::string& text) { return test::TestHttpServer::gzip(text); }

// A "File" element served from "patch\files", with its SHA256 unless one is given.
std::string fileElement(const test::TreeFile& file, const std::string& sha256 = "") {
  return "<File Name=\"" + file.path + "\" RemotePath=\"patch\\files\" TotalSize=\"" +
         std::to_string(file.content.size()) + "\" DownloadSize=\"" + std::to_string(gz(file.content).size()) +
         "\" CRC=\"" + std::to_string(static_cast<std::int32_t>(test::crcOf(file.content))) + "\" TimeStamp=\"" +
         test::timeStampText(file.time) + "\" SHA256=\"" +
         (sha256.empty() ? trust::Sha256::hexOf(file.content.data(), file.content.size()) : sha256) + "\"/>";
}

// The manifest: one file of its own and a distribution read from the external document.
std::string mainManifest(const std::string& fileElements) {
  return "<KorvelPatcher Version=\"1\"><Product Name=\"Wendrel\" Version=\"1\"><Distribution Name=\"Wendrel "
         "Distribution\">" +
         fileElements + "<Distribution Name=\"Ext\" RemotePath=\"" + std::string(kExternalPath + 1) +
         "\"/></Distribution></Product></KorvelPatcher>";
}

std::string externalDocument() {
  return "<KorvelPatcher><Distribution>" + fileElement(kExternal) + "</Distribution></KorvelPatcher>";
}

std::string signatureOf(const trust::MinisignSecretKey& key, const std::string& bytes) {
  return key.sign(bytes.data(), bytes.size(), "timestamp:0\tfile:test\thashed");
}

class SignedManifestTest : public test::TempDirTest {
 protected:
  // Each run gets its own installation folder, made the current directory before its session.
  struct Run {
    explicit Run(const std::string& folder)
        : made(test::writeFile(folder + "\\" + kMain.path, "stale a") &&
               test::writeFile(folder + "\\" + kExternal.path, "stale b")),
          inFolder(folder),
          client(std::make_unique<test::RecordingClient>()) {}
    bool made;
    test::ScopedCurrentDirectory inFolder;
    std::unique_ptr<test::RecordingClient> client;
  };

  // The key file the updater is told about, for `key`.
  std::string keyFile(const trust::MinisignSecretKey& key) {
    const std::string path = dir.file("keys\\" + std::to_string(++keys_) + ".pub");
    EXPECT_TRUE(test::writeFile(path, key.publicKey().fileText()));
    return path;
  }
  bool load(test::RecordingClient& client) {
    return client.openRemoteManifest(test::TestHttpServer::host().c_str(), server.port(), kPath, Patcher::kWaitFlag);
  }

  const trust::MinisignSecretKey publisher = trust::MinisignSecretKey::generate();
  test::NoProxy noProxy;
  test::TestHttpServer server;
  int keys_ = 0;
};

TEST_F(SignedManifestTest, OnlyDocumentsSignedWithTheKeyAreUsed) {
  const trust::MinisignSecretKey stranger = trust::MinisignSecretKey::generate();
  const std::string manifest = gz(mainManifest(fileElement(kMain)));
  const std::string external = gz(externalDocument());
  const std::string changedManifest = gz(mainManifest(fileElement(kMain) + "<!-- changed -->"));
  const std::string changedExternal = gz(externalDocument() + "<!-- changed -->");
  server.serveGzip("/patch/files/a.bin", kMain.content);
  server.serveGzip("/patch/files/b.bin", kExternal.content);

  struct Case {
    const char* what;
    std::string manifest;
    std::optional<std::string> manifestSignature;  // nullopt: none on the server
    std::string external;
    bool loads;
    std::vector<test::RecordingClient::Error> errors;
    const char* a;  // a.bin and b.bin after the update
    const char* b;
  };
  const Case cases[] = {
      {"signed", manifest, signatureOf(publisher, manifest), external, true, {}, "alpha content", "bravo content"},
      {"changed after signing", changedManifest, signatureOf(publisher, manifest), external, false,
       {{result::kSignatureInvalid, "Manifest signature invalid\n"}}, "stale a", "stale b"},
      {"signed by another key", manifest, signatureOf(stranger, manifest), external, false,
       {{result::kSignatureInvalid, "Manifest signature invalid\n"}}, "stale a", "stale b"},
      {"without a signature", manifest, std::nullopt, external, false,
       {{result::kSignatureMissing, "Manifest signature missing\n"}}, "stale a", "stale b"},
      // The manifest itself is the publisher's, but a document of its tree is refused: the load ends
      // there, and nothing is installed from a tree that lacks that document's files.
      {"with a changed external document", manifest, signatureOf(publisher, manifest), changedExternal, false,
       {{result::kSignatureInvalid, "Manifest signature invalid\n"}}, "stale a", "stale b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server.serveBytes(kPath, c.manifest);
    if (c.manifestSignature) {
      server.serveBytes(std::string(kPath) + ".minisig", *c.manifestSignature);
    } else {
      server.serveNotFoundPage(std::string(kPath) + ".minisig");
    }
    server.serveBytes(kExternalPath, c.external);
    server.serveBytes(std::string(kExternalPath) + ".minisig", signatureOf(publisher, external));
    const int manifestRequests = server.requestCount(kPath);

    test::ScopedEnvironment key("KORVEL_MANIFEST_KEY", keyFile(publisher));
    Run run(dir.file(c.what));
    ASSERT_TRUE(run.made);
    EXPECT_EQ(load(*run.client), c.loads);
    EXPECT_EQ(run.client->update(nullptr, Patcher::kWaitFlag), c.loads);
    std::vector<int> codes;
    for (const auto& error : c.errors) codes.push_back(error.code);
    EXPECT_EQ(run.client->errorCodes(), codes);
    for (std::size_t i = 0; i < c.errors.size() && i < run.client->errors().size(); ++i)
      EXPECT_EQ(run.client->errors()[i].message, c.errors[i].message);
    EXPECT_THAT(run.client->events(), Contains("manifestReady " + std::to_string(c.loads ? 1 : 0)));
    // A refused manifest is not asked for again through the other access modes.
    EXPECT_EQ(server.requestCount(kPath) - manifestRequests, 1);
    EXPECT_EQ(test::readFile(dir.file(std::string(c.what) + "\\a.bin")), c.a);
    EXPECT_EQ(test::readFile(dir.file(std::string(c.what) + "\\b.bin")), c.b);
  }
}

TEST_F(SignedManifestTest, AKeyFileThatCannotBeReadRefusesEvenASignedManifest) {
  const std::string manifest = gz(mainManifest(fileElement(kMain)));
  server.serveBytes(kPath, manifest);
  server.serveBytes(std::string(kPath) + ".minisig", signatureOf(publisher, manifest));
  test::ScopedEnvironment key("KORVEL_MANIFEST_KEY", dir.file("no such key.pub"));
  Run run(dir.file("install"));
  EXPECT_FALSE(load(*run.client));
  EXPECT_EQ(run.client->errorCodes(), std::vector<int>{result::kSignatureInvalid});
  EXPECT_TRUE(run.client->logged("The manifest key " + dir.file("no such key.pub") + " cannot be read\n"));
}

TEST_F(SignedManifestTest, ALocalManifestNeedsItsSignatureBesideIt) {
  const std::string manifest = "<KorvelPatcher><Product Name=\"Wendrel\"/></KorvelPatcher>";
  ASSERT_TRUE(test::writeFile(dir.file("local.xml"), manifest));
  test::ScopedEnvironment key("KORVEL_MANIFEST_KEY", keyFile(publisher));
  {
    Run run(dir.file("unsigned"));
    EXPECT_FALSE(run.client->openLocalManifest(dir.file("local.xml").c_str(), Patcher::kWaitFlag));
    EXPECT_EQ(run.client->errorCodes(), std::vector<int>{result::kSignatureMissing});
  }
  ASSERT_TRUE(test::writeFile(dir.file("local.xml.minisig"), signatureOf(publisher, manifest)));
  Run run(dir.file("signed"));
  EXPECT_TRUE(run.client->openLocalManifest(dir.file("local.xml").c_str(), Patcher::kWaitFlag));
  EXPECT_TRUE(run.client->errors().empty());
}

TEST_F(SignedManifestTest, AFileWhoseSha256DiffersFailsEvenWithTheRightCrcAndSize) {
  // No key: the digest is checked all the same. The served bytes have the manifest's size and CRC.
  const std::string wrong(trust::Sha256::kHexLength, '0');
  server.serveGzip(kPath, "<KorvelPatcher Version=\"1\"><Product Name=\"Wendrel\" Version=\"1\"><Distribution "
                          "Name=\"Wendrel Distribution\">" +
                              fileElement(kMain, wrong) + "</Distribution></Product></KorvelPatcher>");
  server.serveGzip("/patch/files/a.bin", kMain.content);
  Run run(dir.file("install"));
  ASSERT_TRUE(run.made);
  ASSERT_TRUE(load(*run.client));
  EXPECT_TRUE(run.client->update(nullptr, Patcher::kWaitFlag));
  EXPECT_THAT(run.client->errorCodes(), Contains(result::kFileMismatch));
  EXPECT_EQ(test::readFile(dir.file("install\\a.bin")), "stale a");
  EXPECT_EQ(server.requestCount(std::string(kPath) + ".minisig"), 0);
}

}  // namespace
}  // namespace korvel
