// The background stager of a distribution that is not live yet, as the model sees it: a distribution
// node owns one and starts its staging during a scan; the file nodes ask it for staged copies. The
// stager itself lives in staging/ and is made by the session.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/text_argument.h"

namespace korvel {

// What a staged copy is checked against besides the staging cache's entry.
struct StagedCopyCheck {
  // The "SHA256" of the bytes the copy must be once in place; none: not checked.
  std::optional<std::string> sha256;
  // Set for delta data: the "FilePath" it is staged under in the folder of the file it patches. Its
  // entry is found by the CRC of the old file the data applies to, which says nothing of the data's
  // own bytes; those are checked by their size and SHA-256 here, and by the delta's result later.
  std::optional<std::string> deltaName;
};

class Stager {
 public:
  virtual ~Stager() = default;
  // Stages the coming version (or only logs that staging is switched off).
  virtual void stageDistribution() = 0;
  // A staged copy of the file localPath in baseDir with this CRC, size and time stamp, that passes
  // `check`, moved (or copied) into place; false when there is none and nothing on disk changed.
  virtual bool getStagedFile(TextArgument baseDir, TextArgument localPath, std::uint32_t crc, std::int64_t size,
                             std::int32_t timeStamp, bool move, const StagedCopyCheck& check) = 0;
};

}  // namespace korvel
