// Fetching the delta data of a file: from the background stager's copy or from the patch server, then
// checked against its expected size.
#include "fileupdate/delta_source.h"

#include "common/file_utils.h"
#include "common/text_format.h"
#include "manifest/distribution_node.h"
#include "manifest/product_record.h"
#include "platform/file.h"
#include "platform/files.h"
#include "manifest/session_services.h"
#include "common/result_codes.h"
#include "manifest/stager.h"

namespace korvel {

namespace {

constexpr std::size_t kDeltaPathCapacity = 256;
constexpr std::size_t kLineCapacity = 256;

}  // namespace

int DeltaSource::fetch(FileNodeServices* services, TextArgument basePath, TextArgument stagingBase) {
  if (!deltaName) return -1;
  // The data lies next to the file it patches, under the same name the combine reads it from.
  std::string local = *deltaName;
  if (!platform::isAbsolutePath(*deltaName) && basePath.hasText()) local = basePath.str() + "\\" + *deltaName;
  local = cutToCapacity(local, kDeltaPathCapacity);
  localFile = local;
  createParentDirectories(local);

  Stager* stager = services ? services->topStager() : nullptr;
  // Staged delta data is found by the CRC of the old file; its own bytes are checked by size and
  // SHA-256 as it is taken, and what it makes of the old file like any delta result.
  const bool staged = stager && stager->getStagedFile(stagingBase, local, sourceCrc, totalSize,
                                                      0, true, StagedCopyCheck{sha256, fileName});
  if (!staged) {
    if (!services) return result::kComponentInvalid;
    // Data with a digest is checked while it is written, and kept only when it is that data.
    FileDownload file;
    file.remote = remote;
    file.localFile = local;
    file.decompress = compressed ? 1 : 0;
    file.downloadSize = downloadSize;
    file.totalSize = totalSize;
    file.sha256 = sha256;
    const int code = sha256 ? services->downloadCheckedFile(file) : services->downloadToFile(file, true, true);
    if (code != result::kOk) return code;
  }

  platform::File data = platform::File::open(local, "rb");
  if (!data) return result::kComponentInvalid;
  const std::int64_t size = data.size();
  data.close();
  if (totalSize == 0 || size == totalSize) return result::kOk;
  if (services)
    services->log(boundedFormat(kLineCapacity,
                               "Component filesize verification failed.  Local size %lld vs. server size %lld\n",
                               static_cast<long long>(size), static_cast<long long>(totalSize)));
  platform::deleteFile(local);
  return result::kComponentInvalid;
}

}  // namespace korvel
