// The signed release of the last load: checked against the release the installation remembers and
// its expiry, and remembered once every file of the installation is current.
//
// Threads: the worker, or the thread that owns the session while no job runs.
#pragma once

#include <optional>
#include <string>

#include "session/session_reports.h"
#include "session/session_state.h"

namespace korvel {

class ReleaseRecord {
 public:
  ReleaseRecord(SessionReports& reports, const SessionState& state) : reports_(reports), state_(state) {}

  // A new load: nothing vouched for, nothing accepted.
  void reset() {
    trustedComment_.clear();
    version_.reset();
  }
  // Where the manifest's signature leaves the trusted comment it vouched for.
  std::string* trustedComment() { return &trustedComment_; }
  // With a manifest key: whether signed release `offered` may be installed here, neither older than
  // the release the installation remembers nor past its expiry; a refusal (54, 55) is reported.
  bool accept(int offered);
  // The same question, unreported: 0, or 54 or 55 with the refusal's text.
  int verdict(int offered, std::string& text);
  // With a manifest key, once every file is current: the accepted release becomes the installation's
  // record when it is higher than the one remembered.
  void remember();

 private:
  SessionReports& reports_;
  const SessionState& state_;
  std::string trustedComment_;
  std::optional<int> version_;  // the Product Version, once accepted
};

}  // namespace korvel
