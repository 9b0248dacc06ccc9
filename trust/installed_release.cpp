// The installation's record of the highest signed release installed, and the verdict on an offered one.
#include "trust/installed_release.h"

#include <cerrno>
#include <cstdlib>

#include "common/file_utils.h"
#include "common/name_rules.h"
#include "common/result_codes.h"
#include "common/text_format.h"
#include "platform/file.h"
#include "platform/files.h"
#include "trust/trusted_comment.h"

namespace korvel::trust {

namespace {

constexpr std::size_t kLineCapacity = 512;
// A record is one number and a line end; anything longer is not one.
constexpr std::size_t kRecordLimit = 32;

std::string recordPath(const std::string& folder) { return folder + "\\" + kInstalledReleaseName; }

// An optional '-', decimal digits within 32 bits, and an optional line end: nothing else.
std::optional<int> parseRecord(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  const std::size_t digits = text.size() - (!text.empty() && text.front() == '-' ? 1 : 0);
  if (digits == 0 || digits > 10 || text.find_first_not_of("0123456789", text.size() - digits) != std::string::npos)
    return std::nullopt;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno != 0 || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int>(value);
}

}  // namespace

InstalledRelease readInstalledRelease(const std::string& folder) {
  InstalledRelease result;
  const std::string path = recordPath(folder);
  if (!platform::pathExists(path)) return result;
  platform::File in = platform::File::open(path, "rb");
  std::string text(kRecordLimit + 1, '\0');
  text.resize(in ? in.read(text.data(), text.size()) : 0);
  if (in && !in.hadError() && text.size() <= kRecordLimit) result.version = parseRecord(text);
  if (!result.version)
    result.problem = boundedFormat(kLineCapacity, "The installed release record %s cannot be read\n", path.c_str());
  return result;
}

bool writeInstalledRelease(const std::string& folder, int version) {
  const std::string path = recordPath(folder);
  const std::string temp = makeTempName(".tmp", folder);
  const std::string text = std::to_string(version) + "\n";
  bool written = false;
  {
    platform::File out = platform::File::open(temp, "wb");
    written = out && out.write(text.data(), text.size()) == text.size() && out.flushToDisk() && out.close();
  }
  // Windows may refuse to replace a hidden file; the new one is hidden once it is in place.
  if (written && platform::pathExists(path)) platform::setFileAttributes(path, platform::kAttributeNormal);
  if (!written || !platform::replaceFile(temp, path)) {
    platform::deleteFile(temp);
    if (platform::pathExists(path)) platform::setFileAttributes(path, platform::kAttributeHidden);
    return false;
  }
  platform::setFileAttributes(path, platform::kAttributeHidden);
  return true;
}

int releaseVerdict(int offered, std::optional<int> installed, std::string_view trustedComment, std::int64_t now,
                   std::string& text) {
  if (installed && offered < *installed) {
    text = boundedFormat(kLineCapacity,
                         "The patch server offers release %d, older than release %d already installed; nothing is "
                         "installed from it.\n",
                         offered, *installed);
    return result::kRolledBack;
  }
  if (const std::optional<std::int64_t> expiry = releaseExpiry(trustedComment); expiry && now > *expiry) {
    text = boundedFormat(kLineCapacity,
                         "The patch server offers release %d, signed to be used until %s; it has expired and nothing "
                         "is installed from it.\n",
                         offered, utcTimeText(*expiry).c_str());
    return result::kReleaseExpired;
  }
  return result::kOk;
}

}  // namespace korvel::trust
