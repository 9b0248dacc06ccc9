// Signed documents: the manifest and external documents checked against their signatures.
#include "session/signed_documents.h"

#include <vector>

#include "common/file_utils.h"
#include "common/result_codes.h"
#include "common/text_format.h"
#include "platform/file.h"
#include "platform/files.h"
#include "transfer/download_requests.h"
#include "transfer/signed_document.h"
#include "trust/document_signature.h"

namespace korvel {

namespace {

constexpr std::size_t kLineCapacity = 256;
// A document too large for the memory request comes through a temporary file, up to this size.
constexpr std::size_t kDocumentFileLimit = 64u << 20;
// An authorisation request is answered by the server itself; it is read like any other page.
constexpr int kUnauthorized = 401;

// Up to `limit` bytes of a local file; nothing when it cannot be opened.
std::optional<std::string> readFileBytes(const std::string& path, std::size_t limit) {
  platform::File file = platform::File::open(path, "rb");
  if (!file) return std::nullopt;
  std::string bytes;
  char chunk[65536];
  for (std::size_t got; bytes.size() < limit && (got = file.read(chunk, sizeof chunk)) > 0;)
    bytes.append(chunk, got);
  return bytes;
}

}  // namespace

void SignedDocuments::logFailure(int code, const std::string& document) {
  const std::string signature = trust::signatureFileName(document);
  reports_.log(code == result::kSignatureMissing
                   ? boundedFormat(kLineCapacity, "No signature %s for %s\n", signature.c_str(), document.c_str())
                   : boundedFormat(kLineCapacity, "Signature %s does not verify %s\n", signature.c_str(),
                                   document.c_str()));
}

std::optional<std::string> SignedDocuments::fetchManifest(const ServerAddress& server, int capacity,
                                                          std::string& bytes, int* code) {
  int status = 0;
  const int fetched = downloads_.toBytes(RemoteFile::on(server, state_.manifestPath), capacity, bytes, status);
  if (code) *code = fetched;
  if (fetched != result::kOk) return std::nullopt;
  if (!successStatus(status) && status != kUnauthorized) return std::nullopt;
  return documentText(bytes, static_cast<std::size_t>(capacity) - 1);
}

int SignedDocuments::checkManifest(const ServerAddress& server, const std::string& bytes,
                                   std::string* trustedComment) {
  const int verdict = trust::signatureVerdict(
      state_.manifestKey, fetchSignatureText(downloads_, RemoteFile::on(server, state_.manifestPath)), bytes.data(),
      bytes.size(), trustedComment);
  if (verdict != result::kOk) logFailure(verdict, state_.manifestPath);
  return verdict;
}

int SignedDocuments::checkLocalManifest(std::string* trustedComment) {
  const std::string& path = state_.manifestPath;
  const std::optional<std::string> bytes = readFileBytes(path, kDocumentFileLimit);
  const int verdict =
      trust::signatureVerdict(state_.manifestKey, readFileBytes(trust::signatureFileName(path), kSignatureCapacity),
                              bytes ? bytes->data() : "", bytes ? bytes->size() : 0, trustedComment);
  if (verdict != result::kOk) logFailure(verdict, path);
  return verdict;
}

int SignedDocuments::fetch(const RemoteFile& remote, int capacity, std::string& text) {
  text.clear();
  if (remote.path.empty()) return result::kNullPath;
  // Each server is asked for the document and its signature in turn: a mirror may hold the wrong
  // bytes, and its refusal leaves the document to the next server. When no server has it, a refused
  // signature or certificate says why, rather than the last transfer's code.
  const std::vector<ServerAddress> servers = downloads_.servers().candidates(remote);
  int code = result::kNullPath;
  int refused = result::kOk;
  for (const ServerAddress& server : servers) {
    code = fetchFrom(RemoteFile::on(server, remote.path), capacity, text);
    if (code == result::kOk || code == result::kStopped || state_.isCancelled()) return code;
    if (code == result::kSignatureMissing || code == result::kSignatureInvalid) downloads_.servers().markFailed(server);
    if (code == result::kSignatureMissing || code == result::kSignatureInvalid || code == result::kCertificateRefused ||
        code == result::kInsecureRedirect)
      refused = code;
  }
  return refused != result::kOk ? refused : code;
}

int SignedDocuments::fetchFrom(const RemoteFile& remote, int capacity, std::string& text) {
  std::string bytes;
  int status = 0;
  int code = downloads_.toBytes(remote, capacity, bytes, status);
  if (code == result::kOk && !successStatus(status)) code = result::kHttpStatus;
  std::size_t limit = capacity > 0 ? static_cast<std::size_t>(capacity) - 1 : 0;
  if (code != result::kOk && code != result::kStopped && !state_.isCancelled()) {
    // As for an unsigned document: what does not fit in memory comes through a file, here unexpanded.
    const std::string temp = makeTempName(".xml");
    FileDownload file;
    file.remote = remote;
    file.localFile = temp;
    code = downloads_.toFile(file, false, false);
    if (code == result::kOk) {
      bytes = readFileBytes(temp, kDocumentFileLimit + 1).value_or(std::string());
      limit = kDocumentFileLimit;
      if (bytes.size() > kDocumentFileLimit) code = result::kReadFailed;
    }
    platform::deleteFile(temp);
  }
  if (code != result::kOk) return code;

  const int verdict =
      trust::signatureVerdict(state_.manifestKey, fetchSignatureText(downloads_, remote), bytes.data(), bytes.size());
  if (verdict != result::kOk) {
    logFailure(verdict, remote.path);
    return verdict;
  }
  std::optional<std::string> expanded = documentText(bytes, limit);
  if (!expanded) return result::kParseFailed;
  text = std::move(*expanded);
  return result::kOk;
}

}  // namespace korvel
