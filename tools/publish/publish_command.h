// The command line of korvel-publish: "build" a patch tree from a game folder, "serve" a tree over HTTP,
// "keygen" a key pair for signed manifests.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace korvel::publish {

class PublishCommand {
 public:
  // Exit codes.
  static constexpr int kSuccess = 0;
  static constexpr int kFailed = 1;
  static constexpr int kUsage = 2;

  // Runs the command named by args (without the program name). Output goes to `out`, problems to
  // `err`. "serve" blocks until SIGINT or SIGTERM.
  static int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

  static std::string usage();
};

}  // namespace korvel::publish
