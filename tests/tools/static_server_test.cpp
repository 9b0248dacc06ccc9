// Tests of the static server: files as stored, the 404 page, path traversal, methods, the log.
#include "tools/publish/static_server.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "tests/support/temp_dir.h"
#include "tests/tools/publish_fixture.h"

namespace korvel::publish {
namespace {

namespace fs = std::filesystem;

class StaticServerTest : public test::TempDirTest {
 protected:
  void SetUp() override {
    servedRoot = fs::path(dir.native()) / "tree";
    test::writeText(servedRoot / "patch" / "file.gz", "gzip bytes \x1f\x8b as stored");
    test::writeText(servedRoot / "patch" / "my file.bin", "spaced");
    test::writeText(fs::path(dir.native()) / "secret.txt", "outside");
    server.emplace(servedRoot, log);
    ASSERT_TRUE(server->bind("127.0.0.1", 0)) << server->error();
    listener = std::thread([this] { server->serve(); });
    client.emplace("127.0.0.1", server->port());
  }

  void TearDown() override {
    client.reset();
    if (server) server->stop();
    if (listener.joinable()) listener.join();
    server.reset();
    test::TempDirTest::TearDown();
  }

  fs::path servedRoot;
  std::ostringstream log;
  std::optional<StaticServer> server;
  std::thread listener;
  std::optional<httplib::Client> client;
};

TEST_F(StaticServerTest, ServesFilesExactlyAsStored) {
  auto response = client->Get("/patch/file.gz", {{"Accept-Encoding", "gzip, deflate"}});
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(response->body, "gzip bytes \x1f\x8b as stored");
  EXPECT_EQ(response->get_header_value("Content-Type"), "application/octet-stream");
  EXPECT_FALSE(response->has_header("Content-Encoding"));

  auto spaced = client->Get("/patch/my%20file.bin");
  ASSERT_TRUE(spaced);
  EXPECT_EQ(spaced->status, 200);
  EXPECT_EQ(spaced->body, "spaced");

  auto head = client->Head("/patch/file.gz");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_TRUE(head->body.empty());
}

TEST_F(StaticServerTest, AnswersAByteRangeOnlyOfTheFileItsValidatorNames) {
  const std::string stored = "gzip bytes \x1f\x8b as stored";
  auto whole = client->Get("/patch/file.gz");
  ASSERT_TRUE(whole);
  const std::string etag = whole->get_header_value("ETag");
  const std::string modified = whole->get_header_value("Last-Modified");
  EXPECT_EQ(etag.front(), '"');
  EXPECT_EQ(modified.size(), 29u) << modified;  // "Sun, 06 Nov 1994 08:49:37 GMT"
  struct Case {
    httplib::Headers headers;
    int status;
    std::string body;
    std::string contentRange;
  };
  const Case cases[] = {
      {{{"Range", "bytes=11-"}}, 206, stored.substr(11), "bytes 11-22/23"},
      {{{"Range", "bytes=11-12"}, {"If-Range", etag}}, 206, stored.substr(11, 2), "bytes 11-12/23"},
      {{{"Range", "bytes=-3"}, {"If-Range", modified}}, 206, stored.substr(20), "bytes 20-22/23"},
      {{{"Range", "bytes=11-999"}}, 206, stored.substr(11), "bytes 11-22/23"},
      {{{"Range", "bytes=11-"}, {"If-Range", "\"other\""}}, 200, stored, ""},
      {{{"Range", "bytes=0-1,5-6"}}, 200, stored, ""},
      {{{"Range", "bytes=23-"}}, 416, "", "bytes */23"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headers.begin()->second);
    auto response = client->Get("/patch/file.gz", c.headers);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.status);
    EXPECT_EQ(response->body, c.body);
    EXPECT_EQ(response->get_header_value("Content-Length"), std::to_string(c.body.size()));
    EXPECT_EQ(response->get_header_value("Content-Range"), c.contentRange);
    EXPECT_EQ(response->get_header_value("ETag"), etag);
  }
}

TEST_F(StaticServerTest, AnswersRangesOfAFileAboveFourGigabytes) {
  // Sparse: only the two marks take disk space.
  const std::uint64_t size = (5ull << 30) + 3;
  const fs::path big = servedRoot / "patch" / "big.pak";
  {
    std::ofstream file(big, std::ios::binary);
    file.seekp(static_cast<std::streamoff>((4ull << 30) + 10));
    file << "past four";
    file.seekp(static_cast<std::streamoff>(size - 4));
    file << "tail";
    ASSERT_TRUE(file.good());
  }
  ASSERT_EQ(fs::file_size(big), size);
  const std::string total = "/" + std::to_string(size);
  struct Case {
    std::string range;
    int status;
    std::string body;
    std::string contentRange;
  };
  const Case cases[] = {
      {"bytes=4294967306-4294967314", 206, "past four", "bytes 4294967306-4294967314" + total},
      {"bytes=4294967311-4294967314", 206, "four", "bytes 4294967311-4294967314" + total},
      {"bytes=5368709120-", 206, "ail", "bytes 5368709120-5368709122" + total},
      {"bytes=-4", 206, "tail", "bytes 5368709119-5368709122" + total},
      {"bytes=5368709123-", 416, "", "bytes */" + std::to_string(size)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.range);
    auto response = client->Get("/patch/big.pak", {{"Range", c.range}});
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.status);
    EXPECT_EQ(response->body, c.body);
    EXPECT_EQ(response->get_header_value("Content-Length"), std::to_string(c.body.size()));
    EXPECT_EQ(response->get_header_value("Content-Range"), c.contentRange);
  }
  // The whole file is announced with its full length (HEAD: without sending it).
  auto head = client->Head("/patch/big.pak");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_EQ(head->get_header_value("Content-Length"), std::to_string(size));
}

TEST_F(StaticServerTest, MissingFilesAndFoldersGetTheNotFoundPage) {
  for (const char* path : {"/patch/absent.gz", "/patch", "/", "/patch/file.gz/more"}) {
    auto response = client->Get(path);
    ASSERT_TRUE(response) << path;
    EXPECT_EQ(response->status, 404) << path;
    EXPECT_NE(response->body.find("<h1>Not Found</h1>"), std::string::npos) << path;
  }
}

TEST_F(StaticServerTest, PathsLeavingTheRootAreRefused) {
  fs::create_directory_symlink(fs::path(dir.native()), servedRoot / "up");
  for (const char* path : {"/../secret.txt", "/patch/../../secret.txt", "/patch/%2e%2e/%2E%2E/secret.txt",
                           "/patch%2F..%2F..%2Fsecret.txt", "/patch/..%5C..%5Csecret.txt", "/up/secret.txt"}) {
    auto response = client->Get(path);
    ASSERT_TRUE(response) << path;
    EXPECT_EQ(response->status, 403) << path;
    EXPECT_EQ(response->body.find("outside"), std::string::npos) << path;
  }
}

TEST_F(StaticServerTest, OnlyGetIsServed) {
  auto response = client->Post("/patch/file.gz", "data", "text/plain");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 405);
  EXPECT_EQ(response->get_header_value("Allow"), "GET, HEAD");
}

TEST_F(StaticServerTest, LogsOneLinePerRequest) {
  ASSERT_TRUE(client->Get("/patch/file.gz"));
  ASSERT_TRUE(client->Get("/nothing"));
  client.reset();
  server->stop();
  listener.join();
  std::string text = log.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
  EXPECT_NE(text.find("127.0.0.1 \"GET /patch/file.gz\" 200 23\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"GET /nothing\" 404"), std::string::npos) << text;
}

TEST(StaticServerStop, AStopBeforeServingEndsServeAtOnce) {
  test::TempDir dir;
  std::ostringstream log;
  StaticServer server(dir.native(), log);
  ASSERT_TRUE(server.bind("127.0.0.1", 0));
  server.stop();
  std::thread listener([&] { server.serve(); });
  listener.join();
  SUCCEED();
}

TEST(StaticServerBind, ARootThatIsNoFolderIsAnError) {
  test::TempDir dir;
  std::ostringstream log;
  StaticServer server(fs::path(dir.native()) / "absent", log);
  EXPECT_FALSE(server.bind("127.0.0.1", 0));
  EXPECT_NE(server.error().find("not a folder"), std::string::npos);
}

}  // namespace
}  // namespace korvel::publish
