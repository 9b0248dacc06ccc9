// Combining delta data with the old version of a file into the new one.
//
// Delta data (all numbers 32-bit big-endian): 4 bytes not read, the size of the new file, then records
// to the end of the data. A record whose first number is count >= 0 is a copy of count bytes of the
// old file from the offset that follows; a negative first number -n is a literal of the n bytes that
// follow. The new file is the concatenation of the records' outputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace korvel {

class FileNodeServices;

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
  virtual void bytesConsumed(std::uint64_t bytes) {}
  // Milliseconds this combine has spent so far (at most once a second, and at its end).
  virtual void millisecondsSpent(std::uint32_t milliseconds) {}
  // At most once a second: the display may be refreshed (the finish estimate).
  virtual void refresh() {}
  // Every block of the new file as it is written, in order (the digest of the result).
  virtual void outputWritten(const std::uint8_t* bytes, std::size_t count) {}
};

// The context a session's delta patching uses: the session's cancel test, its status line, channel 6
// of its client, row 2 (delta bytes) of its rate table starting from the values the row held when the
// combine began, and the finish estimate.
class SessionCombineContext : public CombineContext {
 public:
  explicit SessionCombineContext(FileNodeServices* services);
  bool cancelled() override;
  std::uint32_t tickMs() override;
  void showStatus(const std::string& target) override;
  void percent(int value) override;
  void bytesConsumed(std::uint64_t bytes) override;
  void millisecondsSpent(std::uint32_t milliseconds) override;
  void refresh() override;

 private:
  FileNodeServices* services_;
  std::int64_t startBytes_ = 0;
  std::int64_t startMilliseconds_ = 0;
};

// Copies and literals move at most this many bytes at a time; delta data is read through a buffer
// of this size, so a combine holds a few of them whatever the size of the data.
inline constexpr std::size_t kCombineBlockSize = 0x40000;
// A new file larger than this reports its status line and a percentage.
inline constexpr std::uint32_t kCombineLargeFile = 0x200000;
// The header: 4 bytes not read, then the new file's size.
inline constexpr std::size_t kDeltaHeaderSize = 8;
// The largest file delta data describes: its counts and offsets are signed 32-bit numbers. Data whose
// header gives a larger new file is refused, and a larger file is always downloaded whole.
inline constexpr std::uint64_t kDeltaLargestFile = 0x7FFFFFFF;

// Whether `data` is well-formed delta data for an old file of `oldSize` bytes: a complete header, and
// records that each lie wholly within the data and copy only from within the old file.
bool deltaDataValid(const std::uint8_t* data, std::size_t length, std::uint64_t oldSize);

// Delta data, read front to back.
class DeltaInput {
 public:
  virtual ~DeltaInput() = default;
  virtual std::uint64_t size() const = 0;
  // Exactly `count` bytes into `into`; false when the data ends first or cannot be read.
  virtual bool read(std::uint8_t* into, std::size_t count) = 0;
};

// Delta data held in memory (tests, the fuzz target).
class MemoryDeltaInput : public DeltaInput {
 public:
  MemoryDeltaInput(const std::uint8_t* data, std::size_t length) : data_(data), length_(data ? length : 0) {}
  std::uint64_t size() const override { return length_; }
  bool read(std::uint8_t* into, std::size_t count) override;

 private:
  const std::uint8_t* data_;
  std::size_t length_;
  std::size_t position_ = 0;
};

// Delta data in a file, read through one buffer of kCombineBlockSize bytes.
class FileDeltaInput : public DeltaInput {
 public:
  explicit FileDeltaInput(const std::string& path);
  ~FileDeltaInput() override;
  bool isOpen() const;
  // Closes the file (Windows cannot delete a file that is still open).
  void close();
  std::uint64_t size() const override { return size_; }
  bool read(std::uint8_t* into, std::size_t count) override;

 private:
  struct Source;
  std::unique_ptr<Source> source_;
  std::uint64_t size_ = 0;
};

// What a combine wrote: the new file's length and CRC-32.
struct CombineOutput {
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
};

// Writes the new version of the file `source` described by `data` to `output`; `source` is only read.
// True when the output was written completely and reached the disk; `out` then describes it. False
// when the data is malformed, a file cannot be opened, a read or write fails, or the context cancels:
// `output` then does not exist. Blocks the calling thread.
bool combineDelta(const std::string& source, const std::string& output, DeltaInput& data, CombineContext& context,
                  CombineOutput& out);

// Turns the file `target` into the new version described by `data`: the new version is written
// beside it and renamed over it, so `target` holds the old bytes or the new ones, never a mix. True
// when the new version is in place; false as above, with the old file untouched.
bool combineDelta(const std::string& target, const std::uint8_t* data, std::size_t length,
                  CombineContext& context);

}  // namespace korvel
