// Server lists, the order a run asks its servers in, the rules that follow a failed attempt, and the
// pause a server asks for.
#include "transfer/server_choice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transfer/attempt_ledger.h"
#include "transfer/rate_cap.h"
#include "transfer/server_address.h"

namespace korvel {
namespace {

TEST(ServerAddressTest, EntriesParseIntoSchemeHostAndPort) {
  struct Case {
    const char* entry;
    const char* text;  // text() of the parsed entry; null: refused
  };
  const Case cases[] = {
      {"cdn1.example", "cdn1.example:7000"},
      {"cdn1.example:8123", "cdn1.example:8123"},
      {" HTTP://cdn1.example:80/ ", "cdn1.example:80"},
      {"https://cdn2.example", "https://cdn2.example:443"},
      {"HTTPS://cdn2.example:8443", "https://cdn2.example:8443"},
      {"host:", "host:7000"},
      {"[::1]:9000", "[::1]:9000"},
      {"127.0.0.1", "127.0.0.1:7000"},
      {"", nullptr},
      {":80", nullptr},
      {"host:0", nullptr},
      {"host:65536", nullptr},
      {"host:12ab", nullptr},
      {"two words:80", nullptr},
      {"ftp://host", nullptr},
      {"https://host/path", nullptr},
      {"[::1", nullptr},
      {"user@host", nullptr},
  };
  for (const Case& c : cases) {
    const std::optional<ServerAddress> server = parseServerAddress(c.entry, 7000);
    EXPECT_EQ(server ? server->text() : std::string("(refused)"), c.text ? c.text : "(refused)") << c.entry;
  }
  const ServerList list = parseServerList("a:1,, b ,ftp://c,https://d", 7000);
  EXPECT_EQ(serverListText(list.servers), "a:1,b:7000,https://d:443");
  EXPECT_EQ(list.refused, std::vector<std::string>{"ftp://c"});
  EXPECT_EQ(serverListText(parseServerList(serverListText(list.servers), 7000).servers), serverListText(list.servers));
}

TEST(ServerAddressTest, UrlsJoinThePathInBothFormsAndAreCutAt511Characters) {
  const ServerAddress plain{"http", "s", 80};
  EXPECT_EQ(plain.url("/patch/x.gz"), "http://s:80/patch/x.gz");
  EXPECT_EQ(plain.url("patch\\x.gz"), "http://s:80/patch/x.gz");
  EXPECT_EQ((ServerAddress{"https", "s", 7000}.url("\\patch\\sub\\x.gz")), "https://s:7000/patch/sub/x.gz");
  const std::string url = plain.url(std::string(600, 'p'));
  EXPECT_EQ(url.size(), 511u);
  EXPECT_EQ(url.rfind("http://s:80/ppp", 0), 0u);
  EXPECT_EQ(manifestServer("ftp://host", 0, 7000).url("x"), "ftp://host:7000/x") << "another scheme is kept";
}

TEST(ServerChoiceTest, ServersThatFailedAreAskedLastForTheRestOfTheRun) {
  ServerChoice choice;
  choice.setServers(parseServerList("a,b,https://c", 7000).servers);
  const auto order = [&](const RemoteFile& remote) { return serverListText(choice.candidates(remote)); };
  EXPECT_EQ(order(RemoteFile::onList("x")), "a:7000,b:7000,https://c:443");
  choice.markFailed(ServerAddress{"http", "a", 7000});
  EXPECT_EQ(order(RemoteFile::onList("x")), "b:7000,https://c:443,a:7000");
  EXPECT_EQ(order(RemoteFile::onList("x", 81)), "b:81,https://c:81,a:81") << "a port the manifest names";
  choice.markFailed(ServerAddress{"https", "c", 81});
  EXPECT_EQ(order(RemoteFile::onList("x")), "b:7000,a:7000,https://c:443");
  EXPECT_EQ(choice.lastFailed()->text(), "https://c:81");
  choice.markServed(ServerAddress{"http", "a", 7000});
  EXPECT_EQ(order(RemoteFile::onList("x")), "a:7000,b:7000,https://c:443");
  EXPECT_EQ(order(RemoteFile::on(ServerAddress{"http", "own", 1}, "x")), "own:1") << "a server the manifest names";
  choice.setServers({});
  EXPECT_TRUE(choice.candidates(RemoteFile::onList("x")).empty());
}

using Fault = AttemptLedger::Fault;
using Kind = AttemptLedger::Decision::Kind;

struct LedgerStep {
  Fault fault;
  bool newBytes;
  Kind kind;        // what the ledger decides
  std::size_t server;
  std::uint32_t pauseMs;
};

struct LedgerCase {
  const char* name;
  std::size_t servers;
  std::vector<LedgerStep> steps;
};

TEST(AttemptLedgerTest, EachFaultLeadsToItsRetryServerOrEnd) {
  const LedgerCase cases[] = {
      {"TransientThreeTimesAtOneServer",
       1,
       {{Fault::kTransient, false, Kind::kRetry, 0, 1000},
        {Fault::kTransient, false, Kind::kRetry, 0, 2000},
        {Fault::kTransient, false, Kind::kGiveUp, 0, 0}}},
      {"NewBytesStartTheCountOver",
       1,
       {{Fault::kTransient, true, Kind::kRetry, 0, 1000},
        {Fault::kTransient, false, Kind::kRetry, 0, 1000},
        {Fault::kTransient, true, Kind::kRetry, 0, 1000},
        {Fault::kTransient, false, Kind::kRetry, 0, 1000},
        {Fault::kTransient, false, Kind::kRetry, 0, 2000},
        {Fault::kTransient, false, Kind::kGiveUp, 0, 0}}},
      {"TransientMovesOnOnceAServerFailed",
       2,
       {{Fault::kTransient, false, Kind::kRetry, 0, 1000},
        {Fault::kTransient, false, Kind::kRetry, 0, 2000},
        {Fault::kTransient, false, Kind::kNextServer, 1, 0},
        {Fault::kTransient, false, Kind::kRetry, 1, 1000}}},
      {"AStallMovesOnAtOnce",
       3,
       {{Fault::kStall, false, Kind::kNextServer, 1, 0},
        {Fault::kStall, false, Kind::kNextServer, 2, 0},
        {Fault::kStall, false, Kind::kRetry, 2, 1000},
        {Fault::kStall, false, Kind::kGiveUp, 0, 0}}},
      {"AloneAStalledServerGetsOneMoreAttempt",
       1,
       {{Fault::kStall, false, Kind::kRetry, 0, 1000}, {Fault::kStall, true, Kind::kGiveUp, 0, 0}}},
      {"WrongBytesAndRefusalsFailTheServer",
       3,
       {{Fault::kWrongBytes, false, Kind::kNextServer, 1, 0},
        {Fault::kRefused, false, Kind::kNextServer, 2, 0},
        {Fault::kTransient, false, Kind::kRetry, 2, 1000},
        {Fault::kWrongBytes, false, Kind::kGiveUp, 0, 0}}},
  };
  for (const LedgerCase& c : cases) {
    AttemptLedger ledger(c.servers, 1000);
    int step = 0;
    for (const LedgerStep& s : c.steps) {
      const AttemptLedger::Decision decision = ledger.record(s.fault, s.newBytes);
      EXPECT_EQ(decision.kind, s.kind) << c.name << " step " << step;
      if (decision.kind != Kind::kGiveUp) {
        EXPECT_EQ(decision.server, s.server) << c.name << " step " << step;
        EXPECT_EQ(ledger.current(), s.server) << c.name << " step " << step;
        EXPECT_EQ(decision.pauseMs, s.pauseMs) << c.name << " step " << step;
      }
      ++step;
    }
  }
  // A body continued from kept bytes that turns out wrong is fetched once more whole from the same
  // server; a whole body that is wrong fails it.
  AttemptLedger ledger(1, 1000);
  EXPECT_EQ(ledger.record(Fault::kWrongBytes, false, 0, true).kind, Kind::kRetry);
  EXPECT_EQ(ledger.record(Fault::kWrongBytes, false, 0, true).kind, Kind::kGiveUp);
  // A pause the server asks for replaces the growing one, up to 30 s.
  AttemptLedger asked(1, 1000);
  EXPECT_EQ(asked.record(Fault::kTransient, false, 5000).pauseMs, 5000u);
  EXPECT_EQ(asked.record(Fault::kTransient, false, 90000).pauseMs, 30000u);
}

TEST(RetryAfterTest, SecondsAndDatesBecomePausesOfAtMostThirtySeconds) {
  const std::int64_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  struct Case {
    const char* value;
    std::optional<std::uint32_t> pauseMs;
  };
  const Case cases[] = {
      {"2", 2000u},
      {" 0 ", 0u},
      {"120", 30000u},
      {"99999999999999999999999", 30000u},
      {"Sun, 06 Nov 1994 08:49:47 GMT", 10000u},
      {"Sun, 06 Nov 1994 08:49:30 GMT", 0u},
      {"Mon, 07 Nov 1994 08:49:37 GMT", 30000u},
      {"-1", std::nullopt},
      {"1.5", std::nullopt},
      {"", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37 UTC", std::nullopt},
      {"Sun, 06 Foo 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 32 Nov 1994 08:49:37 GMT", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parseRetryAfter(c.value, now), c.pauseMs) << c.value;
}

TEST(RateCapTest, RatesParseWithTheirSuffixes) {
  EXPECT_EQ(RateCap::parse("100000"), 100000u);
  EXPECT_EQ(RateCap::parse(" 512k "), 512u * 1024);
  EXPECT_EQ(RateCap::parse("2M"), 2u * 1024 * 1024);
  EXPECT_EQ(RateCap::parse("0"), 0u);
  for (const char* bad : {"", "M", "2G", "1.5M", "-1", "99999999999999M"}) EXPECT_FALSE(RateCap::parse(bad)) << bad;
}

}  // namespace
}  // namespace korvel
