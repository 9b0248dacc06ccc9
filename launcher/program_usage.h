// What the program says about itself when asked on its command line: the usage text and the version.
#pragma once

#include <optional>
#include <string>

namespace korvel {

// The answer to a command line (arguments without the program name) of exactly "--help" or
// "--version"; nothing for any other, whose arguments are options for the sibling launcher.
std::optional<std::string> informationRequested(int argc, const char* const* argv);

// What the program does, its options, where its progress and its log go, the environment it reads.
std::string usageText();
// "korvel-patcher <version>".
std::string versionText();

}  // namespace korvel
