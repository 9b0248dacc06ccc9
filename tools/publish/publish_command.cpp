// The command line of korvel-publish.
#include "tools/publish/publish_command.h"

#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "tools/publish/release_signing.h"
#include "tools/publish/patch_tree_builder.h"
#include "tools/publish/static_server.h"
#include "tools/publish/work_pool.h"

namespace korvel::publish {

namespace {

std::atomic<bool> stopSignalled{false};

// --expires takes whole days, up to a hundred years.
constexpr long long kLongestExpiryDays = 36500;
constexpr long long kSecondsPerDay = 24 * 60 * 60;

extern "C" void onStopSignal(int) { stopSignalled = true; }

// Reads "--name value" and "--name=value" options, and switches ("--name" alone), after the
// positional arguments.
class OptionReader {
 public:
  OptionReader(const std::vector<std::string>& args, std::size_t first) : args_(args), at_(first) {}

  bool done() const { return at_ >= args_.size(); }

  // The next argument when it is not an option; nullopt otherwise.
  std::optional<std::string> positional() {
    if (done() || args_[at_].rfind("--", 0) == 0) return std::nullopt;
    return args_[at_++];
  }

  // Takes the next argument when it is the switch "--<name>"; false (taking nothing) otherwise.
  bool takeSwitch(const char* name) {
    if (done() || args_[at_] != std::string("--") + name) return false;
    ++at_;
    return true;
  }

  // Takes the next option: its name into `name`, its value into `value`. False with `problem` set when
  // the argument is not an option or has no value.
  bool next(std::string& name, std::string& value, std::string& problem) {
    const std::string& arg = args_[at_++];
    if (arg.rfind("--", 0) != 0) {
      problem = "unexpected argument \"" + arg + "\"";
      return false;
    }
    std::size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      name = arg.substr(2, equals - 2);
      value = arg.substr(equals + 1);
      return true;
    }
    name = arg.substr(2);
    if (done()) {
      problem = "option --" + name + " needs a value";
      return false;
    }
    value = args_[at_++];
    return true;
  }

 private:
  const std::vector<std::string>& args_;
  std::size_t at_;
};

bool parseNumber(const std::string& text, long long low, long long high, long long& number) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  number = value;
  return true;
}

std::string megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

int usageError(std::ostream& err, const std::string& problem) {
  err << "korvel-publish: " << problem << "\n\n" << PublishCommand::usage();
  return PublishCommand::kUsage;
}

int runBuild(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  BuildOptions options;
  OptionReader reader(args, 1);
  auto game = reader.positional();
  auto output = reader.positional();
  if (!game || !output) return usageError(err, "build needs a game folder and an output folder");
  options.gameFolder = *game;
  options.outputFolder = *output;
  bool versionGiven = false;
  std::optional<long long> expiresDays;
  while (!reader.done()) {
    if (reader.takeSwitch("external-contents")) {
      options.externalContents = true;
      continue;
    }
    std::string name, value, problem;
    if (!reader.next(name, value, problem)) return usageError(err, problem);
    long long number = 0;
    if (name == "manifest") {
      options.manifestPath = value;
    } else if (name == "product") {
      options.productName = value;
    } else if (name == "distribution") {
      options.distributionName = value;
    } else if (name == "remote-root") {
      options.remoteRoot = value;
    } else if (name == "version") {
      if (!parseNumber(value, INT32_MIN, INT32_MAX, number)) return usageError(err, "--version needs a whole number");
      options.productVersion = static_cast<int>(number);
      versionGiven = true;
    } else if (name == "previous") {
      options.previousFolders.emplace_back(value);
    } else if (name == "jobs") {
      if (!parseNumber(value, 1, 256, number)) return usageError(err, "--jobs needs a number from 1 to 256");
      options.threads = static_cast<unsigned>(number);
    } else if (name == "level") {
      if (!parseNumber(value, 1, 9, number)) return usageError(err, "--level needs a number from 1 to 9");
      options.compressionLevel = static_cast<int>(number);
    } else if (name == "sign") {
      options.signingKey = value;
    } else if (name == "expires") {
      if (!parseNumber(value, 1, kLongestExpiryDays, number))
        return usageError(err, "--expires needs a number of days from 1 to " + std::to_string(kLongestExpiryDays));
      expiresDays = number;
    } else if (name == "delta-memory") {
      if (!parseNumber(value, 1, 65536, number)) return usageError(err, "--delta-memory needs a size in MiB (1 to 65536)");
      options.deltaIndexBytes = static_cast<std::uint64_t>(number) << 20;
    } else {
      return usageError(err, "unknown option --" + name + " for build");
    }
  }
  if (expiresDays && options.signingKey.empty()) return usageError(err, "--expires needs --sign");
  if (expiresDays) options.expiresAt = static_cast<std::int64_t>(std::time(nullptr)) + *expiresDays * kSecondsPerDay;
  // Signed releases climb: updaters refuse one older than what they installed.
  options.climbVersion = !options.signingKey.empty() && !versionGiven;

  BuildReport report = PatchTreeBuilder(options).build();
  for (const auto& warning : report.warnings) err << "korvel-publish: warning: " << warning << "\n";
  if (!report.ok) {
    for (const auto& error : report.errors) err << "korvel-publish: error: " << error << "\n";
    err << "korvel-publish: nothing was published\n";
    return PublishCommand::kFailed;
  }
  out << "Published " << report.files << " files in " << report.folders << " folders: " << megabytes(report.rawBytes)
      << ", " << megabytes(report.compressedBytes) << " compressed\n";
  if (!options.previousFolders.empty()) {
    out << "Delta data: " << report.deltas << " files, " << megabytes(report.deltaBytes) << " compressed";
    if (report.deltasNotSmaller > 0) out << " (" << report.deltasNotSmaller << " dropped, not smaller than the file)";
    out << "\n";
  }
  out << "Manifest: " << report.manifestFile.string() << " (" << report.manifestBytes << " bytes of XML)\n";
  if (options.climbVersion) {
    out << "Version: " << report.productVersion
        << (report.publishedVersion ? " (one more than the release published there, " +
                                          std::to_string(*report.publishedVersion) + ")\n"
                                    : std::string(" (the first release published there)\n"));
  }
  if (!report.signatureFile.empty()) out << "Signature: " << report.signatureFile.string() << "\n";
  if (!report.contentsFile.empty()) {
    out << "External contents: " << report.contentsFile.string() << " (" << report.contentsBytes << " bytes of XML)\n";
    if (!report.contentsSignatureFile.empty()) out << "Signature: " << report.contentsSignatureFile.string() << "\n";
  }
  return PublishCommand::kSuccess;
}

// Writes `text` to a new file that only its owner may read; false when it cannot.
bool writePrivateFile(const std::filesystem::path& path, const std::string& text) {
  std::error_code ec;
  // The permissions are set while the file is still empty, so the key is never readable by others.
  { std::ofstream create(path, std::ios::binary); if (!create) return false; }
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::replace, ec);
  if (ec) return false;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

int runKeygen(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() != 2) return usageError(err, "keygen needs exactly one folder");
  namespace fs = std::filesystem;
  const fs::path folder = args[1];
  const fs::path secretFile = folder / "korvel.key";
  const fs::path publicFile = folder / "korvel.pub";
  std::error_code ec;
  fs::create_directories(folder, ec);
  for (const fs::path& file : {secretFile, publicFile}) {
    if (fs::exists(file, ec)) {
      err << "korvel-publish: error: " << file.string() << " exists; a key is never overwritten\n";
      return PublishCommand::kFailed;
    }
  }
  const trust::MinisignSecretKey key = trust::MinisignSecretKey::generate();
  const trust::MinisignPublicKey publicKey = key.publicKey();
  if (!writePrivateFile(secretFile, key.fileText())) {
    err << "korvel-publish: error: " << secretFile.string() << ": cannot be written\n";
    return PublishCommand::kFailed;
  }
  std::ofstream pub(publicFile, std::ios::binary);
  pub << publicKey.fileText();
  pub.close();
  if (!pub) {
    err << "korvel-publish: error: " << publicFile.string() << ": cannot be written\n";
    return PublishCommand::kFailed;
  }
  out << "Secret key: " << secretFile.string() << " (unencrypted: keep it on the build machine)\n"
      << "Public key: " << publicFile.string() << "\n"
      << "Key line for KORVEL_MANIFEST_PUBLIC_KEY: " << publicKey.keyLine() << "\n";
  return PublishCommand::kSuccess;
}

int runServe(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string root = ".";
  std::string bind = "127.0.0.1";
  int port = 7000;
  OptionReader reader(args, 1);
  while (!reader.done()) {
    std::string name, value, problem;
    if (!reader.next(name, value, problem)) return usageError(err, problem);
    long long number = 0;
    if (name == "root") {
      root = value;
    } else if (name == "bind") {
      bind = value;
    } else if (name == "port") {
      if (!parseNumber(value, 0, 65535, number)) return usageError(err, "--port needs a number from 0 to 65535");
      port = static_cast<int>(number);
    } else {
      return usageError(err, "unknown option --" + name + " for serve");
    }
  }
  StaticServer server(root, out);
  if (!server.bind(bind, port)) {
    err << "korvel-publish: error: " << server.error() << "\n";
    return PublishCommand::kFailed;
  }
  out << "Serving " << root << " on http://" << bind << ":" << server.port() << "/ (Ctrl+C stops)" << std::endl;
  stopSignalled = false;
  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);
  std::thread listener([&server] { server.serve(); });
  // A signal handler may only set a flag; this thread turns it into a stop.
  while (!stopSignalled) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  server.stop();
  listener.join();
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  out << "Stopped." << std::endl;
  return PublishCommand::kSuccess;
}

}  // namespace

std::string PublishCommand::usage() {
  return "usage:\n"
         "  korvel-publish build <game-folder> <output-folder> [options]\n"
         "      --manifest PATH        manifest file under the output folder (patch/wendrel/wendrelonly.xml.gz)\n"
         "      --product NAME         product name (Wendrel)\n"
         "      --version N            product version (1; with --sign: one more than the manifest\n"
         "                             already in the output folder, 1 when there is none)\n"
         "      --distribution NAME    distribution name (Wendrel Distribution)\n"
         "      --remote-root PATH     folder of the files under the output folder (patch/wendrel/files)\n"
         "      --previous FOLDER      an earlier version: changed files get delta data from it (repeatable)\n"
         "      --jobs N               files compressed at once (one per core)\n"
         "      --level N              gzip level 1-9 (6)\n"
         "      --delta-memory MIB     block index budget of each delta encoder (64)\n"
         "      --external-contents    put the product's contents into an external document beside the\n"
         "                             manifest (<name>-contents-<digest>.xml.gz), which the manifest\n"
         "                             names; done anyway when the manifest would be too large for the\n"
         "                             updater (4,999,999 bytes of XML)\n"
         "      --sign KEY             sign the manifest with this unencrypted minisign secret key\n"
         "                             (writes <manifest>.minisig beside it, and <document>.minisig\n"
         "                             beside an external document)\n"
         "      --expires DAYS         with --sign: updaters refuse the release DAYS days after the build\n"
         "                             (the signature's trusted comment says until when)\n"
         "  korvel-publish keygen <folder>\n"
         "      writes a new key pair: korvel.key (secret, unencrypted) and korvel.pub\n"
         "  korvel-publish serve [--root DIR] [--port 7000] [--bind 127.0.0.1]\n";
}

int PublishCommand::run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) return usageError(err, "no command given");
  if (args[0] == "build") return runBuild(args, out, err);
  if (args[0] == "serve") return runServe(args, out, err);
  if (args[0] == "keygen") return runKeygen(args, out, err);
  if (args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
    out << usage();
    return kSuccess;
  }
  return usageError(err, "unknown command \"" + args[0] + "\"");
}

}  // namespace korvel::publish
