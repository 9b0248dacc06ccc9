// The load job: the manifest fetched through the internet access modes (or read from a local file),
// its signature and release checked when a manifest key is configured, the document's checks, the
// product's attributes, root path and change texts, and the node tree built from it. Holds what the
// last load read.
//
// Threads: run() on the worker; the accessors while no load runs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/xml_property.h"
#include "session/session_reports.h"
#include "session/session_state.h"
#include "session/tree_view.h"
#include "transfer/remote_file.h"
#include "transfer/server_address.h"

typedef struct _xmlNode xmlNode;

namespace korvel {

class DownloadRequests;
class ProductList;
class ReleaseRecord;
class ScanJob;
class SignedDocuments;

// The body of `remote` fetched into a zero-filled buffer of `capacity` bytes; nothing when the request
// fails, the path is empty or, for a session without servers, `remote` names none. With `code`, the
// request's result (100 when it was not made). Error pages are kept.
std::optional<std::string> fetchIntoMemory(DownloadRequests& downloads, bool sessionHasServers, int capacity,
                                           const RemoteFile& remote, int decompress, int* code = nullptr);

class ManifestLoad {
 public:
  // The manifest is fetched into a buffer of this many bytes; a larger body fails the access mode.
  static constexpr int kManifestCapacity = 5000000;
  // Named in the message of a failed refetch after the rerun marker.
  static constexpr const char* kSupportSite = "the Korvel support site";
  // A change-notes text with its version, kept per maintenance type (0 and 1).
  struct ChangeText {
    std::int32_t version = 0;
    std::string text;
  };
  // The parts a load works with besides the session's state.
  struct Parts {
    XmlDocument& document;
    DownloadRequests& downloads;
    ProductList& products;
    TreeView& tree;
    SignedDocuments& documents;
    ReleaseRecord& release;
    ScanJob& scan;
  };

  ManifestLoad(SessionReports& reports, SessionState& state, const Parts& parts)
      : reports_(reports), state_(state), parts_(parts) {}

  // The load job over the named products (all with null): whether a usable manifest was loaded. The
  // client hears manifestReady with the result.
  bool run(const char* names, std::uint32_t flags);

  // ---- What the last load read -------------------------------------------------------------------
  int manifestVersion() const { return manifestVersion_; }
  const std::string& productName() const { return productName_; }
  int productVersion() const { return productVersion_; }
  bool patchFrozen() const { return patchFrozen_; }
  const std::string& patchFrozenBypassList() const { return patchFrozenBypassList_; }
  const std::vector<ChangeText>& changeList(int maintenanceType) const { return changeLists_[maintenanceType ? 1 : 0]; }
  const std::string& loadDirectory() const { return loadDirectory_; }
  bool accessModeTried(int mode) const { return mode >= 0 && mode < 4 && modeTried_[mode]; }
  bool accessModeUsable(int mode) const { return mode >= 0 && mode < 4 && modeUsable_[mode]; }
  // Whether a load ends with the rescan of every file (on unless switched off).
  void setRescanAfterLoad(bool on) { rescanAfterLoad_ = on; }

 private:
  // False when no access mode gave the manifest; authRequired or securityFailure (50, 51, 52, 53)
  // tell why: an authorisation page ends the load at once, and a refused signature or certificate
  // at every server of a mode ends it with that code.
  bool fetchManifest(bool& authRequired, int& securityFailure);
  // One server's answer for the manifest within an access mode, checked: true when it is the
  // manifest (the document then holds it) or an authorisation page (authRequired set). A refused
  // signature sets securityFailure.
  bool fetchManifestFrom(const ServerAddress& server, bool& authRequired, int& securityFailure);
  int nextAccessMode() const;
  bool validate(std::uint32_t flags);
  void takeRootPath(const std::optional<std::string>& root);
  void readChangeTexts(xmlNode* product);
  void dropDocument();

  SessionReports& reports_;
  SessionState& state_;
  Parts parts_;
  std::array<bool, 4> modeTried_{};
  std::array<bool, 4> modeUsable_{};
  std::string loadDirectory_;
  int manifestVersion_ = 0;
  std::string productName_;
  int productVersion_ = 0;
  bool patchFrozen_ = false;
  std::string patchFrozenBypassList_;
  std::array<std::vector<ChangeText>, 2> changeLists_;
  // Why the last server's signed release was refused (54, 55): the load's report when every server's was.
  std::string refusedReleaseText_;
  bool rescanAfterLoad_ = true;
};

}  // namespace korvel
