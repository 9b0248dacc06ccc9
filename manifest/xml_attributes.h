// The attribute readers of the manifest model (text, integer, boolean, tri-state) over libxml2's
// xmlGetProp (values read in place where that gives the same; a document type's default values
// included), and element name tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/text_argument.h"

typedef struct _xmlNode xmlNode;

namespace korvel {

// The value of a tri-state attribute that is absent or not one of the boolean words.
inline constexpr int kTriStateUnspecified = 2;

// A copy of the attribute's value; `fallback` (absent: nullopt) when the attribute is missing.
// A null element has no attributes.
std::optional<std::string> readText(const xmlNode* element, const char* name, TextArgument fallback = nullptr);

// atol of the value as a 32-bit long (wrapping on overflow); `fallback` when the attribute is missing.
std::int32_t readInteger(const xmlNode* element, const char* name, std::int32_t fallback = 0);

// A byte count ("TotalSize", "DownloadSize", the download limits) in 64 bits: `fallback` when the
// attribute is missing, kNotASize when its value is negative or too large (decimalToSize).
inline constexpr std::int64_t kNotASize = -1;
std::int64_t readSize(const xmlNode* element, const char* name, std::int64_t fallback = 0);

// A download limit in bytes: a byte count read as readSize does; a negative value keeps the 32-bit
// unsigned reading of atoi it always had ("-1" is 4294967295). `fallback` when the attribute is missing.
std::uint64_t readLimit(const xmlNode* element, const char* name, std::uint64_t fallback = 0);

// true for "y", "yes", "t", "true", "on", "1"; false for "n", "no", "f", "false", "off", "0" (any
// letter case); `fallback` for a missing attribute or any other value.
bool readBoolean(const xmlNode* element, const char* name, bool fallback);

// 1 for the true words, 0 for the false words, 2 for a missing attribute or any other value.
int readTriState(const xmlNode* element, const char* name);

// The boolean word lists on their own: 1, 0, or 2 for neither (null included).
int booleanWord(const char* value);

// Whether the node is an element whose name equals `name` without regard to letter case.
bool isElementNamed(const xmlNode* node, const char* name);

// Whether the node is an element.
bool isElement(const xmlNode* node);

// The element's name ("" for a null node or a node without a name).
std::string elementName(const xmlNode* node);

}  // namespace korvel
