// The session's download requests: URL forms, progress arithmetic, the counters and statistics they
// feed, failure handling with the disk-space warning, cancellation and the memory request.
#include "transfer/download_requests.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/faults.h"
#include "platform/files.h"
#include "tests/support/recording_observer.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_http_server.h"
#include "transfer/http_transfer.h"
#include "transfer/progress_rates.h"

namespace korvel::test {
namespace {

using Progress = RecordingObserver::Progress;

// The last component of a path or URL.
std::string lastPart(const std::string& path) { return path.substr(path.find_last_of("\\/") + 1); }

TEST(ProgressPercentTest, SmallAndLargeTotals) {
  EXPECT_EQ(progressPercent(25, 50), 50);
  EXPECT_EQ(progressPercent(1, 3), 33);
  EXPECT_EQ(progressPercent(100, 100), 100);
  // Above 100 the total is divided first: 150 / (1099 / 100) = 150 / 10.
  EXPECT_EQ(progressPercent(150, 1099), 15);
  EXPECT_EQ(progressPercent(3000000000LL, 4000000000LL), 75);
  EXPECT_EQ(progressPercent(5, 0), -1);
}

class DownloadRequestTest : public TempDirTest {
 protected:
  std::string host() const { return TestHttpServer::host(); }
  // `path` on the test server, or on another port of this host.
  RemoteFile at(const std::string& path, int port = 0) const {
    return RemoteFile::on(ServerAddress{"http", host(), port ? port : server.port()}, path);
  }

  int download(const std::string& path, const std::string& local, int decompress, std::int64_t downloadSize, std::int64_t totalSize,
               bool useTemp = true, bool showProgress = true) {
    return requests.toFile(FileDownload{at(path), local, decompress, downloadSize, totalSize, {}, {}}, useTemp, showProgress);
  }

  bool sawNotice(const std::string& name, int kind) const {
    for (const auto& notice : observer.notices())
      if (notice.path && lastPart(*notice.path) == name && notice.kind == kind) return true;
    return false;
  }

  TestHttpServer server;
  RecordingObserver observer;
  ProgressRates rates;
  DownloadRequests requests{observer, rates};
};

TEST_F(DownloadRequestTest, CompletedDownloadAdvancesCountersAndStatistics) {
  const std::string plain(40000, 'k');
  const std::string packed = TestHttpServer::gzip(plain);
  server.serveBytes("/patch/data.pak.gz", packed);
  requests.setCounters(0, 100000, 1000, 2000);
  const std::string local = dir.file("data.pak");

  const int result = download("patch\\data.pak.gz", local, 1, static_cast<int>(packed.size()), 40000);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(readFile(local), plain);
  EXPECT_EQ(requests.bytesDone(), 1000 + static_cast<int>(packed.size()));
  EXPECT_EQ(requests.bytesUnpacked(), 2000 + 40000);
  EXPECT_FALSE(requests.transferRunning());
  EXPECT_GT(requests.lastActivity(), 0);

    EXPECT_EQ(rates.get(ProgressRates::kDownloadBytes, ProgressRates::kDone), static_cast<int>(packed.size()));
  EXPECT_EQ(rates.get(ProgressRates::kExpansionBytes, ProgressRates::kDone), 40000);
  EXPECT_EQ(rates.get(ProgressRates::kFiles, ProgressRates::kDone), 1);

  const auto progress = observer.progress();
  ASSERT_GE(progress.size(), 2u);
  EXPECT_EQ(progress[0], (Progress{0, 1}));
  EXPECT_EQ(progress[1], (Progress{0, 2}));
  // The local file's notice comes first, the URL's last.
  EXPECT_TRUE(sawNotice("data.pak", 0));
  ASSERT_FALSE(observer.notices().empty());
  EXPECT_EQ(lastPart(observer.notices().back().path.value_or("")), "data.pak.gz");
  EXPECT_EQ(observer.notices().back().kind, 3);
}

TEST_F(DownloadRequestTest, FileAndOverallBarsFollowTheBytesReceived) {
  // Half of the body (one full read buffer) arrives; the rest is held until bar 1 has shown it.
  const int half = static_cast<int>(HttpTransfer::kReadBufferSize);
  server.serveGated("/half.bin", std::string(2 * half, 'h'), half);
  requests.setCounters(0, 4 * half, half / 2, 0);
  observer.onProgress = [this](int position, int bar) {
    if (bar == 1 && position == 50) server.openGate("/half.bin");
  };

  EXPECT_EQ(download("/half.bin", dir.file("half.bin"), 0, 2 * half, 2 * half), 0);

  const auto progress = observer.progress();
  const auto atHalf = std::find(progress.begin(), progress.end(), Progress{50, 1});
  ASSERT_NE(atHalf, progress.end());
  // The overall bar is refreshed just before: bytesDone 8192 + 16384 of 65536, as 24576 / 655.
  ASSERT_NE(atHalf, progress.begin());
  EXPECT_EQ(*(atHalf - 1), (Progress{37, 3}));
  EXPECT_EQ(requests.bytesDone(), half / 2 + 2 * half);
}

TEST_F(DownloadRequestTest, FailedDownloadRestoresCountersAndMarksTheSessionFailed) {
  std::string refused;
  {
    TestHttpServer gone;
    refused = std::to_string(gone.port());
  }
  requests.setCounters(0, 1000, 300, 400);
  HttpTransfer::setFirstRetryPause(1);
  const int result = requests.toFile(FileDownload{at("x.pak", std::stoi(refused)), dir.file("x.pak"), 0, 100, 100, {}, {}},
                                     true, true);
  HttpTransfer::setFirstRetryPause(HttpTransfer::kFirstRetryPauseMs);
  EXPECT_EQ(result, 28);
  EXPECT_EQ(requests.bytesDone(), 300);
  EXPECT_EQ(requests.bytesUnpacked(), 400);
  EXPECT_TRUE(observer.failed.load());
  const auto errors = observer.errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, 28);
  EXPECT_EQ(errors[0].message.rfind("Error downloading x.pak: HttpSendRequest() failed: ", 0), 0u) << errors[0].message;
  EXPECT_TRUE(observer.diskWarnings().empty());
}

TEST_F(DownloadRequestTest, HiddenFailureIsNotShownAndDoesNotFailTheSession) {
  server.serveBytes("/x.gz", TestHttpServer::gzip("x"));
  const std::string deep = dir.file("missing\\x.pak");
  EXPECT_EQ(download("/x.gz", deep, 1, 0, 0, true, false), 47);
  EXPECT_TRUE(observer.errors().empty());
  EXPECT_FALSE(observer.failed.load());
}

TEST_F(DownloadRequestTest, WriteFailureWarnsWhenTheDiskIsShort) {
  // The expanded file's writes come up short, as on a full disk.
  server.serveBytes("/x.gz", TestHttpServer::gzip(std::string(100000, 'x')));
  const std::string folder = dir.file("game") + "\\";
  ASSERT_TRUE(platform::createDirectory(dir.file("game")));
  const std::string deep = folder + "x.pak";
  platform::faults::writeBudget.store(1000);
  std::string probed;
  requests.setFreeDiskProbe([&probed](const std::string& folder) {
    probed = folder;
    return std::uint64_t{3000000};
  });

  EXPECT_EQ(download("/x.gz", deep, 1, 600000, 400000), 41);
  const auto warnings = observer.diskWarnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].available, 3000000u);
  EXPECT_EQ(warnings[0].needed, 6000000u);
  EXPECT_EQ(warnings[0].message,
            "Not enough free disk space.  Space available is 3 MB, space needed is 6 MB.  Please free up 3 MB and "
            "reattempt download.\n");
  std::string forward = folder.substr(0, folder.size() - 1);
  for (char& c : forward)
    if (c == '\\') c = '/';
  EXPECT_EQ(probed, forward);

  requests.setFreeDiskProbe([](const std::string&) { return std::uint64_t{5000000000ULL}; });
  EXPECT_EQ(download("/x.gz", deep, 1, 600000, 400000), 41);
  EXPECT_EQ(observer.diskWarnings().size(), 1u);
  platform::faults::writeBudget.store(0);
}

TEST_F(DownloadRequestTest, CancelAfterTheFirstBytesStopsTheTransfer) {
  const int size = 3 * static_cast<int>(HttpTransfer::kReadBufferSize);
  server.serveGated("/big.bin", std::string(size, 'b'), HttpTransfer::kReadBufferSize);
  requests.setCounters(0, 2 * size, 700, 0);
  writeFile(dir.file("big.bin"), "old version");
  observer.onProgress = [this](int position, int bar) {
    if (bar == 1 && position > 0) {
      observer.stop = true;
      server.openGate("/big.bin");
    }
  };

  EXPECT_EQ(download("/big.bin", dir.file("big.bin"), 0, size, size), 120);
  EXPECT_EQ(requests.bytesDone(), 700);
  EXPECT_EQ(readFile(dir.file("big.bin")), "old version");
  const auto overall = observer.progressOn(3);
  ASSERT_FALSE(overall.empty());
  EXPECT_EQ(overall.back(), 0);
}

TEST_F(DownloadRequestTest, CancelledSessionRefusesNewRequests) {
  server.serveBytes("/doc", "doc");
  observer.stop = true;
  char buffer[64] = {};
  EXPECT_EQ(requests.toMemory(buffer, sizeof buffer, at("doc"), 0), 120);
  EXPECT_EQ(download("/doc", dir.file("doc"), 0, 3, 3), 120);
  EXPECT_EQ(server.totalRequests(), 0);
}

TEST_F(DownloadRequestTest, MemoryRequestReturnsTheBodyOrTheTransferCode) {
  server.serveGzip("/patch/manifest.xml.gz", "<KorvelPatcher/>");
  requests.setDisplayFiles(true);
  char buffer[256];
  EXPECT_EQ(requests.toMemory(buffer, sizeof buffer, at("\\patch\\manifest.xml.gz"), 1), 0);
  EXPECT_STREQ(buffer, "<KorvelPatcher/>");
  EXPECT_TRUE(observer.logged("Initializing Get\n"));
  EXPECT_EQ(lastPart(observer.notices().back().path.value_or("")), "manifest.xml.gz");
  EXPECT_EQ(observer.notices().back().kind, 3);

  server.serveBytes("/big", std::string(300, 'x'));
  EXPECT_EQ(requests.toMemory(buffer, sizeof buffer, at("big"), 0), 30);
  EXPECT_TRUE(observer.errors().empty());
}

TEST_F(DownloadRequestTest, NullPathIsReportedWithCode100) {
  char buffer[16];
  requests.setDisplayFiles(true);
  EXPECT_EQ(requests.toMemory(buffer, sizeof buffer, at(""), 0), 0);
  EXPECT_EQ(requests.toFile(FileDownload{at("x"), "", 0, 0, 0, {}, {}}, false, false), 0);
  const auto errors = observer.errors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].code, 100);
  EXPECT_EQ(errors[0].message, "Null path requested for download.\n");
  EXPECT_EQ(server.totalRequests(), 0);
}

}  // namespace
}  // namespace korvel::test
