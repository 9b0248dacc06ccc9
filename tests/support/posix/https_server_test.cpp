// The test server over TLS with the certificate authority made at run time (trusted and refused, its
// faults and a redirect to a plain server), and the standalone fault server program end to end.
#include <httplib.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/posix/child_program.h"
#include "tests/support/posix/test_certificates.h"
#include "tests/support/posix/test_https_server.h"
#include "tests/support/temp_dir.h"

namespace korvel::test {
namespace {

class HttpsServerTest : public TempDirTest {};

TEST_F(HttpsServerTest, ServesOverTlsTrustedThroughTheTestCaAndIsRefusedWithAnUntrustedIssuer) {
  const TestCertificates certificates = TestCertificates::make(dir.native());
  ASSERT_EQ(certificates.error, "");
  ASSERT_TRUE(exists(certificates.caDer));
  TestHttpServer plain;
  plain.serveBytes("/plain", "over http");
  TestHttpsServer trusted(certificates.serverCert, certificates.serverKey);
  ASSERT_NE(trusted.port(), 0) << trusted.error();
  EXPECT_EQ(trusted.url("/x"), "https://127.0.0.1:" + std::to_string(trusted.port()) + "/x");
  EXPECT_EQ(trusted.localhostUrl("x"), "https://localhost:" + std::to_string(trusted.port()) + "/x");
  trusted.serveSequence("/x", {HttpReply::reset(), HttpReply(200, "secret")});
  trusted.serveRedirect("/away", plain.url("/plain"));

  httplib::SSLClient client("localhost", trusted.port());
  client.set_ca_cert_path(certificates.caPem.c_str());
  client.enable_server_certificate_verification(true);
  client.set_follow_location(true);
  const auto reset = client.Get("/x");
  EXPECT_FALSE(reset);
  const auto served = client.Get("/x");
  ASSERT_TRUE(served) << httplib::to_string(served.error());
  EXPECT_EQ(served->status, 200);
  EXPECT_EQ(served->body, "secret");
  const auto redirected = client.Get("/away");
  ASSERT_TRUE(redirected) << httplib::to_string(redirected.error());
  EXPECT_EQ(redirected->body, "over http");
  EXPECT_EQ(plain.requestCount("/plain"), 1);

  TestHttpsServer untrusted(certificates.untrustedCert, certificates.untrustedKey);
  ASSERT_NE(untrusted.port(), 0) << untrusted.error();
  untrusted.serveBytes("/x", "secret");
  httplib::SSLClient refusing("localhost", untrusted.port());
  refusing.set_ca_cert_path(certificates.caPem.c_str());
  refusing.enable_server_certificate_verification(true);
  const auto refused = refusing.Get("/x");
  EXPECT_EQ(refused.error(), httplib::Error::SSLServerVerification);
  EXPECT_EQ(untrusted.requestCount("/x"), 0);
}

TEST_F(HttpsServerTest, TheFaultServerProgramServesAFolderWithItsFaultsAndLogsEveryRequest) {
  std::string file(3000, '\0');
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i % 253);
  ASSERT_TRUE(writeFile(dir.file("root/patch/a.bin"), file));
  ASSERT_TRUE(writeFile(dir.file("root/patch/b.bin"), file));
  const std::string log = dir.native() + "/requests.log";
  ChildProgram::Options options;
  options.program = KORVEL_TEST_SERVER_PROGRAM;
  options.arguments = {"--root",        dir.native() + "/root", "--fail-first", "1:503,reset", "--retry-after", "2",
                       "--break-every", "2000",                 "--log",        log};
  ChildProgram server(options);
  ASSERT_TRUE(server.started());
  const std::string prefix = "serving http://127.0.0.1:";
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (server.standardOutput().find('\n') == std::string::npos && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const std::string line = server.standardOutput();
  ASSERT_EQ(line.rfind(prefix, 0), 0u) << line << server.standardError();
  const int port = std::stoi(line.substr(prefix.size()));

  httplib::Client client("127.0.0.1", port);
  // Kept connections, as an updater keeps them: a reset must still come at once, long before the
  // client's ten seconds.
  client.set_keep_alive(true);
  client.set_read_timeout(std::chrono::seconds(10));
  const auto busy = client.Get("/patch/a.bin");
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->status, 503);
  EXPECT_EQ(busy->get_header_value("Retry-After"), "2");
  std::string received;
  const auto broken = client.Get("/patch/a.bin", [&](const char* data, std::size_t size) {
    received.append(data, size);
    return true;
  });
  EXPECT_FALSE(broken);
  const auto rest = client.Get("/patch/a.bin", {{"Range", "bytes=" + std::to_string(received.size()) + "-"}});
  ASSERT_TRUE(rest);
  EXPECT_EQ(rest->status, 206);
  EXPECT_TRUE(received + rest->body == file);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Get("/patch/b.bin"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  server.signal(SIGTERM);
  EXPECT_EQ(server.wait(std::chrono::seconds(10)), 0);
  EXPECT_EQ(readFile(log),
            "GET /patch/a.bin - 503\n"
            "GET /patch/a.bin - 200 break-at 2000\n"
            "GET /patch/a.bin bytes=2000- 206\n"
            "GET /patch/b.bin - reset\n");
}

}  // namespace
}  // namespace korvel::test
