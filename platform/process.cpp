// The parts of process handling that are the same on every system.
#include "platform/process.h"

namespace korvel::platform {

std::string joinCommandLine(int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i] ? argv[i] : "";
    if (i) line += ' ';
    if (arg.empty() || arg.find(' ') != std::string::npos || arg.find('\t') != std::string::npos)
      line += '"' + arg + '"';
    else
      line += arg;
  }
  return line;
}

}  // namespace korvel::platform
