// Tests of distributions read from external documents on the patch server, and of change notes.
#include "manifest/distribution_node.h"

#include <gtest/gtest.h>

#include "common/result_codes.h"
#include "tests/support/model_fixture.h"
#include "tests/support/scoped_current_directory.h"
#include "tests/support/test_http_server.h"

namespace korvel {
namespace {

class ExternalDocumentTest : public test::ModelTest {
 protected:
  std::string server() const { return "Server=\"127.0.0.1\" Port=\"" + std::to_string(http.port()) + "\""; }
  // A manifest document holding `body` under its root.
  static std::string document(const std::string& body) { return "<KorvelPatcher>" + body + "</KorvelPatcher>"; }
  void serveDocument(const std::string& path, const std::string& body) {
    http.serveGzip(path, document(body));
  }
  bool buildWithExternal(const std::string& distributionElement) {
    return buildProduct("Name=\"P\" " + server(), distributionElement);
  }

  test::TestHttpServer http;
  // Temporary files are made in the current folder.
  test::ScopedCurrentDirectory working{dir.path()};
};

TEST_F(ExternalDocumentTest, AnEmptyDistributionIsReadFromItsDocument) {
  serveDocument("/ext/a.xml",
                "<Distribution Name=\"Inner\" RemotePath=\"ignored\" UseCRC=\"no\">"
                "<File Name=\"x\"/><Directory Name=\"d\"><File Name=\"y\"/></Directory></Distribution>");
  ASSERT_TRUE(buildWithExternal("<Distribution Name=\"Ext\" RemotePath=\"ext/a.xml\"/>"));
  DistributionNode* ext = distribution("Ext");
  ASSERT_NE(ext, nullptr);
  ASSERT_NE(file("x"), nullptr);
  EXPECT_EQ(file("x")->parent(), ext);
  EXPECT_EQ(file("y")->localPath(), "d\\y");
  EXPECT_EQ(ext->remotePath(), "ignored") << "the document's element replaces the remote path";
  EXPECT_EQ(ext->useCrc(), 1) << "its parent uses CRC checks";
  EXPECT_TRUE(client.errors().empty());
  EXPECT_EQ(http.requestCount("/ext/a.xml"), 1);
  EXPECT_FALSE(test::exists(dir.file("spatchfile_0.xml")));
}

TEST_F(ExternalDocumentTest, AnyContentEvenACommentOrTextKeepsTheElementLocal) {
  serveDocument("/ext/a.xml", "<Distribution><File Name=\"x\"/></Distribution>");
  ASSERT_TRUE(buildWithExternal("<Distribution Name=\"C\" RemotePath=\"ext/a.xml\"><!-- later --></Distribution>"
                                "<Distribution Name=\"T\" RemotePath=\"ext/a.xml\"> </Distribution>"));
  EXPECT_EQ(http.requestCount("/ext/a.xml"), 0);
  EXPECT_TRUE(distribution("C")->children().empty());
  EXPECT_TRUE(distribution("T")->children().empty());
}

TEST_F(ExternalDocumentTest, EveryDistributionOfTheDocumentIsReadAndAChainIsFollowed) {
  serveDocument("/ext/a.xml",
                "\n  <Distribution><File Name=\"first\"/></Distribution>\n"
                "  <Distribution RemotePath=\"ext/b.xml\"/>\n");
  serveDocument("/ext/b.xml", "<Distribution Delete=\"yes\"><File Name=\"second\"/></Distribution>");
  ASSERT_TRUE(buildWithExternal("<Distribution Name=\"Ext\" RemotePath=\"ext/a.xml\"/>"));
  ASSERT_NE(file("first"), nullptr);
  ASSERT_NE(file("second"), nullptr);
  EXPECT_EQ(file("first")->parent(), distribution("Ext"));
  EXPECT_EQ(file("second")->parent(), distribution("Ext"));
  EXPECT_EQ(file("first")->nextSibling(), file("second"));
  EXPECT_TRUE(file("second")->isDeleteMarked());
  EXPECT_EQ(http.requestCount("/ext/b.xml"), 1);
}

TEST_F(ExternalDocumentTest, ADocumentOfAnotherKindIsRefusedWith61) {
  http.serveGzip("/ext/a.xml", "<Other><Distribution><File Name=\"x\"/></Distribution></Other>");
  EXPECT_FALSE(buildWithExternal("<Distribution Name=\"Ext\" RemotePath=\"ext/a.xml\"/><File Name=\"after\"/>"))
      << "the tree says that a document failed";
  EXPECT_EQ(client.errorCodes(), std::vector<int>{result::kWrongDocument});
  EXPECT_EQ(client.errors().at(0).message, "Document ext/a.xml of the wrong type, KorvelPatcher expected.\n");
  EXPECT_TRUE(distribution("Ext")->children().empty());
  EXPECT_NE(file("after"), nullptr) << "the siblings are still read";
}

TEST_F(ExternalDocumentTest, AnUnreachableDocumentIsReportedWith64) {
  // A port that was just given up: nothing answers there, in memory or into the file. And a server
  // that answers 404 with a well-formed page: the page is not the document.
  int closedPort = 0;
  {
    test::TestHttpServer gone;
    closedPort = gone.port();
  }
  ASSERT_NE(closedPort, 0);
  for (const int port : {closedPort, http.port()}) {
    SCOPED_TRACE(port);
    const std::size_t before = client.errors().size();
    ASSERT_FALSE(buildWithExternal("<Distribution Name=\"Ext\" RemotePath=\"ext/missing.xml\" Server=\"127.0.0.1\" Port=\"" +
                                   std::to_string(port) + "\"/>"));
    const std::vector<test::RecordingClient::Error> errors = client.errors();
    ASSERT_EQ(errors.size(), before + 1);
    EXPECT_EQ(errors.back().code, result::kExternalDocumentFailed);
    EXPECT_EQ(errors.back().message,
              "Error accessing external xml file: 127.0.0.1:" + std::to_string(port) + "/ext/missing.xml.\n");
    EXPECT_TRUE(distribution("Ext")->children().empty());
    EXPECT_FALSE(test::exists(dir.file("spatchfile_0.xml"))) << "the temporary file is removed";
  }
}

TEST_F(ExternalDocumentTest, TheFileDownloadIsTriedWhenTheMemoryFetchFails) {
  test::HttpReply failure;
  failure.status = 500;
  failure.body = "broken";
  test::HttpReply good;
  good.body = test::TestHttpServer::gzip(document("<Distribution><File Name=\"late\"/></Distribution>"));
  http.serveSequence("/ext/a.xml", {failure, good});
  ASSERT_TRUE(buildWithExternal("<Distribution Name=\"Ext\" RemotePath=\"ext/a.xml\"/>"));
  EXPECT_EQ(http.requestCount("/ext/a.xml"), 2);
  EXPECT_TRUE(client.errors().empty()) << "the error page is not taken for the document";
  ASSERT_NE(file("late"), nullptr);
  EXPECT_EQ(file("late")->parent(), distribution("Ext"));
}

TEST_F(ExternalDocumentTest, ADocumentThatNamesItselfIsFollowedABoundedNumberOfTimes) {
  struct Case {
    int namings;
    int requests;
  };
  // Named once, the document is followed to the depth limit; named three times, it would be fetched
  // 3^8 times at that depth, and the tree's budget of documents ends it.
  const std::vector<Case> cases = {{1, DistributionNode::kMaxExternalDepth},
                                   {3, DistributionNode::kMaxExternalDocuments}};
  for (const Case& each : cases) {
    const std::string path = "ext/self" + std::to_string(each.namings) + ".xml";
    std::string body;
    for (int naming = 0; naming < each.namings; ++naming) body += "<Distribution RemotePath=\"" + path + "\"/>";
    serveDocument("/" + path, body);
    const std::size_t errorsBefore = client.errorCodes().size();
    EXPECT_FALSE(buildWithExternal("<Distribution Name=\"Ext\" RemotePath=\"" + path + "\"/>"));
    EXPECT_EQ(http.requestCount("/" + path), each.requests) << body;
    const std::vector<int> codes = client.errorCodes();
    ASSERT_GT(codes.size(), errorsBefore);
    for (std::size_t at = errorsBefore; at < codes.size(); ++at) EXPECT_EQ(codes[at], result::kExternalDocumentFailed);
  }
}

TEST_F(ExternalDocumentTest, ChangeNotesAreFetchedAndOrderedByVersion) {
  http.serveBytes("/notes/2.txt", "second notes");
  http.serveGzip("/notes/1.txt.gz", "first notes");
  http.serveBytes("/notes/long.txt", "abcdefghij");
  ASSERT_TRUE(buildProduct("Name=\"P\" " + server(),
                           "<Changes RemotePath=\"notes/2.txt\" Version=\"2\"/>"
                           "<Changes RemotePath=\"notes/1.txt.gz\" Version=\"1\" Compressed=\"yes\"/>"
                           "<Changes RemotePath=\"notes/long.txt\" Version=\"3\" DownloadSize=\"4\"/>"
                           "<Changes Version=\"4\"/>"));
  const std::vector<ChangeNote>& notes = top().changeNotes();
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[0].text, "first notes");
  EXPECT_EQ(notes[1].text, "second notes");
  EXPECT_EQ(notes[2].text, "abcd");
  EXPECT_TRUE(tree()->children().empty());
  EXPECT_FALSE(test::exists(dir.file("spatchfile_0.txt")));
}

}  // namespace
}  // namespace korvel
