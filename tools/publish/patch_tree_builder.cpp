// Builds a patch tree: compressed files, delta data and the manifest.
#include "tools/publish/patch_tree_builder.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <set>

#include <zlib.h>

#include "tools/publish/delta_encoder.h"
#include "tools/publish/game_tree.h"
#include "tools/publish/gzip_file_writer.h"
#include "tools/publish/gzip_stream_buffer.h"
#include "tools/publish/manifest_writer.h"
#include "tools/publish/release_signing.h"
#include "tools/publish/name_rules.h"
#include "tools/publish/time_stamp_text.h"
#include "tools/publish/work_pool.h"
#include "trust/sha256.h"

namespace korvel::publish {

namespace {

namespace fs = std::filesystem;

constexpr const char* kStagingFolder = ".korvel-publish-staging";
constexpr std::size_t kReadChunk = 1 << 20;
// The updater reads delta data whole into memory, and the format's own numbers are signed 32-bit:
// larger delta data is not published (the file is then downloaded whole).
constexpr std::uint64_t kMaxDeltaData = DeltaEncoder::kMaxFileSize;

// One file of the new version.
struct FileJob {
  const GameEntry* entry = nullptr;
  ManifestItem* item = nullptr;
  fs::path relative;     // below the game folder, native separators
  fs::path destination;  // final place in the output folder
  fs::path staged;       // where the job writes first
  std::uint32_t crc = 0;
  std::string sha256;
  std::uint64_t compressed = 0;
  std::string error;
};

// The same file in one earlier version.
struct OldFile {
  fs::path path;
  bool present = false;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  std::string error;
};

struct DeltaJob {
  std::size_t file = 0;
  std::size_t previous = 0;
  fs::path staged;
  std::uint64_t raw = 0;
  std::uint64_t compressed = 0;
  std::string sha256;
  std::string error;
};

std::vector<std::string> splitPath(const std::string& text) {
  std::vector<std::string> segments;
  std::string current;
  for (char c : text) {
    if (c == '/' || c == '\\') {
      if (!current.empty()) segments.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) segments.push_back(current);
  return segments;
}

std::string hex8(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

// Names of the staged outputs: 'f' and the file's number, or 'd' and the file's and version's numbers.
std::string stagedName(char kind, std::size_t file, std::size_t version) {
  char name[64];
  if (kind == 'f') {
    std::snprintf(name, sizeof name, "f%zu.gz", file);
  } else {
    std::snprintf(name, sizeof name, "%c%zu_%zu.gz", kind, file, version);
  }
  return name;
}

std::string deltaFileName(const std::string& name, std::uint32_t oldCrc) { return name + "_" + hex8(oldCrc) + ".delta"; }

bool isInside(const fs::path& inner, const fs::path& outer) {
  auto i = inner.begin();
  for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
    if (o->empty()) continue;
    if (i == inner.end() || *i != *o) return false;
  }
  return true;
}

fs::path canonicalOrSelf(const fs::path& path) {
  std::error_code ec;
  fs::path result = fs::weakly_canonical(path, ec);
  return ec ? path.lexically_normal() : result;
}

bool crcOfFile(const fs::path& path, std::uint64_t expectedSize, std::uint32_t& crc, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path.string() + ": cannot be read";
    return false;
  }
  std::vector<char> buffer(kReadChunk);
  crc = static_cast<std::uint32_t>(crc32(0L, Z_NULL, 0));
  std::uint64_t total = 0;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    std::size_t got = static_cast<std::size_t>(in.gcount());
    crc = static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(got)));
    total += got;
  }
  if (in.bad() || total != expectedSize) {
    error = path.string() + ": cannot be read (did it change while being read?)";
    return false;
  }
  return true;
}

void compressFile(FileJob& job, int level) {
  std::ifstream in(job.entry->source, std::ios::binary);
  if (!in) {
    job.error = job.entry->source.string() + ": cannot be read";
    return;
  }
  GzipFileWriter writer(level);
  if (!writer.open(job.staged)) {
    job.error = writer.error();
    return;
  }
  std::vector<char> buffer(kReadChunk);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    std::size_t got = static_cast<std::size_t>(in.gcount());
    if (got > 0 && !writer.write(buffer.data(), got)) {
      job.error = writer.error();
      return;
    }
  }
  if (in.bad() || writer.rawSize() != job.entry->size) {
    job.error = job.entry->source.string() + ": cannot be read (did it change while being read?)";
    return;
  }
  if (!writer.finish()) {
    job.error = writer.error();
    return;
  }
  job.crc = writer.crc();
  job.sha256 = writer.sha256();
  job.compressed = writer.compressedSize();
}

void encodeDelta(DeltaJob& job, const FileJob& file, const OldFile& old, const DeltaEncoder& encoder, int level) {
  GzipFileWriter writer(level);
  if (!writer.open(job.staged)) {
    job.error = writer.error();
    return;
  }
  DeltaResult result;
  {
    GzipStreamBuffer buffer(writer);
    std::ostream out(&buffer);
    result = encoder.encode(old.path, file.entry->source, out);
    out.flush();
  }
  if (result.declined) {
    // Only sizes that fit were planned: one of the files changed since it was measured.
    job.error = "delta from " + old.path.string() + ": " + file.entry->source.string() +
                " or the earlier version changed while being read";
    return;
  }
  if (!result.ok) {
    job.error = "delta from " + old.path.string() + ": " + result.error;
    return;
  }
  if (!writer.finish()) {
    job.error = writer.error();
    return;
  }
  job.raw = result.stats.deltaBytes;
  job.compressed = writer.compressedSize();
  job.sha256 = writer.sha256();
}

// Mirrors the game tree as manifest items and lists its files in document order.
void planItems(const GameEntry& folder, std::vector<ManifestItem>& items) {
  items.reserve(folder.children.size());
  for (const auto& entry : folder.children) {
    ManifestItem item;
    item.name = entry.name;
    item.directory = entry.directory;
    items.push_back(std::move(item));
  }
  for (std::size_t i = 0; i < folder.children.size(); ++i) {
    if (folder.children[i].directory) planItems(folder.children[i], items[i].children);
  }
}

// Output paths taken by the tree: folded, '/' separated, relative to the output folder.
struct OutputNames {
  std::set<std::string> files;
  std::set<std::string> folders;
};

// Walks the game tree and its manifest items together, collecting the files with their places on the
// server and checking the length of every server-side path.
struct FileCollector {
  std::vector<FileJob>& files;
  OutputNames& outputs;
  std::vector<std::string>& errors;
  bool withDeltas;

  void walk(const GameEntry& folder, std::vector<ManifestItem>& items, const fs::path& relative,
            const fs::path& destination, const std::string& remote, const std::string& key) {
    for (std::size_t i = 0; i < folder.children.size(); ++i) {
      const GameEntry& entry = folder.children[i];
      std::string entryRemote = (remote.empty() ? "" : remote + "\\") + encodeUrlSegment(entry.name);
      std::string entryKey = key + foldCase(entry.name);
      // Delta data is named "<name>_xxxxxxxx.delta": fifteen characters more.
      std::size_t longest = entryRemote.size() + (withDeltas && !entry.directory ? 15 : 0);
      if (longest > PatchTreeBuilder::kMaxRemotePath) {
        errors.push_back(entry.source.string() + ": the server-side path would be longer than " +
                         std::to_string(PatchTreeBuilder::kMaxRemotePath) + " characters");
      }
      if (entry.directory) {
        outputs.folders.insert(entryKey);
        walk(entry, items[i].children, relative / entry.name, destination / entry.name, entryRemote, entryKey + "/");
      } else {
        outputs.files.insert(entryKey);
        FileJob job;
        job.entry = &entry;
        job.item = &items[i];
        job.relative = relative / entry.name;
        job.destination = destination / entry.name;
        files.push_back(std::move(job));
      }
    }
  }
};

// The newest modification time in the tree: the time stamp of the release's signature, so that the
// same input signs the same way.
std::int64_t newestModification(const GameEntry& folder) {
  std::int64_t newest = 0;
  for (const auto& entry : folder.children)
    newest = std::max(newest, entry.directory ? newestModification(entry) : entry.modified);
  return newest;
}

std::uint64_t countFolders(const GameEntry& folder) {
  std::uint64_t count = 0;
  for (const auto& entry : folder.children) {
    if (entry.directory) count += 1 + countFolders(entry);
  }
  return count;
}

// The name of a product's external document beside the manifest `manifestName`: the manifest's name
// without ".gz" and ".xml", "-contents-", the first 16 hexadecimal digits of the SHA-256 of the text,
// and ".xml.gz".
std::string contentsName(const std::string& manifestName, const std::string& text) {
  std::string stem = manifestName;
  for (const char* suffix : {".gz", ".xml"}) {
    const std::size_t length = std::char_traits<char>::length(suffix);
    if (stem.size() > length && foldCase(stem.substr(stem.size() - length)) == suffix) stem.resize(stem.size() - length);
  }
  return stem + "-contents-" + trust::Sha256::hexOf(text.data(), text.size()).substr(0, 16) + ".xml.gz";
}

// Stages a document the updater fetches (the manifest, an external document) gzip-compressed, with
// its detached signature when there is a key, and queues both moves: the signature just before the
// document it belongs to. Without a key, a signature an earlier build left at the final place is
// removed. False with `errors` extended when a file cannot be written.
bool publishDocument(const std::string& text, const fs::path& staged, const fs::path& final,
                     const std::string& publishedName, const std::optional<trust::MinisignSecretKey>& key,
                     std::int64_t signatureTime, std::optional<std::int64_t> expiresAt,
                     std::vector<std::pair<fs::path, fs::path>>& moves, BuildReport& report,
                     std::vector<std::string>& errors) {
  {
    GzipFileWriter writer(9);
    if (!writer.open(staged) || !writer.write(text.data(), text.size()) || !writer.finish()) {
      errors.push_back(writer.error());
      return false;
    }
  }
  const fs::path signatureFile = final.string() + ".minisig";
  std::error_code ec;
  if (key) {
    const fs::path stagedSignature = staged.string() + ".minisig";
    std::string problem;
    if (!writeSignatureFile(*key, staged, stagedSignature, publishedName, signatureTime, expiresAt, problem)) {
      errors.push_back(problem);
      return false;
    }
    moves.emplace_back(stagedSignature, signatureFile);
  } else if (fs::exists(signatureFile, ec)) {
    // A signature of an earlier document would only make this one look forged.
    fs::remove(signatureFile, ec);
    report.warnings.push_back(signatureFile.string() + ": the signature of an earlier build was removed");
  }
  moves.emplace_back(staged, final);
  return true;
}

// One build, as its passes in order. Each pass appends what it finds wrong to the report's errors and
// answers false when the build stops there; from the staging folder's creation on, a build that stops
// (or ends) removes that folder with whatever it holds.
class BuildRun {
 public:
  BuildRun(const BuildOptions& options, BuildReport& report)
      : options_(options),
        report_(report),
        errors_(report.errors),
        pool_(options.threads ? options.threads : WorkPool::defaultThreads()) {}
  ~BuildRun() {
    if (stagingOpen_) fs::remove_all(staging_, ec_);
  }
  BuildRun(const BuildRun&) = delete;
  BuildRun& operator=(const BuildRun&) = delete;

  // The options, the folders, the signing key and the version, all checked before any input is read.
  bool checkOptions();
  // The game files read and checked, with their places on the server; nothing may collide with the
  // manifest or the staging folder.
  bool readGame();
  // The staging folder, where every job writes first: nothing reaches its final place before all
  // succeeded.
  bool openStaging();
  // Pass 1: every file compressed and the CRC of every earlier version of it taken; largest first.
  bool compressFiles();
  // Pass 2: delta data for every file that changed, once per distinct earlier content.
  bool encodeDeltas();
  // The manifest's entries: sizes, checksums, times, and the delta data smaller than the whole file.
  void describeFiles();
  // The manifest, and the external document of the contents when the manifest would not hold them,
  // each staged (with its signature) and checked before anything is moved into place.
  bool publishDocuments();
  // Everything staged moved to its final place, the manifest last.
  bool moveIntoPlace();
  // The report's account of what was published.
  void finish();

 private:
  // Stages the external document of the contents; the manifest then only names it.
  bool publishContents(const ManifestSettings& settings, std::string& manifest, std::int64_t signatureTime);

  const BuildOptions& options_;
  BuildReport& report_;
  std::vector<std::string>& errors_;
  std::error_code ec_;
  std::vector<std::string> manifestSegments_;
  std::vector<std::string> rootSegments_;
  std::optional<trust::MinisignSecretKey> signingKey_;
  int productVersion_ = 0;
  GameEntry tree_;
  std::vector<ManifestItem> items_;
  std::vector<FileJob> files_;
  OutputNames outputs_;
  fs::path staging_;
  bool stagingOpen_ = false;
  std::size_t previousCount_ = 0;
  std::vector<OldFile> oldFiles_;
  std::vector<DeltaJob> deltas_;
  WorkPool pool_;
  std::vector<std::pair<fs::path, fs::path>> moves_;  // staged -> final
  fs::path manifestFile_;
};

bool BuildRun::checkOptions() {
  if (options_.compressionLevel < 1 || options_.compressionLevel > 9) errors_.push_back("compression level must be 1 to 9");
  if (options_.productName.empty()) errors_.push_back("the product name must not be empty");
  if (options_.distributionName.empty()) errors_.push_back("the distribution name must not be empty");
  manifestSegments_ = splitPath(options_.manifestPath);
  rootSegments_ = splitPath(options_.remoteRoot);
  if (manifestSegments_.empty()) errors_.push_back("the manifest path must name a file");
  for (const auto& segment : manifestSegments_) {
    if (auto why = nameProblem(segment)) errors_.push_back("manifest path \"" + options_.manifestPath + "\": " + *why);
  }
  for (const auto& segment : rootSegments_) {
    if (auto why = nameProblem(segment)) errors_.push_back("remote root \"" + options_.remoteRoot + "\": " + *why);
  }
  if (!fs::is_directory(options_.gameFolder, ec_)) errors_.push_back(options_.gameFolder.string() + ": not a folder");
  for (const auto& previous : options_.previousFolders) {
    if (!fs::is_directory(previous, ec_)) errors_.push_back(previous.string() + ": previous version is not a folder");
  }
  const fs::path game = canonicalOrSelf(options_.gameFolder);
  const fs::path output = canonicalOrSelf(options_.outputFolder);
  if (isInside(output, game) || isInside(game, output)) {
    errors_.push_back("the output folder and the game folder must not contain each other");
  }
  if (!options_.signingKey.empty()) {
    std::string problem;
    signingKey_ = loadSecretKey(options_.signingKey, problem);
    if (!signingKey_) errors_.push_back(problem);
  }
  productVersion_ = options_.productVersion;
  if (options_.climbVersion && !manifestSegments_.empty()) {
    fs::path published = options_.outputFolder;
    for (const auto& segment : manifestSegments_) published /= segment;
    std::string problem;
    report_.publishedVersion = publishedVersion(published, problem);
    if (!problem.empty()) {
      errors_.push_back(problem + "; give the version with --version");
    } else if (report_.publishedVersion && *report_.publishedVersion == INT32_MAX) {
      errors_.push_back(published.string() + ": the release published there has the highest Version possible");
    } else {
      productVersion_ = report_.publishedVersion ? *report_.publishedVersion + 1 : 1;
    }
  }
  return errors_.empty();
}

bool BuildRun::readGame() {
  const bool withDeltas = !options_.previousFolders.empty();
  tree_ = GameTree::scan(options_.gameFolder, withDeltas, errors_);
  planItems(tree_, items_);
  {
    fs::path rootOutput = options_.outputFolder;
    std::string rootKey;
    for (const auto& segment : rootSegments_) {
      rootOutput /= segment;
      rootKey += foldCase(segment) + "/";
      outputs_.folders.insert(rootKey.substr(0, rootKey.size() - 1));
    }
    FileCollector collector{files_, outputs_, errors_, withDeltas};
    collector.walk(tree_, items_, fs::path(), rootOutput, ManifestWriter::remoteRootPath(rootSegments_), rootKey);
  }

  std::string manifestKey;
  for (std::size_t i = 0; i < manifestSegments_.size(); ++i) {
    if (i > 0) manifestKey += "/";
    manifestKey += foldCase(manifestSegments_[i]);
    bool last = i + 1 == manifestSegments_.size();
    if (outputs_.files.count(manifestKey) || (last && outputs_.folders.count(manifestKey))) {
      errors_.push_back("the manifest path \"" + options_.manifestPath + "\" collides with a game file or folder");
      break;
    }
  }
  if (!manifestSegments_.empty() && foldCase(manifestSegments_.front()) == kStagingFolder) {
    errors_.push_back(std::string("the manifest path must not start with ") + kStagingFolder);
  }
  if (outputs_.files.count(kStagingFolder) || outputs_.folders.count(kStagingFolder)) {
    errors_.push_back(std::string("a game file or folder is named ") + kStagingFolder);
  }
  return errors_.empty();
}

bool BuildRun::openStaging() {
  staging_ = options_.outputFolder / kStagingFolder;
  fs::remove_all(staging_, ec_);
  fs::create_directories(staging_, ec_);
  if (ec_) {
    errors_.push_back(staging_.string() + ": cannot create: " + ec_.message());
    return false;
  }
  stagingOpen_ = true;

  previousCount_ = options_.previousFolders.size();
  oldFiles_.resize(files_.size() * previousCount_);
  for (std::size_t f = 0; f < files_.size(); ++f) {
    files_[f].staged = staging_ / stagedName('f', f, 0);
    for (std::size_t p = 0; p < previousCount_; ++p) {
      oldFiles_[f * previousCount_ + p].path = options_.previousFolders[p] / files_[f].relative;
    }
  }
  return true;
}

bool BuildRun::compressFiles() {
  std::vector<std::size_t> order(files_.size() + oldFiles_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  auto weight = [&](std::size_t i) { return i < files_.size() ? files_[i].entry->size : 0; };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return weight(a) > weight(b); });
  pool_.run(order, [&](std::size_t i) {
    if (i < files_.size()) {
      compressFile(files_[i], options_.compressionLevel);
      return;
    }
    OldFile& old = oldFiles_[i - files_.size()];
    std::error_code statusError;
    if (!fs::is_regular_file(old.path, statusError)) return;
    old.size = fs::file_size(old.path, statusError);
    if (statusError) {
      old.error = old.path.string() + ": cannot be read: " + statusError.message();
      return;
    }
    old.present = true;
    // Only delta data needs the old CRC: none is made beyond the sizes its format describes.
    if (!DeltaEncoder::fits(old.size, files_[(i - files_.size()) / previousCount_].entry->size)) return;
    crcOfFile(old.path, old.size, old.crc, old.error);
  });
  for (const auto& file : files_) {
    if (!file.error.empty()) errors_.push_back(file.error);
  }
  for (const auto& old : oldFiles_) {
    if (!old.error.empty()) errors_.push_back(old.error);
  }
  return errors_.empty();
}

bool BuildRun::encodeDeltas() {
  for (std::size_t f = 0; f < files_.size(); ++f) {
    std::set<std::uint32_t> seen;
    for (std::size_t p = 0; p < previousCount_; ++p) {
      const OldFile& old = oldFiles_[f * previousCount_ + p];
      // A CRC of 0 means "unknown" to the updater, which never picks delta data for it.
      if (!old.present || old.crc == 0 || old.crc == files_[f].crc || !seen.insert(old.crc).second) continue;
      if (!DeltaEncoder::fits(old.size, files_[f].entry->size)) continue;
      DeltaJob job;
      job.file = f;
      job.previous = p;
      job.staged = staging_ / stagedName('d', f, p);
      deltas_.push_back(std::move(job));
    }
  }
  {
    DeltaOptions deltaOptions;
    deltaOptions.indexBudgetBytes = options_.deltaIndexBytes;
    const DeltaEncoder encoder(deltaOptions);
    std::vector<std::size_t> order(deltas_.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return files_[deltas_[a].file].entry->size > files_[deltas_[b].file].entry->size;
    });
    pool_.run(order, [&](std::size_t i) {
      DeltaJob& job = deltas_[i];
      encodeDelta(job, files_[job.file], oldFiles_[job.file * previousCount_ + job.previous], encoder,
                  options_.compressionLevel);
    });
  }
  for (const auto& job : deltas_) {
    if (!job.error.empty()) errors_.push_back(job.error);
  }
  return errors_.empty();
}

void BuildRun::describeFiles() {
  for (auto& file : files_) {
    ManifestItem& item = *file.item;
    item.totalSize = file.entry->size;
    item.downloadSize = file.compressed;
    item.crc = file.crc;
    item.sha256 = file.sha256;
    item.timeStamp = timeStampText(file.entry->modified);
    if (!item.timeStamp) {
      report_.warnings.push_back(file.entry->source.string() +
                                 ": modification time outside 1970-2038, published without a time stamp");
    }
    moves_.emplace_back(file.staged, file.destination);
    report_.rawBytes += file.entry->size;
    report_.compressedBytes += file.compressed;
  }
  for (auto& job : deltas_) {
    const FileJob& file = files_[job.file];
    if (job.compressed >= file.compressed || job.raw > kMaxDeltaData) {
      ++report_.deltasNotSmaller;
      continue;
    }
    const OldFile& old = oldFiles_[job.file * previousCount_ + job.previous];
    ManifestDelta delta;
    delta.fileName = deltaFileName(file.entry->name, old.crc);
    delta.oldCrc = old.crc;
    delta.downloadSize = job.compressed;
    delta.totalSize = job.raw;
    delta.sha256 = job.sha256;
    file.item->deltas.push_back(delta);
    moves_.emplace_back(job.staged, file.destination.parent_path() / delta.fileName);
    ++report_.deltas;
    report_.deltaBytes += job.compressed;
  }
}

bool BuildRun::publishDocuments() {
  ManifestSettings settings;
  settings.productName = options_.productName;
  settings.productVersion = productVersion_;
  settings.distributionName = options_.distributionName;
  settings.remoteRoot = rootSegments_;
  std::string manifest;
  if (!options_.externalContents) {
    manifest = ManifestWriter::render(settings, items_, true);
    if (manifest.size() > options_.manifestLimit) manifest = ManifestWriter::render(settings, items_, false);
  }
  const bool external = options_.externalContents || manifest.size() > options_.manifestLimit;
  const std::int64_t signatureTime = newestModification(tree_);
  // The external document is staged and signed before the manifest that names it.
  if (external && !publishContents(settings, manifest, signatureTime)) return false;
  if (manifest.size() > options_.manifestLimit) {
    errors_.push_back("the manifest would be " + std::to_string(manifest.size()) +
                      " bytes; the updater reads at most " + std::to_string(options_.manifestLimit));
    return false;
  }
  report_.manifestBytes = manifest.size();
  manifestFile_ = options_.outputFolder;
  for (const auto& segment : manifestSegments_) manifestFile_ /= segment;
  return publishDocument(manifest, staging_ / "manifest.gz", manifestFile_, manifestFile_.filename().string(),
                         signingKey_, signatureTime, options_.expiresAt, moves_, report_, errors_);
}

bool BuildRun::publishContents(const ManifestSettings& settings, std::string& manifest, std::int64_t signatureTime) {
  // A manifest already too large without indentation says the same of the document: it is laid out
  // compact at once.
  std::string contents;
  if (manifest.empty() || manifest.size() <= PatchTreeBuilder::kContentsMemoryLimit)
    contents = ManifestWriter::renderContents(settings, items_, true);
  if (contents.empty() || contents.size() > PatchTreeBuilder::kContentsMemoryLimit)
    contents = ManifestWriter::renderContents(settings, items_, false);
  if (signingKey_ && contents.size() > options_.signedContentsLimit) {
    errors_.push_back("the product's external document would be " + std::to_string(contents.size()) +
                      " bytes; the updater reads at most " + std::to_string(options_.signedContentsLimit) +
                      " of a signed one");
    return false;
  }
  std::vector<std::string> contentsSegments = manifestSegments_;
  contentsSegments.back() = contentsName(manifestSegments_.back(), contents);
  const std::string contentsRemote = ManifestWriter::remoteRootPath(contentsSegments);
  std::string contentsKey;
  for (const auto& segment : contentsSegments) contentsKey += (contentsKey.empty() ? "" : "/") + foldCase(segment);
  if (outputs_.files.count(contentsKey) || outputs_.folders.count(contentsKey)) {
    errors_.push_back("the external document "" + contentsRemote + "" collides with a game file or folder");
  } else if (contentsRemote.size() > PatchTreeBuilder::kMaxRemotePath) {
    errors_.push_back("the server-side path of the external document "" + contentsRemote + "" would be longer than " +
                      std::to_string(PatchTreeBuilder::kMaxRemotePath) + " characters");
  }
  if (!errors_.empty()) return false;
  manifest = ManifestWriter::renderPointer(settings, contentsRemote, true);
  // Staged only for a manifest that fits (the caller refuses any other).
  if (manifest.size() > options_.manifestLimit) return true;
  fs::path contentsFile = options_.outputFolder;
  for (const auto& segment : contentsSegments) contentsFile /= segment;
  if (!publishDocument(contents, staging_ / "contents.gz", contentsFile, contentsSegments.back(), signingKey_,
                       signatureTime, options_.expiresAt, moves_, report_, errors_))
    return false;
  report_.contentsFile = contentsFile;
  report_.contentsBytes = contents.size();
  if (signingKey_) report_.contentsSignatureFile = contentsFile.string() + ".minisig";
  return true;
}

bool BuildRun::moveIntoPlace() {
  for (const auto& [from, to] : moves_) {
    fs::create_directories(to.parent_path(), ec_);
    fs::rename(from, to, ec_);
    if (ec_) {
      errors_.push_back(to.string() + ": cannot be written: " + ec_.message());
      return false;
    }
  }
  return true;
}

void BuildRun::finish() {
  report_.files = files_.size();
  report_.folders = countFolders(tree_);
  report_.manifestFile = manifestFile_;
  report_.productVersion = productVersion_;
  if (signingKey_) report_.signatureFile = manifestFile_.string() + ".minisig";
  report_.ok = true;
}

}  // namespace

PatchTreeBuilder::PatchTreeBuilder(BuildOptions options) : options_(std::move(options)) {}

BuildReport PatchTreeBuilder::build() {
  BuildReport report;
  {
    BuildRun run(options_, report);
    if (!run.checkOptions() || !run.readGame() || !run.openStaging() || !run.compressFiles() || !run.encodeDeltas())
      return report;
    run.describeFiles();
    if (!run.publishDocuments() || !run.moveIntoPlace()) return report;
    run.finish();
  }
  return report;
}

}  // namespace korvel::publish
