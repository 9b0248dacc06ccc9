// The rules by which one request goes on after an attempt that did not succeed: ask the same server
// again after a pause, ask the next server of its list, or give up. Kept apart from the transfer so
// that the rules read in one place and can be tested as a table.
//
//   fault of the attempt      what follows
//   transient (5xx, 408, 429, refused or reset connection, a body that broke off)
//                             the same server after a pause that doubles from 1 s (a 429 or 503:
//                             what its Retry-After asks, at most 30 s); an attempt that brought new
//                             bytes starts the count over; the third attempt in a row that brought
//                             nothing new fails the server
//   stall (a time-out)        the server fails and the next one is asked at once; a server left
//                             alone is asked once more, and its second stall fails it
//   wrong bytes               the server fails (bytes continued from kept ones are first fetched
//                             once more whole from the same server)
//   refused (certificate, a redirect from https to http)
//                             the server fails
// The request gives up when every server of its list has failed it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace korvel {

class AttemptLedger {
 public:
  // Attempts in a row that bring nothing new before a server counts as failed.
  static constexpr int kAttemptsPerServer = 3;
  // Stalls after which a server that is left alone counts as failed.
  static constexpr int kStallsPerServer = 2;
  // The longest pause a Retry-After may ask for.
  static constexpr std::uint32_t kLongestRequestedPauseMs = 30000;

  enum class Fault { kTransient, kStall, kWrongBytes, kRefused };

  struct Decision {
    enum class Kind { kRetry, kNextServer, kGiveUp };
    Kind kind = Kind::kGiveUp;
    // The server to ask next (an index into the request's list).
    std::size_t server = 0;
    // How long to wait before asking it.
    std::uint32_t pauseMs = 0;
  };

  // A request to `servers` servers (at least one), the first asked first; pauses grow from
  // `firstPauseMs`.
  AttemptLedger(std::size_t servers, std::uint32_t firstPauseMs);

  // The server the next attempt asks.
  std::size_t current() const { return current_; }
  // Attempts in a row at the current server that brought nothing new (0 after one that did).
  int attemptsWithoutProgress() const { return servers_[current_].withoutProgress; }

  // Records how the attempt at current() ended and decides what follows; the decided server becomes
  // current(). `newBytes`: the attempt added bytes that the next one continues from. `requestedPauseMs`:
  // a pause the server asked for (Retry-After), 0 when none. `continued`: wrong bytes of a body that
  // was continued from kept bytes.
  Decision record(Fault fault, bool newBytes = false, std::uint32_t requestedPauseMs = 0, bool continued = false);

 private:
  struct Server {
    int withoutProgress = 0;
    int stalls = 0;
    bool failed = false;
    bool fetchedWhole = false;
  };
  // The first server after current() (wrapping) that has not failed; current() itself only when
  // `orCurrent` and it has not failed. nullopt when there is none.
  std::optional<std::size_t> nextServer(bool orCurrent) const;
  std::uint32_t growingPause(int attempts) const;

  std::vector<Server> servers_;
  std::size_t current_ = 0;
  std::uint32_t firstPauseMs_;
};

// The pause a Retry-After value asks for, from `nowSeconds` (seconds since 1970): delta-seconds, or
// an HTTP date (IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT"), capped at kLongestRequestedPauseMs; a
// date in the past asks for none (0). nullopt for any other text.
std::optional<std::uint32_t> parseRetryAfter(std::string_view value, std::int64_t nowSeconds);

}  // namespace korvel
