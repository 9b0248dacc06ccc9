// The HTTP fetch engine against the scripted test server: memory and file paths, compressed bodies,
// failures with their codes and texts, stops, and the files a run leaves behind.
#include "transfer/http_transfer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/clock.h"
#include "platform/faults.h"
#include "platform/files.h"
#include "platform/folder_listing.h"
#include "platform/http.h"
#include "tests/support/recording_observer.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_dir.h"
#include "tests/support/route.h"
#include "tests/support/test_http_server.h"

namespace korvel::test {
namespace {

constexpr char kProgram[] = "korvel-test";
constexpr std::size_t kGuard = 16;
constexpr char kGuardByte = 0x5A;

// Bytes that gzip can hardly shrink, for bodies that must stay larger than a few read buffers.
std::string noise(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 2463534242u;
  for (char& c : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = static_cast<char>(state & 0xFF);
  }
  return bytes;
}

std::string sampleText(std::size_t size) {
  std::string text;
  for (int line = 0; text.size() < size; ++line)
    text += "<File Name=\"data" + std::to_string(line) + ".pak\" Size=\"" + std::to_string(line * 7919 % 100003) + "\"/>\n";
  text.resize(size);
  return text;
}

struct Outcome {
  int state = 0;
  int code = 0;
  std::string text;  // empty when there is no error text
  bool hasText = false;
  std::uint32_t downloaded = 0;
  std::uint32_t decompressed = 0;
  std::string body;       // memory requests: the buffer read as text
  bool guardIntact = true;  // memory requests: nothing written past the capacity
};

Outcome outcomeOf(const HttpTransfer& transfer) {
  Outcome out;
  out.state = transfer.state();
  out.code = transfer.errorCode();
  out.hasText = transfer.errorText() != nullptr;
  if (out.hasText) out.text = transfer.errorText();
  out.downloaded = transfer.bytesDownloaded();
  out.decompressed = transfer.bytesDecompressed();
  return out;
}

class HttpTransferTest : public TempDirTest {
 protected:
  Outcome fetchToMemory(const std::string& url, std::size_t capacity, int decompress = 0) {
    std::vector<char> buffer(capacity + kGuard, kGuardByte);
    HttpTransfer transfer(observer);
    transfer.setProgramName(kProgram);
    transfer.startMemoryDownload(buffer.data(), static_cast<std::int32_t>(capacity), routeOf(url), nullptr, nullptr,
                                 decompress);
    transfer.join();
    Outcome out = outcomeOf(transfer);
    out.body.assign(buffer.data(), strnlen(buffer.data(), capacity));
    for (std::size_t i = capacity; i < buffer.size(); ++i) out.guardIntact = out.guardIntact && buffer[i] == kGuardByte;
    return out;
  }

  Outcome fetchToFile(const std::string& url, const std::string& localPath, int decompress, bool useTemp,
                      HttpTransfer* external = nullptr) {
    HttpTransfer own(observer);
    HttpTransfer& transfer = external ? *external : own;
    transfer.setProgramName(kProgram);
    HttpTransfer::FileRequest request;
    request.route = routeOf(url);
    request.localPath = localPath.c_str();
    request.decompress = decompress;
    request.useTemp = useTemp;
    transfer.startFileDownload(request);
    transfer.join();
    return outcomeOf(transfer);
  }

  // Names in the scratch folder that start with `prefix`.
  std::vector<std::string> filesStartingWith(const std::string& prefix) const {
    std::vector<std::string> names;
    platform::FolderListing listing(dir.path());
    platform::FolderEntry entry;
    while (listing.next(entry))
      if (entry.name.compare(0, prefix.size(), prefix) == 0) names.push_back(entry.name);
    return names;
  }

  TestHttpServer server;
  RecordingObserver observer;
};

TEST_F(HttpTransferTest, DeliversBodyIntoMemoryAndSendsTheRequestForm) {
  server.serveBytes("/patch/doc.xml", "<doc/>");
  const Outcome out = fetchToMemory(server.url("/patch/doc.xml"), 64);

  EXPECT_EQ(out.state, HttpTransfer::kComplete);
  EXPECT_EQ(out.body, "<doc/>");
  EXPECT_EQ(out.downloaded, 6u);
  EXPECT_EQ(out.code, 0);
  EXPECT_FALSE(out.hasText);
  EXPECT_EQ(observer.connects(), 1);
  EXPECT_EQ(observer.requestsSent(), 1);
  EXPECT_TRUE(observer.logged("HttpSendRequest()...\n"));
  EXPECT_TRUE(observer.logged("HttpDownload Completed.\n"));

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].path, "/patch/doc.xml");
  EXPECT_EQ(requests[0].header("User-Agent"), "Orvane Patcher");
  EXPECT_NE(requests[0].header("Accept").find("application/x-zip-compressed"), std::string::npos);
}

TEST_F(HttpTransferTest, RefusesSchemesOtherThanHttpAndHttpsWithTheUsageText) {
  for (const std::string& url : {"gopher://" + TestHttpServer::host() + ":" + std::to_string(server.port()) + "/x",
                                std::string("ftp://127.0.0.1/x")}) {
    const Outcome out = fetchToMemory(url, 64);
    EXPECT_EQ(out.state, HttpTransfer::kFailed) << url;
    EXPECT_EQ(out.code, 25) << url;
    EXPECT_EQ(out.text, "Usage:  korvel-test HTTP-URL Local-File\n") << url;
  }
  EXPECT_TRUE(observer.logged("Http get error 25: Usage:  korvel-test HTTP-URL Local-File\n\n"));
  EXPECT_EQ(server.totalRequests(), 0);
}

TEST_F(HttpTransferTest, UrlPartLongerThanItsBufferFailsToCrack) {
  const std::string longPath = "/" + std::string(300, 'p');
  server.serveBytes(longPath, "unreachable");
  const Outcome out = fetchToMemory(server.url(longPath), 64);
  EXPECT_EQ(out.state, HttpTransfer::kFailed);
  EXPECT_EQ(out.code, 24);
  EXPECT_EQ(out.text.rfind("InternetCrackURL() failed: ", 0), 0u) << out.text;
  EXPECT_EQ(server.totalRequests(), 0);
}

TEST_F(HttpTransferTest, MemoryBodyNeedsRoomForItsTerminatingZero) {
  const std::string body = sampleText(100);
  server.serveBytes("/doc", body);

  const Outcome exact = fetchToMemory(server.url("/doc"), body.size());
  EXPECT_EQ(exact.state, HttpTransfer::kFailed);
  EXPECT_EQ(exact.code, 30);
  EXPECT_EQ(exact.text, "Buffer too small to hold " + server.url("/doc") + "\n");
  EXPECT_TRUE(exact.guardIntact);

  const Outcome roomy = fetchToMemory(server.url("/doc"), body.size() + 1);
  EXPECT_EQ(roomy.state, HttpTransfer::kComplete);
  EXPECT_EQ(roomy.body, body);
  EXPECT_TRUE(roomy.guardIntact);
}

TEST_F(HttpTransferTest, ErrorPagesAreDeliveredAsTheContent) {
  server.serveNotFoundPage("/missing.xml");
  server.serveAuthorizationRequired("/locked.xml");

  const Outcome missing = fetchToMemory(server.url("/missing.xml"), 4096);
  EXPECT_EQ(missing.state, HttpTransfer::kComplete);
  EXPECT_NE(missing.body.find("Not Found"), std::string::npos);

  const Outcome locked = fetchToMemory(server.url("/locked.xml"), 4096);
  EXPECT_EQ(locked.state, HttpTransfer::kComplete);
  EXPECT_NE(locked.body.find("Authorization Required"), std::string::npos);
}

TEST_F(HttpTransferTest, EmptyBodyCompletesWithAnEmptyResult) {
  server.serveEmpty("/empty");
  const Outcome memory = fetchToMemory(server.url("/empty"), 8);
  EXPECT_EQ(memory.state, HttpTransfer::kComplete);
  EXPECT_EQ(memory.body, "");
  EXPECT_EQ(memory.downloaded, 0u);

  writeFile(dir.file("empty.txt"), "old content");
  const Outcome file = fetchToFile(server.url("/empty"), dir.file("empty.txt"), 0, false);
  EXPECT_EQ(file.state, HttpTransfer::kComplete);
  EXPECT_TRUE(exists(dir.file("empty.txt")));
  EXPECT_EQ(readFile(dir.file("empty.txt")), "");
}

TEST_F(HttpTransferTest, RefusedConnectionFailsAtTheSendStep) {
  std::string url;
  {
    TestHttpServer gone;
    url = gone.url("/x");
  }
  const Outcome out = fetchToMemory(url, 64);
  EXPECT_EQ(out.state, HttpTransfer::kFailed);
  EXPECT_EQ(out.code, 28);
  EXPECT_EQ(out.text.rfind("HttpSendRequest() failed: ", 0), 0u) << out.text;
}

TEST_F(HttpTransferTest, DecodesCompressedBodiesIntoMemory) {
  const std::string plain = sampleText(50000);
  const std::string packed = TestHttpServer::gzip(plain);
  server.serveBytes("/doc.xml.gz", packed);

  const Outcome out = fetchToMemory(server.url("/doc.xml.gz"), 60000, 1);
  EXPECT_EQ(out.state, HttpTransfer::kComplete);
  EXPECT_EQ(out.body, plain);
  EXPECT_EQ(out.downloaded, packed.size());
  EXPECT_TRUE(observer.logged("Decompressing to final memory.\n"));
}

TEST_F(HttpTransferTest, UncompressedTextThroughACompressedRequestArrivesUnchanged) {
  const std::string text = "<?xml version=\"1.0\"?>\n<KorvelPatcher Version=\"3\"/>\n";
  server.serveBytes("/doc.xml.gz", text);
  const Outcome out = fetchToMemory(server.url("/doc.xml.gz"), 4096, 1);
  EXPECT_EQ(out.state, HttpTransfer::kComplete);
  EXPECT_EQ(out.body, text);
}

TEST_F(HttpTransferTest, WrongTrailerChecksumStillYieldsTheDecodedText) {
  const std::string plain = sampleText(3000);
  std::string packed = TestHttpServer::gzip(plain);
  packed[packed.size() - 8] ^= 0x55;  // first byte of the trailer's CRC-32
  server.serveBytes("/doc.gz", packed);
  const Outcome out = fetchToMemory(server.url("/doc.gz"), 4096, 1);
  EXPECT_EQ(out.state, HttpTransfer::kComplete);
  EXPECT_EQ(out.body, plain);
}

TEST_F(HttpTransferTest, DecodedTextIsKeptEvenWhenItSpellsTheMarkerOrIsEmpty) {
  server.serveBytes("/hello.gz", TestHttpServer::gzip("hello"));
  server.serveBytes("/Hel.gz", TestHttpServer::gzip("Hel"));
  server.serveBytes("/nothing.gz", TestHttpServer::gzip(""));
  EXPECT_EQ(fetchToMemory(server.url("/hello.gz"), 256, 1).body, "hello");
  EXPECT_EQ(fetchToMemory(server.url("/Hel.gz"), 256, 1).body, "Hel");
  EXPECT_EQ(fetchToMemory(server.url("/nothing.gz"), 256, 1).body, "");
}

TEST_F(HttpTransferTest, DecodedTextThatFillsTheWholeBufferIsRefused) {
  const std::string plain(300, 'a');  // compresses to far less than the buffer
  server.serveBytes("/a.gz", TestHttpServer::gzip(plain));

  const Outcome full = fetchToMemory(server.url("/a.gz"), plain.size(), 1);
  EXPECT_EQ(full.state, HttpTransfer::kFailed);
  EXPECT_EQ(full.code, 30);
  EXPECT_EQ(full.text, "Buffer too small to hold " + server.url("/a.gz") + "\n");
  EXPECT_EQ(full.body, "");
  EXPECT_TRUE(full.guardIntact);

  const Outcome fits = fetchToMemory(server.url("/a.gz"), plain.size() + 1, 1);
  EXPECT_EQ(fits.state, HttpTransfer::kComplete);
  EXPECT_EQ(fits.body, plain);
  EXPECT_TRUE(fits.guardIntact);
}

TEST_F(HttpTransferTest, WritesBodyToTheLocalFileAndRemovesItsTemporaryName) {
  const std::string body = sampleText(70000);
  server.serveBytes("/data.pak", body);
  const Outcome out = fetchToFile(server.url("/data.pak"), dir.file("data.pak"), 0, false);
  EXPECT_EQ(out.state, HttpTransfer::kComplete);
  EXPECT_EQ(out.downloaded, body.size());
  EXPECT_EQ(readFile(dir.file("data.pak")), body);
  EXPECT_TRUE(filesStartingWith("spatchfile_").empty());
  EXPECT_TRUE(observer.logged("End InternetReadFile() [2], 70000 bytes downloaded...\n"));
}

TEST_F(HttpTransferTest, TemporaryFileIsCopiedOverTheOldFile) {
  const std::string body = sampleText(20000);
  server.serveBytes("/data.pak", body);
  writeFile(dir.file("data.pak"), "old version");
  const Outcome out = fetchToFile(server.url("/data.pak"), dir.file("data.pak"), 0, true);
  EXPECT_EQ(out.state, HttpTransfer::kComplete);
  EXPECT_EQ(readFile(dir.file("data.pak")), body);
  EXPECT_TRUE(filesStartingWith("spatchfile_").empty());
  EXPECT_TRUE(observer.logged("File copy complete.\n"));
}

TEST_F(HttpTransferTest, ExpandsACompressedBodyIntoTheFile) {
  const std::string plain = sampleText(100000);
  const std::string packed = TestHttpServer::gzip(plain);
  server.serveBytes("/data.pak.gz", packed);
  const Outcome out = fetchToFile(server.url("/data.pak.gz"), dir.file("data.pak"), 1, true);
  EXPECT_EQ(out.state, HttpTransfer::kComplete);
  EXPECT_EQ(readFile(dir.file("data.pak")), plain);
  EXPECT_EQ(out.downloaded, packed.size());
  EXPECT_EQ(out.decompressed, plain.size());
  EXPECT_FALSE(exists(dir.file("data.pak.gz")));
  EXPECT_TRUE(filesStartingWith("spatchfile_").empty());

  // Two gzip members one after the other make one file, checked against the CRC of the whole.
  server.serveBytes("/two.pak.gz", TestHttpServer::gzip(plain.substr(0, 30000)) + TestHttpServer::gzip(plain.substr(30000)));
  HttpTransfer transfer(observer);
  HttpTransfer::FileRequest request;
  const std::string url = server.url("/two.pak.gz");
  const std::string target = dir.file("two.pak");
  request.route = routeOf(url);
  request.localPath = target.c_str();
  request.decompress = 1;
  request.useTemp = true;
  request.expectedSize = static_cast<std::uint32_t>(plain.size());
  request.expectedCrc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(plain.data()), static_cast<uInt>(plain.size())));
  transfer.startFileDownload(request);
  transfer.join();
  EXPECT_EQ(transfer.state(), HttpTransfer::kComplete) << (transfer.errorText() ? transfer.errorText() : "");
  EXPECT_EQ(readFile(target), plain);
}

TEST_F(HttpTransferTest, CompressedFileWhoseFolderIsMissingFailsWith47) {
  // The body is expanded as it arrives into a temporary file in the target's folder.
  server.serveBytes("/x.gz", TestHttpServer::gzip("x"));
  const std::string local = dir.file("missing\\x.pak");
  const Outcome out = fetchToFile(server.url("/x.gz"), local, 1, false);
  EXPECT_EQ(out.state, HttpTransfer::kFailed);
  EXPECT_EQ(out.code, 47);
  EXPECT_EQ(out.text.rfind("Can't open output file", 0), 0u) << out.text;
  EXPECT_FALSE(exists(local));
  EXPECT_TRUE(filesStartingWith("spatchfile_").empty());
}

TEST_F(HttpTransferTest, CorruptCompressedFileIsRemovedWithItsPartialOutput) {
  const std::string plain = sampleText(120000);
  std::string packed = TestHttpServer::gzip(plain);
  packed[packed.size() - 6] ^= 0x7F;  // the trailer's CRC: noticed only after the data was written
  server.serveBytes("/data.pak.gz", packed);
  const std::string local = dir.file("data.pak");

  const Outcome out = fetchToFile(server.url("/data.pak.gz"), local, 1, false);
  EXPECT_EQ(out.state, HttpTransfer::kFailed);
  EXPECT_EQ(out.code, 42);
  EXPECT_EQ(out.text, "Failed to read the gzfile properly");
  ASSERT_GT(out.decompressed, 0u);
  EXPECT_TRUE(observer.logged("Gzread error.  Possible corrupted file " + local +
                            ", Bytes Written: " + std::to_string(out.decompressed) + ".\n"));
  EXPECT_FALSE(exists(local));
  EXPECT_FALSE(exists(local + ".gz"));
}

TEST_F(HttpTransferTest, CompressedFileCutShortIsNotTakenForComplete) {
  // A complete response whose gzip data ends before its trailer: the expansion must fail, not
  // deliver the part it could decode.
  const std::string packed = TestHttpServer::gzip(sampleText(120000));
  server.serveBytes("/data.pak.gz", packed.substr(0, packed.size() / 2));
  const std::string local = dir.file("data.pak");
  ASSERT_TRUE(writeFile(local, "old"));

  const Outcome out = fetchToFile(server.url("/data.pak.gz"), local, 1, true);
  EXPECT_EQ(out.state, HttpTransfer::kFailed);
  EXPECT_EQ(out.code, 42);
  EXPECT_EQ(readFile(local), "old") << "the old file stays when the download goes through a temporary file";
  EXPECT_FALSE(exists(local + ".gz"));
}

TEST_F(HttpTransferTest, StopDuringTheReadLoopSkipsExpansionAndCopy) {
  // WinINet hands over a read only once the whole read buffer is filled: hold the body back behind
  // more than one buffer.
  const std::string packed = TestHttpServer::gzip(noise(3 * HttpTransfer::kReadBufferSize));
  ASSERT_GT(packed.size(), 2 * HttpTransfer::kReadBufferSize);
  server.serveGated("/data.pak.gz", packed, HttpTransfer::kReadBufferSize + 1000);
  writeFile(dir.file("data.pak"), "old version");

  HttpTransfer transfer(observer);
  observer.onFirstData = [&] {
    transfer.requestStop();
    server.openGate("/data.pak.gz");
  };
  const Outcome out = fetchToFile(server.url("/data.pak.gz"), dir.file("data.pak"), 1, true, &transfer);

  EXPECT_EQ(out.state, HttpTransfer::kStopped);
  EXPECT_EQ(out.code, 0);
  EXPECT_GT(out.downloaded, 0u);
  EXPECT_EQ(out.decompressed, 0u);
  EXPECT_EQ(readFile(dir.file("data.pak")), "old version");
  EXPECT_FALSE(exists(dir.file("data.pak.gz")));
  EXPECT_TRUE(filesStartingWith("spatchfile_").empty());
  EXPECT_FALSE(observer.logged("GzOpen file.\n"));
  EXPECT_FALSE(observer.logged("Copying from temp location to final patched file.\n"));
}

TEST_F(HttpTransferTest, AStopFromAnotherThreadEndsAReadBlockedOnAStalledBody) {
  // The server sends a little and then nothing: without the stop the read would wait for the stall
  // time-out. The gate is opened only after the transfer has ended.
  const std::string packed = TestHttpServer::gzip(noise(3 * HttpTransfer::kReadBufferSize));
  server.serveGated("/data.pak.gz", packed, HttpTransfer::kReadBufferSize + 1000);
  writeFile(dir.file("data.pak"), "old version");

  HttpTransfer transfer(observer);
  std::thread stopper;
  std::uint32_t stoppedAt = 0;
  observer.onFirstData = [&] {
    stopper = std::thread([&] {
      platform::sleepMs(200);
      stoppedAt = platform::tickCount();
      transfer.requestStop();
    });
  };
  const Outcome out = fetchToFile(server.url("/data.pak.gz"), dir.file("data.pak"), 1, true, &transfer);
  const std::uint32_t endedAt = platform::tickCount();
  if (stopper.joinable()) stopper.join();
  server.openGate("/data.pak.gz");

  // Not a measure of speed: far below the stall time-out, which a read that only a time-out ends
  // would take (a closed handle does not end a blocked read everywhere, Wine among them).
  EXPECT_LT(endedAt - stoppedAt, platform::stallTimeoutMs() / 4);
  EXPECT_EQ(out.state, HttpTransfer::kStopped);
  EXPECT_EQ(readFile(dir.file("data.pak")), "old version");
  EXPECT_FALSE(exists(dir.file("data.pak.gz")));
  EXPECT_TRUE(filesStartingWith("spatchfile_").empty());
}

TEST_F(HttpTransferTest, AReadOnlyTargetIsReplacedLikeAnyOther) {
  server.serveBytes("/data.pak", "new version");
  const std::string local = dir.file("data.pak");
  writeFile(local, "old version");
  ASSERT_TRUE(platform::setFileAttributes(local, platform::kAttributeReadOnly));
  const Outcome out = fetchToFile(server.url("/data.pak"), local, 0, true);
  EXPECT_EQ(out.state, HttpTransfer::kComplete);
  EXPECT_EQ(readFile(local), "new version");
  EXPECT_TRUE(filesStartingWith("spatchfile_").empty());
}

TEST_F(HttpTransferTest, ARedirectIsFollowedToTheFile) {
  const std::string body = sampleText(3000);
  server.serveRedirect("/old/data.pak", server.url("/new/data.pak"));
  server.serveBytes("/new/data.pak", body);
  const Outcome out = fetchToFile(server.url("/old/data.pak"), dir.file("data.pak"), 0, true);
  EXPECT_EQ(out.state, HttpTransfer::kComplete);
  EXPECT_EQ(readFile(dir.file("data.pak")), body);
}

TEST_F(HttpTransferTest, ConnectionClosedMidBodyNeverLeavesAHalfWrittenTarget) {
  const std::string body = sampleText(50000);
  server.serveTruncated("/data.pak", body, 20000);
  const std::string local = dir.file("data.pak");
  writeFile(local, "old version");
  HttpTransfer::setFirstRetryPause(1);

  // Whether the backend reports the short body as a failed read or as a short one that ended well,
  // it broke off: asked for again, then failed, and never the content.
  const Outcome file = fetchToFile(server.url("/data.pak"), local, 0, false);
  const Outcome memory = fetchToMemory(server.url("/data.pak"), 60000);
  HttpTransfer::setFirstRetryPause(HttpTransfer::kFirstRetryPauseMs);
  EXPECT_EQ(file.state, HttpTransfer::kFailed);
  EXPECT_EQ(file.code, 30);
  EXPECT_EQ(file.text.rfind("InternetReadFile() failed: ", 0), 0u) << file.text;
  EXPECT_FALSE(exists(local));
  EXPECT_EQ(memory.code, 30);
  EXPECT_EQ(server.requestCount("/data.pak"), 2 * AttemptLedger::kAttemptsPerServer);
}

TEST_F(HttpTransferTest, ShortWriteFailsWithCode41AndRemovesThePartialFile) {
  server.serveBytes("/data.pak", sampleText(30000));
  const std::string local = dir.file("data.pak");
  platform::faults::writeBudget = 1000;
  const Outcome out = fetchToFile(server.url("/data.pak"), local, 0, false);
  EXPECT_EQ(out.state, HttpTransfer::kFailed);
  EXPECT_EQ(out.code, 41);
  EXPECT_EQ(out.text, "Write to " + local + " failed\n");
  EXPECT_FALSE(exists(local));
}

TEST_F(HttpTransferTest, ATargetThatRefusesTheRenameIsReplacedByTheCopy) {
  const std::string body = sampleText(5000);
  server.serveBytes("/data.pak", body);
  const std::string local = dir.file("data.pak");
  writeFile(local, "old version");
  // As on Windows while another program holds the old file: the rename over it is refused once.
  platform::faults::failReplaces = 1;
  Outcome out = fetchToFile(server.url("/data.pak"), local, 0, true);
  EXPECT_EQ(out.state, HttpTransfer::kComplete);
  EXPECT_EQ(readFile(local), body);
  EXPECT_TRUE(observer.logged("File copy complete.\n"));
  EXPECT_TRUE(filesStartingWith("spatchfile_").empty());

  // When the copy fails as well, the transfer fails with result::kOutputFileFailed and leaves no
  // temporary file.
  writeFile(local, "old version");
  platform::faults::failReplaces = 1;
  platform::faults::writeBudget = static_cast<std::int64_t>(body.size()) + 1;
  out = fetchToFile(server.url("/data.pak"), local, 0, true);
  platform::faults::writeBudget = 0;
  EXPECT_EQ(out.state, HttpTransfer::kFailed);
  EXPECT_EQ(out.code, 47);
  EXPECT_TRUE(filesStartingWith("spatchfile_").empty());
}

TEST_F(HttpTransferTest, OutputFileThatCannotBeOpenedFailsWithCode47) {
  server.serveBytes("/data.pak", "data");
  const std::string local = dir.file("missing\\data.pak");
  const Outcome out = fetchToFile(server.url("/data.pak"), local, 0, false);
  EXPECT_EQ(out.state, HttpTransfer::kFailed);
  EXPECT_EQ(out.code, 47);
  EXPECT_EQ(out.text.rfind("Can't open output file " + local + ".  The file may currently be in use", 0), 0u)
      << out.text;
}

// Mode 0, 2 and 3 fetch directly, then mode 1 through the proxy that http_proxy names, or fails to
// open its session when no proxy is set. Returns the failures found, one per line.
std::string proxyScenario(bool withProxy) {
  TestHttpServer proxy;
  TestHttpServer server;
  proxy.serveAnyPath({200, "via proxy", "text/plain"});
  server.serveBytes("/doc", "direct");
  const std::optional<std::string> proxyUrl =
      withProxy ? std::optional<std::string>(proxy.url("/")) : std::nullopt;
  ScopedEnvironment httpProxy("http_proxy", proxyUrl);
  ScopedEnvironment upperProxy("HTTP_PROXY", proxyUrl);
  ScopedEnvironment allProxy("all_proxy", std::nullopt);
  ScopedEnvironment upperAllProxy("ALL_PROXY", std::nullopt);
  ScopedEnvironment noProxy("no_proxy", std::nullopt);
  ScopedEnvironment upperNoProxy("NO_PROXY", std::nullopt);

  RecordingObserver observer;
  std::string failures;
  auto fetch = [&](int mode) {
    observer.accessMode = mode;
    std::vector<char> buffer(64, 0);
    HttpTransfer transfer(observer);
    transfer.startMemoryDownload(buffer.data(), 64, routeOf(server.url("/doc")), nullptr, nullptr, 0);
    transfer.join();
    return std::make_pair(transfer.errorCode(), std::string(buffer.data()));
  };
  for (int mode : {0, 2, 3}) {
    const auto [code, body] = fetch(mode);
    if (body != "direct") failures += "mode " + std::to_string(mode) + ": " + std::to_string(code) + " " + body + "\n";
  }
  const auto [code, body] = fetch(1);
  if (withProxy) {
    if (body != "via proxy") failures += "mode 1: " + std::to_string(code) + " " + body + "\n";
    const auto requests = proxy.requests();
    if (requests.size() != 1 || requests[0].target != server.url("/doc")) failures += "the proxy saw no request\n";
  } else if (code != 21) {
    failures += "mode 1 without a proxy: " + std::to_string(code) + " " + body + "\n";
  }
  if (server.requestCount("/doc") != 3) failures += "direct requests: " + std::to_string(server.requestCount("/doc")) + "\n";
  return failures;
}

// Wine reads the system proxy settings once per process: each case runs in a fresh process.
// ---- Broken-off bodies and bounded writes ------------------------------------------------------------

std::uint32_t crcOf(const std::string& data) {
  return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// Retries pause for a millisecond instead of seconds while a test runs.
class ShortRetryPauses {
 public:
  ShortRetryPauses() { HttpTransfer::setFirstRetryPause(1); }
  ~ShortRetryPauses() { HttpTransfer::setFirstRetryPause(HttpTransfer::kFirstRetryPauseMs); }
};

class CheckedTransferTest : public HttpTransferTest {
 protected:
  // A checked download of `plain` (served compressed when `wire` is not `plain`) into data.pak, bounded
  // as the download requests bound it.
  Outcome fetchChecked(const std::string& path, const std::string& plain, const std::string& wire,
                       std::uint64_t downloadSize, HttpTransfer* resumed = nullptr) {
    HttpTransfer transfer(observer);
    const std::string url = server.url(path);
    const std::string local = dir.file("data.pak");
    HttpTransfer::FileRequest request;
    request.route = routeOf(url);
    request.localPath = local.c_str();
    request.decompress = wire == plain ? 0 : 1;
    request.useTemp = true;
    request.expectedSize = static_cast<std::uint32_t>(plain.size());
    request.expectedCrc = crcOf(plain);
    request.downloadSize = downloadSize;
    request.sizeLimit = plain.size();
    if (request.decompress == 1) request.bodyLimit = downloadSize;
    transfer.startFileDownload(request);
    transfer.join();
    resumedAt = transfer.resumedAt();
    return outcomeOf(transfer);
  }

  ShortRetryPauses pauses;
  std::uint64_t resumedAt = 0;
};

struct ResumeCase {
  const char* name;
  bool compressed;
  bool answersRanges;  // the server continues a body from a byte offset
  // The body breaks off once, then the server answers 503 until the first run gives up, and a second
  // run finishes it.
  bool nextRun;
  const char* secondEtag;  // the validator the body is sent with the second time
  bool continued;  // the finishing request continues the kept bytes
  // Bytes of the file: a small compressed body is held in memory while its transfer runs, and
  // written beside the target only when that transfer ends with it unfinished.
  std::size_t plainBytes = 600000;
};

class ResumeTest : public CheckedTransferTest, public ::testing::WithParamInterface<ResumeCase> {};

TEST_P(ResumeTest, ABrokenOffBodyFinishesAsTheRightFile) {
  const ResumeCase& c = GetParam();
  const std::string plain = noise(c.plainBytes);
  const std::string wire = c.compressed ? TestHttpServer::gzip(plain) : plain;
  const std::size_t dropAfter = c.plainBytes / 6;
  HttpReply dropped(200, wire);
  dropped.etag = "\"v1\"";
  dropped.dropAfter = dropAfter;
  dropped.answersRanges = c.answersRanges;
  HttpReply whole = dropped;
  whole.dropAfter = std::string::npos;
  whole.etag = c.secondEtag;
  std::vector<HttpReply> replies{dropped};
  if (c.nextRun) replies.insert(replies.end(), AttemptLedger::kAttemptsPerServer, HttpReply(503, "busy"));
  const int firstRunRequests = static_cast<int>(replies.size());
  replies.push_back(whole);
  server.serveSequence("/data.pak", replies);
  ASSERT_TRUE(writeFile(dir.file("data.pak"), "old version"));

  if (c.nextRun) {
    const Outcome first = fetchChecked("/data.pak", plain, wire, wire.size());
    EXPECT_EQ(first.code, 48) << "the server stayed busy";
    EXPECT_EQ(readFile(dir.file("data.pak")), "old version");
    EXPECT_EQ(filesStartingWith("spatchpart_").size(), 2u) << "the kept bytes and their tag";
    EXPECT_EQ(server.requestCount("/data.pak"), firstRunRequests);
  }
  const Outcome out = fetchChecked("/data.pak", plain, wire, wire.size());
  EXPECT_EQ(out.state, HttpTransfer::kComplete) << out.text;
  EXPECT_EQ(readFile(dir.file("data.pak")), plain);
  EXPECT_TRUE(filesStartingWith("spatchpart_").empty());
  EXPECT_TRUE(filesStartingWith("spatchfile_").empty());

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), static_cast<std::size_t>(firstRunRequests + 1));
  // The finishing request asks only for the rest, under the validator the kept bytes came with.
  EXPECT_EQ(requests.back().header("Range"), "bytes=" + std::to_string(dropAfter) + "-");
  EXPECT_EQ(requests.back().header("If-Range"), "\"v1\"");
  EXPECT_EQ(resumedAt, c.continued ? dropAfter : 0u);
  EXPECT_EQ(out.downloaded, wire.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResumeTest,
    ::testing::Values(ResumeCase{"SameRun", false, true, false, "\"v1\"", true},
                      ResumeCase{"NextRun", false, true, true, "\"v1\"", true},
                      ResumeCase{"CompressedNextRun", true, true, true, "\"v1\"", true},
                      ResumeCase{"SmallCompressedSameRun", true, true, false, "\"v1\"", true, 120000},
                      ResumeCase{"SmallCompressedNextRun", true, true, true, "\"v1\"", true, 120000},
                      ResumeCase{"ServerIgnoresRanges", false, false, false, "\"v1\"", false},
                      ResumeCase{"ChangedBetweenRuns", false, true, true, "\"v2\"", false}),
    [](const ::testing::TestParamInfo<ResumeCase>& info) { return std::string(info.param.name); });

struct BoundCase {
  const char* name;
  bool compressed;
  bool announcesLength;
  std::size_t servedPlain;   // bytes of the file the server has
  std::size_t expectedPlain;  // bytes the manifest gives
  bool downloadSizeShort;  // DownloadSize states less than the compressed body brings
};

class BoundedWriteTest : public CheckedTransferTest, public ::testing::WithParamInterface<BoundCase> {};

TEST_P(BoundedWriteTest, NothingIsWrittenPastTheExpectedSize) {
  const BoundCase& c = GetParam();
  const std::string served(c.servedPlain, '\0');
  const std::string wire = c.compressed ? TestHttpServer::gzip(served) : served;
  HttpReply reply(200, wire);
  reply.announcesLength = c.announcesLength;
  server.serveReply("/data.pak", reply);
  ASSERT_TRUE(writeFile(dir.file("data.pak"), "old version"));
  const std::string expected(c.expectedPlain, '\0');
  const std::uint64_t downloadSize = c.downloadSizeShort ? wire.size() / 2 : wire.size();

  // A write past the expected size (and the compressed bytes kept beside it) would run out of budget
  // and fail with result::kWriteFailed instead.
  platform::faults::writeBudget = static_cast<std::int64_t>(c.expectedPlain + (c.compressed ? downloadSize : 0) + 1);
  const Outcome out = fetchChecked("/data.pak", expected, c.compressed ? wire : expected, downloadSize);
  platform::faults::writeBudget = 0;

  EXPECT_EQ(out.code, 49) << out.text;
  EXPECT_EQ(readFile(dir.file("data.pak")), "old version");
  EXPECT_TRUE(filesStartingWith("spatchfile_").empty());
  EXPECT_TRUE(filesStartingWith("spatchpart_").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BoundedWriteTest,
    ::testing::Values(BoundCase{"GzipBomb", true, true, 64 << 20, 4096, false},
                      BoundCase{"GzipBeyondDownloadSize", true, false, 300000, 300000, true},
                      BoundCase{"PlainAnnouncedTooLong", false, true, 1 << 20, 4096, false},
                      BoundCase{"PlainEndless", false, false, 8 << 20, 4096, false}),
    [](const ::testing::TestParamInfo<BoundCase>& info) { return std::string(info.param.name); });

TEST(HttpTransferProxyTest, OnlyAccessModeOneGoesThroughTheSystemProxy) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto run = [](bool withProxy) {
    const std::string failures = proxyScenario(withProxy);
    std::fputs(failures.c_str(), stderr);
    std::exit(failures.empty() ? 0 : 1);
  };
  EXPECT_EXIT(run(true), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(run(false), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace korvel::test
