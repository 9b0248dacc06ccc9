// Combining delta data with the old version of a file into the new one.
//
// Delta data (all numbers 32-bit big-endian): 4 bytes not read, the size of the new file, then records
// to the end of the data. A record whose first number is count >= 0 is a copy of count bytes of the
// old file from the offset that follows; a negative first number -n is a literal of the n bytes that
// follow. The new file is the concatenation of the records' outputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvel {

class SessionServices;

// What a combine reports while it runs, and how it learns that it should stop. The default does
// nothing and never stops, so a combine can run without a session (tests, the fuzz target).
class CombineContext {
 public:
  virtual ~CombineContext() = default;
  // Tested before every record: when true the combine ends and puts the old file back.
  virtual bool cancelled() { return false; }
  // A milliseconds tick (wrapping); drives the at-most-once-a-second refreshes.
  virtual std::uint32_t tickMs() { return 0; }
  // Large files only: the status line names the file being patched.
  virtual void showStatus(const std::string& target) {}
  // Large files only: the percentage of delta data consumed (channel 6).
  virtual void percent(int value) {}
  // Delta bytes consumed so far in this combine (after every record).
  virtual void bytesConsumed(std::uint32_t bytes) {}
  // Milliseconds this combine has spent so far (at most once a second, and at its end).
  virtual void millisecondsSpent(std::uint32_t milliseconds) {}
  // At most once a second: the display may be refreshed (the finish estimate).
  virtual void refresh() {}
};

// The context a session's delta patching uses: the session's cancel test, its status line, channel 6
// of its client, row 2 (delta bytes) of its rate table starting from the values the row held when the
// combine began, and the finish estimate.
class SessionCombineContext : public CombineContext {
 public:
  explicit SessionCombineContext(SessionServices* services);
  bool cancelled() override;
  std::uint32_t tickMs() override;
  void showStatus(const std::string& target) override;
  void percent(int value) override;
  void bytesConsumed(std::uint32_t bytes) override;
  void millisecondsSpent(std::uint32_t milliseconds) override;
  void refresh() override;

 private:
  SessionServices* services_;
  std::int32_t startBytes_ = 0;
  std::int32_t startMilliseconds_ = 0;
};

// The name of the intermediate file that holds the old version during a combine, in the process's
// current directory.
inline constexpr const char* kDeltaHoldName = "delta.hld";
// Copies move at most this many bytes at a time.
inline constexpr std::size_t kCombineBlockSize = 0x40000;
// A new file larger than this reports its status line and a percentage.
inline constexpr std::uint32_t kCombineLargeFile = 0x200000;
// The header: 4 bytes not read, then the new file's size.
inline constexpr std::size_t kDeltaHeaderSize = 8;

// Whether `data` is well-formed delta data for an old file of `oldSize` bytes: a complete header, and
// records that each lie wholly within the data and copy only from within the old file.
bool deltaDataValid(const std::uint8_t* data, std::size_t length, std::uint64_t oldSize);

// Turns the file `target` (the old version) into the new version described by `data`. The old file is
// moved to kDeltaHoldName in the current directory and read from there; the new file is written
// under `target`. True when the new file was written completely; then the held file is deleted.
// False when the data is malformed (checked before any file is touched), a file cannot be opened, a
// read or write fails, or the context cancels: in every such case the old file is back under
// `target`. Blocks the calling thread; combines in one process run one at a time, since they share
// the held file's name.
bool combineDelta(const std::string& target, const std::uint8_t* data, std::size_t length,
                  CombineContext& context);

}  // namespace korvel
