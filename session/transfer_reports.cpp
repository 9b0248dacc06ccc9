// The session's side of the transfers: their events as the client's notifications.
#include "session/transfer_reports.h"

#include "common/progress_channels.h"

namespace korvel {

void TransferReports::beforeConnect() {
  if (SessionClient* client = reports_.client()) client->beforeConnect();
}

void TransferReports::requestSent() {
  if (SessionClient* client = reports_.client()) client->requestSent();
}

void TransferReports::dataReceived() {
  SessionClient* client = reports_.client();
  if (client && !networkNoticeSent_.exchange(true)) client->networkNotice();
}

void TransferReports::reportFile(const char* path, int kind) {
  SessionClient* client = reports_.client();
  if (!client) return;
  const char* name = path;
  if (path) {
    for (const char* at = path; *at; ++at) {
      if (*at == '\\' || *at == '/') name = at + 1;
    }
  }
  if (client->fileNotice(name, kind)) return;
  switch (kind) {
    case kNoticeDownloadStarts:
      client->fileStarted(name);
      break;
    case kNoticeUnpackStarts:
      client->fileUnpacking(name);
      break;
    case kNoticeFinished:
      client->fileFinished(name);
      break;
    default:
      break;
  }
}

void TransferReports::diskSpaceLow(std::uint64_t availableBytes, std::uint64_t neededBytes, const std::string& text) {
  if (SessionClient* client = reports_.client()) client->diskSpaceLow(availableBytes, neededBytes, text.c_str());
}

void TransferReports::timeEstimate(std::int64_t expectedFinish, std::int64_t secondsLeft) {
  if (SessionClient* client = reports_.client()) client->timeEstimate(expectedFinish, secondsLeft);
}

}  // namespace korvel
