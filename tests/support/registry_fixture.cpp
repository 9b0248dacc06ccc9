// A scratch registry for tests.
#include "tests/support/registry_fixture.h"

namespace korvel::test {

namespace {

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

ScratchRegistry::ScratchRegistry() {
  if (!available()) return;
  variable_ = std::make_unique<ScopedEnvironment>("KORVEL_REGISTRY", dir_.native() + "/scratch.reg");
  write();
}

ScratchRegistry::~ScratchRegistry() = default;

bool ScratchRegistry::available() {
#if defined(_WIN32)
  return false;
#else
  return true;
#endif
}

void ScratchRegistry::setCurrentUserValue(const std::string& key, const std::string& name, const std::string& value) {
  keys_["HKEY_CURRENT_USER\\" + key][name] = value;
  write();
}

void ScratchRegistry::addCurrentUserKey(const std::string& key) {
  keys_["HKEY_CURRENT_USER\\" + key];
  write();
}

void ScratchRegistry::setLocalMachineValue(const std::string& key, const std::string& name, const std::string& value) {
  keys_["HKEY_LOCAL_MACHINE\\" + key][name] = value;
  write();
}

void ScratchRegistry::write() const {
  if (!available()) return;
  std::string text = "Windows Registry Editor Version 5.00\n\n";
  for (const auto& [key, values] : keys_) {
    text += "[" + key + "]\n";
    for (const auto& [name, value] : values) {
      text += name.empty() ? std::string("@") : "\"" + escaped(name) + "\"";
      text += "=\"" + escaped(value) + "\"\n";
    }
    text += "\n";
  }
  writeFile(dir_.file("scratch.reg"), text);
}

}  // namespace korvel::test
