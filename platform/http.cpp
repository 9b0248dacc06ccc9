// The system-independent part of HTTP requests: header checks, the parsing of the response headers
// that continuing a body depends on, the stall time-out and the classes of error numbers, the same for
// both backends.
#include "platform/http.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/environment.h"

namespace korvel::platform {

namespace {

bool isTokenCharacter(unsigned char c) {
  return std::isalnum(c) || (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// A cursor over a header value; every step leaves it where the text it took ends.
struct Reader {
  const std::string& text;
  std::size_t at = 0;

  bool atEnd() const { return at == text.size(); }
  bool take(char c) {
    if (atEnd() || text[at] != c) return false;
    ++at;
    return true;
  }
  bool takeNoCase(const char* word) {
    const std::size_t n = std::strlen(word);
    if (text.size() - at < n) return false;
    for (std::size_t i = 0; i < n; ++i)
      if (std::tolower(static_cast<unsigned char>(text[at + i])) != word[i]) return false;
    at += n;
    return true;
  }
  std::size_t skipBlanks() {
    const std::size_t from = at;
    while (!atEnd() && isBlank(text[at])) ++at;
    return at - from;
  }
  // One or more decimal digits that fit 64 bits.
  std::optional<std::uint64_t> number() {
    const std::size_t from = at;
    std::uint64_t value = 0;
    while (!atEnd() && text[at] >= '0' && text[at] <= '9') {
      const auto digit = static_cast<std::uint64_t>(text[at] - '0');
      if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
      value = value * 10 + digit;
      ++at;
    }
    if (at == from) return std::nullopt;
    return value;
  }
};

}  // namespace

std::optional<ContentRange> parseContentRange(const std::string& value) {
  Reader r{value};
  r.skipBlanks();
  if (!r.takeNoCase("bytes") || r.skipBlanks() == 0) return std::nullopt;
  ContentRange range;
  if (r.take('*')) {
    if (!r.take('/')) return std::nullopt;
    range.total = r.number();
    if (!range.total) return std::nullopt;
  } else {
    const auto first = r.number();
    if (!first || !r.take('-')) return std::nullopt;
    const auto last = r.number();
    if (!last || *last < *first || !r.take('/')) return std::nullopt;
    if (!r.take('*')) {
      range.total = r.number();
      if (!range.total || *last >= *range.total) return std::nullopt;
    }
    range.satisfied = true;
    range.first = *first;
    range.last = *last;
  }
  r.skipBlanks();
  if (!r.atEnd()) return std::nullopt;
  return range;
}

std::uint32_t stallTimeoutMs() {
  static const std::uint32_t milliseconds = [] {
    constexpr std::uint32_t kDefaultSeconds = 60;
    constexpr std::uint32_t kMostSeconds = 3600;
    const std::string text = environmentValue("KORVEL_STALL_TIMEOUT").value_or("");
    Reader r{text};
    const auto seconds = r.number();
    const bool valid = seconds && r.atEnd() && *seconds >= 1 && *seconds <= kMostSeconds;
    return (valid ? static_cast<std::uint32_t>(*seconds) : kDefaultSeconds) * 1000;
  }();
  return milliseconds;
}

bool isCertificateError(std::uint32_t error) {
  switch (error) {
    case kErrorInternetSecCertDateInvalid:
    case kErrorInternetSecCertCnInvalid:
    case kErrorInternetClientAuthCertNeeded:
    case kErrorInternetInvalidCa:
    case kErrorInternetSecCertErrors:
    case kErrorInternetSecCertNoRev:
    case kErrorInternetSecCertRevFailed:
    case kErrorInternetSecInvalidCert:
    case kErrorInternetSecCertRevoked:
    case kErrorInternetSecCertWeakSignature:
      return true;
    default:
      return false;
  }
}

bool isInsecureRedirect(std::uint32_t error) { return error == kErrorInternetHttpsToHttpOnRedirect; }

std::string rangeFrom(std::uint64_t first) { return "bytes=" + std::to_string(first) + "-"; }

std::optional<std::string> ResponseHeaders::validator() const {
  if (etag && !etag->empty() && etag->compare(0, 2, "W/") != 0) return etag;
  if (lastModified && !lastModified->empty()) return lastModified;
  return std::nullopt;
}

bool HttpRequest::addHeader(const std::string& name, const std::string& value, std::uint32_t& error) {
  const bool nameOk = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return isTokenCharacter(static_cast<unsigned char>(c));
  });
  const bool valueOk = value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
  if (!nameOk || !valueOk) {
    error = kErrorInvalidParameter;
    return false;
  }
  return addCheckedHeader(name, value, error);
}

ResponseHeaders HttpRequest::responseHeaders() const {
  ResponseHeaders headers;
  headers.etag = responseHeader("ETag");
  headers.lastModified = responseHeader("Last-Modified");
  if (const auto length = responseHeader("Content-Length")) {
    const std::string& text = *length;
    Reader r{text};
    const auto number = r.number();
    if (number && r.atEnd()) headers.contentLength = number;
  }
  if (const auto range = responseHeader("Content-Range")) headers.contentRange = parseContentRange(*range);
  return headers;
}

}  // namespace korvel::platform
