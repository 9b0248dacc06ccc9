// A scratch registry key for the registry tests: real keys on Windows, the stand-in's file on POSIX.
#include "tests/platform/scratch_registry_key.h"

#include <atomic>
#include <chrono>

#if defined(_WIN32)
// Writing the registry has no place in the product's platform layer, so the test reaches the
// system directly here: the one test file that needs to.
#include "platform/win32/windows_prelude.h"
#else
#include "tests/support/registry_fixture.h"
#endif

namespace korvel::test {

namespace {
std::string uniqueKeyName() {
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  return "Software\\KorvelPlatformTests\\run-" + std::to_string(stamp) + "-" + std::to_string(counter++);
}

std::string below(const std::string& path, const std::string& subkey) {
  return subkey.empty() ? path : path + "\\" + subkey;
}
}  // namespace

#if defined(_WIN32)

struct ScratchRegistryKey::Store {};

ScratchRegistryKey::ScratchRegistryKey() : path_(uniqueKeyName()), store_(std::make_unique<Store>()) {}

ScratchRegistryKey::~ScratchRegistryKey() { ::RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str()); }

bool ScratchRegistryKey::addKey(const std::string& subkey) {
  HKEY key = nullptr;
  if (::RegCreateKeyExA(HKEY_CURRENT_USER, below(path_, subkey).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
    return false;
  platform::win32::ScopedRegistryKey owned(key);
  return true;
}

bool ScratchRegistryKey::setValue(const std::string& subkey, const std::string& name, const std::string& value) {
  HKEY key = nullptr;
  if (::RegCreateKeyExA(HKEY_CURRENT_USER, below(path_, subkey).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
    return false;
  platform::win32::ScopedRegistryKey owned(key);
  return ::RegSetValueExA(key, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>(value.size() + 1)) ==
         ERROR_SUCCESS;
}

#else

struct ScratchRegistryKey::Store {
  ScratchRegistry registry;
};

ScratchRegistryKey::ScratchRegistryKey() : path_(uniqueKeyName()), store_(std::make_unique<Store>()) {}

ScratchRegistryKey::~ScratchRegistryKey() = default;

bool ScratchRegistryKey::addKey(const std::string& subkey) {
  store_->registry.addCurrentUserKey(below(path_, subkey));
  return true;
}

bool ScratchRegistryKey::setValue(const std::string& subkey, const std::string& name, const std::string& value) {
  store_->registry.setCurrentUserValue(below(path_, subkey), name, value);
  return true;
}

#endif

}  // namespace korvel::test
