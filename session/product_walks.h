// Walks over the products of the manifest: their selection and local roots, and the sums the front
// end, the tree and the passes ask for.
//
// Threads: the worker while a job runs, otherwise the thread that owns the session.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "session/session_reports.h"
#include "session/session_state.h"

namespace korvel {

class ProductList;
class ProductRecord;

class ProductWalks {
 public:
  ProductWalks(SessionReports& reports, SessionState& state, ProductList& products)
      : reports_(reports), state_(state), products_(products) {}

  ProductList& products() const { return products_; }

  // Runs `visit` for each named product (every product without names: the top one), selecting an
  // unselected named product for the duration. Returns whether any name matched.
  bool forProducts(const char* names, const std::function<void(ProductRecord&)>& visit);
  // With names: sets both selection flags of each named product and returns whether any matched;
  // without names: every product, true.
  bool selectDistributions(const char* names, bool on);
  // With names: each named product gets `path` as its local root (true when any matched); without
  // names: the default root path (null clears it; longer than 255 characters is refused).
  bool setDistributionPath(const char* names, const char* path);
  // The named product's local root (empty when it has none or no product matches); without a name
  // the default root path.
  std::string distributionPath(const char* name) const;

  // The sums walk the named products (every product without names) with the walk flags given
  // (manifest/scan_flags.h); a 32-bit sum above INT_MAX is given as INT_MAX.
  // File nodes counted.
  int countFiles(const char* names, std::uint32_t flags);
  // Bytes still to update (0 when everything is current).
  std::int64_t updateAmount(const char* names, std::uint32_t flags);
  // Bytes the downloads of the stale files will transfer.
  std::int64_t downloadBytes(const char* names, std::uint32_t flags);
  // The room the largest single file needs while it is put in place.
  std::int64_t largestFileSpace(const char* names, std::uint32_t flags);

  // The base each product is walked with: its own base directory, with `base` as the fallback.
  static std::string productBase(ProductRecord& product, const std::string& base);

 private:
  SessionReports& reports_;
  SessionState& state_;
  ProductList& products_;
};

}  // namespace korvel
