// What an installation remembers of the signed releases it was brought up to, and the verdict on a
// signed release offered to it: one older than the installed one is a replay of an earlier release
// (a rollback), one past the expiry its signature states comes from a server frozen on it.
//
// The record is the hidden file kInstalledReleaseName (common/name_rules.h) in the installation
// folder, beside the installation lock: one line with the release's Product Version in decimal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvel::trust {

struct InstalledRelease {
  // The release remembered; nothing when the record is missing or cannot be read.
  std::optional<int> version;
  // A complete log line when the record exists but cannot be read (or says no release), else empty.
  std::string problem;
};

// The record in `folder`. Any thread; reads one small file.
InstalledRelease readInstalledRelease(const std::string& folder);

// Makes `version` the record in `folder`: written to a temporary file in the folder, put on the disk
// and renamed over the record in one step, so that a crash leaves the old record or the new one; the
// record is hidden on Windows. False (the old record untouched, no temporary left) when it cannot be.
bool writeInstalledRelease(const std::string& folder, int version);

// The verdict on signed release `offered`, whose signature vouches for `trustedComment`, for an
// installation that remembers `installed` (nothing: no release) at time `now` (seconds since 1970
// UTC): result::kOk; result::kRolledBack when `offered` is below `installed` (an equal one is fine);
// result::kReleaseExpired when the comment's expiry lies before `now`. A refusal puts the
// one line it is reported with into `text`.
int releaseVerdict(int offered, std::optional<int> installed, std::string_view trustedComment, std::int64_t now,
                   std::string& text);

}  // namespace korvel::trust
