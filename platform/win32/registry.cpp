// Win32 registry reads: RegOpenKeyExA with KEY_READ, RegQueryValueExA, RegCloseKey.
#include "platform/registry.h"

#include <cstring>
#include <vector>

#include "platform/win32/windows_prelude.h"

namespace korvel::platform {

struct RegistryKey::State {
  win32::ScopedRegistryKey key;
};

namespace {
HKEY hiveKey(RegistryHive hive) {
  return hive == RegistryHive::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

void openInto(HKEY parent, const std::string& path, win32::ScopedRegistryKey& into) {
  if (!parent) return;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) into.reset(key);
}
}  // namespace

RegistryKey::RegistryKey(RegistryHive hive, const std::string& path) : state_(std::make_unique<State>()) {
  openInto(hiveKey(hive), path, state_->key);
}

RegistryKey::RegistryKey(const RegistryKey& parent, const std::string& subkey) : state_(std::make_unique<State>()) {
  openInto(parent.state_->key.get(), subkey, state_->key);
}

RegistryKey::~RegistryKey() = default;

bool RegistryKey::isOpen() const { return state_->key.valid(); }

long RegistryKey::queryString(const std::string& valueName, std::string& out, std::size_t bufferSize) const {
  if (!state_->key) return ERROR_INVALID_HANDLE;
  std::vector<char> buffer(bufferSize + 1, '\0');
  DWORD size = static_cast<DWORD>(bufferSize);
  DWORD type = 0;
  const LONG result = ::RegQueryValueExA(state_->key.get(), valueName.empty() ? nullptr : valueName.c_str(), nullptr,
                                         &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_UNSUPPORTED_TYPE;
  // A value stored without its terminator can fill the buffer exactly; the caller's buffer then has
  // no room for the zero that ends it.
  const std::size_t length = ::strnlen(buffer.data(), size);
  if (length >= bufferSize) return ERROR_MORE_DATA;
  out.assign(buffer.data(), length);
  return ERROR_SUCCESS;
}

}  // namespace korvel::platform
