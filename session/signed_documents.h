// Signed documents: with a manifest key configured, the manifest and every external document are
// taken only with a signature of that key over the bytes as they were fetched.
//
// Threads: the worker (or the thread that builds a tree while no job runs).
#pragma once

#include <optional>
#include <string>

#include "session/session_reports.h"
#include "session/session_state.h"
#include "transfer/remote_file.h"
#include "transfer/server_address.h"

namespace korvel {

class DownloadRequests;

class SignedDocuments {
 public:
  SignedDocuments(SessionReports& reports, const SessionState& state, DownloadRequests& downloads)
      : reports_(reports), state_(state), downloads_(downloads) {}

  // The document `remote` as it is stored and its signature, from each server in turn: 0 with
  // `text`, or why not (TreeServices::downloadSignedDocument).
  int fetch(const RemoteFile& remote, int capacity, std::string& text);
  // The manifest's bytes as stored at `server` (at most `capacity`) into `bytes`, and its text;
  // nothing when the request fails, is answered with an error page (other than an authorisation
  // request) or the gzip data is broken.
  std::optional<std::string> fetchManifest(const ServerAddress& server, int capacity, std::string& bytes, int* code);
  // The manifest fetched from `server` as `bytes` against its signature there: 0, 50 or 51, logged.
  // The signature's trusted comment goes to `trustedComment`.
  int checkManifest(const ServerAddress& server, const std::string& bytes, std::string* trustedComment);
  // A local manifest file against the signature file beside it: 0, 50 or 51, logged.
  int checkLocalManifest(std::string* trustedComment);

 private:
  // One server's document and signature: 0 with `text`, or why not.
  int fetchFrom(const RemoteFile& remote, int capacity, std::string& text);
  // Logs why `document` was refused (code 50 or 51).
  void logFailure(int code, const std::string& document);

  SessionReports& reports_;
  const SessionState& state_;
  DownloadRequests& downloads_;
};

}  // namespace korvel
