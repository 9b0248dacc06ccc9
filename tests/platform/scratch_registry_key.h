// A scratch key under HKEY_CURRENT_USER for the registry tests, removed with everything below it when
// the object goes. Windows writes the real registry; POSIX stages the values in the stand-in's file.
#pragma once

#include <memory>
#include <string>

namespace korvel::test {

class ScratchRegistryKey {
 public:
  ScratchRegistryKey();
  ~ScratchRegistryKey();
  ScratchRegistryKey(const ScratchRegistryKey&) = delete;
  ScratchRegistryKey& operator=(const ScratchRegistryKey&) = delete;

  // The key's path below HKEY_CURRENT_USER.
  const std::string& path() const { return path_; }

  // Creates path()\subkey (path() itself for an empty subkey) without values. False on failure.
  bool addKey(const std::string& subkey);
  // Sets a string value of path()\subkey, creating the key; an empty name is the default value.
  bool setValue(const std::string& subkey, const std::string& name, const std::string& value);

 private:
  struct Store;
  std::string path_;
  std::unique_ptr<Store> store_;
};

}  // namespace korvel::test
