// The background stager of a non-live distribution.
#include "staging/trickle_downloader.h"

#include <libxml/tree.h>

#include "common/text_format.h"
#include "manifest/product_record.h"
#include "manifest/xml_attributes.h"
#include "patchcache/patch_cache.h"
#include "platform/environment.h"
#include "session/session_services.h"

namespace korvel {

void TrickleDownloader::NodeFree::operator()(xmlNode* node) const { xmlFreeNode(node); }

TrickleDownloader::TrickleDownloader(ProductHandle* product, const xmlNode* element)
    : product_(product),
      currentCache_(std::make_unique<PatchCache>()),
      transferCache_(std::make_unique<PatchCache>()),
      element_(element ? xmlCopyNode(const_cast<xmlNode*>(element), 1) : nullptr) {
  name_ = readText(element, "Name");
  version_ = readText(element, "Version");
  server_ = readText(element, "Server");
  port_ = readInteger(element, "Port", 0);
  currentCache_->setDropMissing(false);
  transferCache_->setDropMissing(false);

  const std::optional<std::string>* productName = product_ ? &product_->record().name() : nullptr;
  if (productName && *productName && name_) {
    log(boundedFormat(kMessageCapacity, "TrickleDownloader created for '%s' distribution '%s'.\n",
                      (*productName)->c_str(), name_->c_str()));
  } else {
    log("TrickleDownloader() - product or dist name null!\n");
  }
  if (server_) {
    log(boundedFormat(kMessageCapacity, "TrickleDownloader VIP is '%s:%d'.\n", server_->c_str(), port_));
  } else {
    log("TrickleDownloader VIP is not set - using main VIP.\n");
  }
}

TrickleDownloader::~TrickleDownloader() {
  currentCache_->save();
  transferCache_->save();
}

void TrickleDownloader::stageDistribution() {
  SessionServices* services = product_ ? product_->services() : nullptr;
  if (!services || !services->trickleEnabled()) {
    log("TrickleDownloader disabled, skipping stage operation\n");
    done_ = true;
    return;
  }
  log("TrickleDownloader::stageDistribution()\n");
  if (done_) return;
  log("TarnBitsException creating Manager: background transfer service not available\n");
}

bool TrickleDownloader::getStagedFile(TextArgument, TextArgument, std::uint32_t, std::int32_t, std::int32_t, bool) {
  return false;
}

void TrickleDownloader::log(const std::string& line) const {
  const std::string text = cutToCapacity(line, kMessageCapacity);
  if (product_ && product_->services()) product_->services()->log(text);
  platform::debugOutput(text);
}

}  // namespace korvel
