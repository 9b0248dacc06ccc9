// The real program against a served tree, as a player and an operator meet it: on a terminal (drawn
// in place, fitted to the width, ending in its summary), behind a pipe (a few plain lines), stopped by
// Ctrl-C (cleanly, then the hand-off) or ended by a second one, asked for --help or --version, and
// started twice on one installation (the second waits for the first, then finds the work done).
#include <signal.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "common/name_rules.h"
#include "platform/files.h"
#include "platform/folder_listing.h"
#include "platform/installation_lock.h"
#include "tests/session/session_test_support.h"
#include "tests/support/posix/child_program.h"

namespace korvel {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr std::int64_t kWhen = 1100000000;

// What a terminal shows after the bytes written to it: enough of one to follow the progress window
// (carriage return, line feed, cursor up, clearing to the end of the line or of the screen, colours).
// The screen does not scroll or wrap; a line longer than the terminal shows as a long row.
struct Screen {
  std::vector<std::string> rows{""};
  int lowestRow = 0;  // the lowest row the cursor ever reached
  std::vector<std::string> unknown;

  static Screen of(const std::string& bytes) {
    Screen screen;
    int row = 0;
    std::size_t column = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const char c = bytes[i];
      if (c == '\033' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
        std::size_t end = i + 2;
        while (end < bytes.size() && (std::isdigit(static_cast<unsigned char>(bytes[end])) || bytes[end] == ';')) ++end;
        if (end >= bytes.size()) break;
        const std::string number = bytes.substr(i + 2, end - i - 2);
        const int count = number.empty() ? 1 : std::atoi(number.c_str());
        std::string& line = screen.rows[static_cast<std::size_t>(row)];
        switch (bytes[end]) {
          case 'A': row = std::max(0, row - count); break;
          case 'K': if (line.size() > column) line.resize(column); break;
          case 'J':
            if (line.size() > column) line.resize(column);
            screen.rows.resize(static_cast<std::size_t>(row) + 1);
            break;
          case 'm': break;
          default: screen.unknown.push_back(bytes.substr(i, end - i + 1));
        }
        i = end;
      } else if (c == '\r') {
        column = 0;
      } else if (c == '\n') {
        ++row;
        screen.lowestRow = std::max(screen.lowestRow, row);
        if (screen.rows.size() <= static_cast<std::size_t>(row)) screen.rows.resize(static_cast<std::size_t>(row) + 1);
      } else {
        std::string& line = screen.rows[static_cast<std::size_t>(row)];
        if (line.size() <= column) line.resize(column + 1, ' ');
        line[column++] = c;
      }
    }
    return screen;
  }

  std::size_t widest() const {
    std::size_t most = 0;
    for (const std::string& row : rows) most = std::max(most, row.size());
    return most;
  }
  // The rows that hold anything.
  std::vector<std::string> shown() const {
    std::vector<std::string> out;
    for (const std::string& row : rows)
      if (row.find_first_not_of(' ') != std::string::npos) out.push_back(row);
    return out;
  }
};

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (start < text.size()) out.push_back(text.substr(start));
  return out;
}

// Bytes that do not compress, so that a gated download holds most of a file back.
std::string noise(std::size_t size, std::uint32_t seed) {
  std::string out(size, '\0');
  for (char& byte : out) byte = static_cast<char>((seed = seed * 1103515245 + 12345) >> 24);
  return out;
}

class ProgramFrontEndTest : public ::testing::Test {
 protected:
  static std::vector<test::TreeFile> smallFiles(int count) {
    std::vector<test::TreeFile> files;
    for (int i = 0; i < count; ++i) {
      const std::string number = std::to_string(1000 + i).substr(1);
      files.push_back({"data\\part" + std::to_string(i % 4) + "\\file_" + number + ".dat",
                       "content of file " + number + "\n" + std::string(static_cast<std::size_t>(i * 7), 'x'), kWhen});
    }
    return files;
  }

  // Publishes the tree and makes the installation: every file current except those in `stale`,
  // which are missing or (for names in `old`) hold older content.
  void prepare(const std::vector<test::TreeFile>& files, const std::vector<std::string>& missing,
               const std::vector<std::string>& old = {}) {
    ASSERT_TRUE(test::PatchTree::write(serverRoot.path(), files));
    server.serveFolder("/", serverRoot.path());
    const std::int32_t stamp = test::manifestTime(kWhen);
    for (const test::TreeFile& file : files) {
      if (std::find(missing.begin(), missing.end(), file.path) != missing.end()) continue;
      const bool stale = std::find(old.begin(), old.end(), file.path) != old.end();
      ASSERT_TRUE(test::writeFile(game.file(file.path), stale ? oldContent : file.content));
      ASSERT_TRUE(test::setModified(game.file(file.path), stale ? stamp - 86400 : stamp));
    }
  }

  // A stand-in for the game launcher that notes that it was started.
  void installSibling() {
    ASSERT_TRUE(test::writeFile(game.file("Wendrel.exe"), "#!/bin/sh\necho started > handoff.txt\n"));
    ASSERT_EQ(::chmod(platform::nativePath(game.file("Wendrel.exe")).c_str(), 0755), 0);
  }

  static std::string urlOf(const test::TreeFile& file) {
    std::string url = "/" + file.path;
    std::replace(url.begin(), url.end(), '\\', '/');
    return url;
  }
  // Serves the file with all but its first `before` bytes held back until the gate opens.
  void gate(const test::TreeFile& file, std::size_t before) {
    heldUrl = urlOf(file);
    server.serveGated(heldUrl, test::TestHttpServer::gzip(file.content), before);
  }
  // Serves the file slowly: 4 KiB every 20 ms.
  void trickle(const test::TreeFile& file) {
    heldUrl = urlOf(file);
    server.serveSlow(heldUrl, test::TestHttpServer::gzip(file.content), 4096, std::chrono::milliseconds(20));
  }
  bool heldFileRequested() const { return !heldUrl.empty() && server.requestCount(heldUrl) > 0; }

  test::ChildProgram::Options program(bool terminal) const {
    test::ChildProgram::Options options;
    options.program = KORVEL_PATCHER_PROGRAM;
    options.directory = game.native();
    options.terminal = terminal;
    options.environment = {{"KORVEL_PATCH_SERVER", "127.0.0.1:" + std::to_string(server.port())},
                           {"KORVEL_PATCH_LOG", platform::nativePath(game.file("patch.log"))},
                           {"KORVEL_REGISTRY", std::nullopt},
                           {"KORVEL_MESSAGE_BOXES", std::nullopt},
                           {"KORVEL_LOCK_WAIT", std::nullopt},
                           {"NO_COLOR", std::nullopt},
                           {"TERM", terminal ? std::optional<std::string>("xterm") : std::nullopt},
                           {"http_proxy", std::nullopt},
                           {"HTTP_PROXY", std::nullopt},
                           {"all_proxy", std::nullopt},
                           {"ALL_PROXY", std::nullopt}};
    return options;
  }

  bool handedOff() const { return test::exists(game.file("handoff.txt")); }
  std::unique_ptr<platform::InstallationLock> installationLock() const {
    return platform::InstallationLock::open(game.file(kInstallationLockName));
  }
  static constexpr const char* kWaiting = "Waiting for another updater to finish...";

  const std::string oldContent = "an older version";
  test::TempDir serverRoot;
  test::TempDir game;
  test::TestHttpServer server;
  std::string heldUrl;
};

TEST_F(ProgramFrontEndTest, OnATerminalTheWindowIsRedrawnInPlaceFitsTheWidthAndLeavesTheSummary) {
  std::vector<test::TreeFile> files = smallFiles(40);
  const test::TreeFile big{"data\\big.pak", noise(300000, 7), kWhen};
  files.push_back(big);
  prepare(files, {files[3].path, files[17].path, files[29].path}, {big.path});
  installSibling();
  gate(big, 100000);

  const auto started = std::chrono::steady_clock::now();
  test::ChildProgram child([&] {
    auto options = program(true);
    options.columns = 100;
    return options;
  }());
  ASSERT_TRUE(child.started());

  // Held in the big file's download: the status names it, the bars and the figures are drawn.
  ASSERT_TRUE(child.waitForError([](const std::string& out) {
    const Screen screen = Screen::of(out);
    return screen.rows[0] == "big.pak" && screen.shown().size() == 3 &&
           screen.rows[2].find(" of ") != std::string::npos;
  }, 30s)) << child.standardError();
  ASSERT_TRUE(heldFileRequested());
  Screen screen = Screen::of(child.standardError());
  EXPECT_THAT(screen.rows[1], StartsWith("file  ["));
  EXPECT_THAT(screen.rows[2], StartsWith("total ["));
  EXPECT_LE(screen.widest(), 99u);

  // Narrowed: the lines are cleared and drawn again within the new width.
  const std::size_t before = child.standardError().size();
  child.resize(50, 24);
  ASSERT_TRUE(child.waitForError([before](const std::string& out) {
    const std::size_t clear = out.find("\033[J", before);
    return clear != std::string::npos && occurrences(out.substr(clear), "\033[K") >= 3;
  }, 10s)) << child.standardError();
  screen = Screen::of(child.standardError());
  EXPECT_LE(screen.widest(), 49u) << screen.rows[0] << "\n" << screen.rows[1] << "\n" << screen.rows[2];
  EXPECT_EQ(screen.rows[0], "big.pak");

  server.openGate(heldUrl);
  ASSERT_EQ(child.wait(30s), 0) << child.standardError();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const std::string out = child.standardError();
  screen = Screen::of(out);

  EXPECT_TRUE(screen.unknown.empty()) << screen.unknown.front();
  // Never more than the three lines, however many redraws: the block went back up each time.
  EXPECT_LE(screen.lowestRow, 2);
  const std::size_t redraws = occurrences(out, "\033[2A");
  EXPECT_GE(redraws, 3u);
  EXPECT_LE(redraws, static_cast<std::size_t>(seconds * 10) + 3) << seconds << " s";
  EXPECT_THAT(out, HasSubstr("\033[36m")) << "the bars are coloured unless NO_COLOR is set";
  // The lines are gone; the summary is left.
  const auto shown = screen.shown();
  ASSERT_EQ(shown.size(), 1u) << out;
  EXPECT_THAT(shown[0], StartsWith("Checked 41 files, updated 4 ("));
  EXPECT_EQ(test::readFile(game.file(big.path)), big.content);
  EXPECT_TRUE(handedOff());
}

TEST_F(ProgramFrontEndTest, NoColourAndDumbTerminalsAreRespected) {
  const std::vector<test::TreeFile> files = smallFiles(6);
  prepare(files, {files[2].path});
  struct Case {
    std::string term;
    std::optional<std::string> noColour;
  };
  for (const Case& each : {Case{"xterm", "1"}, Case{"dumb", std::nullopt}}) {
    SCOPED_TRACE(each.term);
    platform::deleteFile(game.file(files[2].path));
    auto options = program(true);
    options.environment["TERM"] = each.term;
    options.environment["NO_COLOR"] = each.noColour;
    test::ChildProgram child(options);
    ASSERT_EQ(child.wait(30s), 0) << child.standardError();
    const std::string out = child.standardError();
    EXPECT_THAT(out, Not(HasSubstr("\033[3"))) << "no colour";
    if (each.term == "dumb") {
      // No cursor movement at all: the plain lines of a log.
      EXPECT_THAT(out, Not(HasSubstr("\033")));
      EXPECT_THAT(out, HasSubstr("Downloaded file_002.dat\r\n"));
    } else {
      EXPECT_THAT(out, HasSubstr("\033[2A"));
    }
    EXPECT_THAT(out, HasSubstr("Checked 6 files, updated 1 ("));
  }
}

TEST_F(ProgramFrontEndTest, BehindAPipeAnUpdateOfThreeHundredFilesPrintsAFewPlainLines) {
  const std::vector<test::TreeFile> files = smallFiles(300);
  std::vector<std::string> missing;
  for (int i = 5; i < 300; i += 30) missing.push_back(files[static_cast<std::size_t>(i)].path);
  ASSERT_EQ(missing.size(), 10u);
  prepare(files, missing);

  test::ChildProgram child(program(false));
  ASSERT_EQ(child.wait(60s), 0) << child.standardError();
  const std::vector<std::string> lines = linesOf(child.standardError());
  EXPECT_LE(lines.size(), 30u) << child.standardError();
  int downloaded = 0;
  for (const std::string& line : lines) {
    EXPECT_THAT(line, Not(HasSubstr("\033")));
    if (line.rfind("Downloaded file_", 0) == 0) ++downloaded;
  }
  EXPECT_EQ(downloaded, 10) << child.standardError();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("Checked 300 files, updated 10 (", 0) == 0;
  })) << child.standardError();
  for (const std::string& path : missing) EXPECT_TRUE(test::exists(game.file(path))) << path;
}

// The session log without its time stamps ("[HH:MM:SS] ").
std::vector<std::string> logLines(const std::string& text) {
  std::vector<std::string> lines = linesOf(text);
  for (std::string& line : lines)
    if (line.size() > 11 && line[0] == '[' && line[9] == ']') line.erase(0, 11);
  return lines;
}

TEST_F(ProgramFrontEndTest, EightFilesInFlightLogWhatOneAtATimeLogsAndFetchEachFileOnce) {
  const std::vector<test::TreeFile> files = smallFiles(40);
  // Every third file is missing; the walk meets them folder by folder (file i is in folder i % 4).
  const std::vector<std::size_t> walk = {0, 12, 24, 36, 9, 21, 33, 6, 18, 30, 3, 15, 27, 39};
  std::vector<std::string> missing;
  for (std::size_t i : walk) missing.push_back(files[i].path);
  prepare(files, missing);
  // The walk is held at the second missing file; the one that fails is the last but one.
  const test::TreeFile& held = files[walk[1]];
  const std::size_t failing = 12;
  server.serveNotFoundPage(urlOf(files[walk[failing]]));
  const auto run = [&](const char* connections, const std::function<void()>& whileHeld) {
    for (const std::string& path : missing) platform::deleteFile(game.file(path));
    platform::deleteFile(game.file("PatchCache2.xml"));
    platform::deleteFile(game.file("patch.log"));
    gate(held, 10);
    auto options = program(false);
    options.environment["KORVEL_CONNECTIONS"] = connections;
    test::ChildProgram child(options);
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (!heldFileRequested() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(heldFileRequested());
    whileHeld();
    server.openGate(heldUrl);
    EXPECT_EQ(child.wait(60s), 0) << child.standardError();
    return test::readFile(game.file("patch.log"));
  };

  const std::string alone = run("1", [] {});
  std::map<std::size_t, int> before;
  for (std::size_t i : walk) before[i] = server.requestCount(urlOf(files[i]));
  const auto requested = [&](std::size_t at) { return server.requestCount(urlOf(files[walk[at]])) > before[walk[at]]; };
  const std::string together = run("8", [&] {
    // The files after the held one are fetched meanwhile, seven of them beside it, across folders.
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (!requested(8) && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(requested(8)) << "the seventh missing file after the held one is in flight";
    EXPECT_FALSE(requested(9)) << "no more than 8 at once";
  });

  EXPECT_THAT(together, HasSubstr("Http get error 48: Server answered 404"));
  EXPECT_EQ(logLines(together), logLines(alone));
  for (std::size_t at = 0; at < walk.size(); ++at) {
    const test::TreeFile& file = files[walk[at]];
    const int fetched = server.requestCount(urlOf(file)) - before[walk[at]];
    // The walk ends at the failure; what was in flight beyond it is dropped, never put in place.
    if (at <= failing) EXPECT_EQ(fetched, 1) << file.path;
    else EXPECT_LE(fetched, 1) << file.path;
    EXPECT_EQ(test::exists(game.file(file.path)), at < failing) << file.path;
  }
  for (const char* folder : {"data\\part0", "data\\part1", "data\\part2", "data\\part3"}) {
    platform::FolderListing listing(game.file(folder));
    for (platform::FolderEntry entry; listing.next(entry);)
      EXPECT_THAT(entry.name, Not(::testing::EndsWith(".tmp"))) << folder;
  }
}

TEST_F(ProgramFrontEndTest, TwoUpdatersStartedAtOnceTakeTurnsAndTheSecondFindsTheWorkDone) {
  std::vector<test::TreeFile> files = smallFiles(40);
  const test::TreeFile big{"data\\big.pak", noise(300000, 5), kWhen};
  files.push_back(big);
  std::vector<std::string> missing;
  for (std::size_t i = 1; i < 40; i += 4) missing.push_back(files[i].path);
  prepare(files, missing, {big.path});
  installSibling();
  // Whichever takes the installation first is held in the big file's download until the other is
  // seen waiting for it.
  gate(big, 100000);
  test::ChildProgram first(program(true));
  test::ChildProgram second(program(true));
  ASSERT_TRUE(first.started() && second.started());
  const auto end = std::chrono::steady_clock::now() + 30s;
  auto waiting = [](const test::ChildProgram& child) { return child.standardError().find(kWaiting) != std::string::npos; };
  while (!waiting(first) && !waiting(second) && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(waiting(first) || waiting(second)) << first.standardError() << "\n" << second.standardError();
  EXPECT_FALSE(waiting(first) && waiting(second));
  server.openGate(heldUrl);
  ASSERT_EQ(first.wait(30s), 0) << first.standardError();
  ASSERT_EQ(second.wait(30s), 0) << second.standardError();

  const std::int32_t stamp = test::manifestTime(kWhen);
  for (const test::TreeFile& file : files) {
    EXPECT_EQ(test::readFile(game.file(file.path)), file.content) << file.path;
    platform::FileInfo info;
    ASSERT_TRUE(platform::fileInfo(game.file(file.path), info)) << file.path;
    EXPECT_EQ(info.modifiedSeconds, stamp) << file.path;
  }
  // One brought the installation up to date; the other, once it had its turn, found nothing to do.
  std::vector<std::string> summaries;
  for (const test::ChildProgram* child : {&first, &second}) {
    const auto shown = Screen::of(child->standardError()).shown();
    ASSERT_EQ(shown.size(), 1u) << child->standardError();
    summaries.push_back(shown[0]);
  }
  std::sort(summaries.begin(), summaries.end());
  EXPECT_THAT(summaries[0], StartsWith("Checked 41 files in "));
  EXPECT_THAT(summaries[0], ::testing::EndsWith(": all up to date"));
  EXPECT_THAT(summaries[1], StartsWith("Checked 41 files, updated 11 ("));
  EXPECT_TRUE(handedOff());

  test::ChildProgram third(program(false));
  ASSERT_EQ(third.wait(30s), 0) << third.standardError();
  EXPECT_THAT(third.standardError(), HasSubstr(": all up to date"));
  EXPECT_THAT(third.standardError(), Not(HasSubstr(kWaiting)));
}

TEST_F(ProgramFrontEndTest, AnUpdaterWaitingForTheInstallationYieldsToCtrlCAndToItsBound) {
  const std::vector<test::TreeFile> files = smallFiles(6);
  prepare(files, {files[2].path});
  installSibling();
  // Another updater at work, as far as the program can tell.
  const auto held = installationLock();
  ASSERT_TRUE(held && held->tryAcquire());
  for (const bool bounded : {false, true}) {
    SCOPED_TRACE(bounded ? "bound" : "Ctrl-C");
    platform::deleteFile(game.file("handoff.txt"));
    auto options = program(!bounded);
    if (bounded) options.environment["KORVEL_LOCK_WAIT"] = "0";
    test::ChildProgram child(options);
    ASSERT_TRUE(child.started());
    if (!bounded) {
      ASSERT_TRUE(child.waitForError([](const std::string& out) { return out.find(kWaiting) != std::string::npos; },
                                     30s))
          << child.standardError();
      child.signal(SIGINT);
    }
    ASSERT_EQ(child.wait(30s), 0) << child.standardError();
    EXPECT_THAT(child.standardError(),
                HasSubstr(bounded ? "Another updater is still at work on this installation; nothing was updated"
                                  : "Stopped (after "));
    EXPECT_TRUE(handedOff());
  }
  EXPECT_EQ(server.totalRequests(), 0) << "no manifest is loaded while the installation is held";
  EXPECT_FALSE(test::exists(game.file(files[2].path)));
}

class ProgramStopTest : public ProgramFrontEndTest {
 protected:
  void SetUp() override {
    files = smallFiles(20);
    files.push_back(big);
    prepare(files, {files[4].path}, {big.path});
    installSibling();
  }
  // Starts the program and waits until it is inside the big file's download.
  void startInTheDownload(test::ChildProgram& child) {
    ASSERT_TRUE(child.started());
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (!heldFileRequested() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(heldFileRequested()) << child.standardError();
  }
  void expectOldOrNew() {
    const std::string content = test::readFile(game.file(big.path));
    EXPECT_TRUE(content == oldContent || content == big.content) << content.size() << " bytes";
  }

  std::vector<test::TreeFile> files;
  const test::TreeFile big{"data\\big.pak", noise(400000, 11), kWhen};
};

TEST_F(ProgramStopTest, CtrlCDuringASlowDownloadStopsCleanlyAndStillHandsOff) {
  trickle(big);
  // Two files the walk meets after the big one are in flight when the stop comes: one whole, waiting
  // for its turn, one stalled in its body.
  const test::TreeFile& whole = files[4];
  const test::TreeFile& stalled = files[8];
  ASSERT_TRUE(platform::deleteFile(game.file(stalled.path)));
  server.serveGated(urlOf(stalled), test::TestHttpServer::gzip(stalled.content), 10);
  test::ChildProgram child(program(false));
  startInTheDownload(child);
  const auto end = std::chrono::steady_clock::now() + 30s;
  const auto inFlight = [&] { return server.requestCount(urlOf(whole)) > 0 && server.requestCount(urlOf(stalled)) > 0; };
  while (!inFlight() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(inFlight());
  child.signal(SIGINT);
  ASSERT_EQ(child.wait(30s), 0) << child.standardError();
  EXPECT_LT(server.requestCount(heldUrl), 2);
  expectOldOrNew();
  EXPECT_TRUE(handedOff());
  EXPECT_TRUE(test::exists(game.file("PatchCache2.xml"))) << "the cache is saved";
  EXPECT_THAT(child.standardError(), HasSubstr("Stopped after "));
  EXPECT_FALSE(test::exists(game.file(whole.path))) << "a file fetched ahead is not put in place before its turn";
  EXPECT_FALSE(test::exists(game.file(stalled.path)));
  for (const char* folder : {"data", "data\\part0"}) {
    platform::FolderListing listing(game.file(folder));
    ASSERT_TRUE(listing.isOpen());
    for (platform::FolderEntry entry; listing.next(entry);)
      EXPECT_THAT(entry.name, Not(::testing::EndsWith(".tmp"))) << "no half-written download is left";
  }
}

TEST_F(ProgramStopTest, AnUpdaterKilledAtWorkLetsGoOfTheInstallation) {
  gate(big, 100000);
  test::ChildProgram child(program(false));
  startInTheDownload(child);
  const auto lock = installationLock();
  ASSERT_TRUE(lock);
  EXPECT_FALSE(lock->tryAcquire()) << "the updater at work holds its installation";
  child.signal(SIGKILL);
  ASSERT_EQ(child.wait(10s), 128 + SIGKILL);
  EXPECT_TRUE(lock->tryAcquire());
}

TEST_F(ProgramStopTest, ASecondCtrlCEndsTheProgramAtOnceWith130) {
  // The connection stalls: the stop asked for by the first Ctrl-C waits for a read that does not come.
  gate(big, 100000);
  test::ChildProgram child(program(true));
  startInTheDownload(child);
  child.signal(SIGINT);
  ASSERT_TRUE(child.waitForError([](const std::string& out) { return out.find("Stopping...") != std::string::npos; },
                                 10s))
      << child.standardError();
  const auto sent = std::chrono::steady_clock::now();
  child.signal(SIGINT);
  ASSERT_EQ(child.wait(10s), 130) << child.standardError();
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 2s);
  expectOldOrNew();
  EXPECT_FALSE(handedOff());
}

TEST_F(ProgramFrontEndTest, HelpAndVersionAnswerWithoutTouchingTheNetwork) {
  prepare(smallFiles(2), {});
  installSibling();
  for (const char* argument : {"--help", "--version"}) {
    auto options = program(false);
    options.arguments = {argument};
    test::ChildProgram child(options);
    ASSERT_EQ(child.wait(10s), 0) << argument;
    const std::string out = child.standardOutput();
    if (std::string(argument) == "--help") {
      for (const char* part : {"Usage: korvel-patcher", "KORVEL_PATCH_SERVER", "KORVEL_PATCH_LOG", "NO_COLOR",
                               "Ctrl-C", "Wendrel.exe"})
        EXPECT_THAT(out, HasSubstr(part));
    } else {
      EXPECT_THAT(out, StartsWith("korvel-patcher "));
    }
  }
  EXPECT_EQ(server.totalRequests(), 0);
  EXPECT_FALSE(handedOff());
  EXPECT_FALSE(test::exists(game.file("patch.log")));
}

}  // namespace
}  // namespace korvel
