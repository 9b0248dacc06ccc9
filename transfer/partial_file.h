// The bytes of a body that broke off, kept beside the file they are meant to become so that a later
// attempt asks the server only for the rest.
//
// A partial body lives in two files in the target's folder, both named after one digest of the path
// on the server and the expected result (sizes, CRC, SHA-256, compression), so that a partial body
// is only ever continued by a request for exactly the same bytes, from whichever server:
//   "spatchpart_<32 hex>.part"  the body's bytes as they came over the wire (still compressed when
//                               the body is gzip data), nothing else;
//   "spatchpart_<32 hex>.tag"   a few text lines: a first line "korvel-partial 1", then
//                               "validator <ETag or Last-Modified as the server sent it>" (empty when
//                               it sent none), "server <the server that sent it>" and
//                               "target <the target's file name>".
// Bytes are kept when they may be continued safely: the server gave a validator (which a later
// request to the same server sends back as If-Range), or the request pins its result by size and
// CRC or SHA-256 (the joined file is verified, so a plain Range does). The tag is written before the
// first byte of a body, so a body without a readable tag is never continued. Neither name is a game
// file's or a transfer's temporary ("spatchfile_<n>.tmp").
//
// A small gzip body (kHeldBodyLimit bytes over the wire at most) is held in memory instead while
// its transfer runs: the attempts of that transfer continue it from there, and the two files are
// written only when the transfer ends with bytes that may still be continued, so that a small file
// that arrives whole creates and deletes nothing beside the game but its temporary.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace korvel {

class PartialFile {
 public:
  // The largest body held in memory rather than in files while its transfer runs.
  static constexpr std::uint64_t kHeldBodyLimit = 256 * 1024;

  // What a request expects, which the name stands for.
  struct Identity {
    std::string path;  // on the server
    int decompress = 0;
    std::uint64_t downloadSize = 0;
    std::uint64_t totalSize = 0;
    std::optional<std::uint32_t> crc;
    std::optional<std::string> sha256;

    // The result is pinned: the joined bytes can be verified whatever the server sent.
    bool pinned() const { return totalSize > 0 && (crc || sha256); }
  };

  // The tag's contents.
  struct Tag {
    std::string validator;
    std::string server;
    std::string target;
  };

  // "spatchpart_<32 hex>" for `identity` (without an extension).
  static std::string stemFor(const Identity& identity);
  // Whether a file name (without its folder) is a partial body's or its tag's.
  static bool isPartialName(std::string_view name);
  // Whether it is the tag's name (".tag").
  static bool isTagName(std::string_view name);
  // Reads a tag file; nullopt when it is missing or not a tag of this form (a tag without a "server"
  // line, of an earlier version, reads with an empty one).
  static std::optional<Tag> readTag(const std::string& tagPath);

  // `folder` in the core's '\' form (empty: the current folder); `target` is the file's name.
  PartialFile(const std::string& folder, const Identity& identity, std::string target);
  // Writes out held bytes that may be continued, so that a later request continues them as it
  // would bytes kept in the files (best effort: a failure only loses them).
  ~PartialFile();
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  const std::string& bodyPath() const { return bodyPath_; }
  const std::string& tagPath() const { return tagPath_; }

  // The bytes an earlier attempt kept, and the validator they were sent with and its server; 0 (and
  // both files removed) when there is nothing that may be continued.
  std::uint64_t keptBytes();
  const std::string& validator() const { return tag_.validator; }
  const std::string& validatorServer() const { return tag_.server; }

  // Starts the body over for a response from `server` with `validator` (empty: none): writes the tag
  // (when the bytes may be kept), then opens an empty body file; a held body only starts over in
  // memory. False when either fails.
  bool beginFresh(const std::string& validator, const std::string& server);
  // Opens the kept body to read it and then to append to it (nothing to open for a held body). False
  // when it fails.
  bool reopenKept();
  // After reopenKept: feeds the `kept` bytes through `take`, in pieces of at most `capacity` bytes
  // read through `buffer`, ready to append after them. False when they cannot be read or are refused.
  bool replayKept(std::uint64_t kept, char* buffer, std::uint32_t capacity,
                  const std::function<bool(const char*, std::uint32_t)>& take);
  // Adds bytes of the body as they arrive (after beginFresh or replayKept). False when they cannot
  // be written, or would make a held body larger than kHeldBodyLimit.
  bool append(const char* data, std::uint32_t size);
  // The open body file (after beginFresh or reopenKept) of a body that is not held: a plain body is
  // finished in it and renamed into place.
  platform::File& body() { return body_; }
  // Whether the bytes may be continued later: the server gave a validator for them, or the result is
  // pinned.
  bool keepable() const { return !tag_.validator.empty() || pinned_; }
  // Whether the request pins its result (Identity::pinned).
  bool pinned() const { return pinned_; }

  // Closes the body and removes both files (forgets the held bytes).
  void discard();
  // Closes the body, keeping both files (or the held bytes) when the bytes may be continued later,
  // else removing them.
  void keepOrDiscard();

 private:
  // The tag in an open tag file; nullopt when it is not a tag of this form.
  static std::optional<Tag> parseTag(platform::File& file);
  // Writes the tag for tag_ when the bytes may be kept, else removes any. False when writing fails.
  bool writeTag();

  std::string bodyPath_;
  std::string tagPath_;
  bool pinned_ = false;
  Tag tag_;
  platform::File body_;
  // A held body: its bytes, and whether the files were looked for (and were not there).
  bool held_ = false;
  bool filesChecked_ = false;
  std::string heldBytes_;
};

}  // namespace korvel
