// What the parts of the session share: where it works and what it was told, the flags both threads
// read, the scan's counters and the plan of a download walk. The Patcher owns it; its jobs and the
// views it offers the floors below hold it by reference.
//
// Threads: the atomics are written by one side at a time and read from any thread (the transfers
// read accessMode and the stop flags); everything else belongs to whichever thread runs the job.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "transfer/remote_file.h"
#include "trust/manifest_key.h"

namespace korvel {

struct SessionState {
  explicit SessionState(std::string installDirectory) : installDirectory(std::move(installDirectory)) {}
  SessionState(const SessionState&) = delete;
  SessionState& operator=(const SessionState&) = delete;

  // The session has been asked to stop or has failed: walks end at their next check.
  bool isCancelled() const { return stopRequested.load() || failedOrStopped.load(); }
  // defaultRootPath, or installDirectory when that is empty.
  std::string baseFor() const { return defaultRootPath.empty() ? installDirectory : defaultRootPath; }
  // Where the record of the highest signed release installed is kept.
  const std::string& releaseFolder() const { return installationFolder.empty() ? installDirectory : installationFolder; }

  // ---- Where the session works and what it was told ----------------------------------------------
  std::string installDirectory;    // the current directory when the session was made
  std::string installationFolder;  // the installation lock's folder; empty: installDirectory
  std::string defaultRootPath;     // at most 255 characters
  std::string server;              // the server or list of servers given; empty: a local manifest file
  int port = 0;
  std::string manifestPath;
  std::atomic<int> accessMode{-1};  // the transfer threads read it
  bool trickleEnabled = false;
  bool strictSize = false;
  // Read at the start of every load; the documents of that load are checked with it.
  trust::ManifestKey manifestKey;

  // ---- Flags ---------------------------------------------------------------------------------------
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> failedOrStopped{false};
  std::atomic<bool> loading{false};
  std::atomic<bool> manifestLoaded{false};
  std::atomic<bool> updateRunning{false};
  std::atomic<bool> limitWarningGiven{false};
  // Advanced by every job that may write to an installation and by the program's self copy.
  std::atomic<std::uint64_t> writeCount{0};

  // ---- The passes' counters and the download walk's plan -----------------------------------------
  int filesTotal = 0;
  int filesChecked = 0;
  std::string snapshotFolder;  // the folder the snapshot was filled from; empty while it holds nothing
  // While a download walk is being planned: where the file nodes' full downloads are collected.
  std::vector<FileDownload>* plan = nullptr;
};

}  // namespace korvel
