// What follows an attempt that did not succeed, and the pause a server asks for.
#include "transfer/attempt_ledger.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace korvel {

AttemptLedger::AttemptLedger(std::size_t servers, std::uint32_t firstPauseMs)
    : servers_(std::max<std::size_t>(servers, 1)), firstPauseMs_(firstPauseMs) {}

std::uint32_t AttemptLedger::growingPause(int attempts) const {
  const int doublings = std::clamp(attempts - 1, 0, 16);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{firstPauseMs_} << doublings, kLongestRequestedPauseMs));
}

std::optional<std::size_t> AttemptLedger::nextServer(bool orCurrent) const {
  for (std::size_t step = 1; step < servers_.size(); ++step) {
    const std::size_t index = (current_ + step) % servers_.size();
    if (!servers_[index].failed) return index;
  }
  if (orCurrent && !servers_[current_].failed) return current_;
  return std::nullopt;
}

AttemptLedger::Decision AttemptLedger::record(Fault fault, bool newBytes, std::uint32_t requestedPauseMs,
                                              bool continued) {
  Server& server = servers_[current_];
  if (newBytes) server.withoutProgress = 0;
  Decision decision;
  switch (fault) {
    case Fault::kTransient:
      if (!newBytes) ++server.withoutProgress;
      if (server.withoutProgress >= kAttemptsPerServer) {
        server.failed = true;
        break;
      }
      decision.kind = Decision::Kind::kRetry;
      decision.server = current_;
      decision.pauseMs = requestedPauseMs > 0 ? std::min(requestedPauseMs, kLongestRequestedPauseMs)
                                              : growingPause(std::max(server.withoutProgress, 1));
      return decision;
    case Fault::kStall:
      // A stall costs its server one time-out per request: the next server is asked at once. Only a
      // server that is left alone is asked once more, and its second stall fails it too.
      ++server.stalls;
      if (nextServer(false)) {
        server.failed = true;
        break;
      }
      if (server.stalls >= kStallsPerServer || server.failed) {
        server.failed = true;
        return decision;
      }
      decision.kind = Decision::Kind::kRetry;
      decision.server = current_;
      decision.pauseMs = growingPause(server.stalls);
      return decision;
    case Fault::kWrongBytes:
      if (continued && !server.fetchedWhole) {
        // The kept bytes may be what is wrong: the body is fetched once more from its start.
        server.fetchedWhole = true;
        decision.kind = Decision::Kind::kRetry;
        decision.server = current_;
        return decision;
      }
      server.failed = true;
      break;
    case Fault::kRefused:
      server.failed = true;
      break;
  }
  if (const std::optional<std::size_t> next = nextServer(false)) {
    decision.kind = Decision::Kind::kNextServer;
    decision.server = *next;
    current_ = *next;
  }
  return decision;
}

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

bool digitsAt(std::string_view text, std::size_t at, std::size_t count, unsigned& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return true;
}

// "Sun, 06 Nov 1994 08:49:37 GMT" in seconds since 1970.
std::optional<std::int64_t> httpDate(std::string_view text) {
  static constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (text.size() != 29 || text.substr(3, 2) != ", " || text.substr(25) != " GMT" || text[7] != ' ' ||
      text[11] != ' ' || text[16] != ' ' || text[19] != ':' || text[22] != ':')
    return std::nullopt;
  unsigned day = 0, year = 0, hour = 0, minute = 0, second = 0;
  if (!digitsAt(text, 5, 2, day) || !digitsAt(text, 12, 4, year) || !digitsAt(text, 17, 2, hour) ||
      !digitsAt(text, 20, 2, minute) || !digitsAt(text, 23, 2, second))
    return std::nullopt;
  const auto month = std::find(kMonths.begin(), kMonths.end(), text.substr(8, 3));
  if (month == kMonths.end() || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  const unsigned monthNumber = static_cast<unsigned>(month - kMonths.begin()) + 1;
  return daysFromCivil(year, monthNumber, day) * 86400 + hour * 3600 + minute * 60 + second;
}

}  // namespace

std::optional<std::uint32_t> parseRetryAfter(std::string_view value, std::int64_t nowSeconds) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  if (value.empty()) return std::nullopt;
  const std::uint64_t longest = AttemptLedger::kLongestRequestedPauseMs;
  if (std::all_of(value.begin(), value.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
    // Any number of digits: a value past the cap is the cap, never a wrapped small one.
    std::uint64_t seconds = 0;
    for (char c : value) {
      seconds = seconds * 10 + static_cast<std::uint64_t>(c - '0');
      if (seconds * 1000 > longest) return static_cast<std::uint32_t>(longest);
    }
    return static_cast<std::uint32_t>(seconds * 1000);
  }
  const std::optional<std::int64_t> date = httpDate(value);
  if (!date) return std::nullopt;
  if (*date <= nowSeconds) return 0;
  const std::uint64_t wait = static_cast<std::uint64_t>(*date - nowSeconds);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(wait * 1000, longest));
}

}  // namespace korvel
