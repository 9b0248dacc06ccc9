// The fields of a minisign signature's trusted comment, which the global signature covers: what the
// publisher says of a release beyond its bytes, among it the time after which it must not be used.
//
// The comment is a list of fields separated by tabs, each "name:value" or a bare word, as minisign
// writes it ("timestamp:<seconds>\tfile:<name>\thashed"). korvel-publish --expires adds
// "expires:<seconds since 1970-01-01 UTC>": the last second the release may be installed in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvel::trust {

inline constexpr std::string_view kExpiresField = "expires";

// The value of the first field called `name`; nothing when the comment has none.
std::optional<std::string_view> trustedCommentField(std::string_view comment, std::string_view name);

// The comment with the expiry field appended: "<comment>\texpires:<expiresAt>".
std::string withExpiry(std::string_view comment, std::int64_t expiresAt);

// The last second (since 1970-01-01 UTC) the comment lets its release be used in; nothing when it has
// no expiry field. A value that is not a whole number of seconds counts as 0, long expired: the
// publisher meant an expiry, and none can be read. Values beyond the year 9999 are taken as its end.
std::optional<std::int64_t> releaseExpiry(std::string_view comment);

// A time as "YYYY-MM-DD HH:MM:SS UTC" (0 to the end of the year 9999).
std::string utcTimeText(std::int64_t secondsSince1970);

}  // namespace korvel::trust
