// The session's progress channels (the `bar` argument of the progress notifications) and the kinds of
// file notice, shared by every floor that reports progress.
#pragma once

namespace korvel {

enum ProgressBar : int {
  kBarScan = 0,
  kBarFileDownload = 1,
  kBarUnpack = 2,
  kBarOverall = 3,
  kBarChecksum = 4,
  kBarDelta = 6,
  kBarCopy = 7,
};

enum FileNoticeKind : int {
  kNoticeDownloadStarts = 0,
  kNoticeUnpackStarts = 1,
  kNoticeFinished = 3,
  kNoticeCopyStarts = 4,
};

}  // namespace korvel
