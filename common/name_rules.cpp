// The rule for names that name files and folders of the installation.
#include "common/name_rules.h"

#include <array>

#include "common/text_format.h"

namespace korvel {

namespace {

bool isDeviceName(const std::string& name) {
  // The device is named by the part before the first dot, blanks before the dot dropped: "nul.txt"
  // and "nul .txt" are the device too.
  std::string stem = toLowerAscii(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  static constexpr std::array<const char*, 6> kPlain = {"con", "prn", "aux", "nul", "conin$", "conout$"};
  for (const char* device : kPlain)
    if (stem == device) return true;
  return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) && stem[3] >= '1' &&
         stem[3] <= '9';
}

}  // namespace

const char* plainNameProblem(const std::string& name) {
  if (name.empty()) return "empty name";
  if (name == "." || name == "..") return "reserved name";
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return "control character in the name";
    if (c == '\\') return "character '\\' is not allowed in Windows names";
    if (c == '/') return "character '/' is not allowed in Windows names";
    if (c == ':') return "character ':' is not allowed in Windows names";
  }
  if (name.back() == '.' || name.back() == ' ') return "Windows drops a trailing dot or space from names";
  if (name.front() == ' ') return "a name may not start with a blank";
  if (isDeviceName(name)) return "Windows reserves this name for a device";
  if (equalsIgnoreCase(name, kInstallationLockName))
    return "the updater keeps the lock of the installation in a file of this name";
  if (equalsIgnoreCase(name, kInstalledReleaseName))
    return "the updater keeps the record of the installed release in a file of this name";
  return nullptr;
}

bool isPlainName(const std::string& name) { return plainNameProblem(name) == nullptr; }

}  // namespace korvel
