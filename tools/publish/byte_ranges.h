// How the project's HTTP servers (korvel-publish serve and the tests' server) answer a request for
// part of a file: the validators they send, and the single byte range they honour under If-Range.
// Header only, over cpp-httplib, so that the tests' server shares it on every platform.
#pragma once

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include <httplib.h>

namespace korvel::publish {

// An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT") of a time in UTC.
inline std::string httpDate(std::chrono::sys_seconds time) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const auto day = std::chrono::floor<std::chrono::days>(time);
  const std::chrono::year_month_day date(day);
  const std::chrono::hh_mm_ss clock(time - day);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02u %s %04d %02d:%02d:%02d GMT",
                kDays[std::chrono::weekday(day).c_encoding()], static_cast<unsigned>(date.day()),
                kMonths[static_cast<unsigned>(date.month()) - 1], static_cast<int>(date.year()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

// The ETag of a file as static servers commonly make it, from its modification time and its size.
inline std::string fileEtag(std::chrono::sys_seconds modified, std::uint64_t size) {
  char etag[48];
  std::snprintf(etag, sizeof etag, "\"%llx-%llx\"", static_cast<unsigned long long>(modified.time_since_epoch().count()),
                static_cast<unsigned long long>(size));
  return etag;
}

// The part of a body of `size` bytes a request gets: [first, first + length) with 206, the whole with
// 200, or nothing with 416.
struct BytePart {
  int status = 200;
  std::uint64_t first = 0;
  std::uint64_t length = 0;
};

// The two ends of the single range of a "Range: bytes=first-last" header, -1 for an end left out. The
// library parses ranges into the platform's ssize_t, 32 bits on 32-bit Windows: the numbers are read
// here again in 64 bits, so that parts of files above 2 GiB are answered on every platform. False when
// the header is not one such range or a number exceeds 63 bits.
inline bool singleRange(const std::string& header, std::int64_t& from, std::int64_t& to) {
  std::string_view text(header);
  constexpr std::string_view kUnit = "bytes=";
  if (text.substr(0, kUnit.size()) != kUnit) return false;
  text.remove_prefix(kUnit.size());
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) return false;
  auto number = [](std::string_view digits, std::int64_t& value) {
    value = -1;
    if (digits.empty()) return true;
    const auto [end, problem] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return problem == std::errc() && end == digits.data() + digits.size() && value >= 0;
  };
  return number(text.substr(0, dash), from) && number(text.substr(dash + 1), to);
}

// A single range is answered when an If-Range, if any, names the body as it is now (a strong ETag or
// the Last-Modified date); several ranges, an invalid one or a stale If-Range get the whole body, as
// the rules of ranges allow.
inline BytePart partOf(const httplib::Request& request, std::uint64_t size, const std::string& etag,
                       const std::string& lastModified) {
  const BytePart whole{200, 0, size};
  if (request.ranges.size() != 1) return whole;
  if (request.has_header("If-Range")) {
    const std::string asked = request.get_header_value("If-Range");
    const bool strongEtag = !etag.empty() && etag.compare(0, 2, "W/") != 0;
    if (!(strongEtag && asked == etag) && !(!lastModified.empty() && asked == lastModified)) return whole;
  }
  std::int64_t from = -1;
  std::int64_t to = -1;
  if (!singleRange(request.get_header_value("Range"), from, to)) return whole;
  std::uint64_t first = 0;
  std::uint64_t last = size == 0 ? 0 : size - 1;
  if (from < 0) {
    // "bytes=-n": the last n bytes.
    if (to <= 0 || size == 0) return {416, 0, 0};
    first = size - std::min<std::uint64_t>(size, static_cast<std::uint64_t>(to));
  } else {
    first = static_cast<std::uint64_t>(from);
    if (to >= 0) {
      if (to < from) return whole;  // not a valid range: the header is ignored
      last = std::min(last, static_cast<std::uint64_t>(to));
    }
    if (first >= size) return {416, 0, 0};
  }
  return {206, first, last - first + 1};
}

// Sets the status and the range header of a part; false when nothing of the body is to be sent (416).
// The library would cut the answer to the parsed ranges once more, unchecked against the body's
// length: they are answered here, and dropped from the request (the library's own modifiable object,
// handed to handlers as const).
inline bool describePart(const httplib::Request& request, httplib::Response& response, const BytePart& part,
                         std::uint64_t size) {
  const_cast<httplib::Request&>(request).ranges.clear();
  response.status = part.status;
  if (part.status == 416) {
    response.set_header("Content-Range", "bytes */" + std::to_string(size));
    return false;
  }
  if (part.status == 206)
    response.set_header("Content-Range", "bytes " + std::to_string(part.first) + "-" +
                                             std::to_string(part.first + part.length - 1) + "/" +
                                             std::to_string(size));
  return true;
}

}  // namespace korvel::publish
