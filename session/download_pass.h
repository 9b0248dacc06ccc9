// The download pass: totals and the disk space check before it, each named product held to its
// limits, planned for the transfers ahead and brought up to date, the patch cache saved and the
// signed release remembered after it, and the closing requests of the products that name one.
//
// Threads: the worker.
#pragma once

#include <string>

#include "session/session_reports.h"
#include "session/session_state.h"

namespace korvel {

class DownloadRequests;
class ProductRecord;
class ProductWalks;
class ProgressRates;
class ReleaseRecord;
class ScanJob;

class DownloadPass {
 public:
  // The answer of an authorisation-closing request is read into (and discarded from) this many bytes.
  static constexpr int kAuthCloseCapacity = 128000;
  // The parts a pass works with besides the session's state.
  struct Parts {
    DownloadRequests& downloads;
    ProgressRates& statistics;
    ProductWalks& walks;
    ScanJob& scan;
    ReleaseRecord& release;
  };

  DownloadPass(SessionReports& reports, SessionState& state, const Parts& parts)
      : reports_(reports), state_(state), parts_(parts) {}

  // Every stale file of the named products (the top product without names) brought up to date, then
  // the cache saved. Ends the running update.
  bool run(const char* names);

 private:
  // Plans the download walk of `product` and starts fetching ahead (nothing with one connection).
  void planDownloads(ProductRecord& product, const std::string& productRoot);
  // After a pass that made requests: the authorisation-closing request of every product that names
  // one, even after a stop.
  void closeAuthorisations();

  SessionReports& reports_;
  SessionState& state_;
  Parts parts_;
};

}  // namespace korvel
