// The background stager of a distribution that is not live yet, as the model sees it: a distribution
// node owns one and starts its staging during a scan; the file nodes ask it for staged copies. The
// stager itself lives in staging/ and is made by the session.
#pragma once

#include <cstdint>

#include "common/text_argument.h"

namespace korvel {

class Stager {
 public:
  virtual ~Stager() = default;
  // Stages the coming version (or only logs that staging is switched off).
  virtual void stageDistribution() = 0;
  // A staged copy of the file localPath in baseDir with this CRC, size and time stamp, moved (or copied)
  // into place; false when there is none and nothing on disk changed.
  virtual bool getStagedFile(TextArgument baseDir, TextArgument localPath, std::uint32_t crc, std::int32_t size,
                             std::int32_t timeStamp, bool move) = 0;
};

}  // namespace korvel
