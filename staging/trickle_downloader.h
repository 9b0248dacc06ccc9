// The background stager of a distribution that is not live yet: built from a non-live "Distribution"
// element, it stages the coming version while the current one is patched, and later hands staged files
// to the file nodes.
//
// All operations run on the session's worker thread, like the walks that call them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/text_argument.h"
#include "manifest/stager.h"

typedef struct _xmlNode xmlNode;

namespace korvel {

class PatchCache;
class ProductHandle;

class TrickleDownloader : public Stager {
 public:
  // The cache of the files handed to the background transfer of the staged version.
  static constexpr const char* kCurrentCacheName = "CurrPatchCache2.xml";
  // The cache of the files known to have arrived completely.
  static constexpr const char* kTransferCacheName = "XferPatchCache2.xml";
  // Log lines hold at most this many characters.
  static constexpr std::size_t kMessageCapacity = 1024;

  // Reads the element's "Name", "Version", "Server" and "Port", keeps its own copy of the element (the
  // document it came from may be freed before staging runs), creates the two staging caches (entries
  // of files missing on disk are kept) and logs its creation and the server it will use.
  TrickleDownloader(ProductHandle* product, const xmlNode* element);
  // Saves both caches.
  ~TrickleDownloader() override;
  TrickleDownloader(const TrickleDownloader&) = delete;
  TrickleDownloader& operator=(const TrickleDownloader&) = delete;

  // Stages the distribution. With the session's trickle switch off (as it always starts) it only logs
  // that staging is disabled and counts as done. With the switch on it runs once per object; the
  // background transfer service is not available to this build, which is logged, and the operation
  // ends there without counting as done.
  void stageDistribution() override;

  // A staged copy of a file for the download of the live distribution. This build stages nothing, so
  // there is never a copy to hand over: false, nothing on disk changes.
  bool getStagedFile(TextArgument baseDir, TextArgument localPath, std::uint32_t crc, std::int32_t size,
                     std::int32_t timeStamp, bool move) override;

  // Writes a complete line to the session's log and to the debugger output channel.
  void log(const std::string& line) const;

  ProductHandle* product() const { return product_; }
  const std::optional<std::string>& name() const { return name_; }
  const std::optional<std::string>& version() const { return version_; }
  const std::optional<std::string>& server() const { return server_; }
  std::int32_t port() const { return port_; }
  bool done() const { return done_; }
  const xmlNode* element() const { return element_.get(); }
  PatchCache& currentCache() const { return *currentCache_; }
  PatchCache& transferCache() const { return *transferCache_; }

 private:
  struct NodeFree {
    void operator()(xmlNode* node) const;
  };

  ProductHandle* product_;
  std::unique_ptr<PatchCache> currentCache_;
  std::unique_ptr<PatchCache> transferCache_;
  std::unique_ptr<xmlNode, NodeFree> element_;
  bool done_ = false;
  std::optional<std::string> name_;
  std::optional<std::string> server_;
  std::int32_t port_ = 0;
  std::optional<std::string> version_;
};

}  // namespace korvel
