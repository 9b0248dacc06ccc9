// Registry lookup of the sibling launcher's installation folder.
#include "launcher/install_location.h"

#include "common/text_format.h"
#include "platform/registry.h"

namespace korvel {

int findInstallLocation(const std::string& applicationName, std::string& out, const std::string& fallback,
                        std::size_t outSize, const std::string& valueName) {
  if (outSize == 0) return 0;
  out = cutToCapacity(fallback, outSize);

  platform::RegistryKey appPaths(platform::RegistryHive::LocalMachine,
                                 "Software\\microsoft\\windows\\currentversion\\app paths");
  if (!appPaths.isOpen()) return 0;
  platform::RegistryKey application(appPaths, applicationName);
  if (!application.isOpen()) return 0;

  std::string scratch;
  if (application.queryString("", scratch, 512) != platform::kRegistrySuccess) return 0;
  std::string value;
  if (application.queryString(valueName, value, outSize) != platform::kRegistrySuccess) return 0;
  out = value;
  return 1;
}

}  // namespace korvel
