// The rules for names from the manifest that name files and folders of the installation.
#include "common/name_rules.h"

#include <array>
#include <cctype>

#include "common/text_format.h"

namespace korvel {

namespace {

bool isDeviceName(const std::string& name) {
  // The device is named by the part before the first dot: "nul.txt" is the device too.
  const std::string stem = toLowerAscii(name.substr(0, name.find('.')));
  static constexpr std::array<const char*, 4> kPlain = {"con", "prn", "aux", "nul"};
  for (const char* device : kPlain)
    if (stem == device) return true;
  return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) && stem[3] >= '1' &&
         stem[3] <= '9';
}

}  // namespace

bool isPlainName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F || c == '\\' || c == '/' || c == ':') return false;
  if (name.front() == ' ' || name.back() == ' ' || name.back() == '.') return false;
  return !isDeviceName(name) && !equalsIgnoreCase(name, kInstallationLockName) &&
         !equalsIgnoreCase(name, kInstalledReleaseName);
}

}  // namespace korvel
