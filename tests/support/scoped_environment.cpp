// Sets or removes an environment variable for the length of a test.
#include "tests/support/scoped_environment.h"

#include <cstdlib>
#include <utility>

namespace korvel::test {

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* previous = std::getenv(name_.c_str())) previous_ = previous;
  set(name_, value);
}

ScopedEnvironment::~ScopedEnvironment() { set(name_, previous_); }

void ScopedEnvironment::set(const std::string& name, const std::optional<std::string>& value) {
#if defined(_WIN32)
  // An empty value removes the variable from the C runtime's environment.
  _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
  if (value)
    setenv(name.c_str(), value->c_str(), 1);
  else
    unsetenv(name.c_str());
#endif
}

}  // namespace korvel::test
