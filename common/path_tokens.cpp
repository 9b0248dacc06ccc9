// Path tokens of the manifest.
#include "common/path_tokens.h"

#include "common/text_format.h"
#include "platform/environment.h"
#include "platform/registry.h"

namespace korvel {

namespace {

constexpr const char* kShellFoldersKey = "Software\\microsoft\\windows\\currentversion\\explorer\\shell folders";
constexpr std::size_t kShellFolderBufferBytes = 255;

bool isToken(std::string_view text, const char* token) { return equalsIgnoreCase(std::string(text), token); }

std::optional<std::string> shellFolder(const char* valueName) {
  platform::RegistryKey key(platform::RegistryHive::CurrentUser, kShellFoldersKey);
  if (!key.isOpen()) return std::nullopt;
  std::string value;
  if (key.queryString(valueName, value, kShellFolderBufferBytes) != platform::kRegistrySuccess) return std::nullopt;
  return value;
}

std::string joined(std::string_view folder, std::string_view name) {
  std::string result(folder);
  result += '\\';
  result += name;
  return result;
}

}  // namespace

std::optional<std::string> tokenFolder(const std::string& token) {
  if (isToken(token, kTokenWindowsHome)) return platform::environmentValue("windir");
  if (isToken(token, kTokenDesktop)) return shellFolder("Desktop");
  if (isToken(token, kTokenStartMenu)) return shellFolder("Start Menu");
  return std::nullopt;
}

std::optional<std::string> resolvePathToken(TextArgument name, TextArgument path, TextArgument parentPath) {
  if (path.present()) {
    const std::string_view text = path.view();
    if (isToken(text, kTokenCurrentDirectory)) {
      if (!parentPath.present()) return std::nullopt;
      return parentPath.str();
    }
    if (isToken(text, kTokenHomeDirectory)) return std::nullopt;
    if (isToken(text, kTokenWindowsHome) || isToken(text, kTokenDesktop) || isToken(text, kTokenStartMenu))
      return tokenFolder(std::string(text));
    return std::string(text);
  }
  if (parentPath.present() && name.present()) return joined(parentPath.view(), name.view());
  if (parentPath.present()) return parentPath.str();
  if (name.present()) return name.str();
  return std::nullopt;
}

std::optional<std::string> resolveFilePath(TextArgument name, TextArgument path, TextArgument parentPath) {
  if (path.hasText()) {
    const std::string_view text = path.view();
    if (isToken(text, kTokenHomeDirectory)) {
      // No folder: fall through to the bare name.
    } else if (isToken(text, kTokenWindowsHome) || isToken(text, kTokenDesktop) || isToken(text, kTokenStartMenu)) {
      if (std::optional<std::string> folder = tokenFolder(std::string(text))) {
        if (!name.hasText()) return std::nullopt;
        return joined(*folder, name.view());
      }
    } else {
      return name.hasText() ? joined(text, name.view()) : std::string(text);
    }
  } else if (parentPath.hasText()) {
    return name.hasText() ? joined(parentPath.view(), name.view()) : parentPath.str();
  }
  if (name.hasText()) return name.str();
  return std::nullopt;
}

}  // namespace korvel
