// What the floors below the session may know of it, one view per consumer: the stager's, the tree
// reader's (the model) and the file node's, each adding to the one before; and the factory through
// which the tree reader makes the kinds of node that live above it. The session implements them;
// tests give the model a fake of their own.
//
// Threads: everything here is called on the session's worker thread (or on the thread that builds
// or walks a tree while no job runs), except where a member says otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/result_codes.h"
#include "common/text_argument.h"
#include "transfer/remote_file.h"
#include "transfer/server_address.h"

typedef struct _xmlNode xmlNode;

namespace korvel {

class DirectorySnapshot;
class ManifestNode;
class PatchCache;
class ProductHandle;
class ProgressRates;
class Stager;

// What a stager asks of the session.
class StagerServices {
 public:
  virtual ~StagerServices() = default;

  // Writes a complete line (ending in a newline) to the session's log.
  virtual void log(const std::string& line) = 0;
  // A stop was requested or the session has failed: walks end at their next check.
  virtual bool isCancelled() const = 0;
  // The root every product is placed under unless it has its own (empty: none set).
  virtual const std::string& defaultRootPath() const = 0;
  // The current directory when the session was made.
  virtual const std::string& installDirectory() const = 0;
  // The background stager's switch: off unless the session turns it on.
  virtual bool trickleEnabled() const = 0;
  // The server a request for `remote` asks first (its own, else the first of the session's list that
  // has not failed): where a background transfer, which knows one URL only, is sent. Absent when
  // there is none.
  virtual std::optional<ServerAddress> firstServer(const RemoteFile& remote) const {
    if (remote.server) return remote.server;
    return std::nullopt;
  }
};

// What the tree reader and the nodes of the model ask of the session.
class TreeServices : public StagerServices {
 public:
  // Reports a failure once: to the client as error(code, text), and to the log.
  virtual void reportError(int code, const std::string& text) = 0;

  // Whether the session has patch servers: false when it reads a local manifest file.
  virtual bool hasServers() const = 0;
  // The port a server the manifest names without one is asked on over http.
  virtual int defaultPort() const = 0;
  // The server that failed a request last, for the texts that name one server; absent when none has.
  virtual std::optional<ServerAddress> lastFailedServer() const { return std::nullopt; }

  // The product named `name` (letter case ignored) anywhere in the session's tree; null when none.
  virtual ProductHandle* findProduct(TextArgument name) const = 0;
  // Bytes still to download for the named products, with the walk flags given (not capped at 32 bits).
  virtual std::int64_t requestedDownloadBytes(const char* names, std::uint32_t flags) = 0;

  // Both block until their transfer has ended: result::kOk done, result::kStopped stopped, otherwise the
  // transfer's code. A memory request answered with a status other than 2xx fails with result::kHttpStatus:
  // an error page is no document.
  virtual int downloadToMemory(char* buffer, int capacity, const RemoteFile& remote, int decompress) = 0;
  // The file's CRC and SHA-256 are not checked here (downloadCheckedFile does).
  virtual int downloadToFile(const FileDownload& file, bool useTemp, bool showProgress) = 0;

  // While true the download walk only plans: nodes make no folders, write no log and change no state,
  // and file nodes hand the full downloads they would make to FileNodeServices::planDownload instead.
  virtual bool planningDownloads() const { return false; }

  // Whether a manifest key is configured for the current load: every document of the tree must then
  // carry a valid signature. Without one (the default) documents are taken as they come.
  virtual bool documentsSigned() const { return false; }
  // With a manifest key: fetches the document `remote` as it is stored (into memory, else through a temporary
  // file), and its signature "<path>.minisig", and gives the document's text (expanded when it is gzip data)
  // only when the signature verifies the bytes fetched; a server whose document or signature fails so is left
  // for the next one of the list. result::kOk done; result::kSignatureMissing the signature cannot be had;
  // result::kSignatureInvalid it does not verify the document; result::kParseFailed the verified bytes do not
  // expand; otherwise the transfer's code for the document. Nothing of a refused document may be used.
  virtual int downloadSignedDocument(const RemoteFile& remote, int capacity, std::string& text) {
    return result::kSignatureMissing;
  }
};

// What a file node asks of the session, beyond what every node may.
class FileNodeServices : public TreeServices {
 public:
  // ---- Reports and the cancel state ------------------------------------------------------------
  // A warning that stops nothing: logged and reported with code 0 (nothing failed).
  virtual void showWarning(const std::string& text) = 0;
  // The user (or the front end) asked the session to stop; a failure alone does not set it.
  virtual bool stopRequested() const = 0;
  // The session has failed or was stopped (any thread).
  virtual bool failedOrStopped() const = 0;
  // Clears what a failed transfer left set, so that the next transfer may run. A stop the user asked
  // for stays in force.
  virtual void clearFailure() = 0;

  // ---- The client's status line and bars ----------------------------------------------------------
  virtual void setStatusLine(const std::string& text) = 0;
  // A progress position (0 to 100) on one of the client's channels (common/progress_channels.h).
  virtual void showProgress(int position, int bar) = 0;
  // A file node finished its check: advances the scan progress; false when no files are counted.
  virtual bool fileChecked() = 0;
  // A downloaded file asks for a restart: the client's restartRequested, and when it answers true its
  // stopped() notification. Returns the client's answer.
  virtual bool requestRestart(const std::string& file, bool isOwnProgram) = 0;

  // ---- Caches of the scan --------------------------------------------------------------------------
  virtual PatchCache& patchCache() = 0;
  virtual DirectorySnapshot& directorySnapshot() = 0;
  // The folder the snapshot was filled from; empty while it holds nothing.
  virtual const std::string& snapshotFolder() const = 0;
  // The rate table behind the finish estimate.
  virtual ProgressRates& statistics() = 0;
  // When the statistics give an expected finish time, the client hears of it.
  virtual void reportTimeEstimate() = 0;

  // ---- The stager --------------------------------------------------------------------------------
  // The stager of the top product's distribution, where staged copies of files are found; null when
  // there is none.
  virtual Stager* topStager() = 0;

  // ---- The running program and its replacement ---------------------------------------------------
  // The running program's file name without its folder.
  virtual const std::string& ownFileName() const = 0;
  // Registers `newCopy` as the program to restart (first call only); see the session.
  virtual void registerSelfReplacement(const char* newCopy, const char* replacedName) = 0;
  // Copies sourceName over targetName once per session (inline or on the copy worker).
  virtual void startSelfCopy(const char* sourceName, const char* targetName, bool inlineCopy) = 0;
  // How many times the session may have written to an installation so far. A file that a check found
  // current is found current again, without a look at the disk, while this count stays the same;
  // a session that does not count (nullopt) has every check look.
  virtual std::optional<std::uint64_t> writeCount() const { return std::nullopt; }

  // ---- Download limits and requests ----------------------------------------------------------------
  // Reports error result::kLimitWarning the first time per session.
  virtual void limitExceededWarning() = 0;
  // Whether a downloaded file of the wrong size fails instead of only being warned about.
  virtual bool strictSize() const = 0;
  // The download of a file of the installation: through a temporary file beside file.localFile, with the
  // progress shown, and put in place only when it has file.totalSize bytes (when not 0) and, when they are
  // given, file.crc and file.sha256; otherwise result::kFileMismatch and the local file is untouched.
  virtual int downloadCheckedFile(const FileDownload& file) = 0;
  // While planningDownloads(): a file node would call downloadCheckedFile with `file` when the walk
  // reaches it.
  virtual void planDownload(const FileDownload& file) {}
};

// Makes the nodes whose kinds live on the floors above the model. The tree reader is given one with
// its product list; the model reads directories and distributions itself.
class NodeFactory {
 public:
  virtual ~NodeFactory() = default;
  // The node of a "File" element.
  virtual std::unique_ptr<ManifestNode> makeFileNode() = 0;
  // The stager of a non-live "Distribution" element of `product`.
  virtual std::unique_ptr<Stager> makeStager(ProductHandle* product, const xmlNode* element) = 0;
};

}  // namespace korvel
