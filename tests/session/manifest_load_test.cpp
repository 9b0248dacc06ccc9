// Tests of the manifest load: the access modes, the rerun marker, the authorisation page, the checks
// of the document and what the session keeps of the "Product" element.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "manifest/distribution_node.h"
#include "manifest/product_record.h"
#include "platform/files.h"
#include "tests/session/session_test_support.h"

namespace korvel {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kPath = "/patch/wendrel/wendrelonly.xml.gz";
constexpr const char* kRerunPage =
    "<HTML><HEAD><TITLE>_rerun_xml_script_</TITLE></HEAD><BODY>busy, try again</BODY></HTML>";

std::string validManifest() {
  return "<KorvelPatcher Version=\"3\"><Product Name=\"Wendrel\" Version=\"12\" PatchFrozen=\"yes\" "
         "PatchFrozenBypassList=\"a,b\"><File Name=\"x.bin\" TotalSize=\"4\"/></Product></KorvelPatcher>";
}

class ManifestLoadTest : public test::TempDirTest {
 protected:
  // The session is made in the scratch folder, so its base folder and "PatchTest.xml" land there.
  ManifestLoadTest() : inFolder(dir.path()), client(std::make_unique<test::RecordingClient>()) {}

  Patcher& patcher() { return *client->patcher(); }
  bool load(std::uint32_t flags = Patcher::kWaitFlag) {
    return client->openRemoteManifest(test::TestHttpServer::host().c_str(), server.port(), kPath, flags);
  }
  // The access modes tried, in order, from the log.
  std::vector<int> modesTried() const {
    std::vector<int> modes;
    for (const std::string& line : client->linesStartingWith("Memory Download Internet Type ")) {
      if (line.find("Begin") != std::string::npos) modes.push_back(line[30] - '0');
    }
    return modes;
  }

  test::NoProxy noProxy;
  test::ScopedCurrentDirectory inFolder;
  test::TestHttpServer server;
  std::unique_ptr<test::RecordingClient> client;
};

TEST_F(ManifestLoadTest, AValidManifestBuildsTheTreeAndKeepsTheProductAttributes) {
  server.serveGzip(kPath, validManifest());
  EXPECT_TRUE(load());
  EXPECT_TRUE(patcher().manifestLoaded());
  EXPECT_FALSE(client->isBusy());
  ASSERT_NE(patcher().products().tree(), nullptr);
  EXPECT_EQ(patcher().products().top()->record().name(), "Wendrel");
  EXPECT_EQ(patcher().load().manifestVersion(), 3);
  EXPECT_EQ(patcher().load().productName(), "Wendrel");
  EXPECT_EQ(patcher().load().productVersion(), 12);
  EXPECT_TRUE(patcher().load().patchFrozen());
  EXPECT_EQ(patcher().load().patchFrozenBypassList(), "a,b");
  EXPECT_THAT(client->events(), Contains("productName Wendrel"));
  EXPECT_EQ(client->events().back(), "manifestReady 1");
  // The first mode that works is reported as the new mode.
  EXPECT_THAT(client->events(), Contains("accessModeChanged 0"));
  EXPECT_EQ(patcher().internetAccessMode(), 0);
  EXPECT_TRUE(client->logged("Memory Download Successful.\n"));
  EXPECT_TRUE(client->logged("Contents valid; Continuing Initialization...\n"));
  // The rescan after the load checked the one file against the base folder.
  EXPECT_TRUE(client->logged("Rescanning 1 files\n"));
  EXPECT_TRUE(client->logged("--- File Discrepancy M for x.bin: File not on local machine\n"));
}

TEST_F(ManifestLoadTest, TheRerunMarkerIsFetchedAgainUntilAnotherBodyArrives) {
  const std::string manifest = test::TestHttpServer::gzip(validManifest());
  server.serveSequence(kPath, {{200, kRerunPage}, {200, kRerunPage}, {200, manifest}});
  EXPECT_TRUE(load());
  EXPECT_EQ(server.requestCount(kPath), 3);
  EXPECT_THAT(modesTried(), ElementsAre(0));
  EXPECT_TRUE(client->errors().empty());
}

TEST_F(ManifestLoadTest, AFailedRefetchAfterTheMarkerIsError63AndTheNextModeIsTried) {
  const std::string tooLarge(ManifestLoad::kManifestCapacity + 1, 'x');
  const std::string manifest = test::TestHttpServer::gzip(validManifest());
  server.serveSequence(kPath, {{200, kRerunPage}, {200, tooLarge}, {200, manifest}});
  EXPECT_TRUE(load());
  ASSERT_EQ(client->errors().size(), 1u);
  EXPECT_EQ(client->errors()[0].code, 63);
  EXPECT_EQ(client->errors()[0].message,
            std::string("Error opening remote xml file.\nCould not access patcher update file.  Please verify your "
                        "network connection.  If the problem persists, please contact ") +
                ManifestLoad::kSupportSite + ".\n");
  // Mode 1 goes through the proxy, and there is none here.
  EXPECT_THAT(modesTried(), ElementsAre(0, 1, 2));
  EXPECT_TRUE(client->logged("Memory Download Internet Type 0 Unsuccessful.\n"));
  EXPECT_EQ(patcher().internetAccessMode(), 2);
}

TEST_F(ManifestLoadTest, AServerThatAnswersTheMarkerForeverIsLeftWhenTheSessionStops) {
  server.serveBytes(kPath, kRerunPage);
  // The user closes the window while the session keeps asking.
  client->onBeforeConnect = [this](int connection) {
    if (connection == 4) patcher().stop();
  };
  EXPECT_FALSE(load());
  EXPECT_FALSE(client->isBusy());
  EXPECT_FALSE(patcher().manifestLoaded());
  EXPECT_EQ(client->events().back(), "manifestReady 0");
  // No request is made once the stop is seen (the one being made then may or may not arrive).
  EXPECT_GE(server.requestCount(kPath), 3);
  EXPECT_LE(server.requestCount(kPath), 4);
  EXPECT_THAT(client->errorCodes(), ElementsAre(63, 31));
}

TEST_F(ManifestLoadTest, AWrongRootCountsAsAFailedModeAndTheNextModeIsTried) {
  const std::string manifest = test::TestHttpServer::gzip(validManifest());
  server.serveSequence(kPath, {{200, test::TestHttpServer::gzip("<Other Version=\"1\"/>")}, {200, manifest}});
  EXPECT_TRUE(load());
  // Mode 1 goes through the proxy, and there is none here.
  EXPECT_THAT(modesTried(), ElementsAre(0, 1, 2));
  EXPECT_EQ(server.requestCount(kPath), 2);
  EXPECT_TRUE(client->logged("Memory Download failed.  Trying file download...\n"));
  EXPECT_TRUE(client->logged("Root element is Other\n"));
  EXPECT_TRUE(client->logged("Memory Download Internet Type 2 Successful.\n"));
  EXPECT_THAT(client->events(), Contains("accessModeChanged 2"));
  EXPECT_TRUE(patcher().load().accessModeTried(0));
  EXPECT_FALSE(patcher().load().accessModeUsable(0));
  EXPECT_FALSE(patcher().load().accessModeUsable(1));
  EXPECT_TRUE(patcher().load().accessModeUsable(2));
  EXPECT_FALSE(patcher().load().accessModeTried(3));
  // A later load starts with the mode that worked and reports no change.
  server.serveGzip(kPath, validManifest());
  EXPECT_TRUE(load());
  EXPECT_EQ(client->count("accessModeChanged 2"), 1);
  EXPECT_THAT(modesTried(), ElementsAre(0, 1, 2, 2));
}

TEST_F(ManifestLoadTest, AnAuthorisationPageEndsTheLoadWith29WithoutTryingOtherModes) {
  // The page as web servers send it: HTML that is not well-formed XML.
  server.serveReply(kPath, {401,
                            "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\n<html><head><title>401 "
                            "Authorization Required</title></head><body><h1>Authorization Required</h1><p>Wrong "
                            "credentials.<br></p><hr></body></html>\n",
                            "text/html"});
  EXPECT_FALSE(load());
  EXPECT_EQ(server.requestCount(kPath), 1);
  ASSERT_EQ(client->errors().size(), 1u);
  EXPECT_EQ(client->errors()[0].code, 29);
  EXPECT_EQ(client->errors()[0].message, "Authentication failed for user.\n");
  EXPECT_TRUE(client->logged("Authorization Required.\n"));
  EXPECT_EQ(client->events().back(), "manifestReady 0");
  EXPECT_FALSE(patcher().manifestLoaded());
}

TEST_F(ManifestLoadTest, AGivenModeIsTriedFirstThenTheOthersInOrderAndAllFailingIs31) {
  server.serveNotFoundPage(kPath);
  patcher().setInternetAccessMode(2);
  EXPECT_FALSE(load());
  EXPECT_THAT(modesTried(), ElementsAre(2, 0, 1, 3));
  // Mode 1 goes through the proxy, and there is none here: it fails before asking.
  EXPECT_EQ(server.requestCount(kPath), 3);
  ASSERT_EQ(client->errors().size(), 1u);
  EXPECT_EQ(client->errors()[0].code, 31);
  EXPECT_EQ(client->errors()[0].message, "Could not establish a valid connection.\n");
  EXPECT_TRUE(client->logged("Memory Download Operation Failed.\n"));
  EXPECT_EQ(client->events().back(), "manifestReady 0");
  EXPECT_THAT(client->events(), Not(Contains(HasSubstr("accessModeChanged"))));
  // A later load starts with the mode tried last, then tries the others again in order.
  EXPECT_FALSE(load());
  EXPECT_THAT(modesTried(), ElementsAre(2, 0, 1, 3, 3, 0, 1, 2));
  const std::vector<int> codes = client->errorCodes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 31), 2);
}

TEST_F(ManifestLoadTest, ABodyLargerThanTheBufferFailsTheMode) {
  const std::string manifest = test::TestHttpServer::gzip(validManifest());
  server.serveSequence(kPath, {{200, std::string(ManifestLoad::kManifestCapacity, 'y')}, {200, manifest}});
  EXPECT_TRUE(load());
  EXPECT_THAT(modesTried(), ElementsAre(0, 1, 2));
  EXPECT_TRUE(client->logged("Memory Download Internet Type 0 Unsuccessful.\n"));
}

TEST_F(ManifestLoadTest, TheRootAndProductNamesIgnoreLetterCase) {
  server.serveGzip(kPath, "<korvelpatcher><!-- first --><product Name=\"P\"><file Name=\"a\"/></product></korvelpatcher>");
  EXPECT_TRUE(load());
  EXPECT_EQ(patcher().load().productName(), "P");
}

TEST_F(ManifestLoadTest, DocumentsFailingTheChecksAreError61AndLeaveNoManifest) {
  struct Case {
    std::string document;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"<KorvelPatcher><!-- only a comment -->and text</KorvelPatcher>", "No Product element found\n"},
      {"<KorvelPatcher><Directory Name=\"d\"/><Product Name=\"P\"/></KorvelPatcher>",
       "Outer node of the wrong type, Product expected\n"},
  };
  for (const Case& each : cases) {
    auto local = std::make_unique<test::RecordingClient>();
    ASSERT_TRUE(test::writeFile(dir.file("m.xml"), each.document));
    EXPECT_FALSE(local->openLocalManifest(dir.file("m.xml").c_str(), Patcher::kWaitFlag)) << each.document;
    EXPECT_THAT(local->errorCodes(), ElementsAre(61));
    EXPECT_EQ(local->errors()[0].message, each.message);
    EXPECT_EQ(local->events().back(), "manifestReady 0");
    EXPECT_FALSE(local->patcher()->manifestLoaded());
    EXPECT_EQ(local->patcher()->products().tree(), nullptr);
  }
}

TEST_F(ManifestLoadTest, AnExternalDocumentThatCannotBeHadEndsTheLoadWith64) {
  // The nested distribution's document is answered with a well-formed 404 page: without its files the
  // installation would be found current.
  server.serveGzip(kPath, "<KorvelPatcher><Product Name=\"Wendrel\"><File Name=\"x.bin\" TotalSize=\"4\"/>"
                          "<Distribution Name=\"Ext\" RemotePath=\"ext/missing.xml\"/></Product></KorvelPatcher>");
  EXPECT_FALSE(load());
  EXPECT_THAT(client->errorCodes(), ElementsAre(64));
  EXPECT_EQ(client->events().back(), "manifestReady 0");
  EXPECT_FALSE(patcher().manifestLoaded());
  EXPECT_FALSE(patcher().update(nullptr, Patcher::kWaitFlag)) << "nothing is updated over a partial tree";
}

TEST_F(ManifestLoadTest, ALocalDocumentWithAnotherRootIsWrittenToPatchTest) {
  ASSERT_TRUE(test::writeFile(dir.file("m.xml"), "<Catalogue><Product Name=\"P\"/></Catalogue>"));
  EXPECT_FALSE(client->openLocalManifest(dir.file("m.xml").c_str(), Patcher::kWaitFlag));
  EXPECT_THAT(client->errorCodes(), ElementsAre(61));
  EXPECT_EQ(client->errors()[0].message, "Document of the wrong type, KorvelPatcher expected\n");
  EXPECT_TRUE(client->logged("XML Invalid: xml file output to PatchTest.xml\n"));
  EXPECT_THAT(test::readFile(dir.file("PatchTest.xml")), HasSubstr("<Catalogue>"));
  EXPECT_EQ(client->events().back(), "manifestReady 0");
}

TEST_F(ManifestLoadTest, TheProductRootBecomesTheBaseFolderAndIsCreated) {
  ASSERT_TRUE(test::writeFile(dir.file("short.xml"), "<KorvelPatcher><Product Name=\"P\" Root=\"x\"/></KorvelPatcher>"));
  EXPECT_TRUE(client->openLocalManifest(dir.file("short.xml").c_str(), Patcher::kWaitFlag));
  EXPECT_EQ(patcher().state().defaultRootPath, "") << "a root of one character is none";
  EXPECT_EQ(patcher().state().baseFor(), dir.path());

  const std::string root = dir.file("game\\root");
  ASSERT_TRUE(test::writeFile(dir.file("m.xml"), "<KorvelPatcher><Product Name=\"P\" Root=\"" + root +
                                                     "\"><File Name=\"f\"/></Product></KorvelPatcher>"));
  EXPECT_TRUE(client->openLocalManifest(dir.file("m.xml").c_str(), Patcher::kWaitFlag));
  EXPECT_EQ(patcher().state().defaultRootPath, root);
  EXPECT_EQ(patcher().state().baseFor(), root);
  EXPECT_TRUE(platform::pathExists(root));
  EXPECT_EQ(patcher().load().loadDirectory(), dir.path());
  // A root already given by the front end is kept; a second load leaves it alone.
  EXPECT_TRUE(client->setDistributionPath(nullptr, dir.file("given").c_str()));
  EXPECT_TRUE(client->openLocalManifest(dir.file("m.xml").c_str(), Patcher::kWaitFlag));
  EXPECT_EQ(patcher().state().defaultRootPath, dir.file("given"));
  EXPECT_TRUE(platform::pathExists(dir.file("given")));
}

TEST_F(ManifestLoadTest, ARootThatCannotBeCreatedIsError80AndTheLoadGoesOn) {
  ASSERT_TRUE(test::writeFile(dir.file("plain"), "a file where a folder should be"));
  const std::string root = dir.file("plain\\sub");
  ASSERT_TRUE(test::writeFile(dir.file("m.xml"), "<KorvelPatcher><Product Name=\"P\" Root=\"" + root +
                                                     "\"/></KorvelPatcher>"));
  EXPECT_TRUE(client->openLocalManifest(dir.file("m.xml").c_str(), Patcher::kWaitFlag));
  ASSERT_EQ(client->errors().size(), 1u);
  EXPECT_EQ(client->errors()[0].code, 80);
  EXPECT_EQ(client->errors()[0].message, "Could not generate path " + root + "\n");
  EXPECT_TRUE(patcher().manifestLoaded());
}

TEST_F(ManifestLoadTest, ChangeTextsAreReadIntoTheirMaintenanceList) {
  server.serveBytes("/notes/one.txt", "first notes");
  server.serveGzip("/notes/two.txt.gz", "second notes, compressed");
  server.serveBytes("/notes/three.txt", "0123456789");
  server.serveGzip(kPath,
                   "<KorvelPatcher><Product Name=\"P\">"
                   "<Changes RemotePath=\"notes/one.txt\" Version=\"2\"/>"
                   "<Changes RemotePath=\"notes/two.txt.gz\" Compressed=\"true\" MaintenanceType=\"yes\" Version=\"5\"/>"
                   "<Changes RemotePath=\"notes/three.txt\" DownloadSize=\"4\" Version=\"1\"/>"
                   "<Changes Version=\"9\"/>"
                   "</Product></KorvelPatcher>");
  EXPECT_TRUE(load());
  const auto& regular = patcher().load().changeList(0);
  ASSERT_EQ(regular.size(), 2u);
  EXPECT_EQ(regular[0].text, "first notes");
  EXPECT_EQ(regular[0].version, 2);
  EXPECT_EQ(regular[1].text, "0123");
  const auto& maintenance = patcher().load().changeList(1);
  ASSERT_EQ(maintenance.size(), 1u);
  EXPECT_EQ(maintenance[0].text, "second notes, compressed");
  EXPECT_EQ(maintenance[0].version, 5);
  // The temporary files are gone.
  EXPECT_FALSE(test::exists(dir.file("spatchfile_0.txt")));
  EXPECT_FALSE(test::exists(dir.file("spatchfile_1.txt")));
}

TEST_F(ManifestLoadTest, WithoutWaitingTheOpenReturnsAtOnceAndALoadInProgressIsNotStartedTwice) {
  server.serveGated(kPath, test::TestHttpServer::gzip(validManifest()), 0);
  EXPECT_TRUE(load(0));
  EXPECT_TRUE(client->isBusy());
  // A second open while the first load is pending is accepted without a second job.
  EXPECT_TRUE(load(0));
  server.openGate(kPath);
  test::waitUntilIdle(patcher());
  EXPECT_TRUE(patcher().manifestLoaded());
  EXPECT_EQ(client->count("manifestReady 1"), 1);
  EXPECT_EQ(client->countLogged("Thread Start\n"), 1);
}

}  // namespace
}  // namespace korvel
