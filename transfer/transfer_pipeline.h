// The transfers of the files a download walk will fetch next, started ahead of its turn: each runs on
// its own connection, holds its log lines and notices, and keeps its verified temporary out of place
// until the walk reaches its file and adopts it.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "transfer/http_transfer.h"
#include "transfer/remote_file.h"
#include "transfer/transfer_observer.h"

namespace korvel {

class ProgressRates;
class ServerChoice;

// One full-file download a walk is expected to ask for, as DownloadRequests::toFile would start it:
// its local file with '/' separators, and its CRC and SHA-256 only when they are checked.
using PlannedDownload = FileDownload;

// A TransferObserver that keeps a transfer's log lines and its connect, sent and data notices, in
// their order, until release(), which replays them to the session and passes everything through from
// then on. Progress shown before release is dropped (a held transfer shows none).
class HeldObserver : public TransferObserver {
 public:
  explicit HeldObserver(DownloadObserver& session) : session_(session) {}

  void log(const std::string& line) override;
  int internetAccessMode() const override { return session_.internetAccessMode(); }
  void beforeConnect() override;
  void requestSent() override;
  void dataReceived() override;
  void showProgress(int position, int bar) override;
  bool failedOrStopped() const override { return session_.failedOrStopped(); }

  // On the walk's thread: replays what was held, then lets everything through.
  void release();

 private:
  enum class Kind { kLog, kConnect, kSent, kData };
  struct Event {
    Kind kind;
    std::string line;
  };
  void hold(Kind kind, const std::string& line = std::string());

  DownloadObserver& session_;
  std::mutex mutex_;
  bool released_ = false;
  bool dataHeld_ = false;
  std::vector<Event> held_;
};

// A transfer started ahead of the walk, with the observer that holds its reports.
struct AheadTransfer {
  AheadTransfer(DownloadObserver& session, ProgressRates& rates)
      : observer(session), transfer(observer, &rates, HttpTransfer::kAheadReadBufferSize) {}

  HeldObserver observer;
  HttpTransfer transfer;  // declared last: ends (and stops writing to the observer) first
};

class TransferPipeline {
 public:
  // What every transfer of a plan is started with.
  struct Settings {
    // Transfers at once, the walk's own included: at most limit - 1 run ahead.
    int limit = 1;
    std::optional<std::string> user, password;
    std::string programName;
    // Where requests on the session's list go; must outlive the plan.
    ServerChoice* servers = nullptr;
  };

  TransferPipeline(DownloadObserver& session, ProgressRates& rates) : session_(session), rates_(rates) {}
  ~TransferPipeline() { clear(); }
  TransferPipeline(const TransferPipeline&) = delete;
  TransferPipeline& operator=(const TransferPipeline&) = delete;

  // Walk's thread: replaces the plan (stopping what ran of the old one) and starts the first
  // transfers.
  void begin(std::vector<PlannedDownload> plan, Settings settings);
  // Walk's thread: the walk asks for `wanted`. The plan's entries before the first equal one are
  // dropped (their transfers stopped, nothing left behind). Returns that entry's transfer when it
  // was started ahead, else null (the caller then runs it itself; it is no longer planned). Null,
  // with the plan kept, when no entry is equal. Starts the next transfers of the plan.
  std::unique_ptr<AheadTransfer> take(const PlannedDownload& wanted);
  // Walk's thread: stops and ends every transfer ahead and forgets the plan.
  void clear();
  // Any thread: asks every transfer ahead to stop (each ends within a moment and removes its
  // temporary), and no more are started until the next plan.
  void stop();
  // Bytes the transfers ahead have received so far.
  std::uint64_t bytesAhead();

 private:
  struct Entry {
    PlannedDownload request;
    std::unique_ptr<AheadTransfer> running;
  };
  // Starts planned entries until limit - 1 run ahead. Under mutex_.
  void fill();

  DownloadObserver& session_;
  ProgressRates& rates_;
  Settings settings_;
  std::mutex mutex_;
  std::deque<Entry> plan_;
  bool stopped_ = false;
};

}  // namespace korvel
