// The transfers ahead of a download walk: the held observer and the plan they are started from.
#include "transfer/transfer_pipeline.h"

#include <algorithm>

#include "common/file_utils.h"
#include "transfer/server_choice.h"

namespace korvel {

namespace {

// Stops every transfer first, so that they end together, then waits for each.
void endAll(std::vector<std::unique_ptr<AheadTransfer>>& transfers) {
  for (auto& ahead : transfers) ahead->transfer.requestStop();
  transfers.clear();
}

}  // namespace

// ---- HeldObserver -----------------------------------------------------------------------------------

void HeldObserver::hold(Kind kind, const std::string& line) { held_.push_back(Event{kind, line}); }

void HeldObserver::log(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_) {
    session_.log(line);
  } else {
    hold(Kind::kLog, line);
  }
}

void HeldObserver::beforeConnect() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_) {
    session_.beforeConnect();
  } else {
    hold(Kind::kConnect);
  }
}

void HeldObserver::requestSent() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_) {
    session_.requestSent();
  } else {
    hold(Kind::kSent);
  }
}

void HeldObserver::dataReceived() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_) {
    session_.dataReceived();
  } else if (!dataHeld_) {
    // Raised for every block read; the first one, in its place, is all the session needs to hear.
    dataHeld_ = true;
    hold(Kind::kData);
  }
}

void HeldObserver::showProgress(int position, int bar) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_) session_.showProgress(position, bar);
}

void HeldObserver::release() {
  // Under the lock, so that a line the transfer writes meanwhile comes after the held ones.
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Event& event : held_) {
    switch (event.kind) {
      case Kind::kLog: session_.log(event.line); break;
      case Kind::kConnect: session_.beforeConnect(); break;
      case Kind::kSent: session_.requestSent(); break;
      case Kind::kData: session_.dataReceived(); break;
    }
  }
  held_.clear();
  held_.shrink_to_fit();
  released_ = true;
}

// ---- TransferPipeline ---------------------------------------------------------------------------

void TransferPipeline::begin(std::vector<PlannedDownload> plan, Settings settings) {
  clear();
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = std::move(settings);
  stopped_ = false;
  for (PlannedDownload& request : plan) plan_.push_back(Entry{std::move(request), nullptr});
  fill();
}

void TransferPipeline::fill() {
  if (stopped_) return;
  const std::size_t ahead = static_cast<std::size_t>(std::max(settings_.limit - 1, 0));
  std::size_t running = 0;
  for (Entry& entry : plan_) {
    if (running >= ahead) break;
    ++running;
    if (entry.running) continue;
    // The walk makes a file's folders before it downloads the file; a transfer ahead of it must find
    // them too, or its temporary and kept bytes would have no place beside the target.
    createParentDirectories(entry.request.localFile);
    auto started = std::make_unique<AheadTransfer>(session_, rates_);
    started->transfer.setProgramName(settings_.programName.c_str());
    HttpTransfer::FileRequest start;
    start.route = HttpTransfer::Route::to(entry.request.remote, settings_.servers);
    start.localPath = entry.request.localFile.c_str();
    start.finalSize = entry.request.totalSize;
    start.user = settings_.user ? settings_.user->c_str() : nullptr;
    start.password = settings_.password ? settings_.password->c_str() : nullptr;
    start.decompress = entry.request.decompress;
    start.useTemp = true;
    start.expectedSize = entry.request.totalSize > 0 ? static_cast<std::uint64_t>(entry.request.totalSize) : 0;
    start.expectedCrc = entry.request.crc;
    start.expectedSha256 = entry.request.sha256;
    start.boundBy(entry.request.decompress, entry.request.downloadSize, entry.request.totalSize, true);
    start.holdUntilAdopted = true;
    started->transfer.startFileDownload(start);
    entry.running = std::move(started);
  }
}

std::unique_ptr<AheadTransfer> TransferPipeline::take(const PlannedDownload& wanted) {
  std::vector<std::unique_ptr<AheadTransfer>> skipped;
  std::unique_ptr<AheadTransfer> found;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto match = std::find_if(plan_.begin(), plan_.end(), [&](const Entry& entry) { return entry.request == wanted; });
    if (match == plan_.end()) return nullptr;
    for (auto at = plan_.begin(); at != match; ++at)
      if (at->running) skipped.push_back(std::move(at->running));
    found = std::move(match->running);
    plan_.erase(plan_.begin(), match + 1);
    fill();
  }
  endAll(skipped);
  return found;
}

void TransferPipeline::clear() {
  std::vector<std::unique_ptr<AheadTransfer>> running;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Entry& entry : plan_)
      if (entry.running) running.push_back(std::move(entry.running));
    plan_.clear();
    plan_.shrink_to_fit();
  }
  endAll(running);
}

void TransferPipeline::stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  for (Entry& entry : plan_)
    if (entry.running) entry.running->transfer.requestStop();
}

std::uint64_t TransferPipeline::bytesAhead() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint64_t sum = 0;
  for (const Entry& entry : plan_) {
    if (!entry.running) break;
    sum += entry.running->transfer.bytesDownloaded();
  }
  return sum;
}

}  // namespace korvel
