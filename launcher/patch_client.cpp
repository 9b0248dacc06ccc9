// The session's client: base behaviour of every notification, the forwarding operations, stopping,
// and the clean-up of leftover change files at the end.
#include "launcher/patch_client.h"

#include <exception>

#include "common/text_format.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "session/patcher.h"

namespace korvel {

namespace {
constexpr std::uint32_t kWaitFlag = Patcher::kWaitFlag;
constexpr int kLeftoverSets = 15;
constexpr const char* kLeftoverPatterns[] = {"~spatchfile_%d.xml", "~spatchfile_%d.xml.gz", "~spatchfile_%d.txt",
                                             "~spatchfile_%d.txt.gz"};
}  // namespace

PatchClient::PatchClient() {
  try {
    patcher_ = std::make_unique<Patcher>(this);
  } catch (const std::exception&) {
    patcher_.reset();
  }
}

PatchClient::~PatchClient() {
  if (patcher_) {
    patcher_->setFailedOrStopped(true);
    while (patcher_->isBusy()) platform::sleepMs(10);
    patcher_.reset();
  }
  for (int i = 0; i < kLeftoverSets; ++i) {
    for (const char* pattern : kLeftoverPatterns) platform::deleteFile(boundedFormat(512, pattern, i));
  }
}

bool PatchClient::openRemoteManifestWithLogin(const char* server, int port, const char* path, const char* user,
                                              const char* password, std::uint32_t flags, int userLength,
                                              int passwordLength) {
  return patcher_ &&
         patcher_->openRemoteManifestWithLogin(server, port, path, user, password, flags, userLength, passwordLength);
}

bool PatchClient::openRemoteManifest(const char* server, int port, const char* path, std::uint32_t flags) {
  return patcher_ && patcher_->openRemoteManifest(server, port, path, flags);
}

bool PatchClient::openLocalManifest(const char* path, std::uint32_t flags) {
  return patcher_ && patcher_->openLocalManifest(path, flags);
}

bool PatchClient::startScan(const char* names, std::uint32_t flags) {
  if (!patcher_) return false;
  patcher_->setFailedOrStopped(false);
  return patcher_->startScan(names, flags);
}

bool PatchClient::reservedSlot5(int value) { return true; }
bool PatchClient::fileNotice(const char* name, int kind) { return false; }
bool PatchClient::fileStarted(const char* fileName) { return true; }
bool PatchClient::reservedSlot14(int first, int second) { return true; }
bool PatchClient::reservedSlot15() { return true; }
bool PatchClient::productName(const char* name) { return true; }
bool PatchClient::fileUnpacking(const char* fileName) { return true; }
bool PatchClient::fileFinished(const char* fileName) { return true; }
bool PatchClient::restartRequested(const char* fileName, bool isOwnProgram) {
  // Without a window to finish, the old instance ends as soon as its job does.
  if (patcher_) patcher_->restartProgram(true);
  return true;
}
bool PatchClient::reservedSlot20() { return true; }
bool PatchClient::diskSpaceLow(std::uint64_t availableBytes, std::uint64_t neededBytes, const char* message) {
  return true;
}
bool PatchClient::progressRange(int maximum, int bar) { return true; }
bool PatchClient::progressPosition(int position, int bar) { return true; }
bool PatchClient::beforeConnect() { return true; }
bool PatchClient::requestSent() { return true; }
bool PatchClient::networkNotice() { return true; }
bool PatchClient::manifestReady(int result) { return true; }
bool PatchClient::accessModeChanged(int mode) { return true; }

void PatchClient::log(const char* text) {
  if (patcher_) patcher_->log(text);
}

int PatchClient::internetAccessMode() const { return patcher_ ? patcher_->internetAccessMode() : 0; }

bool PatchClient::sessionHasFailed() const { return patcher_ && patcher_->failedOrStopped(); }

void PatchClient::setFailedOrStopped(bool value) {
  if (patcher_) patcher_->setFailedOrStopped(value);
}

void PatchClient::dataReceived() {
  if (patcher_) patcher_->dataReceived();
}

void PatchClient::reportFile(const char* path, int kind) {
  if (patcher_) patcher_->reportFile(path, kind);
}

void PatchClient::stop(std::uint32_t flags) {
  if (patcher_) patcher_->stop();
  stopped();
  if ((flags & kWaitFlag) && patcher_) {
    while (patcher_->isBusy()) {
      dispatchWaitingMessages(5);
      platform::sleepMs(10);
    }
  }
}

bool PatchClient::selectDistributions(const char* names, bool on) {
  return patcher_ && patcher_->selectDistributions(names, on);
}

bool PatchClient::setDistributionPath(const char* names, const char* path) {
  return patcher_ && patcher_->setDistributionPath(names, path);
}

std::int64_t PatchClient::updateAmount(const char* names, std::uint32_t flags) {
  return patcher_ ? patcher_->updateAmount(names, flags) : 0;
}

bool PatchClient::update(const char* names, std::uint32_t flags) {
  if (!patcher_) return false;
  patcher_->setFailedOrStopped(false);
  return patcher_->update(names, flags);
}

bool PatchClient::isBusy() const { return patcher_ && patcher_->isBusy(); }

void PatchClient::dispatchWaitingMessages(int maximum) {
  for (int handled = 0; handled < maximum && platform::dispatchWaitingMessage(); ++handled) {
  }
}

}  // namespace korvel
