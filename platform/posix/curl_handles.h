// Owners of libcurl's handles (easy, multi, header list), used by the POSIX HTTP requests and the
// background transfer service.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace korvel::platform::posix {

struct CurlEasyCleanup {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct CurlMultiCleanup {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct CurlSlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;
// A multi handle must outlive the easy handles added to it: remove them (or let their owners go) first.
using CurlMulti = std::unique_ptr<CURLM, CurlMultiCleanup>;
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistFree>;

// Appends `line` to `list`; false, with `list` as it was, when libcurl could not copy it.
inline bool appendLine(CurlSlist& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (!grown) return false;
  // The head stays the same once the list has one; the owner takes it over without a second free.
  [[maybe_unused]] curl_slist* head = list.release();
  list.reset(grown);
  return true;
}

}  // namespace korvel::platform::posix
