// The job store of the POSIX background transfer service: job files, the folder lock, the helper lock.
#include "platform/posix/transfer_jobs.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>

#include "platform/clock.h"
#include "platform/environment.h"

namespace korvel::platform::posix {

namespace {

constexpr char kJobSuffix[] = ".job";
constexpr char kHeader[] = "KorvelTransferJob 1";
// Private temporary files of writeJob: "<id>.job.<pid>.new".
constexpr char kWriteSuffix[] = ".new";

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Values are written as single words: blanks, controls, '%' and '~' are percent-escaped, and the empty
// text is "~".
std::string escape(const std::string& text) {
  if (text.empty()) return "~";
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7F || c == '%' || c == '~') {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0x0F];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool unescape(const std::string& word, std::string& out) {
  out.clear();
  if (word == "~") return true;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (word[i] != '%') {
      out += word[i];
      continue;
    }
    if (i + 2 >= word.size()) return false;
    const int high = hexValue(word[i + 1]);
    const int low = hexValue(word[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

// Owns an open folder listing.
struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

bool readAll(int fd, std::string& out) {
  out.clear();
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

bool readWhole(const std::string& path, std::string& out) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return fd && readAll(fd.get(), out);
}

bool writeAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

template <typename Number>
bool parseNumber(const std::string& word, Number& out) {
  if (word.empty()) return false;
  char* end = nullptr;
  errno = 0;
  if constexpr (std::is_unsigned_v<Number>) {
    if (word[0] == '-') return false;
    const unsigned long long value = std::strtoull(word.c_str(), &end, 10);
    out = static_cast<Number>(value);
  } else {
    const long long value = std::strtoll(word.c_str(), &end, 10);
    out = static_cast<Number>(value);
  }
  return errno == 0 && end && *end == '\0';
}

std::vector<std::string> wordsOf(const std::string& line) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start <= line.size()) {
    std::size_t end = line.find(' ', start);
    if (end == std::string::npos) end = line.size();
    words.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

std::string fileLine(const TransferFile& file) {
  std::string line = "file " + escape(file.remote) + ' ' + escape(file.local) + ' ' + escape(file.temp) + ' ';
  line += file.total == kBgSizeUnknown ? std::string("-") : std::to_string(file.total);
  line += ' ' + std::to_string(file.transferred) + ' ' + (file.completed ? '1' : '0') + ' ' + escape(file.validator) + '\n';
  return line;
}

std::string serialise(const TransferJob& job) {
  std::ostringstream out;
  out << kHeader << '\n';
  out << "id " << escape(job.id) << '\n';
  out << "display " << escape(job.displayName) << '\n';
  out << "owner " << escape(job.owner) << '\n';
  out << "state " << static_cast<unsigned>(job.state) << '\n';
  out << "sequence " << job.sequence << '\n';
  out << "progressAt " << job.lastProgress << '\n';
  out << "retryAt " << job.retryAt << '\n';
  out << "failures " << job.failures << '\n';
  out << "error " << static_cast<unsigned>(job.errorContext) << ' ' << job.errorCode << ' ' << job.errorFile << ' '
      << escape(job.errorDescription) << '\n';
  for (const TransferFile& file : job.files) out << fileLine(file);
  return out.str();
}

bool parse(const std::string& text, TransferJob& job) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kHeader) return false;
  job = TransferJob{};
  bool haveId = false;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    const std::vector<std::string> w = wordsOf(line);
    const std::string& key = w[0];
    if (key == "id" && w.size() == 2) {
      if (!unescape(w[1], job.id)) return false;
      haveId = true;
    } else if (key == "display" && w.size() == 2) {
      if (!unescape(w[1], job.displayName)) return false;
    } else if (key == "owner" && w.size() == 2) {
      if (!unescape(w[1], job.owner)) return false;
    } else if (key == "state" && w.size() == 2) {
      unsigned state = 0;
      if (!parseNumber(w[1], state) || state > static_cast<unsigned>(BgJobState::Cancelled)) return false;
      job.state = static_cast<BgJobState>(state);
    } else if (key == "sequence" && w.size() == 2) {
      if (!parseNumber(w[1], job.sequence)) return false;
    } else if (key == "progressAt" && w.size() == 2) {
      if (!parseNumber(w[1], job.lastProgress)) return false;
    } else if (key == "retryAt" && w.size() == 2) {
      if (!parseNumber(w[1], job.retryAt)) return false;
    } else if (key == "failures" && w.size() == 2) {
      if (!parseNumber(w[1], job.failures)) return false;
    } else if (key == "error" && w.size() == 5) {
      unsigned context = 0;
      if (!parseNumber(w[1], context) || !parseNumber(w[2], job.errorCode) || !parseNumber(w[3], job.errorFile) ||
          !unescape(w[4], job.errorDescription))
        return false;
      job.errorContext = static_cast<BgErrorContext>(context);
    } else if (key == "file" && w.size() == 8) {
      TransferFile file;
      if (!unescape(w[1], file.remote) || !unescape(w[2], file.local) || !unescape(w[3], file.temp)) return false;
      if (w[4] == "-")
        file.total = kBgSizeUnknown;
      else if (!parseNumber(w[4], file.total))
        return false;
      unsigned completed = 0;
      if (!parseNumber(w[5], file.transferred) || !parseNumber(w[6], completed) || !unescape(w[7], file.validator))
        return false;
      file.completed = completed != 0;
      job.files.push_back(std::move(file));
    }
    // Lines of later versions are left alone.
  }
  return haveId;
}

std::string lockPath(const std::string& folder, const char* name) { return folder + "/" + name; }

// The value of an environment variable, empty when it is not set.
std::string nonEmpty(const char* name) {
  auto value = environmentValue(name);
  return value ? *value : std::string();
}

std::string absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char buffer[4096];
  if (!::getcwd(buffer, sizeof buffer)) return {};
  return std::string(buffer) + "/" + path;
}

}  // namespace

bool TransferJob::hasWork() const {
  switch (state) {
    case BgJobState::Queued:
    case BgJobState::Connecting:
    case BgJobState::Transferring:
    case BgJobState::TransientError:
      return true;
    default:
      return false;
  }
}

void TransferJob::clearError() {
  errorContext = BgErrorContext::None;
  errorCode = kSOk;
  errorFile = -1;
  errorDescription.clear();
}

void TransferJob::setError(BgJobState errorState, BgErrorContext context, HResult code, int file,
                           const std::string& detail) {
  state = errorState;
  errorContext = context;
  errorCode = code;
  errorFile = file;
  std::string text;
  if (!describeResult(code, text)) {
    char number[32];
    std::snprintf(number, sizeof number, "Error 0x%08X.", static_cast<unsigned>(code));
    text = number;
  }
  if (!detail.empty()) text += " (" + detail + ")";
  errorDescription = text;
}

BgJobProgress TransferJob::progress() const {
  BgJobProgress out;
  out.FilesTotal = static_cast<std::uint32_t>(files.size());
  for (const TransferFile& file : files) {
    if (file.total == kBgSizeUnknown)
      out.BytesTotal = kBgSizeUnknown;
    else if (out.BytesTotal != kBgSizeUnknown)
      out.BytesTotal += file.total;
    out.BytesTransferred += file.transferred;
    if (file.completed) ++out.FilesTransferred;
  }
  return out;
}

bool makeFolders(const std::string& folder) {
  if (folder.empty()) return false;
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !makeFolders(folder.substr(0, slash))) return false;
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string stateFolder() {
  std::string folder = nonEmpty("KORVEL_BITS_DIR");
  if (folder.empty()) {
    // The base folder of XDG state data counts only when it is absolute.
    const std::string state = nonEmpty("XDG_STATE_HOME");
    if (!state.empty() && state[0] == '/') {
      folder = state + "/korvel/bits";
    } else {
      const std::string home = nonEmpty("HOME");
      if (home.empty()) return {};
      folder = home + "/.local/state/korvel/bits";
    }
  }
  folder = absolute(folder);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return makeFolders(folder) ? folder : std::string();
}

std::string newJobId() {
  unsigned char bytes[16] = {};
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    // Without the kernel's random source the clock and the process make the identifier unique enough.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const unsigned long long mix = static_cast<unsigned long long>(now.tv_sec) * 1000000007ULL ^
                                   static_cast<unsigned long long>(now.tv_nsec) ^
                                   (static_cast<unsigned long long>(::getpid()) << 40);
    for (int i = 0; i < 16; ++i) bytes[i] = static_cast<unsigned char>(mix >> ((i % 8) * 8)) ^ static_cast<unsigned char>(i * 37);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  char text[40];
  std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

std::string jobPath(const std::string& folder, const std::string& id) { return folder + "/" + id + kJobSuffix; }

std::string tempPathFor(const std::string& localNative, const std::string& jobId) {
  return localNative + "." + jobId.substr(1, 8) + ".tmp";
}

namespace {

// Leaves out a last line that has no line end: an append that did not finish.
void dropUnfinishedLine(std::string& text) {
  if (!text.empty() && text.back() != '\n') {
    const std::size_t end = text.find_last_of('\n');
    text.erase(end == std::string::npos ? 0 : end + 1);
  }
}

void takeStamp(const struct stat& st, JobFileView& view) {
  view.device = static_cast<std::uint64_t>(st.st_dev);
  view.inode = static_cast<std::uint64_t>(st.st_ino);
  view.size = static_cast<std::uint64_t>(st.st_size);
  view.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  view.changed = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

// A rewrite renames a new file over the job file, so another inode (or, should the number come back,
// other times) tells that somebody else wrote; an append by somebody else changes the size.
bool sameStamp(const struct stat& st, const JobFileView& view) {
  JobFileView now;
  takeStamp(st, now);
  return now.device == view.device && now.inode == view.inode && now.size == view.size &&
         now.modified == view.modified && now.changed == view.changed;
}

}  // namespace

bool readJob(const std::string& path, TransferJob& out) {
  std::string text;
  if (!readWhole(path, text)) return false;
  dropUnfinishedLine(text);
  return parse(text, out);
}

bool writeJob(const std::string& folder, const TransferJob& job) {
  const std::string path = jobPath(folder, job.id);
  const std::string temp = path + "." + std::to_string(::getpid()) + kWriteSuffix;
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd) return false;
  const bool written = writeAll(fd.get(), serialise(job)) && ::fsync(fd.get()) == 0;
  if (!fd.close() || !written || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

bool refreshJob(const std::string& folder, const std::string& id, JobFileView& view) {
  const std::string path = jobPath(folder, id);
  struct stat st {};
  if (view.known && ::stat(path.c_str(), &st) == 0 && sameStamp(st, view)) return true;
  view.known = false;
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string text;
  if (!fd || ::fstat(fd.get(), &st) != 0 || !readAll(fd.get(), text)) return false;
  // A file that ends in an unfinished line is rewritten by the next append, never appended to.
  const bool whole = !text.empty() && text.back() == '\n';
  dropUnfinishedLine(text);
  if (!parse(text, view.job) || view.job.id != id) return false;
  view.locals.clear();
  for (const TransferFile& file : view.job.files) view.locals.insert(file.local);
  takeStamp(st, view);
  view.appendable = whole;
  view.known = true;
  return true;
}

bool appendFile(const std::string& folder, JobFileView& view, TransferFile file) {
  if (!view.known) return false;
  const std::string path = jobPath(folder, view.job.id);
  view.known = false;
  struct stat st {};
  if (view.appendable) {
    const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (!fd) return false;
    if (!writeAll(fd.get(), fileLine(file))) {
      if (::ftruncate(fd.get(), static_cast<off_t>(view.size)) != 0) {
        // What got in stays as an unfinished line: every reader leaves it out, and the next writer
        // rewrites the file.
      }
      return false;
    }
    if (::fstat(fd.get(), &st) != 0) return false;
  } else {
    TransferJob whole = view.job;
    whole.files.push_back(file);
    if (!writeJob(folder, whole) || ::stat(path.c_str(), &st) != 0) return false;
  }
  view.locals.insert(file.local);
  view.job.files.push_back(std::move(file));
  takeStamp(st, view);
  view.appendable = true;
  view.known = true;
  return true;
}

bool removeJob(const std::string& folder, const std::string& id) {
  return ::unlink(jobPath(folder, id).c_str()) == 0 || errno == ENOENT;
}

std::vector<TransferJob> readJobs(const std::string& folder) {
  std::vector<TransferJob> jobs;
  const Dir dir(::opendir(folder.c_str()));
  if (!dir) return jobs;
  while (dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (!endsWith(name, kJobSuffix)) continue;
    TransferJob job;
    if (readJob(folder + "/" + name, job)) jobs.push_back(std::move(job));
  }
  std::sort(jobs.begin(), jobs.end(), [](const TransferJob& a, const TransferJob& b) {
    return a.sequence != b.sequence ? a.sequence < b.sequence : a.id < b.id;
  });
  return jobs;
}

void removeStaleWrites(const std::string& folder) {
  const Dir dir(::opendir(folder.c_str()));
  if (!dir) return;
  std::vector<std::string> stale;
  while (dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (!endsWith(name, kWriteSuffix)) continue;
    const std::size_t end = name.size() - std::string(kWriteSuffix).size();
    const std::size_t dot = name.rfind('.', end - 1);
    long pid = 0;
    if (dot == std::string::npos || !parseNumber(name.substr(dot + 1, end - dot - 1), pid) || pid <= 0) continue;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) stale.push_back(folder + "/" + name);
  }
  for (const std::string& path : stale) ::unlink(path.c_str());
}

FolderLock::FolderLock(const std::string& folder) {
  fd_.reset(::open(lockPath(folder, "jobs.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd_) return;
  while (::flock(fd_.get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      fd_.close();
      return;
    }
  }
}

// Closing the only descriptor (fd_ goes with the object) drops the lock.
FolderLock::~FolderLock() = default;

namespace {
struct flock wholeFile(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  lock.l_pid = 0;
  return lock;
}
}  // namespace

bool HelperLock::acquire() {
  if (fd_) return true;
  fd_.reset(::open(lockPath(folder_, "helper.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd_) return false;
  // Open-file-description locks: another thread or process can test them (F_OFD_GETLK) without taking
  // them, and they do not vanish when some other descriptor of the file is closed.
  struct flock lock = wholeFile(F_WRLCK);
  if (::fcntl(fd_.get(), F_OFD_SETLK, &lock) != 0) {
    fd_.close();
    return false;
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd_.get(), 0) != 0 ||
      ::pwrite(fd_.get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // The lock is what counts; a missing process id only hides the helper from holder().
  }
  return true;
}

void HelperLock::release() { fd_.close(); }

std::int64_t HelperLock::holder(const std::string& folder) {
  const std::string path = lockPath(folder, "helper.lock");
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd) return 0;
  struct flock lock = wholeFile(F_WRLCK);
  const bool tested = ::fcntl(fd.get(), F_OFD_GETLK, &lock) == 0;
  fd.close();
  if (!tested || lock.l_type == F_UNLCK) return 0;
  std::string text;
  long pid = 0;
  if (!readWhole(path, text)) return -1;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return parseNumber(text, pid) && pid > 0 ? pid : -1;
}

bool describeResult(HResult code, std::string& out) {
  struct Text {
    HResult code;
    const char* text;
  };
  static const Text texts[] = {
      {kSOk, "The operation completed successfully."},
      {kBgENotFound, "The requested job was not found."},
      {kBgEInvalidState, "The requested action is not allowed in the current job state."},
      {kBgEEmpty, "There are no files attached to this job."},
      {kBgEErrorInformationUnavailable, "No errors have occurred."},
      {kBgSPartialComplete, "Some of the files of the job were not transferred; only the complete ones were kept."},
      {kBgSUnableToDeleteFiles, "The temporary files of the job could not all be deleted."},
      {kENotImpl, "The operation is not supported by this service."},
      {kEFail, "Unspecified error."},
      {kEAccessDenied, "Access is denied."},
      {kEOutOfMemory, "Not enough memory is available."},
      {kEInvalidArg, "One or more arguments are not valid."},
      {hresultFromWin32(3), "The system cannot find the path specified."},
      {hresultFromWin32(31), "The local file could not be written."},
      {hresultFromWin32(112), "There is not enough space on the disk."},
      {hresultFromWin32(12002), "The server did not answer in time."},
      {hresultFromWin32(12004), "The transfer failed inside the service."},
      {hresultFromWin32(12005), "The URL is not valid."},
      {hresultFromWin32(12007), "The server name could not be resolved."},
      {hresultFromWin32(12029), "A connection with the server could not be established."},
      {hresultFromWin32(12030), "The connection with the server was ended before the file was complete."},
      {hresultFromWin32(12031), "The connection with the server was reset."},
      {hresultFromWin32(12152), "The server sent an answer that is not valid HTTP."},
  };
  for (const Text& entry : texts) {
    if (entry.code == code) {
      out = entry.text;
      return true;
    }
  }
  const auto value = static_cast<std::uint32_t>(code);
  if ((value & 0xFFFF0000u) == 0x80190000u) {
    const unsigned status = value & 0xFFFF;
    const char* reason = status == 404   ? "the server has no file at this URL"
                         : status == 403 ? "the server refuses access to the file"
                         : status == 401 ? "the server asks for credentials"
                         : status == 416 ? "the requested range is not in the file"
                         : status >= 500 ? "the server failed to answer the request"
                                         : "the server refused the request";
    char text[128];
    std::snprintf(text, sizeof text, "HTTP status %u: %s.", status, reason);
    out = text;
    return true;
  }
  return false;
}

std::string utf8(const std::wstring& text) {
  std::string out;
  for (wchar_t wc : text) {
    auto c = static_cast<std::uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring wide(const std::string& text) {
  std::wstring out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    std::uint32_t c = lead;
    if (lead >= 0xF0 && lead < 0xF8) {
      extra = 3;
      c = lead & 0x07;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      extra = 2;
      c = lead & 0x0F;
    } else if (lead >= 0xC0 && lead < 0xE0) {
      extra = 1;
      c = lead & 0x1F;
    } else if (lead >= 0x80) {
      extra = 4;  // a continuation byte or an invalid lead: not a character
    }
    bool valid = extra < 4 && i + extra < text.size();
    for (std::size_t k = 1; valid && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) valid = false;
      c = (c << 6) | (next & 0x3F);
    }
    if (!valid) {
      out += static_cast<wchar_t>(0xFFFD);
      ++i;
      continue;
    }
    out += static_cast<wchar_t>(c);
    i += extra + 1;
  }
  return out;
}

HResult resultOfErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return hresultFromWin32(3);  // ERROR_PATH_NOT_FOUND
    case EACCES:
    case EPERM:
    case EROFS:
      return kEAccessDenied;
    case ENOSPC:
    case EDQUOT:
      return hresultFromWin32(112);  // ERROR_DISK_FULL
    case ENOMEM:
      return kEOutOfMemory;
    default:
      return hresultFromWin32(31);  // ERROR_GEN_FAILURE
  }
}

}  // namespace korvel::platform::posix
