// The proxy variables switched off for the length of a test, so every request (and every access mode
// of the session) reaches the loopback test server directly.
#pragma once

#include <optional>

#include "tests/support/scoped_environment.h"

namespace korvel::test {

class NoProxy {
 public:
  NoProxy() : a_("http_proxy", std::nullopt), b_("HTTP_PROXY", std::nullopt), c_("all_proxy", std::nullopt),
              d_("ALL_PROXY", std::nullopt), e_("https_proxy", std::nullopt), f_("HTTPS_PROXY", std::nullopt) {}

 private:
  ScopedEnvironment a_, b_, c_, d_, e_, f_;
};

}  // namespace korvel::test
