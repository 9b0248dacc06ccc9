// The text front end's words and figures: units, clock readings, fitting to a width, the summary.
#include "platform/progress_text.h"

#include <gtest/gtest.h>

namespace korvel::platform {
namespace {

TEST(ProgressTextTest, FiguresAndFitting) {
  struct Case {
    std::string got;
    std::string expected;
  };
  ProgressWindow::Transfer figures;
  figures.bytesDone = 2 * 1024 * 1024;
  figures.bytesTotal = 6 * 1024 * 1024 + 300000;
  figures.bytesPerSecond = 1536 * 1024;
  figures.expectedFinish = 1000 + 125;
  const Case cases[] = {
      {byteText(0), "0 B"},
      {byteText(1023), "1023 B"},
      {byteText(1024 * 1024 - 1), "1023.9 KiB"},  // never rounded up to a unit it has not reached
      {byteText(5LL * 1024 * 1024 * 1024), "5.0 GiB"},
      {rateText(1536 * 1024), "1.5 MiB/s"},
      {clockText(-5), "0:00"},
      {clockText(42), "0:42"},
      {clockText(3723), "1:02:03"},
      {elapsedText(349), "0.3 s"},
      {elapsedText(61000), "1:01"},
      {printable("a\033[2Jb\tc"), "a?[2Jb?c"},
      {fitEnd("C:/games/wendrel/data/maps/maps_003.dat", 16), ".../maps_003.dat"},
      {fitEnd("short", 16), "short"},
      {fitEnd("abcdef", 2), ".."},
      // A two-byte character is kept whole or not at all.
      {fitEnd("\xc3\xa9t\xc3\xa9_file", 8), "\xc3\xa9t\xc3\xa9_file"},
      {fitEnd("xxx\xc3\xa9t\xc3\xa9_file", 9), "...\xc3\xa9_file"},
      {fitStart("\xc3\xa9t\xc3\xa9", 2), "\xc3\xa9t"},
      {barCells(45, 10), "####------"},
      {barCells(130, 4), "####"},
      {transferText(figures, 1000), "2.0 MiB of 6.2 MiB  1.5 MiB/s  2:05 left"},
      {transferText(figures, 1000, 1), "2.0 MiB of 6.2 MiB  1.5 MiB/s"},
      {transferText(figures, 1000, 3), ""},
      {progressLogLine(30, figures, 1000), "Download 30%: 2.0 MiB of 6.2 MiB, 1.5 MiB/s, 2:05 left"},
      {transferText(ProgressWindow::Transfer{}, 1000), ""},
  };
  for (const Case& each : cases) EXPECT_EQ(each.got, each.expected);
  EXPECT_EQ(transferPercent(figures), 31);
  EXPECT_EQ(transferPercent(ProgressWindow::Transfer{}), -1);
}

TEST(ProgressTextTest, SummaryNamesWhatHappened) {
  ProgressWindow::Summary summary;
  EXPECT_EQ(summaryText(summary, 1000), "Could not load the list of files from the patch server (after 1.0 s)");
  summary.manifestLoaded = true;
  summary.upToDate = true;
  summary.filesChecked = 299;
  EXPECT_EQ(summaryText(summary, 300), "Checked 299 files in 0.3 s: all up to date");
  summary.filesUpdated = 10;
  summary.bytesDownloaded = 1400000;
  EXPECT_EQ(summaryText(summary, 2100), "Checked 299 files, updated 10 (1.3 MiB downloaded) in 2.1 s");
  summary.upToDate = false;
  EXPECT_EQ(summaryText(summary, 2100),
            "Checked 299 files, updated 10 (1.3 MiB downloaded) in 2.1 s; some files could not be brought up to date");
  summary.stopped = true;
  EXPECT_EQ(summaryText(summary, 4000), "Stopped after 4.0 s: checked 299 files, updated 10 (1.3 MiB downloaded)");
}

}  // namespace
}  // namespace korvel::platform
