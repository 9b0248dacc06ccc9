// The lines of a session log kept for a test: written by the test's fakes, or taken from channel 0 of
// a real session (without the session's "Patcher: " prefix). Safe from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace korvel {
class Patcher;
}

namespace korvel::test {

class LogCapture {
 public:
  LogCapture();
  // Also keeps every line the session writes to its log channel 0 (replacing what was attached
  // there). The lines outlive neither this object nor need it: the channel shares them.
  explicit LogCapture(Patcher* patcher);

  // Keeps `line` as it is.
  void add(const std::string& line);

  std::vector<std::string> lines() const;
  bool logged(const std::string& line) const { return countLogged(line) > 0; }
  int countLogged(const std::string& line) const;
  // The lines that start with `prefix`, in order.
  std::vector<std::string> linesStartingWith(const std::string& prefix) const;

 private:
  struct Lines {
    std::mutex mutex;
    std::vector<std::string> lines;
  };
  class Sink;
  std::shared_ptr<Lines> lines_;
};

}  // namespace korvel::test
