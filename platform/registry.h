// Registry reads. Win32: ADVAPI32. POSIX: a stand-in that reads a ".reg" text file named by the
// environment variable KORVEL_REGISTRY (REGEDIT4 or "Windows Registry Editor Version 5.00" syntax);
// without the variable or the file the registry is empty.
#pragma once

#include <memory>
#include <string>

namespace korvel::platform {

enum class RegistryHive { LocalMachine, CurrentUser };

// Win32 error numbers the reads give back.
inline constexpr long kRegistrySuccess = 0;
inline constexpr long kRegistryNotFound = 2;        // ERROR_FILE_NOT_FOUND
inline constexpr long kRegistryMoreData = 234;      // ERROR_MORE_DATA

// An open key, closed when the object goes (RegCloseKey).
class RegistryKey {
 public:
  // RegOpenKeyEx(hive, path, KEY_READ). isOpen() tells whether it worked. Key names ignore letter case.
  RegistryKey(RegistryHive hive, const std::string& path);
  // RegOpenKeyEx(parent, subkey, KEY_READ).
  RegistryKey(const RegistryKey& parent, const std::string& subkey);
  ~RegistryKey();
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  bool isOpen() const;
  // RegQueryValueEx of a string value into a buffer of `bufferSize` bytes; an empty name is the
  // default value. Returns kRegistrySuccess with `out` set (without the terminating zero), or the
  // error: kRegistryNotFound, kRegistryMoreData when value and terminator do not fit in bufferSize.
  long queryString(const std::string& valueName, std::string& out, std::size_t bufferSize) const;

 struct State;  // backend-defined

 private:
  std::unique_ptr<State> state_;
};

}  // namespace korvel::platform
