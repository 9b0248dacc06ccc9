// Builds a patch tree from a folder holding one version of the game: every file stored gzip-compressed
// where the manifest's composed remote path points, delta data from earlier versions next to it, and
// the gzip-compressed manifest, signed when a key is given. A product whose manifest would be too large
// for the updater (or when asked) goes into an external document beside the manifest, published and
// signed the same way, which the manifest names. That document's name carries a digest of its text:
// a manifest never meets the contents of another release through a cache or a publication in progress.
// The output depends only on the input files (names, contents, modification times), the options (an
// expiry among them) and the key, and on the Version of the release already published when asked to
// climb from it; never on the time or the machine of the build.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace korvel::publish {

struct BuildOptions {
  std::filesystem::path gameFolder;
  std::filesystem::path outputFolder;
  // Where the manifest goes under the output folder ('/' or '\' separated).
  std::string manifestPath = "patch/wendrel/wendrelonly.xml.gz";
  std::string productName = "Wendrel";
  int productVersion = 1;
  // The product version is one more than the Product Version of the manifest already at the manifest
  // path (1 when there is none) instead of productVersion: releases signed one after the other must
  // climb, as updaters refuse a signed release older than the one installed. A published manifest whose
  // Version cannot be read refuses the build.
  bool climbVersion = false;
  std::string distributionName = "Wendrel Distribution";
  // Folder under the output folder that receives the files ('/' or '\' separated; may be empty).
  std::string remoteRoot = "patch/wendrel/files";
  // Earlier versions of the game: changed files get delta data from each.
  std::vector<std::filesystem::path> previousFolders;
  unsigned threads = 0;  // 0: one per core
  int compressionLevel = 6;
  // Block index budget of each delta encoder (one runs per thread).
  std::uint64_t deltaIndexBytes = 64ull << 20;
  // Largest manifest (XML bytes) the updater can read: it fetches it into a 5,000,000-byte buffer with
  // room for a terminating zero. A larger one is laid out without indentation, and refused when even
  // that does not fit.
  std::uint64_t manifestLimit = 4999999;
  // The product's contents go into an external document beside the manifest, which then only names
  // it; done whatever this says when the manifest would be larger than manifestLimit.
  bool externalContents = false;
  // Largest external document (XML bytes) the updater takes together with a signature: a signed
  // document that does not fit its memory request comes through a file of at most 64 MiB. Unsigned,
  // such a document has no limit.
  std::uint64_t signedContentsLimit = 64ull << 20;
  // An unencrypted minisign secret key: the manifest is published with its detached signature
  // "<manifest>.minisig". Empty: unsigned (a signature left by an earlier build is removed).
  std::filesystem::path signingKey;
  // With a key: the signatures' trusted comments say the release may be used until this time (seconds
  // since 1970-01-01 UTC); updaters refuse it afterwards.
  std::optional<std::int64_t> expiresAt;
};

struct BuildReport {
  bool ok = false;
  std::vector<std::string> errors;    // complete messages; the build wrote nothing final when any
  std::vector<std::string> warnings;  // the tree was written, these deserve a look
  std::uint64_t files = 0;
  std::uint64_t folders = 0;
  std::uint64_t rawBytes = 0;
  std::uint64_t compressedBytes = 0;
  std::uint64_t deltas = 0;
  std::uint64_t deltaBytes = 0;          // compressed, as downloaded
  std::uint64_t deltasNotSmaller = 0;    // encoded but dropped: not smaller than the full file
  std::uint64_t manifestBytes = 0;       // uncompressed XML
  std::filesystem::path manifestFile;
  int productVersion = 0;                // the Version the manifest carries
  std::optional<int> publishedVersion;   // with climbVersion: the Version climbed from, if any
  std::filesystem::path signatureFile;   // empty when the build was not signed
  // The external document of the product's contents; empty when the manifest holds them itself.
  std::filesystem::path contentsFile;
  std::uint64_t contentsBytes = 0;       // uncompressed XML
  std::filesystem::path contentsSignatureFile;
};

class PatchTreeBuilder {
 public:
  // An external document of at most this many bytes of XML fits the updater's memory request (1,000,000
  // bytes with a terminating zero) and is laid out one element per line; a larger one comes through a
  // temporary file and is written without indentation.
  static constexpr std::uint64_t kContentsMemoryLimit = 999999;
  // Longest server-side path written, leaving room in the updater's 511-character URL for
  // "http://", a host of up to 64 characters and ":65535/".
  static constexpr std::size_t kMaxRemotePath = 430;

  explicit PatchTreeBuilder(BuildOptions options);

  // Runs the whole build; blocks, using options.threads threads. Problems with the input are all
  // collected before anything is written; the manifest is written last, so a failed build never
  // leaves a manifest pointing at missing or half-written files.
  BuildReport build();

 private:
  BuildOptions options_;
};

}  // namespace korvel::publish
