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

}  // namespace

PatchTreeBuilder::PatchTreeBuilder(BuildOptions options) : options_(std::move(options)) {}

BuildReport PatchTreeBuilder::build() {
  BuildReport report;
  auto& errors = report.errors;
  std::error_code ec;

  // Options.
  if (options_.compressionLevel < 1 || options_.compressionLevel > 9) errors.push_back("compression level must be 1 to 9");
  if (options_.productName.empty()) errors.push_back("the product name must not be empty");
  if (options_.distributionName.empty()) errors.push_back("the distribution name must not be empty");
  const std::vector<std::string> manifestSegments = splitPath(options_.manifestPath);
  const std::vector<std::string> rootSegments = splitPath(options_.remoteRoot);
  if (manifestSegments.empty()) errors.push_back("the manifest path must name a file");
  for (const auto& segment : manifestSegments) {
    if (auto why = nameProblem(segment)) errors.push_back("manifest path \"" + options_.manifestPath + "\": " + *why);
  }
  for (const auto& segment : rootSegments) {
    if (auto why = nameProblem(segment)) errors.push_back("remote root \"" + options_.remoteRoot + "\": " + *why);
  }
  if (!fs::is_directory(options_.gameFolder, ec)) errors.push_back(options_.gameFolder.string() + ": not a folder");
  for (const auto& previous : options_.previousFolders) {
    if (!fs::is_directory(previous, ec)) errors.push_back(previous.string() + ": previous version is not a folder");
  }
  const fs::path game = canonicalOrSelf(options_.gameFolder);
  const fs::path output = canonicalOrSelf(options_.outputFolder);
  if (isInside(output, game) || isInside(game, output)) {
    errors.push_back("the output folder and the game folder must not contain each other");
  }
  std::optional<trust::MinisignSecretKey> signingKey;
  if (!options_.signingKey.empty()) {
    std::string problem;
    signingKey = loadSecretKey(options_.signingKey, problem);
    if (!signingKey) errors.push_back(problem);
  }
  int productVersion = options_.productVersion;
  if (options_.climbVersion && !manifestSegments.empty()) {
    fs::path published = options_.outputFolder;
    for (const auto& segment : manifestSegments) published /= segment;
    std::string problem;
    report.publishedVersion = publishedVersion(published, problem);
    if (!problem.empty()) {
      errors.push_back(problem + "; give the version with --version");
    } else if (report.publishedVersion && *report.publishedVersion == INT32_MAX) {
      errors.push_back(published.string() + ": the release published there has the highest Version possible");
    } else {
      productVersion = report.publishedVersion ? *report.publishedVersion + 1 : 1;
    }
  }
  if (!errors.empty()) return report;

  // The game files.
  const bool withDeltas = !options_.previousFolders.empty();
  GameEntry tree = GameTree::scan(options_.gameFolder, withDeltas, errors);
  std::vector<ManifestItem> items;
  planItems(tree, items);

  std::vector<FileJob> files;
  OutputNames outputs;
  {
    fs::path rootOutput = options_.outputFolder;
    std::string rootKey;
    for (const auto& segment : rootSegments) {
      rootOutput /= segment;
      rootKey += foldCase(segment) + "/";
      outputs.folders.insert(rootKey.substr(0, rootKey.size() - 1));
    }
    FileCollector collector{files, outputs, errors, withDeltas};
    collector.walk(tree, items, fs::path(), rootOutput, ManifestWriter::remoteRootPath(rootSegments), rootKey);
  }

  std::string manifestKey;
  for (std::size_t i = 0; i < manifestSegments.size(); ++i) {
    if (i > 0) manifestKey += "/";
    manifestKey += foldCase(manifestSegments[i]);
    bool last = i + 1 == manifestSegments.size();
    if (outputs.files.count(manifestKey) || (last && outputs.folders.count(manifestKey))) {
      errors.push_back("the manifest path \"" + options_.manifestPath + "\" collides with a game file or folder");
      break;
    }
  }
  if (!manifestSegments.empty() && foldCase(manifestSegments.front()) == kStagingFolder) {
    errors.push_back(std::string("the manifest path must not start with ") + kStagingFolder);
  }
  if (outputs.files.count(kStagingFolder) || outputs.folders.count(kStagingFolder)) {
    errors.push_back(std::string("a game file or folder is named ") + kStagingFolder);
  }
  if (!errors.empty()) return report;

  // Staging: every job writes there first; nothing reaches its final place before all succeeded.
  const fs::path staging = options_.outputFolder / kStagingFolder;
  fs::remove_all(staging, ec);
  fs::create_directories(staging, ec);
  if (ec) {
    errors.push_back(staging.string() + ": cannot create: " + ec.message());
    return report;
  }
  auto cleanup = [&] { fs::remove_all(staging, ec); };

  const std::size_t previousCount = options_.previousFolders.size();
  std::vector<OldFile> oldFiles(files.size() * previousCount);
  for (std::size_t f = 0; f < files.size(); ++f) {
    files[f].staged = staging / stagedName('f', f, 0);
    for (std::size_t p = 0; p < previousCount; ++p) {
      oldFiles[f * previousCount + p].path = options_.previousFolders[p] / files[f].relative;
    }
  }

  WorkPool pool(options_.threads ? options_.threads : WorkPool::defaultThreads());
  const int level = options_.compressionLevel;

  // Pass 1: compress every file and take the CRC of every earlier version of it; largest first.
  {
    std::vector<std::size_t> order(files.size() + oldFiles.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    auto weight = [&](std::size_t i) { return i < files.size() ? files[i].entry->size : 0; };
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return weight(a) > weight(b); });
    pool.run(order, [&](std::size_t i) {
      if (i < files.size()) {
        compressFile(files[i], level);
        return;
      }
      OldFile& old = oldFiles[i - files.size()];
      std::error_code statusError;
      if (!fs::is_regular_file(old.path, statusError)) return;
      old.size = fs::file_size(old.path, statusError);
      if (statusError) {
        old.error = old.path.string() + ": cannot be read: " + statusError.message();
        return;
      }
      old.present = true;
      // Only delta data needs the old CRC: none is made beyond the sizes its format describes.
      if (!DeltaEncoder::fits(old.size, files[(i - files.size()) / previousCount].entry->size)) return;
      crcOfFile(old.path, old.size, old.crc, old.error);
    });
  }
  for (const auto& file : files) {
    if (!file.error.empty()) errors.push_back(file.error);
  }
  for (const auto& old : oldFiles) {
    if (!old.error.empty()) errors.push_back(old.error);
  }
  if (!errors.empty()) {
    cleanup();
    return report;
  }

  // Pass 2: delta data for every file that changed, once per distinct earlier content.
  std::vector<DeltaJob> deltas;
  for (std::size_t f = 0; f < files.size(); ++f) {
    std::set<std::uint32_t> seen;
    for (std::size_t p = 0; p < previousCount; ++p) {
      const OldFile& old = oldFiles[f * previousCount + p];
      // A CRC of 0 means "unknown" to the updater, which never picks delta data for it.
      if (!old.present || old.crc == 0 || old.crc == files[f].crc || !seen.insert(old.crc).second) continue;
      if (!DeltaEncoder::fits(old.size, files[f].entry->size)) continue;
      DeltaJob job;
      job.file = f;
      job.previous = p;
      job.staged = staging / stagedName('d', f, p);
      deltas.push_back(std::move(job));
    }
  }
  {
    DeltaOptions deltaOptions;
    deltaOptions.indexBudgetBytes = options_.deltaIndexBytes;
    const DeltaEncoder encoder(deltaOptions);
    std::vector<std::size_t> order(deltas.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return files[deltas[a].file].entry->size > files[deltas[b].file].entry->size;
    });
    pool.run(order, [&](std::size_t i) {
      DeltaJob& job = deltas[i];
      encodeDelta(job, files[job.file], oldFiles[job.file * previousCount + job.previous], encoder, level);
    });
  }
  for (const auto& job : deltas) {
    if (!job.error.empty()) errors.push_back(job.error);
  }
  if (!errors.empty()) {
    cleanup();
    return report;
  }

  // The manifest, checked before anything is moved into place.
  std::vector<std::pair<fs::path, fs::path>> moves;  // staged -> final
  for (auto& file : files) {
    ManifestItem& item = *file.item;
    item.totalSize = file.entry->size;
    item.downloadSize = file.compressed;
    item.crc = file.crc;
    item.sha256 = file.sha256;
    item.timeStamp = timeStampText(file.entry->modified);
    if (!item.timeStamp) {
      report.warnings.push_back(file.entry->source.string() +
                                ": modification time outside 1970-2038, published without a time stamp");
    }
    moves.emplace_back(file.staged, file.destination);
    report.rawBytes += file.entry->size;
    report.compressedBytes += file.compressed;
  }
  for (auto& job : deltas) {
    const FileJob& file = files[job.file];
    if (job.compressed >= file.compressed || job.raw > kMaxDeltaData) {
      ++report.deltasNotSmaller;
      continue;
    }
    const OldFile& old = oldFiles[job.file * previousCount + job.previous];
    ManifestDelta delta;
    delta.fileName = deltaFileName(file.entry->name, old.crc);
    delta.oldCrc = old.crc;
    delta.downloadSize = job.compressed;
    delta.totalSize = job.raw;
    delta.sha256 = job.sha256;
    file.item->deltas.push_back(delta);
    moves.emplace_back(job.staged, file.destination.parent_path() / delta.fileName);
    ++report.deltas;
    report.deltaBytes += job.compressed;
  }
  ManifestSettings settings;
  settings.productName = options_.productName;
  settings.productVersion = productVersion;
  settings.distributionName = options_.distributionName;
  settings.remoteRoot = rootSegments;
  std::string manifest;
  if (!options_.externalContents) {
    manifest = ManifestWriter::render(settings, items, true);
    if (manifest.size() > options_.manifestLimit) manifest = ManifestWriter::render(settings, items, false);
  }
  const bool external = options_.externalContents || manifest.size() > options_.manifestLimit;
  const std::int64_t signatureTime = newestModification(tree);

  // The external document of the contents, staged and signed before the manifest that names it.
  if (external) {
    // A manifest already too large without indentation says the same of the document: it is laid out
    // compact at once.
    std::string contents;
    if (manifest.empty() || manifest.size() <= kContentsMemoryLimit)
      contents = ManifestWriter::renderContents(settings, items, true);
    if (contents.empty() || contents.size() > kContentsMemoryLimit)
      contents = ManifestWriter::renderContents(settings, items, false);
    if (signingKey && contents.size() > options_.signedContentsLimit) {
      errors.push_back("the product's external document would be " + std::to_string(contents.size()) +
                       " bytes; the updater reads at most " + std::to_string(options_.signedContentsLimit) +
                       " of a signed one");
      cleanup();
      return report;
    }
    std::vector<std::string> contentsSegments = manifestSegments;
    contentsSegments.back() = contentsName(manifestSegments.back(), contents);
    const std::string contentsRemote = ManifestWriter::remoteRootPath(contentsSegments);
    std::string contentsKey;
    for (const auto& segment : contentsSegments) contentsKey += (contentsKey.empty() ? "" : "/") + foldCase(segment);
    if (outputs.files.count(contentsKey) || outputs.folders.count(contentsKey)) {
      errors.push_back("the external document "" + contentsRemote + "" collides with a game file or folder");
    } else if (contentsRemote.size() > kMaxRemotePath) {
      errors.push_back("the server-side path of the external document "" + contentsRemote + "" would be longer than " +
                       std::to_string(kMaxRemotePath) + " characters");
    }
    if (!errors.empty()) {
      cleanup();
      return report;
    }
    manifest = ManifestWriter::renderPointer(settings, contentsRemote, true);
    // Staged only for a manifest that fits (the check below refuses any other).
    if (manifest.size() <= options_.manifestLimit) {
      fs::path contentsFile = options_.outputFolder;
      for (const auto& segment : contentsSegments) contentsFile /= segment;
      if (!publishDocument(contents, staging / "contents.gz", contentsFile, contentsSegments.back(), signingKey,
                           signatureTime, options_.expiresAt, moves, report, errors)) {
        cleanup();
        return report;
      }
      report.contentsFile = contentsFile;
      report.contentsBytes = contents.size();
      if (signingKey) report.contentsSignatureFile = contentsFile.string() + ".minisig";
    }
  }
  if (manifest.size() > options_.manifestLimit) {
    errors.push_back("the manifest would be " + std::to_string(manifest.size()) +
                     " bytes; the updater reads at most " + std::to_string(options_.manifestLimit));
    cleanup();
    return report;
  }
  report.manifestBytes = manifest.size();
  fs::path manifestFile = options_.outputFolder;
  for (const auto& segment : manifestSegments) manifestFile /= segment;
  if (!publishDocument(manifest, staging / "manifest.gz", manifestFile, manifestFile.filename().string(), signingKey,
                       signatureTime, options_.expiresAt, moves, report, errors)) {
    cleanup();
    return report;
  }

  for (const auto& [from, to] : moves) {
    fs::create_directories(to.parent_path(), ec);
    fs::rename(from, to, ec);
    if (ec) {
      errors.push_back(to.string() + ": cannot be written: " + ec.message());
      break;
    }
  }
  cleanup();
  if (!errors.empty()) return report;

  report.files = files.size();
  report.folders = countFolders(tree);
  report.manifestFile = manifestFile;
  report.productVersion = productVersion;
  if (signingKey) report.signatureFile = manifestFile.string() + ".minisig";
  report.ok = true;
  return report;
}

}  // namespace korvel::publish
