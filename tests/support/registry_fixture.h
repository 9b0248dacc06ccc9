// A scratch registry for tests: on POSIX a ".reg" file in a scratch folder that KORVEL_REGISTRY
// points at while the object lives. Windows reads the real registry, so there the values cannot be
// staged and available() is false: tests that need staged values skip themselves.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "tests/support/scoped_environment.h"
#include "tests/support/temp_dir.h"

namespace korvel::test {

class ScratchRegistry {
 public:
  // An empty registry.
  ScratchRegistry();
  ~ScratchRegistry();
  ScratchRegistry(const ScratchRegistry&) = delete;
  ScratchRegistry& operator=(const ScratchRegistry&) = delete;

  // Whether values can be staged on this platform.
  static bool available();

  // Stages a string value under HKEY_CURRENT_USER\key (rewrites the scratch file).
  void setCurrentUserValue(const std::string& key, const std::string& name, const std::string& value);
  // Stages an existing key without values.
  void addCurrentUserKey(const std::string& key);
  // The same under HKEY_LOCAL_MACHINE; an empty name is the key's default value.
  void setLocalMachineValue(const std::string& key, const std::string& name, const std::string& value);

 private:
  void write() const;

  TempDir dir_;
  std::unique_ptr<ScopedEnvironment> variable_;
  std::map<std::string, std::map<std::string, std::string>> keys_;
};

}  // namespace korvel::test
