// The test HTTP server's faults as a plain client sees them: statuses in turn, resets before the header,
// bodies broken every N bytes and continued by ranges, stalls a client gives up on, files without
// validators, and what the server records of each answer.
#include <httplib.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"
#include "tests/support/test_http_server.h"

namespace korvel::test {
namespace {

// How a request ends for the client: its body complete; cut by the server (a reset or a broken body,
// long before the client would give up); or given up by the client after a short wait (a stall).
enum class End { Whole, Cut, GivenUp };

std::ostream& operator<<(std::ostream& out, End end) {
  return out << (end == End::Whole ? "whole" : end == End::Cut ? "cut by the server" : "given up by the client");
}

// What the client saw of one request: no status when the connection ended before a header.
struct Seen {
  int status = 0;
  httplib::Headers headers;
  std::string body;
  End end = End::Whole;
};

Seen get(const TestHttpServer& server, const std::string& path, const std::string& range, End expected) {
  httplib::Client client(TestHttpServer::host(), server.port());
  // Without "Connection: close", so that a server keeping connections must end a cut one itself.
  client.set_keep_alive(true);
  // A stall is given up after a short wait; anything else has ten seconds, and a cut must come in the
  // first half of them.
  const auto patience = expected == End::GivenUp ? std::chrono::milliseconds(300) : std::chrono::seconds(10);
  client.set_read_timeout(patience);
  httplib::Headers headers;
  if (!range.empty()) headers.emplace("Range", range);
  Seen seen;
  const auto start = std::chrono::steady_clock::now();
  const auto result = client.Get(
      path.c_str(), headers,
      [&seen](const httplib::Response& response) {
        seen.status = response.status;
        seen.headers = response.headers;
        return true;
      },
      [&seen](const char* data, std::size_t size) {
        seen.body.append(data, size);
        return true;
      });
  if (!result) seen.end = std::chrono::steady_clock::now() - start < patience / 2 ? End::Cut : End::GivenUp;
  return seen;
}

HttpReply withHeader(HttpReply reply, const std::string& name, const std::string& value) {
  reply.headers.emplace_back(name, value);
  return reply;
}

// One request and what must come of it: the status (0: none), the bytes of the file from `from` on,
// how it ends, and headers that must be there with a value (or be absent: empty value).
struct Step {
  std::string path;
  std::string range;
  int status;
  std::size_t from;
  std::size_t bytes;
  End end;
  std::vector<std::pair<std::string, std::string>> headers = {};
};

struct Case {
  const char* name;
  // Scripts the server; /files/ serves the folder holding a.bin and b.bin (2,500 bytes each).
  std::function<void(TestHttpServer&)> script;
  std::vector<Step> steps;
  // RecordedRequest::answer of every request, in order.
  std::vector<std::string> answers;
};

std::string content(char seed) {
  std::string data(2500, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(seed + i * 7 % 251);
  return data;
}

FaultPlan plan(const std::function<void(FaultPlan&)>& set) {
  FaultPlan faults;
  set(faults);
  return faults;
}

const std::vector<Case> kCases = {
    {"the first requests of each path fail in turn, each path from its own place in the list",
     [](TestHttpServer& server) {
       server.setFaults("/files/", plan([](FaultPlan& faults) {
                          faults.firstReplies = {withHeader(HttpReply(503, "busy"), "Retry-After", "2"),
                                                 HttpReply(500, "broken"), HttpReply::reset()};
                          faults.firstRequests = 3;
                        }));
     },
     {{"/files/a.bin", "", 503, 0, 0, End::Whole, {{"Retry-After", "2"}}},
      {"/files/b.bin", "", 500, 0, 0, End::Whole},
      {"/files/a.bin", "", 500, 0, 0, End::Whole},
      {"/files/a.bin", "", 0, 0, 0, End::Cut},
      {"/files/a.bin", "", 200, 0, 2500, End::Whole, {{"Retry-After", ""}}},
      {"/files/b.bin", "", 0, 0, 0, End::Cut},
      {"/files/b.bin", "", 503, 0, 0, End::Whole},
      {"/files/b.bin", "", 200, 0, 2500, End::Whole}},
     {"503", "500", "500", "reset", "200", "reset", "503", "200"}},
    {"a route's sequence resets before the header, then asks to come back later",
     [](TestHttpServer& server) {
       server.serveSequence("/s", {HttpReply::reset(), withHeader(HttpReply(429, "slow down"), "Retry-After", "5"),
                                   HttpReply(200, content('a'))});
     },
     {{"/s", "", 0, 0, 0, End::Cut}, {"/s", "", 429, 0, 0, End::Whole, {{"Retry-After", "5"}}}, {"/s", "", 200, 0, 2500, End::Whole}},
     {"reset", "429", "200"}},
    {"a link that breaks every 1,000 bytes still delivers the file to a client that resumes by ranges",
     [](TestHttpServer& server) {
       server.setFaults("/files/", plan([](FaultPlan& faults) { faults.breakEvery = 1000; }));
     },
     {{"/files/a.bin", "", 200, 0, 1000, End::Cut},
      {"/files/a.bin", "bytes=1000-", 206, 1000, 1000, End::Cut},
      {"/files/a.bin", "bytes=2000-", 206, 2000, 500, End::Whole}},
     {"200 break-at 1000", "206 break-at 1000", "206"}},
    {"a body stalled after 700 bytes is given up by the client; the next request is served",
     [](TestHttpServer& server) {
       server.setFaults("/files/", plan([](FaultPlan& faults) {
                          faults.stallAfter = 700;
                          faults.stallCount = 1;
                        }));
     },
     {{"/files/a.bin", "", 200, 0, 700, End::GivenUp}, {"/files/a.bin", "", 200, 0, 2500, End::Whole}},
     {"200 stall-at 700", "200"}},
    {"an answer stalled before its header is given up by the client; the next request is served",
     [](TestHttpServer& server) {
       server.setFaults("/files/", plan([](FaultPlan& faults) {
                          faults.firstReplies = {HttpReply::stall()};
                          faults.firstRequests = 1;
                        }));
     },
     {{"/files/a.bin", "", 0, 0, 0, End::GivenUp}, {"/files/a.bin", "", 200, 0, 2500, End::Whole}},
     {"stall", "200"}},
    {"files without validators still answer a plain range",
     [](TestHttpServer& server) {
       server.setFaults("/files/", plan([](FaultPlan& faults) { faults.validators = false; }));
     },
     {{"/files/a.bin", "bytes=100-", 206, 100, 2400, End::Whole, {{"ETag", ""}, {"Last-Modified", ""}}}},
     {"206"}},
};

// Every case against a server closing each connection after one answer, and against one keeping it.
std::vector<std::pair<Case, std::size_t>> cases() {
  std::vector<std::pair<Case, std::size_t>> all;
  for (const std::size_t perConnection : {1, 100})
    for (const Case& test : kCases) all.emplace_back(test, perConnection);
  return all;
}

class TestHttpServerFaultTest : public TempDirTest {};

TEST_F(TestHttpServerFaultTest, EachFaultReachesThePlainClientAsScripted) {
  ASSERT_TRUE(writeFile(dir.file("files/a.bin"), content('a')));
  ASSERT_TRUE(writeFile(dir.file("files/b.bin"), content('b')));
  for (const auto& [test, perConnection] : cases()) {
    SCOPED_TRACE(std::string(test.name) + ", " + std::to_string(perConnection) + " request(s) per connection");
    TestHttpServer::Options options;
    options.requestsPerConnection = perConnection;
    TestHttpServer server(options);
    ASSERT_NE(server.port(), 0);
    server.serveFolder("/files/", dir.file("files"));
    test.script(server);
    for (std::size_t i = 0; i < test.steps.size(); ++i) {
      const Step& step = test.steps[i];
      SCOPED_TRACE("request " + std::to_string(i + 1) + ": " + step.path + " " + step.range);
      const Seen seen = get(server, step.path, step.range, step.end);
      EXPECT_EQ(seen.status, step.status);
      EXPECT_EQ(seen.end, step.end);
      if (step.status == 200 || step.status == 206) {
        const std::string expected = content(step.path == "/files/b.bin" ? 'b' : 'a').substr(step.from, step.bytes);
        EXPECT_TRUE(seen.body == expected) << seen.body.size() << " bytes instead of " << expected.size();
      }
      for (const auto& [name, value] : step.headers) {
        const auto found = seen.headers.find(name);
        EXPECT_EQ(found == seen.headers.end() ? std::string() : found->second, value) << name;
      }
    }
    std::vector<std::string> answers;
    for (const RecordedRequest& request : server.requests()) answers.push_back(request.answer);
    EXPECT_EQ(answers, test.answers);
  }
}

}  // namespace
}  // namespace korvel::test
