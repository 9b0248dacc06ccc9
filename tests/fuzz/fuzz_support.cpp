// The fuzz targets' scratch folder, file helpers and offline session.
#include "tests/fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

#include <libxml/parser.h>

#include "common/result_codes.h"
#include "fileupdate/file_node.h"
#include "platform/file.h"
#include "platform/files.h"
#include "staging/trickle_downloader.h"

namespace korvel::fuzz {

namespace {

// The folder as the platform layer names it, and as std::filesystem does.
std::string& folder() {
  static std::string path;
  return path;
}
std::filesystem::path& nativeFolder() {
  static std::filesystem::path path;
  return path;
}

void ignoreXmlError(void*, const char*, ...) {}

void removeScratchFolder() {
  std::error_code error;
  std::filesystem::remove_all(nativeFolder(), error);
}

}  // namespace

const std::string& makeScratchFolder(const char* target) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("korvel-" + std::string(target) + "-" + std::to_string(std::random_device()()));
  std::error_code error;
  if (!std::filesystem::create_directory(path, error) || !platform::setCurrentDirectory(path.string())) {
    std::fprintf(stderr, "cannot make the scratch folder %s\n", path.string().c_str());
    std::abort();
  }
  nativeFolder() = path;
  folder() = platform::currentDirectory();
  std::atexit(removeScratchFolder);
  return folder();
}

const std::string& scratchFolder() { return folder(); }

void emptyScratchFolder() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(nativeFolder(), error))
    std::filesystem::remove_all(entry.path(), error);
  platform::setCurrentDirectory(folder());
}

std::size_t scratchEntries() {
  std::size_t entries = 0;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(nativeFolder(), error); !error && it != std::filesystem::directory_iterator();
       it.increment(error))
    ++entries;
  return entries;
}

std::vector<std::string> scratchNames() {
  std::vector<std::string> names;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(nativeFolder(), error); !error && it != std::filesystem::directory_iterator();
       it.increment(error))
    names.push_back(it->path().filename().string());
  return names;
}

bool writeWhole(const std::string& path, const void* data, std::size_t size) {
  platform::File file = platform::File::open(path, "wb");
  return file && file.write(data, size) == size && file.close();
}

std::optional<std::string> readWhole(const std::string& path) {
  platform::File file = platform::File::open(path, "rb");
  if (!file) return std::nullopt;
  std::string bytes;
  char block[4096];
  for (std::size_t got; (got = file.read(block, sizeof block)) > 0;) bytes.append(block, got);
  return bytes;
}

void silenceXmlErrors() { xmlSetGenericErrorFunc(nullptr, ignoreXmlError); }

void fail(const char* what) {
  std::fprintf(stderr, "fuzz property failed: %s\n", what);
  std::abort();
}

FuzzSession::FuzzSession()
    : root_(platform::currentDirectory()),
      rates_(std::make_unique<ProgressRates>()),
      patchCache_(std::make_unique<PatchCache>()),
      snapshot_(std::make_unique<DirectorySnapshot>()),
      products_(std::make_unique<ProductList>(this, this, patchCache_.get(), snapshot_.get())) {}

FuzzSession::~FuzzSession() {
  // The tree goes first: its nodes may still reach the session while they are destroyed.
  products_.reset();
}

std::unique_ptr<ManifestNode> FuzzSession::makeFileNode() { return std::make_unique<FileNode>(this); }

std::unique_ptr<Stager> FuzzSession::makeStager(ProductHandle* product, const xmlNode* element) {
  return std::make_unique<TrickleDownloader>(product, element);
}

int FuzzSession::downloadToMemory(char* buffer, int capacity, const RemoteFile&, int) {
  ++memoryDownloads_;
  if (!document_ || !buffer || capacity <= 0) return result::kReadFailed;
  // As a transfer delivers a body: a body that leaves no room for the terminating zero fails.
  if (document_->size() >= static_cast<std::size_t>(capacity)) return result::kReadFailed;
  std::memcpy(buffer, document_->data(), document_->size());
  buffer[document_->size()] = '\0';
  return result::kOk;
}

int FuzzSession::downloadToFile(const FileDownload&, bool, bool) { return result::kReadFailed; }

int FuzzSession::downloadCheckedFile(const FileDownload&) { return result::kReadFailed; }

}  // namespace korvel::fuzz
