// Tests of signed manifests: with a manifest key configured, the manifest and its external documents
// count only with a valid signature of that key, a release older than the installed one or past its
// expiry is refused, and nothing is installed from a refused one; and the "SHA256" attributes, checked
// with or without a key.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <utility>

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

std::string signatureOf(const trust::MinisignSecretKey& key, const std::string& bytes,
                        const std::string& commentEnd = "") {
  return key.sign(bytes.data(), bytes.size(), "timestamp:0\tfile:test\thashed" + commentEnd);
}

// A release with the Product Version `version` and one file, without external documents.
std::string releaseManifest(int version, const test::TreeFile& file) {
  return "<KorvelPatcher Version=\"1\"><Product Name=\"Wendrel\" Version=\"" + std::to_string(version) +
         "\"><Distribution Name=\"Wendrel Distribution\">" + fileElement(file) +
         "</Distribution></Product></KorvelPatcher>";
}

// Every file below `folder`: its bytes and its modification time (in the file system's own ticks).
std::map<std::string, std::pair<std::string, std::int64_t>> folderState(const std::filesystem::path& folder) {
  std::map<std::string, std::pair<std::string, std::int64_t>> state;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const auto ticks = entry.last_write_time().time_since_epoch().count();
    state[entry.path().generic_string()] = {std::string(std::istreambuf_iterator<char>(in), {}),
                                            static_cast<std::int64_t>(ticks)};
  }
  return state;
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

TEST_F(SignedManifestTest, AnOlderOrExpiredSignedReleaseIsRefusedAndTheHighestInstalledIsRemembered) {
  // One installation, updated run after run; its record starts out unreadable.
  const std::string install = dir.file("install");
  const std::string record = install + "\\wd_patch_version";
  ASSERT_TRUE(test::writeFile(record, "eight\n"));
  test::ScopedCurrentDirectory inFolder(install);
  const std::string keyPath = keyFile(publisher);

  struct Step {
    const char* what;
    int version;
    const char* commentEnd;  // fields added to the signature's trusted comment
    bool keyed;              // a manifest key is configured
    int refusal;             // 0: loaded and installed
    const char* message;
    const char* recordAfter;
  };
  const Step steps[] = {
      {"release 8 over an unreadable record", 8, "", true, 0, "", "8\n"},
      {"release 7 replayed", 7, "", true, result::kRolledBack,
       "The patch server offers release 7, older than release 8 already installed; nothing is installed from it.\n",
       "8\n"},
      {"release 8 again", 8, "", true, 0, "", "8\n"},
      {"release 9 past its expiry", 9, "\texpires:1000", true, result::kReleaseExpired,
       "The patch server offers release 9, signed to be used until 1970-01-01 00:16:40 UTC; it has expired and "
       "nothing is installed from it.\n",
       "8\n"},
      // An expiry that cannot be read is taken as long past.
      {"release 9 with an unreadable expiry", 9, "\texpires:soon", true, result::kReleaseExpired,
       "The patch server offers release 9, signed to be used until 1970-01-01 00:00:00 UTC; it has expired and "
       "nothing is installed from it.\n",
       "8\n"},
      {"release 9 before its expiry", 9, "\texpires:4000000000", true, 0, "", "9\n"},
      // Without a key the record is neither asked nor written.
      {"release 7 unsigned", 7, "", false, 0, "", "9\n"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    const test::TreeFile file = {"a.bin", "release " + std::to_string(step.version),
                                 1100000000 + step.version * 1000};
    const std::string manifest = gz(releaseManifest(step.version, file));
    server.serveBytes(kPath, manifest);
    server.serveBytes(std::string(kPath) + ".minisig", signatureOf(publisher, manifest, step.commentEnd));
    server.serveGzip("/patch/files/a.bin", file.content);
    test::ScopedEnvironment key("KORVEL_MANIFEST_KEY",
                                step.keyed ? std::optional<std::string>(keyPath) : std::nullopt);
    const auto before = folderState(dir.native() + "/install");

    test::RecordingClient client;
    const bool accepted = step.refusal == result::kOk;
    EXPECT_EQ(load(client), accepted);
    EXPECT_EQ(client.update(nullptr, Patcher::kWaitFlag), accepted);
    if (accepted) {
      EXPECT_TRUE(client.errors().empty()) << client.errors().front().message;
      EXPECT_EQ(test::readFile(install + "\\a.bin"), file.content);
    } else {
      EXPECT_EQ(client.errorCodes(), std::vector<int>{step.refusal});
      if (!client.errors().empty()) {
        EXPECT_EQ(client.errors().front().message, step.message);
      }
      EXPECT_THAT(client.events(), Contains("manifestReady 0"));
      EXPECT_EQ(folderState(dir.native() + "/install"), before);
    }
    EXPECT_EQ(test::readFile(record), step.recordAfter);
    if (&step == &steps[0]) {
      EXPECT_TRUE(client.logged("The installed release record " + record + " cannot be read\n"));
    }
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
