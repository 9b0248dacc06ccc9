// The client of a session that nobody watches: every notification is taken and answered yes; the
// errors it is told about are counted.
#pragma once

#include <cstdint>

#include "launcher/patch_client.h"

namespace korvel::test {

class QuietClient : public PatchClient {
 public:
  bool scanStarted() override { return true; }
  bool downloadFinished() override { return true; }
  bool stopped() override { return true; }
  bool error(int, const char*) override {
    ++errors;
    return true;
  }
  bool reservedSlot12(int, int) override { return true; }
  bool timeEstimate(std::int64_t, std::int64_t) override { return true; }
  bool readyToRun() override { return true; }
  int errors = 0;
};

}  // namespace korvel::test
