// The words and figures of the text front end.
#include "platform/progress_text.h"

#include <algorithm>
#include <cstdio>

namespace korvel::platform {

namespace {

bool continuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::string format(const char* pattern, double value, const char* unit) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value, unit);
  return text;
}

std::string plural(int count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::string byteText(std::int64_t bytes) {
  if (bytes < 1024) return std::to_string(std::max<std::int64_t>(bytes, 0)) + " B";
  static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  std::int64_t scale = 1024;
  while (unit < 3 && bytes >= scale * 1024) {
    scale *= 1024;
    ++unit;
  }
  // Tenths rounded down, so that "1.0 MiB" is never shown for a little less than a MiB.
  const std::int64_t tenths = bytes * 10 / scale;
  return format("%.1f %s", static_cast<double>(tenths) / 10.0, units[unit]);
}

std::string rateText(std::int64_t bytesPerSecond) { return byteText(bytesPerSecond) + "/s"; }

std::string clockText(std::int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char text[64];
  const long long hours = seconds / 3600, minutes = seconds / 60 % 60, rest = seconds % 60;
  if (hours > 0)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, rest);
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", minutes, rest);
  return text;
}

std::string elapsedText(std::int64_t milliseconds) {
  if (milliseconds < 0) milliseconds = 0;
  if (milliseconds >= 60000) return clockText(milliseconds / 1000);
  return format("%.1f %s", static_cast<double>(milliseconds / 100) / 10.0, "s");
}

std::string printable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return out;
}

int columns(const std::string& text) {
  int count = 0;
  for (char c : text)
    if (!continuationByte(c)) ++count;
  return count;
}

std::string fitEnd(const std::string& text, int width) {
  if (width < 1) return {};
  if (columns(text) <= width) return text;
  if (width <= 3) return std::string(static_cast<std::size_t>(width), '.');
  // Walk back from the end over width - 3 characters.
  int kept = 0;
  std::size_t start = text.size();
  while (start > 0) {
    std::size_t previous = start - 1;
    while (previous > 0 && continuationByte(text[previous])) --previous;
    if (kept + 1 > width - 3) break;
    ++kept;
    start = previous;
  }
  return "..." + text.substr(start);
}

std::string fitStart(const std::string& text, int width) {
  if (width < 1) return {};
  int kept = 0;
  std::size_t end = 0;
  while (end < text.size()) {
    std::size_t next = end + 1;
    while (next < text.size() && continuationByte(text[next])) ++next;
    if (kept + 1 > width) break;
    ++kept;
    end = next;
  }
  return text.substr(0, end);
}

int transferPercent(const ProgressWindow::Transfer& figures) {
  if (figures.bytesTotal <= 0) return -1;
  const std::int64_t done = std::clamp<std::int64_t>(figures.bytesDone, 0, figures.bytesTotal);
  return static_cast<int>(done * 100 / figures.bytesTotal);
}

std::string transferText(const ProgressWindow::Transfer& figures, std::int64_t nowSeconds, int level) {
  if (figures.bytesTotal <= 0) return {};
  std::string parts[3];
  int count = 0;
  parts[count++] = byteText(std::min(figures.bytesDone, figures.bytesTotal)) + " of " + byteText(figures.bytesTotal);
  if (figures.bytesPerSecond > 0) parts[count++] = rateText(figures.bytesPerSecond);
  if (figures.expectedFinish > 0) parts[count++] = clockText(figures.expectedFinish - nowSeconds) + " left";
  count = std::max(0, count - level);
  std::string out;
  for (int i = 0; i < count; ++i) out += (i ? "  " : "") + parts[i];
  return out;
}

std::string progressLogLine(int percent, const ProgressWindow::Transfer& figures, std::int64_t nowSeconds) {
  std::string text = transferText(figures, nowSeconds);
  for (std::size_t at = text.find("  "); at != std::string::npos; at = text.find("  ", at)) text.replace(at, 2, ", ");
  return "Download " + std::to_string(percent) + "%" + (text.empty() ? "" : ": " + text);
}

int filledCells(int position, int cells) {
  if (cells <= 0) return 0;
  return std::clamp(position, 0, 100) * cells / 100;
}

std::string barCells(int position, int cells) {
  if (cells <= 0) return {};
  const int filled = filledCells(position, cells);
  return std::string(static_cast<std::size_t>(filled), '#') + std::string(static_cast<std::size_t>(cells - filled), '-');
}

std::string summaryText(const ProgressWindow::Summary& summary, std::int64_t elapsedMilliseconds) {
  const std::string elapsed = elapsedText(elapsedMilliseconds);
  if (summary.installationBusy)
    return "Another updater is still at work on this installation; nothing was updated (after " + elapsed + ")";
  if (!summary.manifestLoaded) {
    return std::string(summary.stopped ? "Stopped" : "Could not load the list of files from the patch server") +
           " (after " + elapsed + ")";
  }
  const std::string checked = plural(summary.filesChecked, "file", "files");
  std::string updated;
  if (summary.filesUpdated > 0 || summary.bytesDownloaded > 0)
    updated = "updated " + std::to_string(summary.filesUpdated) + " (" + byteText(summary.bytesDownloaded) +
              " downloaded)";
  if (summary.stopped)
    return "Stopped after " + elapsed + ": checked " + checked + (updated.empty() ? "" : ", " + updated);
  if (!summary.upToDate)
    return "Checked " + checked + (updated.empty() ? "" : ", " + updated) + " in " + elapsed +
           "; some files could not be brought up to date";
  if (updated.empty()) return "Checked " + checked + " in " + elapsed + ": all up to date";
  return "Checked " + checked + ", " + updated + " in " + elapsed;
}

}  // namespace korvel::platform
