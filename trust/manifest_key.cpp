// Where the manifest key comes from: the run-time key file or the compiled-in key text.
#include "trust/manifest_key.h"

#include "platform/environment.h"
#include "platform/file.h"

#ifndef KORVEL_MANIFEST_PUBLIC_KEY
#define KORVEL_MANIFEST_PUBLIC_KEY ""
#endif

namespace korvel::trust {

namespace {

// A public key file is two short lines; anything much longer is not one.
constexpr std::size_t kKeyFileLimit = 4096;

}  // namespace

const char* compiledManifestKey() { return KORVEL_MANIFEST_PUBLIC_KEY; }

ManifestKey configuredManifestKey() {
  ManifestKey result;
  const std::optional<std::string> file = platform::environmentValue(kManifestKeyVariable);
  if (file && !file->empty()) {
    result.required = true;
    platform::File in = platform::File::open(*file, "rb");
    std::string text(kKeyFileLimit, '\0');
    text.resize(in ? in.read(text.data(), text.size()) : 0);
    result.key = MinisignPublicKey::parse(text);
    if (!result.key)
      result.problem = "The manifest key " + *file + (in ? " is not a minisign public key\n" : " cannot be read\n");
    return result;
  }
  const std::string compiled = compiledManifestKey();
  if (compiled.empty()) return result;
  result.required = true;
  result.key = MinisignPublicKey::parse(compiled);
  if (!result.key) result.problem = "The compiled-in manifest key is not a minisign public key\n";
  return result;
}

}  // namespace korvel::trust
