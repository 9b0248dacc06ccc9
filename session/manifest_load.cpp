// The manifest load job: fetching the manifest through the internet access modes, the checks of the
// document, the product's attributes and root path, its change texts, and building the node tree.
#include "session/manifest_load.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <vector>

#include "common/file_utils.h"
#include "common/text_format.h"
#include "manifest/product_record.h"
#include "manifest/xml_attributes.h"
#include "platform/file.h"
#include "platform/files.h"
#include "manifest/product_list.h"
#include "session/release_record.h"
#include "session/scan_job.h"
#include "session/signed_documents.h"
#include "session/tree_view.h"
#include "transfer/download_requests.h"
#include "common/result_codes.h"
#include "common/xml_property.h"
#include "trust/document_signature.h"

namespace korvel {

namespace {

constexpr std::size_t kLineCapacity = 256;
constexpr const char* kRootName = "KorvelPatcher";
constexpr const char* kRerunMarker = "<TITLE>_rerun_xml_script_</TITLE>";
constexpr const char* kAuthorizationText = "Authorization Required";
constexpr const char* kInvalidDocumentFile = "PatchTest.xml";
// A change-notes file without a DownloadSize is read up to this many characters.
constexpr std::size_t kChangeTextChars = 65535;
constexpr int kAccessModes = 4;

bool isRootElement(const xmlNode* root) { return root && isElementNamed(root, kRootName); }

// The server's request for credentials: not XML, and saying so.
bool isAuthorizationPage(const std::string& text) {
  if (text.find(kAuthorizationText) == std::string::npos) return false;
  return !parseXmlMemory(text.data(), static_cast<int>(text.size()));
}

// The text of a load that ends because no server's answer could be trusted.
std::string securityFailureText(int code) {
  if (code == result::kCertificateRefused)
    return "The patch server's certificate failed verification; nothing is taken from it.\n";
  if (code == result::kInsecureRedirect)
    return "The patch server redirected a secure request to plain HTTP; nothing is taken from it.\n";
  return trust::signatureFailureText(code);
}

xmlNode* firstElementChild(xmlNode* parent) {
  for (xmlNode* child = parent ? parent->children : nullptr; child; child = child->next)
    if (isElement(child)) return child;
  return nullptr;
}

// Reads at most `limit` bytes of a text file.
std::string readTextFile(const std::string& path, std::size_t limit) {
  platform::File file = platform::File::open(path, "rb");
  if (!file) return {};
  std::string text(limit, '\0');
  text.resize(file.read(text.data(), limit));
  return text;
}

}  // namespace

std::optional<std::string> fetchIntoMemory(DownloadRequests& downloads, bool sessionHasServers, int capacity,
                                           const RemoteFile& remote, int decompress, int* code) {
  if (code) *code = result::kNullPath;
  if (remote.path.empty() || capacity <= 0 || (!remote.server && !sessionHasServers)) return std::nullopt;
  std::vector<char> buffer(static_cast<std::size_t>(capacity), '\0');
  std::memcpy(buffer.data(), "Hello", std::min<std::size_t>(6, buffer.size()));
  // The manifest's own fetch keeps error pages: an authorisation page is read for what it says.
  const int fetched = downloads.toMemory(buffer.data(), capacity, remote, decompress);
  if (code) *code = fetched;
  if (fetched != result::kOk) return std::nullopt;
  // The request leaves a terminating zero within the buffer; the last byte is one in any case.
  buffer.back() = '\0';
  return std::string(buffer.data());
}

int ManifestLoad::nextAccessMode() const {
  for (int mode = 0; mode < kAccessModes; ++mode)
    if (modeUsable_[mode]) return mode;
  for (int mode = 0; mode < kAccessModes; ++mode)
    if (!modeTried_[mode]) return mode;
  return -1;
}

void ManifestLoad::dropDocument() {
  parts_.document.reset();
}

bool ManifestLoad::fetchManifestFrom(const ServerAddress& server, bool& authRequired, int& securityFailure) {
  const std::string supportMessage =
      std::string("Error opening remote xml file.\nCould not access patcher update file.  Please verify your network "
                  "connection.  If the problem persists, please contact ") +
      kSupportSite + ".\n";
  // With a manifest key the bytes are fetched as stored, so that they can be checked against the
  // signature, and expanded here.
  std::string bytes;
  int code = result::kOk;
  const auto fetch = [&]() {
    return state_.manifestKey.required ? parts_.documents.fetchManifest(server, kManifestCapacity, bytes, &code)
                                 : fetchIntoMemory(parts_.downloads, parts_.tree.hasServers(), kManifestCapacity,
                                                   RemoteFile::on(server, state_.manifestPath), 1, &code);
  };
  std::optional<std::string> text = fetch();
  reports_.log("Memory Download of XML Operation Complete.\n");
  if (!text) {
    if (code == result::kCertificateRefused || code == result::kInsecureRedirect) securityFailure = code;
    return false;
  }
  reports_.log("Verifying Download...\n");
  // A server that keeps answering with the marker is asked again for as long as it takes; a stop of
  // the session (the user closing the window) ends the asking, as a failed fetch does.
  while (text->find(kRerunMarker) != std::string::npos) {
    text = state_.isCancelled() ? std::nullopt : fetch();
    if (!text) {
      reports_.reportError(result::kRemoteManifestFailed, supportMessage);
      return false;
    }
  }
  if (state_.manifestKey.required) {
    // Nothing unsigned is parsed into the tree. Only an authorisation page still says what went wrong.
    const int verdict = isAuthorizationPage(*text) ? result::kOk : parts_.documents.checkManifest(server, bytes, parts_.release.trustedComment());
    if (verdict != result::kOk) {
      securityFailure = verdict;
      parts_.downloads.servers().markFailed(server);
      return false;
    }
  }
  reports_.log(boundedFormat(kLineCapacity, "Checking Memory, size of buffer is %d\n", static_cast<int>(text->size())));
  parts_.document = parseXmlMemory(text->data(), static_cast<int>(text->size()));
  if (parts_.document) {
    reports_.log("Memory Verification Start...\n");
    reports_.log("m_xmlInfo is a valid pointer\n");
    xmlNode* root = xmlDocGetRootElement(parts_.document.get());
    if (isRootElement(root)) {
      // A mirror that replays an older signed release, or one past its expiry, leaves the manifest to
      // the next server.
      xmlNode* product = firstElementChild(root);
      std::string refusal;
      const int verdict = state_.manifestKey.required && product && isElementNamed(product, "Product")
                              ? parts_.release.verdict(readInteger(product, "Version", 0), refusal)
                              : result::kOk;
      if (verdict == result::kOk) return true;
      reports_.log(refusal);
      refusedReleaseText_ = refusal;
      securityFailure = verdict;
      parts_.downloads.servers().markFailed(server);
      dropDocument();
      return false;
    }
    reports_.log("Memory Download failed.  Trying file download...\n");
    reports_.log(root ? boundedFormat(kLineCapacity, "Root element is %s\n", elementName(root).c_str())
             : std::string("No XML Root Element found.\n"));
    dropDocument();
    return false;
  }
  if (text->find(kAuthorizationText) != std::string::npos) {
    authRequired = true;
    return true;
  }
  return false;
}

bool ManifestLoad::fetchManifest(bool& authRequired, int& securityFailure) {
  const int startMode = state_.accessMode.load();
  int mode = startMode >= 0 && startMode < kAccessModes ? startMode : nextAccessMode();
  bool ok = false;
  while (mode >= 0) {
    reports_.log(boundedFormat(kLineCapacity, "Memory Download Internet Type %d Begin...\n", mode));
    state_.accessMode = mode;
    modeTried_[mode] = true;
    // Within the mode, the servers in the order of the run (those that failed last); a server whose
    // answer is not the manifest leaves it to the next.
    int refused = result::kOk;
    ok = false;
    bool first = true;
    for (const ServerAddress& server : parts_.downloads.servers().candidates(RemoteFile::onList(state_.manifestPath))) {
      if (!first) reports_.log(boundedFormat(kLineCapacity, "Asking the next patch server, %s, for the manifest.\n", server.text().c_str()));
      first = false;
      int securityCode = result::kOk;
      ok = fetchManifestFrom(server, authRequired, securityCode);
      if (securityCode != result::kOk) refused = securityCode;
      if (ok || authRequired || state_.isCancelled()) break;
    }
    if (authRequired) break;
    if (ok) {
      modeUsable_[mode] = true;
      if (mode != startMode) {
        if (SessionClient* client = reports_.client()) client->accessModeChanged(mode);
        state_.accessMode = mode;
      }
      reports_.log(boundedFormat(kLineCapacity, "Memory Download Internet Type %d Successful.\n", mode));
      break;
    }
    if (refused != result::kOk) {
      // An answer came, and no server's is the publisher's or proves who sent it: another access
      // mode would reach the same servers.
      securityFailure = refused;
      break;
    }
    reports_.log(boundedFormat(kLineCapacity, "Memory Download Internet Type %d Unsuccessful.\n", mode));
    modeUsable_[mode] = false;
    mode = nextAccessMode();
  }
  return ok;
}

bool ManifestLoad::run(const char* names, std::uint32_t flags) {
  modeUsable_.fill(true);
  state_.manifestKey = trust::configuredManifestKey();
  parts_.release.reset();
  if (!state_.manifestKey.problem.empty()) reports_.log(state_.manifestKey.problem);
  if (!state_.server.empty()) {
    bool authRequired = false;
    int securityFailure = result::kOk;
    const bool ok = fetchManifest(authRequired, securityFailure);
    if (securityFailure != result::kOk) {
      const bool oldRelease = securityFailure == result::kRolledBack || securityFailure == result::kReleaseExpired;
      const std::string text = oldRelease ? refusedReleaseText_ : securityFailureText(securityFailure);
      reports_.reportError(securityFailure, text);
      // The player is told, where errors are not shown.
      if (securityFailure == result::kCertificateRefused || securityFailure == result::kInsecureRedirect)
        reports_.setStatusLine(text);
      if (SessionClient* client = reports_.client()) client->manifestReady(0);
      return false;
    }
    if (authRequired) {
      reports_.log("Authorization Required.\n");
      reports_.reportError(result::kAuthenticationFailed, "Authentication failed for user.\n");
      if (SessionClient* client = reports_.client()) client->manifestReady(0);
      return false;
    }
    if (!ok) {
      reports_.log("Memory Download Operation Failed.\n");
      reports_.reportError(result::kNoConnection, "Could not establish a valid connection.\n");
      if (SessionClient* client = reports_.client()) client->manifestReady(0);
      return false;
    }
    reports_.log("Memory Download Successful.\n");
  } else if (state_.manifestKey.required) {
    if (const int verdict = parts_.documents.checkLocalManifest(parts_.release.trustedComment()); verdict != result::kOk) {
      dropDocument();
      reports_.reportError(verdict, trust::signatureFailureText(verdict));
      if (SessionClient* client = reports_.client()) client->manifestReady(0);
      return false;
    }
  }
  reports_.log("Contents valid; Continuing Initialization...\n");

  bool result = validate(flags);
  // A document that failed its checks has no tree to rescan, and must not be reported as loaded.
  if (result && rescanAfterLoad_) result = parts_.scan.rescan(names, flags);
  if (SessionClient* client = reports_.client()) client->manifestReady(result ? 1 : 0);
  return result;
}

bool ManifestLoad::validate(std::uint32_t flags) {
  reports_.log(parts_.document ? "m_xmlInfo is a valid pointer\n" : "m_xmlInfo is NULL\n");
  xmlNode* root = parts_.document ? xmlDocGetRootElement(parts_.document.get()) : nullptr;
  if (!isRootElement(root)) {
    reports_.log("XML Invalid: xml file output to PatchTest.xml\n");
    if (parts_.document) xmlSaveFile(platform::nativePath(kInvalidDocumentFile).c_str(), parts_.document.get());
    reports_.reportError(result::kWrongDocument, "Document of the wrong type, KorvelPatcher expected\n");
    dropDocument();
    return false;
  }
  manifestVersion_ = readInteger(root, "Version", 0);
  reports_.log("Checking XML for Product...\n");

  xmlNode* product = firstElementChild(root);
  if (!product) {
    reports_.reportError(result::kWrongDocument, "No Product element found\n");
    dropDocument();
    return false;
  }
  if (!isElementNamed(product, "Product")) {
    reports_.reportError(result::kWrongDocument, "Outer node of the wrong type, Product expected\n");
    dropDocument();
    return false;
  }

  const std::optional<std::string> name = readText(product, "Name");
  productName_ = name.value_or(std::string());
  productVersion_ = readInteger(product, "Version", productVersion_);
  patchFrozen_ = readBoolean(product, "PatchFrozen", false);
  patchFrozenBypassList_ = readText(product, "PatchFrozenBypassList").value_or(std::string());
  if (SessionClient* client = reports_.client()) client->productName(name ? name->c_str() : nullptr);
  // A signed release older than the installed one, or past its expiry, is refused before anything of
  // the installation is touched. A signed Product without a Version is the oldest release.
  if (state_.manifestKey.required && !parts_.release.accept(readInteger(product, "Version", 0))) {
    dropDocument();
    return false;
  }

  reports_.log("Checking XML for Root Paths...\n");
  takeRootPath(readText(product, "Root"));
  readChangeTexts(product);

  const bool built = parts_.products.build(product);
  parts_.products.aggregateFlags();
  state_.loading.store(false);
  platform::setCurrentDirectory(loadDirectory_);
  parts_.products.linkEnvironments();
  // The tree holds all it reads from the document; its memory serves the scan that follows.
  dropDocument();

  // A distribution whose external document could not be read has none of its files in the tree: a
  // scan of that tree would call the installation current. The load ends with the failure the
  // document reported (64 when it could not be had).
  if (!built) return false;
  if (state_.failedOrStopped.load()) return true;
  state_.manifestLoaded.store(true);
  return true;
}

void ManifestLoad::takeRootPath(const std::optional<std::string>& root) {
  loadDirectory_ = cutToCapacity(platform::currentDirectory(), kLineCapacity);
  if (state_.defaultRootPath.empty()) {
    const std::string text = root.value_or(std::string());
    if (text.size() >= 2) {
      if (text[0] == '\\' && loadDirectory_.size() >= 2 && loadDirectory_[1] == ':') {
        state_.defaultRootPath = cutToCapacity(boundedFormat(kLineCapacity, "%c:%s", loadDirectory_[0], text.c_str()),
                                         kLineCapacity);
      } else {
        state_.defaultRootPath = cutToCapacity(text, kLineCapacity);
      }
    }
  }
  if (state_.defaultRootPath.size() >= 2 && !createDirectoryPath(state_.defaultRootPath))
    reports_.reportError(result::kPathNotCreated,
                boundedFormat(kLineCapacity, "Could not generate path %s\n", state_.defaultRootPath.c_str()));
}

void ManifestLoad::readChangeTexts(xmlNode* product) {
  for (xmlNode* child = product->children; child; child = child->next) {
    if (!isElementNamed(child, "Changes")) continue;
    const std::optional<std::string> server = readText(child, "Server");
    const int port = readInteger(child, "Port", 0);
    const std::string remotePath = readText(child, "RemotePath").value_or(std::string());
    const bool compressed = readBoolean(child, "Compressed", false);
    const int version = readInteger(child, "Version", 0);
    const std::int64_t downloadSize = readSize(child, "DownloadSize");
    const int list = readBoolean(child, "MaintenanceType", false) ? 1 : 0;
    // A note is fetched from the server it names, else from the session's servers.
    if (remotePath.empty() || (server ? server->empty() : !parts_.tree.hasServers())) continue;

    const std::string temp = makeTempName(".txt");
    FileDownload file;
    file.remote = server ? RemoteFile::on(manifestServer(*server, port, state_.port), remotePath)
                         : RemoteFile::onList(remotePath, port > 0 ? port : 0);
    file.localFile = temp;
    file.decompress = compressed ? 1 : 0;
    const int code = parts_.tree.downloadToFile(file, false, false);
    if (code == result::kOk) {
      const std::size_t limit = downloadSize >= 1
                                    ? static_cast<std::size_t>(std::min<std::uint64_t>(downloadSize, SIZE_MAX))
                                    : kChangeTextChars;
      changeLists_[list].push_back(ChangeText{version, readTextFile(temp, limit)});
    }
    platform::deleteFile(temp);
  }
}

}  // namespace korvel
