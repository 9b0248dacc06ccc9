// korvel-test-server: a folder served over HTTP or HTTPS the way a static server or CDN serves it, with
// the faults of a bad one, for the end-to-end scripts (native build only; the scripts start it for the
// native updater and for the Windows one under Wine alike).
//
//   korvel-test-server --root DIR [options]
//
// It binds 127.0.0.1 (on a free port unless --port says), prints one line "serving http://127.0.0.1:PORT"
// ("https://" with --tls) and serves until SIGTERM or SIGINT, then exits with status 0. The URL path is
// the file's path under DIR; files carry a strong ETag and a Last-Modified, a single byte range gets 206
// (416 past the end), guarded by If-Range; a connection carries up to 100 requests.
//
//   --port N                 the port to bind (default 0: a free one)
//   --fail-first N:LIST      per path, the first N requests get the answers of LIST in turn instead of the
//                            file: HTTP statuses (503, 500, 429...), "reset" (the connection reset before
//                            any header) or "stall" (held before the header until the server ends); the
//                            k-th path asked for starts at the k-th answer, so that N=1 still varies
//   --retry-after SECONDS    a Retry-After header on the status answers of --fail-first
//   --break-every BYTES      each answer carrying a file sends at most BYTES of its body (of the part),
//                            having announced the whole length, then drops the connection
//   --stall-after BYTES[:K]  answers carrying a file stop after BYTES of their body (0: right after the
//                            header) and send nothing more until the server ends or the client leaves;
//                            only the first K of them per path (default: all)
//   --no-validators          files go out without ETag and Last-Modified
//   --redirect PATH=URL      PATH answers 302 with Location URL (repeatable)
//   --tls CERT KEY           HTTPS with this certificate and private key (PEM files)
//   --log FILE               appends one line per request: method, path, Range header ("-" when none),
//                            then the answer: the status, with "break-at N" or "stall-at N" when the body
//                            is cut or held, or "reset" or "stall" in the answer's place
//   --make-certificates DIR  makes a test CA in DIR (ca.pem, ca.der, server.pem, server.key and the
//                            untrusted-server.pem and .key of a CA nobody trusts), prints their paths and
//                            exits
//   --help                   this text
//
// Exit status: 0 after a signal, 1 when the folder, the port or the certificate cannot be used, 2 for
// a wrong command line.
#include <signal.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/posix/test_certificates.h"
#include "tests/support/posix/test_https_server.h"
#include "tests/support/test_http_server.h"

namespace {

using korvel::test::FaultPlan;
using korvel::test::HttpReply;
using korvel::test::RecordedRequest;

const char* const kUsage =
    "usage: korvel-test-server --root DIR [options]\n"
    "Serves DIR on 127.0.0.1 (URL path = file path; ETag, Last-Modified, single ranges, If-Range) with\n"
    "scripted faults, prints \"serving http://127.0.0.1:PORT\" and serves until SIGTERM or SIGINT.\n"
    "\n"
    "  --port N                 port to bind (default 0: a free one)\n"
    "  --fail-first N:LIST      per path, the first N requests get the answers of LIST in turn:\n"
    "                           statuses (503,500,429...), reset (closed before any header) or stall\n"
    "                           (held before the header); the k-th path starts at the k-th answer\n"
    "  --retry-after SECONDS    Retry-After on the status answers of --fail-first\n"
    "  --break-every BYTES      each file answer sends at most BYTES of its body, then drops\n"
    "  --stall-after BYTES[:K]  file answers stall after BYTES of their body (0: after the header),\n"
    "                           only the first K per path (default all)\n"
    "  --no-validators          no ETag and no Last-Modified\n"
    "  --redirect PATH=URL      PATH answers 302 to URL (repeatable)\n"
    "  --tls CERT KEY           HTTPS with this certificate and key (PEM)\n"
    "  --log FILE               append one line per request: METHOD PATH RANGE ANSWER\n"
    "  --make-certificates DIR  make a test CA and server certificates in DIR, print their paths, exit\n"
    "  --help                   this text\n";

struct Settings {
  std::string root;
  int port = 0;
  FaultPlan plan;
  std::vector<std::string> firstAnswers;
  std::optional<std::uint64_t> retryAfter;
  std::vector<std::pair<std::string, std::string>> redirects;
  std::string certificate;
  std::string key;
  std::string log;
  std::string certificateFolder;
};

template <typename Number>
bool parseNumber(const std::string& text, Number& value) {
  const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
  return problem == std::errc() && end == text.data() + text.size();
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// The command line into settings; an error text when it is wrong.
std::optional<std::string> parse(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    auto missing = [&] { return option + " needs a value"; };
    if (option == "--root") {
      auto text = value();
      if (!text) return missing();
      settings.root = *text;
    } else if (option == "--port") {
      auto text = value();
      if (!text || !parseNumber(*text, settings.port) || settings.port < 0 || settings.port > 65535)
        return "--port needs a port number";
    } else if (option == "--fail-first") {
      auto text = value();
      const std::size_t colon = text ? text->find(':') : std::string::npos;
      if (colon == std::string::npos || !parseNumber(text->substr(0, colon), settings.plan.firstRequests))
        return "--fail-first needs N:LIST, as 1:503,500,reset";
      settings.firstAnswers = split(text->substr(colon + 1), ',');
      for (const std::string& answer : settings.firstAnswers) {
        int status = 0;
        if (answer != "reset" && answer != "stall" && (!parseNumber(answer, status) || status < 100 || status > 599))
          return "--fail-first: \"" + answer + "\" is neither a status, reset nor stall";
      }
    } else if (option == "--retry-after") {
      auto text = value();
      std::uint64_t seconds = 0;
      if (!text || !parseNumber(*text, seconds)) return "--retry-after needs a number of seconds";
      settings.retryAfter = seconds;
    } else if (option == "--break-every") {
      auto text = value();
      if (!text || !parseNumber(*text, settings.plan.breakEvery) || settings.plan.breakEvery == 0)
        return "--break-every needs a number of bytes above 0";
    } else if (option == "--stall-after") {
      auto text = value();
      if (!text) return missing();
      const std::vector<std::string> parts = split(*text, ':');
      if (parts.size() > 2 || !parseNumber(parts[0], settings.plan.stallAfter) ||
          (parts.size() == 2 && (!parseNumber(parts[1], settings.plan.stallCount) || settings.plan.stallCount == 0)))
        return "--stall-after needs BYTES or BYTES:K";
    } else if (option == "--no-validators") {
      settings.plan.validators = false;
    } else if (option == "--redirect") {
      auto text = value();
      const std::size_t equals = text ? text->find('=') : std::string::npos;
      if (equals == std::string::npos || equals == 0) return "--redirect needs PATH=URL";
      settings.redirects.emplace_back(text->substr(0, equals), text->substr(equals + 1));
    } else if (option == "--tls") {
      if (i + 2 >= argc) return "--tls needs a certificate and a key";
      settings.certificate = argv[++i];
      settings.key = argv[++i];
    } else if (option == "--log") {
      auto text = value();
      if (!text) return missing();
      settings.log = *text;
    } else if (option == "--make-certificates") {
      auto text = value();
      if (!text) return missing();
      settings.certificateFolder = *text;
    } else {
      return "unknown option " + option;
    }
  }
  if (settings.certificateFolder.empty() && settings.root.empty()) return "--root DIR is required";
  return std::nullopt;
}

// The replies of --fail-first.
std::vector<HttpReply> firstReplies(const Settings& settings) {
  std::vector<HttpReply> replies;
  for (const std::string& answer : settings.firstAnswers) {
    if (answer == "reset") {
      replies.push_back(HttpReply::reset());
    } else if (answer == "stall") {
      replies.push_back(HttpReply::stall());
    } else {
      HttpReply reply(std::stoi(answer), "<html><body><h1>" + answer + "</h1></body></html>\n", "text/html");
      if (settings.retryAfter) reply.headers.emplace_back("Retry-After", std::to_string(*settings.retryAfter));
      replies.push_back(std::move(reply));
    }
  }
  return replies;
}

// A client's text in the log: no control characters, no spaces.
std::string printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7f) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int makeCertificates(const std::string& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  const auto made = korvel::test::TestCertificates::make(folder);
  if (!made.error.empty()) {
    std::cerr << "korvel-test-server: " << made.error << "\n";
    return 1;
  }
  for (const std::string* path :
       {&made.caPem, &made.caDer, &made.serverCert, &made.serverKey, &made.untrustedCert, &made.untrustedKey})
    std::cout << *path << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--help") {
      std::cout << kUsage;
      return 0;
    }
  }
  Settings settings;
  if (auto problem = parse(argc, argv, settings)) {
    std::cerr << "korvel-test-server: " << *problem << "\n" << kUsage;
    return 2;
  }
  if (!settings.certificateFolder.empty()) return makeCertificates(settings.certificateFolder);
  std::error_code error;
  if (!std::filesystem::is_directory(settings.root, error)) {
    std::cerr << "korvel-test-server: " << settings.root << " is not a folder\n";
    return 1;
  }

  // The signals that end the server are taken by sigwait below: blocked before any server thread
  // exists, so that every thread inherits the mask and none of them is ended by one.
  sigset_t endSignals;
  sigemptyset(&endSignals);
  sigaddset(&endSignals, SIGTERM);
  sigaddset(&endSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

  korvel::test::TestHttpServer::Options options;
  options.port = settings.port;
  options.requestsPerConnection = 100;
  // Stalled connections keep their threads until their clients leave.
  options.threads = 64;
  options.holdLimit = std::chrono::milliseconds(0);
  std::unique_ptr<korvel::test::TestHttpServer> server;
  if (settings.certificate.empty()) {
    server = std::make_unique<korvel::test::TestHttpServer>(options);
  } else {
    auto secure = std::make_unique<korvel::test::TestHttpsServer>(settings.certificate, settings.key, options);
    if (!secure->error().empty()) {
      std::cerr << "korvel-test-server: " << secure->error() << "\n";
      return 1;
    }
    server = std::move(secure);
  }
  if (server->port() == 0) {
    std::cerr << "korvel-test-server: cannot bind 127.0.0.1:" << settings.port << "\n";
    return 1;
  }

  std::ofstream log;
  std::mutex logMutex;
  if (!settings.log.empty()) {
    log.open(settings.log, std::ios::app);
    if (!log) {
      std::cerr << "korvel-test-server: cannot write " << settings.log << "\n";
      return 1;
    }
    server->setRequestObserver([&log, &logMutex](const RecordedRequest& request) {
      const std::string range = request.header("Range");
      std::lock_guard<std::mutex> lock(logMutex);
      log << printable(request.method) << ' ' << printable(request.path) << ' '
          << (range.empty() ? "-" : printable(range)) << ' ' << request.answer << std::endl;
    });
  }
  settings.plan.firstReplies = firstReplies(settings);
  server->serveFolder("/", settings.root);
  server->setFaults("/", settings.plan);
  for (const auto& [path, url] : settings.redirects) server->serveRedirect(path, url);

  std::string url = server->url("/");
  url.pop_back();
  std::cout << "serving " << url << std::endl;
  int received = 0;
  sigwait(&endSignals, &received);
  // The observer writes to the log until the server has stopped.
  server.reset();
  return 0;
}
