// Path tokens of the manifest: turns an element's name, its path attribute and its parent's path into
// a path, resolving the tokens that stand for folders of the user's machine.
#pragma once

#include <optional>
#include <string>

#include "common/text_argument.h"

namespace korvel {

// The tokens; the whole path attribute must equal one of them, letter case ignored.
inline constexpr const char* kTokenCurrentDirectory = "::CurrentDirectory::";
inline constexpr const char* kTokenHomeDirectory = "::HomeDirectory::";
inline constexpr const char* kTokenWindowsHome = "::WindowsHome::";
inline constexpr const char* kTokenDesktop = "::Desktop::";
inline constexpr const char* kTokenStartMenu = "::StartMenu::";

// The path of a distribution's root or of a directory. Absent arguments count as absent, empty texts
// as present. A path attribute that is a token gives the token's folder (the parent path for
// ::CurrentDirectory::, nothing for ::HomeDirectory::), any other path attribute is returned as it
// stands; without a path attribute the result is parentPath\name, or whichever of the two is present.
// nullopt when there is no folder.
std::optional<std::string> resolvePathToken(TextArgument name, TextArgument path, TextArgument parentPath);

// The path of a file or of its delta data. Here a text counts as present only when it is not empty.
// A token folder (::WindowsHome::, ::Desktop::, ::StartMenu::) gives folder\name, or nullopt without a
// name; an unknown folder and ::HomeDirectory:: fall back to the bare name. Any other path attribute,
// ::CurrentDirectory:: included, gives path\name (or the path alone); without a path attribute
// parentPath\name (or the parent path alone); failing all that the name, or nullopt.
std::optional<std::string> resolveFilePath(TextArgument name, TextArgument path, TextArgument parentPath);

// The folder a token names: the "windir" environment value for ::WindowsHome::, the shell folders
// registry values "Desktop" and "Start Menu" of the current user for ::Desktop:: and ::StartMenu::.
// nullopt for other texts and when the value cannot be read.
std::optional<std::string> tokenFolder(const std::string& token);

}  // namespace korvel
