// Tests of signed releases: korvel-publish's keys and signatures, an update from a signed release, and
// the exchange of keys and signatures with the minisign tool in both directions.
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/result_codes.h"
#include "tests/session/session_test_support.h"
#include "tests/support/recording_client.h"
#include "tests/support/scoped_current_directory.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/publish_fixture.h"
#include "tools/publish/publish_command.h"
#include "trust/document_signature.h"
#include "trust/installed_release.h"
#include "trust/minisign_signature.h"
#include "trust/sha256.h"
#include "trust/trusted_comment.h"

namespace korvel::publish {
namespace {

namespace fs = std::filesystem;

constexpr const char* kManifest = "patch/wendrel/wendrelonly.xml.gz";

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool haveMinisign() { return std::system("minisign -v >/dev/null 2>&1") == 0; }

// Runs a shell command with nothing on its input; true when it exits with 0.
bool shell(const std::string& command) { return std::system((command + " </dev/null >/dev/null 2>&1").c_str()) == 0; }

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

class ReleaseSigningTest : public test::TempDirTest {
 protected:
  fs::path root() const { return fs::path(dir.native()); }

  int publish(std::vector<std::string> args) {
    out.str("");
    err.str("");
    return PublishCommand::run(args, out, err);
  }
  // A small game folder: two files, one in a folder.
  void writeGame() {
    test::writeText(root() / "game" / "a.txt", "alpha content");
    test::writeText(root() / "game" / "data" / "b.txt", "bravo content");
  }
  // The verdict of the updater's check on a document and its signature file, under a public key file.
  int verdict(const fs::path& publicKey, const fs::path& document, const fs::path& signature) {
    trust::ManifestKey key;
    key.required = true;
    key.key = trust::MinisignPublicKey::parse(readAll(publicKey));
    const std::string bytes = readAll(document);
    return trust::signatureVerdict(key, readAll(signature), bytes.data(), bytes.size());
  }

  std::ostringstream out;
  std::ostringstream err;
};

TEST_F(ReleaseSigningTest, AReleaseBuiltWithTheKeyIsInstalledAndEveryFileCarriesItsDigest) {
  writeGame();
  ASSERT_EQ(publish({"keygen", (root() / "keys").string()}), PublishCommand::kSuccess) << err.str();
  EXPECT_EQ(fs::status(root() / "keys" / "korvel.key").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // A key is never overwritten.
  EXPECT_EQ(publish({"keygen", (root() / "keys").string()}), PublishCommand::kFailed);
  // Published twice: with the contents in the manifest, and with them in an external document that
  // carries its own signature. The updater, told the key, installs either into an empty folder.
  test::NoProxy noProxy;
  test::ScopedEnvironment key("KORVEL_MANIFEST_KEY", (root() / "keys" / "korvel.pub").string());
  fs::path externalContents;
  for (const bool external : {false, true}) {
    SCOPED_TRACE(external ? "external contents" : "contents in the manifest");
    const fs::path output = root() / (external ? "out-external" : "out");
    std::vector<std::string> args = {"build", (root() / "game").string(), output.string(), "--sign",
                                      (root() / "keys" / "korvel.key").string()};
    if (external) args.push_back("--external-contents");
    ASSERT_EQ(publish(args), PublishCommand::kSuccess) << err.str();
    const fs::path manifest = output / kManifest;
    ASSERT_TRUE(fs::exists(manifest.string() + ".minisig"));
    EXPECT_NE(out.str().find("Signature: "), std::string::npos);

    fs::path contents = manifest;
    if (external) {
      const test::ResolvedManifest pointer = test::resolveManifest(manifest, "Wendrel Distribution");
      EXPECT_FALSE(pointer.productHasChildren);
      contents = output / test::updaterUrlPath(pointer.productAttributes.at("RemotePath")).substr(1);
      EXPECT_NE(out.str().find("External contents: " + contents.string()), std::string::npos) << out.str();
      EXPECT_EQ(verdict(root() / "keys" / "korvel.pub", contents, contents.string() + ".minisig"), result::kOk);
      externalContents = contents;
    }
    const test::ResolvedManifest resolved = test::resolveManifest(contents, "Wendrel Distribution");
    ASSERT_TRUE(resolved.ok) << resolved.error;
    ASSERT_EQ(resolved.files.size(), 2u);
    for (const test::ResolvedFile& file : resolved.files) {
      const std::string content = file.localPath == "a.txt" ? "alpha content" : "bravo content";
      EXPECT_EQ(file.attributes.at("SHA256"), trust::Sha256::hexOf(content.data(), content.size())) << file.localPath;
    }

    test::TestHttpServer server;
    server.serveFolder("/", output.string());
    const fs::path install = root() / (external ? "install-external" : "install");
    fs::create_directories(install);
    {
      test::ScopedCurrentDirectory inFolder(install.string());
      test::RecordingClient client;
      ASSERT_TRUE(client.openRemoteManifest(test::TestHttpServer::host().c_str(), server.port(),
                                            (std::string("/") + kManifest).c_str(), Patcher::kWaitFlag));
      ASSERT_TRUE(client.update(nullptr, Patcher::kWaitFlag));
      EXPECT_TRUE(client.errors().empty()) << client.errors().front().message;
    }
    EXPECT_EQ(readAll(install / "a.txt"), "alpha content");
    EXPECT_EQ(readAll(install / "data" / "b.txt"), "bravo content");
  }
  const fs::path manifest = root() / "out" / kManifest;

  // A build without the key leaves no signature of the earlier manifest behind.
  ASSERT_EQ(publish({"build", (root() / "game").string(), (root() / "out").string()}), PublishCommand::kSuccess);
  EXPECT_FALSE(fs::exists(manifest.string() + ".minisig"));
  EXPECT_NE(err.str().find("the signature of an earlier build was removed"), std::string::npos) << err.str();
  // Nor of the earlier external document (the same text, so the same name).
  ASSERT_EQ(publish({"build", (root() / "game").string(), (root() / "out-external").string(), "--external-contents"}),
            PublishCommand::kSuccess);
  EXPECT_TRUE(fs::exists(externalContents));
  EXPECT_FALSE(fs::exists(externalContents.string() + ".minisig"));
}

TEST_F(ReleaseSigningTest, KeysAndSignaturesPassBetweenKorvelPublishAndMinisign) {
  if (!haveMinisign()) GTEST_SKIP() << "minisign is not installed (scripts/setup installs it)";
  writeGame();
  const fs::path keys = root() / "keys";
  fs::create_directories(keys);
  ASSERT_TRUE(shell("minisign -G -W -f -p " + quoted(keys / "tool.pub") + " -s " + quoted(keys / "tool.key")));
  ASSERT_EQ(publish({"keygen", keys.string()}), PublishCommand::kSuccess) << err.str();

  // korvel-publish signs with either key, an expiry in the trusted comment; minisign verifies both.
  for (const char* name : {"tool", "korvel"}) {
    SCOPED_TRACE(name);
    const fs::path output = root() / (std::string("out-") + name);
    ASSERT_EQ(publish({"build", (root() / "game").string(), output.string(), "--sign",
                       (keys / (std::string(name) + ".key")).string(), "--expires", "7"}),
              PublishCommand::kSuccess)
        << err.str();
    EXPECT_TRUE(shell("minisign -V -p " + quoted(keys / (std::string(name) + ".pub")) + " -m " +
                      quoted(output / kManifest)));
  }

  // minisign signs (prehashed by default, and in its legacy form) with either key; the updater's
  // check accepts each, and refuses each under the other key.
  const fs::path document = root() / "out-tool" / kManifest;
  for (const char* name : {"tool", "korvel"}) {
    for (const char* form : {"", " -l"}) {
      SCOPED_TRACE(std::string(name) + form);
      const fs::path signature = root() / (std::string(name) + (*form ? "-legacy" : "") + ".minisig");
      ASSERT_TRUE(shell("minisign -S" + std::string(form) + " -s " + quoted(keys / (std::string(name) + ".key")) +
                        " -m " + quoted(document) + " -x " + quoted(signature)));
      EXPECT_EQ(verdict(keys / (std::string(name) + ".pub"), document, signature), result::kOk);
      EXPECT_EQ(verdict(keys / (std::string(name) == "tool" ? "korvel.pub" : "tool.pub"), document, signature),
                result::kSignatureInvalid);
    }
  }
}

TEST_F(ReleaseSigningTest, SignedReleasesClimbFromTheVersionPublishedAndCarryTheirExpiry) {
  writeGame();
  ASSERT_EQ(publish({"keygen", (root() / "keys").string()}), PublishCommand::kSuccess) << err.str();
  const fs::path output = root() / "out";
  const fs::path manifest = output / kManifest;
  auto build = [&](std::vector<std::string> more) {
    std::vector<std::string> args = {"build", (root() / "game").string(), output.string(), "--sign",
                                     (root() / "keys" / "korvel.key").string()};
    args.insert(args.end(), more.begin(), more.end());
    return publish(args);
  };
  auto version = [&] { return test::resolveManifest(manifest, "Wendrel Distribution").productAttributes["Version"]; };

  ASSERT_EQ(build({}), PublishCommand::kSuccess) << err.str();
  EXPECT_NE(out.str().find("Version: 1 (the first release published there)\n"), std::string::npos) << out.str();
  EXPECT_EQ(version(), "1");
  ASSERT_EQ(build({"--version", "8"}), PublishCommand::kSuccess) << err.str();
  EXPECT_EQ(out.str().find("Version: "), std::string::npos) << out.str();
  EXPECT_EQ(version(), "8");

  const std::int64_t before = std::time(nullptr);
  ASSERT_EQ(build({"--expires", "30"}), PublishCommand::kSuccess) << err.str();
  const std::int64_t after = std::time(nullptr);
  EXPECT_NE(out.str().find("Version: 9 (one more than the release published there, 8)\n"), std::string::npos)
      << out.str();
  EXPECT_EQ(version(), "9");
  // The expiry is a field of the trusted comment, covered by the signature, and the updater's check
  // reads it: the release is fine to its last second and refused after it.
  EXPECT_EQ(verdict(root() / "keys" / "korvel.pub", manifest, manifest.string() + ".minisig"), result::kOk);
  const std::optional<trust::MinisignSignature> signature =
      trust::MinisignSignature::parse(readAll(manifest.string() + ".minisig"));
  ASSERT_TRUE(signature);
  const std::string& comment = signature->trustedComment();
  EXPECT_THAT(comment, ::testing::MatchesRegex("timestamp:[0-9]+\tfile:wendrelonly.xml.gz\thashed\texpires:[0-9]+"));
  const std::optional<std::int64_t> expiry = trust::releaseExpiry(comment);
  ASSERT_TRUE(expiry);
  EXPECT_GE(*expiry, before + 30 * 86400);
  EXPECT_LE(*expiry, after + 30 * 86400);
  std::string text;
  EXPECT_EQ(trust::releaseVerdict(9, 8, comment, *expiry, text), result::kOk);
  EXPECT_EQ(trust::releaseVerdict(9, 8, comment, *expiry + 1, text), result::kReleaseExpired);
  EXPECT_NE(text.find("until " + trust::utcTimeText(*expiry) + ";"), std::string::npos) << text;

  // A published manifest whose Version cannot be read is never silently climbed from.
  test::writeText(manifest, "not gzip");
  EXPECT_EQ(build({}), PublishCommand::kFailed);
  EXPECT_NE(err.str().find("give the version with --version"), std::string::npos) << err.str();
  EXPECT_EQ(readAll(manifest), "not gzip");
}

TEST_F(ReleaseSigningTest, AKeyThatCannotSignRefusesTheBuild) {
  writeGame();
  test::writeText(root() / "not-a-key", "untrusted comment: nothing\nAAAA\n");
  for (const fs::path& key : {root() / "missing.key", root() / "not-a-key"}) {
    EXPECT_EQ(publish({"build", (root() / "game").string(), (root() / "out").string(), "--sign", key.string()}),
              PublishCommand::kFailed);
    EXPECT_NE(err.str().find(key.string()), std::string::npos) << err.str();
  }
  EXPECT_FALSE(fs::exists(root() / "out" / kManifest));
}

}  // namespace
}  // namespace korvel::publish
