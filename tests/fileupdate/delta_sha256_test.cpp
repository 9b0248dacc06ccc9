// Tests of the "SHA256" attributes of delta data and of the file a delta makes.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/result_codes.h"
#include "tests/fileupdate/update_fixture.h"
#include "trust/sha256.h"

namespace korvel {
namespace {

std::string sha256Of(const std::string& bytes) { return trust::Sha256::hexOf(bytes.data(), bytes.size()); }

class DeltaSha256Test : public test::UpdateTest {
 protected:
  // Builds the model from the manifest text and checks the installation against it, as a load does.
  void loadManifest(const std::string& text) {
    document = test::parseXml(text);
    xmlNode* product = test::firstElementOfRoot(document.get());
    ASSERT_NE(product, nullptr);
    session.resume();
    ASSERT_TRUE(session.products().build(product));
    session.products().aggregateFlags();
    session.products().linkEnvironments();
    scan(0);
  }
};

TEST_F(DeltaSha256Test, DeltaDataAndItsResultCountOnlyWithTheirDigests) {
  const std::string old = "The quick brown fox jumps over the lazy dog";
  const std::string next = "The quick red fox jumps over the lazy dog!";
  const std::string delta = test::DeltaData(static_cast<std::uint32_t>(next.size()))
                                .copy(0, 10)
                                .literal("red")
                                .copy(15, 28)
                                .literal("!")
                                .bytes();
  const std::string wrong(trust::Sha256::kHexLength, 'a');
  struct Case {
    const char* what;
    std::string deltaSha256;
    std::string fileSha256;
    std::string after;        // game.dat after the update
    int fullDownloads;        // requests of the whole file
    bool mismatch;            // a download was refused with 49
    bool resultRefused;       // the combined result was refused for its digest
  };
  const Case cases[] = {
      {"both digests right", sha256Of(delta), sha256Of(next), next, 0, false, false},
      {"other delta data", wrong, sha256Of(next), next, 1, true, false},
      // The combine's result has the manifest's size and CRC, but not its digest: neither it nor the
      // full download (the same bytes) may replace the old file.
      {"another result", sha256Of(delta), wrong, old, 1, true, true},
  };
  ASSERT_TRUE(test::writeFile(serverRoot.file("game.dat"), test::TestHttpServer::gzip(next)));
  ASSERT_TRUE(test::writeFile(serverRoot.file("game.dat.delta"), test::TestHttpServer::gzip(delta)));
  server.serveFolder("/", serverRoot.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    install(test::ServedFile{"game.dat", next}, old, false);
    const std::string manifest =
        "<KorvelPatcher Version=\"1\"><Product Name=\"Game\" " + serverAttributes() + "><File Name=\"game.dat\" "
        "TotalSize=\"" + std::to_string(next.size()) + "\" CRC=\"" +
        std::to_string(static_cast<std::int32_t>(test::crcOf(next))) + "\" SHA256=\"" + c.fileSha256 +
        "\"><DeltaFile FilePath=\"game.dat.delta\" TotalSize=\"" + std::to_string(delta.size()) + "\" CRC=\"" +
        std::to_string(static_cast<std::int32_t>(test::crcOf(old))) + "\" SHA256=\"" + c.deltaSha256 +
        "\"/></File></Product></KorvelPatcher>";
    const int fullBefore = requests("game.dat");
    const std::size_t linesBefore = client.lines().size();
    loadManifest(manifest);

    update();
    EXPECT_EQ(test::readFile(dir.file("game.dat")), c.after);
    EXPECT_EQ(requests("game.dat") - fullBefore, c.fullDownloads);
    const std::vector<int> codes = errorCodes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), result::kFileMismatch) > 0, c.mismatch);
    bool refusedLine = false;
    const std::vector<std::string> lines = client.lines();
    for (std::size_t i = linesBefore; i < lines.size(); ++i)
      if (lines[i].find("Delta result for") != std::string::npos && lines[i].find("SHA-256") != std::string::npos)
        refusedLine = true;
    EXPECT_EQ(refusedLine, c.resultRefused);
    EXPECT_FALSE(test::exists(dir.file("game.dat_delta")));
  }
}

}  // namespace
}  // namespace korvel
