// POSIX registry stand-in: reads keys and string values from the ".reg" text file named by
// KORVEL_REGISTRY. Without the variable or the file the registry is empty.
#include "platform/registry.h"

#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "platform/environment.h"

namespace korvel::platform {

namespace {

std::string lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string trim(const std::string& text) {
  std::size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return {};
  std::size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(start, end - start + 1);
}

std::string hiveName(RegistryHive hive) {
  return hive == RegistryHive::LocalMachine ? "hkey_local_machine" : "hkey_current_user";
}

// Normalises "[HKLM\Software\...]" to "hkey_local_machine\software\..." with single separators.
std::string normaliseKey(std::string key) {
  key = lower(trim(key));
  for (char& c : key)
    if (c == '/') c = '\\';
  std::string out;
  for (char c : key) {
    if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
    out += c;
  }
  while (!out.empty() && out.back() == '\\') out.pop_back();
  std::size_t slash = out.find('\\');
  std::string head = out.substr(0, slash);
  if (head == "hklm") head = "hkey_local_machine";
  if (head == "hkcu") head = "hkey_current_user";
  return slash == std::string::npos ? head : head + out.substr(slash);
}

// Reads a quoted .reg string starting at text[pos] == '"'; unescapes \\ and \". nullopt when unterminated.
std::optional<std::string> readQuoted(const std::string& text, std::size_t& pos) {
  if (pos >= text.size() || text[pos] != '"') return std::nullopt;
  std::string out;
  for (++pos; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c == '\\' && pos + 1 < text.size()) {
      out += text[++pos];
      continue;
    }
    if (c == '"') {
      ++pos;
      return out;
    }
    out += c;
  }
  return std::nullopt;
}

using Values = std::map<std::string, std::string>;  // lower-cased value name ("" is the default) -> data

// Parses the whole file: key path -> string values. Non-string values are left out.
std::map<std::string, Values> loadRegistryFile() {
  std::map<std::string, Values> keys;
  auto file = environmentValue("KORVEL_REGISTRY");
  if (!file) return keys;
  std::ifstream in(*file, std::ios::binary);
  if (!in) return keys;
  std::string line;
  std::string current;
  bool inKey = false;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      std::string key = line.substr(1, line.size() - 2);
      if (!key.empty() && key[0] == '-') {  // a deletion entry: nothing to read
        inKey = false;
        continue;
      }
      current = normaliseKey(key);
      keys[current];
      inKey = true;
      continue;
    }
    if (!inKey) continue;
    std::string name;
    std::size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else if (line[0] == '"') {
      auto quoted = readQuoted(line, pos);
      if (!quoted) continue;
      name = lower(*quoted);
    } else {
      continue;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') continue;
    ++pos;
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    auto value = readQuoted(line, pos);
    if (value) keys[current][name] = *value;
  }
  return keys;
}

}  // namespace

struct RegistryKey::State {
  bool open = false;
  std::string path;
  Values values;
};

static void openKey(RegistryKey::State& state, const std::string& path) {
  state.path = normaliseKey(path);
  auto keys = loadRegistryFile();
  for (const auto& [key, values] : keys) {
    if (key == state.path) {
      state.open = true;
      state.values = values;
    } else if (key.size() > state.path.size() && key.compare(0, state.path.size(), state.path) == 0 &&
               key[state.path.size()] == '\\') {
      state.open = true;  // a key that only exists as the parent of deeper keys
    }
  }
}

RegistryKey::RegistryKey(RegistryHive hive, const std::string& path) : state_(std::make_unique<State>()) {
  openKey(*state_, hiveName(hive) + "\\" + path);
}

RegistryKey::RegistryKey(const RegistryKey& parent, const std::string& subkey) : state_(std::make_unique<State>()) {
  if (parent.isOpen()) openKey(*state_, parent.state_->path + "\\" + subkey);
}

RegistryKey::~RegistryKey() = default;

bool RegistryKey::isOpen() const { return state_->open; }

long RegistryKey::queryString(const std::string& valueName, std::string& out, std::size_t bufferSize) const {
  if (!state_->open) return kRegistryNotFound;
  auto it = state_->values.find(lower(valueName));
  if (it == state_->values.end()) return kRegistryNotFound;
  if (it->second.size() + 1 > bufferSize) return kRegistryMoreData;
  out = it->second;
  return kRegistrySuccess;
}

}  // namespace korvel::platform
