// libFuzzer target for the scan of the program's own command line, as a restart hands it over: the
// input's zero bytes separate the arguments that follow the program's name. The scan must keep the
// restart's arguments within 255 characters and the restart's command line within 510, and accept
// only the access modes 0 to 3.
//
// The copy a "PatchPatcher <file>" asks for is taken up before the scan by a copy of a file onto
// itself (which does nothing): a copy starts only once, so no fuzzed name is ever written to.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/process.h"
#include "session/self_update.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using korvel::fuzz::fail;

constexpr const char* kProgram = "korvel-fuzz-self";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  korvel::fuzz::makeScratchFolder("command-line-fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments = {kProgram};
  std::string current;
  for (std::size_t at = 0; at < size; ++at) {
    if (data[at] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[at]);
    }
  }
  arguments.push_back(current);
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  korvel::platform::setCommandLine(static_cast<int>(argv.size()), argv.data());

  korvel::fuzz::FuzzSession session;
  session.setFailed(true);
  {
    korvel::SelfUpdate self(session);
    self.setOwnFileName(kProgram);
    self.startSelfCopy(kProgram, kProgram, true);
    const std::optional<int> mode = self.scanOwnCommandLine();
    if (mode && (*mode < 0 || *mode > 3)) fail("an access mode outside 0 to 3 was accepted");
    if (self.restartArguments().size() > 255) fail("the restart's arguments exceed 255 characters");
    if (self.ownProgramPath() != kProgram) fail("the scan changed the program's path");

    // A downloaded new copy that replaces a file named by the command line's last argument.
    self.registerSelfReplacement("new copy of the program", arguments.back().c_str());
    if (self.restartArguments().size() > 255) fail("the restart's arguments exceed 255 characters");
    std::string line;
    self.setProcessStarter([&](const std::string&, const std::string& commandLine) {
      line = commandLine;
      return true;
    });
    if (!self.startNewInstance() || line.size() > 510) fail("the restart's command line exceeds 510 characters");
  }
  korvel::platform::setCommandLine(0, nullptr);
  if (korvel::fuzz::scratchEntries() != 0) fail("the scan left a file behind");
  return 0;
}
