// The words and figures of the text front end: sizes, rates, durations, bars, lines fitted to a
// terminal's width, and the closing summary. Pure text, the same on every system, so the front end
// and the tests share it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ui.h"

namespace korvel::platform {

// Bytes in binary units: "512 B", "4.1 KiB", "6.3 MiB", "1.2 GiB" (one decimal, rounded down).
std::string byteText(std::int64_t bytes);
// "2.1 MiB/s".
std::string rateText(std::int64_t bytesPerSecond);
// A clock reading of whole seconds: "0:42", "12:05", "1:02:03"; negative counts as 0.
std::string clockText(std::int64_t seconds);
// A length of time for the summary: "0.3 s", "42.0 s", "3:05" (from one minute on).
std::string elapsedText(std::int64_t milliseconds);

// The text with every control character (escape sequences from a file name included) shown as '?',
// so that nothing but the front end's own sequences reaches the terminal.
std::string printable(const std::string& text);
// Columns a text takes: one per character of its UTF-8 form.
int columns(const std::string& text);
// The text cut to at most `width` columns, keeping its end behind "..." (file names matter at their
// end); never cuts inside a UTF-8 character. Empty for a width below 1.
std::string fitEnd(const std::string& text, int width);
// The text cut to at most `width` columns, keeping its start.
std::string fitStart(const std::string& text, int width);

// The download's progress in percent (0..100), or -1 while there is nothing to download.
int transferPercent(const ProgressWindow::Transfer& figures);
// What the lower bar's line says beside the bar: "1.9 MiB of 6.3 MiB", then the rate and the time
// left when they are known, separated by two blanks. `level` 0 gives everything; each level above it
// drops one part from the end (time left, then rate, then the sizes), for narrow terminals.
std::string transferText(const ProgressWindow::Transfer& figures, std::int64_t nowSeconds, int level = 0);
// One plain log line of the download's progress: "Download 30%: 1.9 MiB of 6.3 MiB, 2.1 MiB/s, 0:42 left".
std::string progressLogLine(int percent, const ProgressWindow::Transfer& figures, std::int64_t nowSeconds);

// A bar of `cells` cells: '#' for the part done, '-' for the rest; position is clamped to 0..100.
std::string barCells(int position, int cells);
// How many of `cells` cells a position fills.
int filledCells(int position, int cells);

// The closing line: "Checked 299 files, updated 10 (6.3 MiB downloaded) in 2.1 s", "Checked 299
// files in 0.3 s: all up to date", "Stopped after 4.0 s: checked 299 files, updated 3 (...)", a
// note when files are left out of date, or without a manifest "Could not load the list of files
// from the patch server (after 1.0 s)".
std::string summaryText(const ProgressWindow::Summary& summary, std::int64_t elapsedMilliseconds);

}  // namespace korvel::platform
