// The signed release of the last load and the installation's record of it.
#include "session/release_record.h"

#include "common/result_codes.h"
#include "common/text_format.h"
#include "platform/clock.h"
#include "trust/installed_release.h"

namespace korvel {

namespace {
constexpr std::size_t kLineCapacity = 256;
}  // namespace

int ReleaseRecord::verdict(int offered, std::string& text) {
  const trust::InstalledRelease installed = trust::readInstalledRelease(state_.releaseFolder());
  if (!installed.problem.empty()) reports_.log(installed.problem);
  return trust::releaseVerdict(offered, installed.version, trustedComment_, platform::nowSeconds(), text);
}

bool ReleaseRecord::accept(int offered) {
  std::string text;
  const int refusal = verdict(offered, text);
  if (refusal != result::kOk) {
    reports_.reportError(refusal, text);
    return false;
  }
  version_ = offered;
  return true;
}

void ReleaseRecord::remember() {
  if (!state_.manifestKey.required || !version_) return;
  const std::string& folder = state_.releaseFolder();
  const std::optional<int> installed = trust::readInstalledRelease(folder).version;
  if (installed && *installed >= *version_) return;
  reports_.log(trust::writeInstalledRelease(folder, *version_)
                   ? boundedFormat(kLineCapacity, "Release %d is installed\n", *version_)
                   : boundedFormat(kLineCapacity, "The installed release record in %s cannot be written\n",
                                   folder.c_str()));
}

}  // namespace korvel
