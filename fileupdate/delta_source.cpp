// Fetching the delta data of a file: from the background stager's copy or from the patch server, then
// checked against its expected size.
#include "fileupdate/delta_source.h"

#include "launcher/file_utils.h"
#include "launcher/text_format.h"
#include "manifest/distribution_node.h"
#include "manifest/product_record.h"
#include "platform/file.h"
#include "platform/files.h"
#include "session/patcher.h"
#include "session/result_codes.h"
#include "staging/trickle_downloader.h"

namespace korvel {

namespace {

constexpr std::size_t kDeltaPathCapacity = 256;
constexpr std::size_t kLineCapacity = 256;

TrickleDownloader* productStager(Patcher* patcher) {
  ProductHandle* top = patcher ? patcher->topProduct() : nullptr;
  DistributionNode* root = top ? top->record().rootDistribution() : nullptr;
  return root ? root->stager() : nullptr;
}

}  // namespace

int DeltaSource::fetch(Patcher* patcher, TextArgument basePath) {
  if (!deltaName) return -1;
  // The data lies next to the file it patches, under the same name the combine reads it from.
  std::string local = *deltaName;
  if (!platform::isAbsolutePath(*deltaName) && basePath.hasText()) local = basePath.str() + "\\" + *deltaName;
  local = cutToCapacity(local, kDeltaPathCapacity);
  localFile = local;
  createParentDirectories(local);

  TrickleDownloader* stager = productStager(patcher);
  const bool staged = stager && stager->getStagedFile(basePath, local, sourceCrc, static_cast<std::int32_t>(totalSize),
                                                      0, true);
  if (!staged) {
    if (!patcher) return result::kComponentInvalid;
    const int code = patcher->downloadToFile(server.c_str(), port, remotePath.c_str(), local.c_str(), compressed ? 1 : 0,
                                             static_cast<int>(downloadSize), static_cast<int>(totalSize), true, true);
    if (code != result::kOk) return code;
  }

  platform::File data = platform::File::open(local, "rb");
  if (!data) return result::kComponentInvalid;
  const std::int64_t size = data.size();
  data.close();
  if (totalSize == 0 || size == static_cast<std::int64_t>(totalSize)) return result::kOk;
  if (patcher)
    patcher->log(boundedFormat(kLineCapacity,
                               "Component filesize verification failed.  Local size %d vs. server size %d\n",
                               static_cast<int>(size), static_cast<int>(totalSize)));
  platform::deleteFile(local);
  return result::kComponentInvalid;
}

}  // namespace korvel
