// libFuzzer target for the minisign readers: public key files (also as the configured manifest key),
// detached signatures with their check and their trusted comment's expiry, secret key files, and the
// Base64 lines they share. What a reader accepts must survive its own writing: a key read back from
// the text it writes is the same key, and a signature made over the input verifies over exactly the
// input.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "common/result_codes.h"
#include "tests/fuzz/fuzz_support.h"
#include "trust/document_signature.h"
#include "trust/manifest_key.h"
#include "trust/minisign_format.h"
#include "trust/minisign_public_key.h"
#include "trust/minisign_secret_key.h"
#include "trust/minisign_signature.h"
#include "trust/trusted_comment.h"

namespace {

using korvel::fuzz::fail;
namespace trust = korvel::trust;

std::string keyPath;

bool sameKey(const trust::MinisignPublicKey& one, const trust::MinisignPublicKey& other) {
  return one.id() == other.id() && one.key() == other.key();
}

// A signature made with `key` over the text must verify over it, and over nothing else.
void checkSigning(const trust::MinisignSecretKey& key, const std::string& text) {
  const std::string comment = text.substr(0, text.find_first_of("\r\n"));
  const std::string signed_ = key.sign(text.data(), text.size(), comment);
  const std::optional<trust::MinisignSignature> signature = trust::MinisignSignature::parse(signed_);
  if (!signature || signature->trustedComment() != comment) fail("a signature made here does not read back");
  if (!signature->verifies(key.publicKey(), text.data(), text.size())) fail("a signature made here does not verify");
  const std::string other = text + "x";
  if (signature->verifies(key.publicKey(), other.data(), other.size())) fail("a signature verifies other bytes");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  keyPath = korvel::fuzz::makeScratchFolder("minisign-fuzz") + "/key.pub";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  for (std::size_t length : {std::size_t{2} + 8 + 32, std::size_t{2} + 8 + 64, std::size_t{64}, std::size_t{1}}) {
    if (const auto bytes = trust::minisign::fromBase64(text, length)) {
      if (bytes->size() != length) fail("fromBase64 gave another length");
      if (trust::minisign::fromBase64(trust::minisign::toBase64(bytes->data(), bytes->size()), length) != bytes)
        fail("Base64 does not read back");
    }
  }

  const std::optional<trust::MinisignPublicKey> publicKey = trust::MinisignPublicKey::parse(text);
  if (publicKey) {
    const auto fromLine = trust::MinisignPublicKey::parse(publicKey->keyLine());
    const auto fromFile = trust::MinisignPublicKey::parse(publicKey->fileText());
    if (!fromLine || !fromFile || !sameKey(*fromLine, *publicKey) || !sameKey(*fromFile, *publicKey))
      fail("a public key does not read back");
  }

  // The same text as the configured manifest key's file.
  if (!korvel::fuzz::writeWhole(keyPath, data, size)) fail("cannot write the key file");
  setenv(trust::kManifestKeyVariable, keyPath.c_str(), 1);
  const trust::ManifestKey configured = trust::configuredManifestKey();
  unsetenv(trust::kManifestKeyVariable);
  if (!configured.required) fail("a configured key file is not required");
  if (configured.key.has_value() != configured.problem.empty()) fail("a key is both read and refused");
  if (configured.key && publicKey && !sameKey(*configured.key, *publicKey)) fail("the manifest key is another key");

  const std::optional<trust::MinisignSignature> signature = trust::MinisignSignature::parse(text);
  if (signature && publicKey) signature->verifies(*publicKey, data, size);
  const int verdict = trust::signatureVerdict(configured, text, data, size);
  if (verdict != korvel::result::kOk && verdict != korvel::result::kSignatureInvalid)
    fail("a signature text has a verdict other than valid or invalid");
  if (verdict == korvel::result::kOk && !signature) fail("a text that is no signature was accepted");

  // A trusted comment's expiry, whatever the comment says, is a time the refusal's text can show.
  if (const std::optional<std::int64_t> expiry = trust::releaseExpiry(text)) {
    if (*expiry < 0 || trust::utcTimeText(*expiry).size() != 23) fail("an expiry the calendar text cannot show");
  } else if (trust::trustedCommentField(text, trust::kExpiresField)) {
    fail("an expiry field without an expiry");
  }

  std::string problem;
  const std::optional<trust::MinisignSecretKey> secretKey = trust::MinisignSecretKey::parse(text, problem);
  if (secretKey) {
    std::string again;
    const auto reread = trust::MinisignSecretKey::parse(secretKey->fileText(), again);
    if (!reread || !sameKey(reread->publicKey(), secretKey->publicKey())) fail("a secret key does not read back");
    checkSigning(*secretKey, text);
  } else if (problem.empty()) {
    fail("a refused secret key has no reason");
  }
  korvel::fuzz::emptyScratchFolder();
  return 0;
}
