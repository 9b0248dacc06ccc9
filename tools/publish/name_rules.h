// Which file and folder names a patch tree can carry, and how they are spelled in URLs.
//
// A name must be one the updater accepts for a file of the installation (common/name_rules.h): what
// it refuses, it refuses for every player. The updater also creates files with the Windows ANSI file
// functions, keeps its caches without regard to letter case, and puts remote paths into
// "http://host:port/path" URLs without escaping them. A name must therefore also be plain ASCII,
// allowed by Windows, and is percent-encoded where a URL would otherwise change its meaning.
#pragma once

#include <optional>
#include <string>

namespace korvel::publish {

// Why `name` cannot be published (a short phrase for an error message), or nullopt when it can: the
// updater's rule first, then ASCII and the characters Windows refuses.
std::optional<std::string> nameProblem(const std::string& name);

// The name as one URL path segment: bytes outside the characters that URLs carry unchanged are
// written as %XX. Names that need no encoding are returned as they are.
std::string encodeUrlSegment(const std::string& name);

// Reverses encodeUrlSegment (and any other %XX escapes); malformed escapes stay as they are.
std::string decodeUrlSegment(const std::string& text);

// ASCII lower case, for comparing names the way the updater's caches do.
std::string foldCase(std::string text);

}  // namespace korvel::publish
