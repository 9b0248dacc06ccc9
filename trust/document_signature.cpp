// Checking a document against its signature text.
#include "trust/document_signature.h"

#include "common/result_codes.h"
#include "trust/minisign_signature.h"

namespace korvel::trust {

std::string signatureFileName(const std::string& document) { return document + ".minisig"; }

int signatureVerdict(const ManifestKey& key, const std::optional<std::string>& signatureText, const void* data,
                     std::size_t size, std::string* trustedComment) {
  if (trustedComment) trustedComment->clear();
  if (!signatureText) return result::kSignatureMissing;
  const std::optional<MinisignSignature> signature = MinisignSignature::parse(*signatureText);
  if (!key.key || !signature || !signature->verifies(*key.key, data, size)) return result::kSignatureInvalid;
  if (trustedComment) *trustedComment = signature->trustedComment();
  return result::kOk;
}

const char* signatureFailureText(int code) {
  return code == result::kSignatureMissing ? "Manifest signature missing\n" : "Manifest signature invalid\n";
}

}  // namespace korvel::trust
