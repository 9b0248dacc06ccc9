// Sets or removes an environment variable for the length of a test and restores it afterwards.
#pragma once

#include <optional>
#include <string>

namespace korvel::test {

class ScopedEnvironment {
 public:
  // Sets `name` to `value`, or removes it when value is nullopt.
  ScopedEnvironment(std::string name, const std::optional<std::string>& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  static void set(const std::string& name, const std::optional<std::string>& value);

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace korvel::test
