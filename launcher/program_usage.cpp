// The usage text and the version of the program.
#include "launcher/program_usage.h"

#include <cstring>

#include "launcher/launcher.h"

#ifndef KORVEL_VERSION
#define KORVEL_VERSION "unknown"
#endif
#ifndef KORVEL_DEFAULT_PATCH_HOST
#define KORVEL_DEFAULT_PATCH_HOST "localhost"
#endif

namespace korvel {

std::optional<std::string> informationRequested(int argc, const char* const* argv) {
  if (argc != 1 || !argv || !argv[0]) return std::nullopt;
  if (std::strcmp(argv[0], "--help") == 0) return usageText();
  if (std::strcmp(argv[0], "--version") == 0) return versionText();
  return std::nullopt;
}

std::string usageText() {
  const std::string port = std::to_string(PatchServers::kDefaultPort);
  return std::string("Usage: korvel-patcher [option ...]\n"
                     "       korvel-patcher --help | --version\n"
                     "\n"
                     "Brings the game Wendrel up to date, then starts it. The list of the game's files is\n"
                     "fetched from the patch server; the installation (the folder the registry names for\n"
                     "Wendrel.exe, else the current folder) is checked by size, time stamp and CRC-32; what\n"
                     "is missing or out of date is downloaded whole or patched from delta data. Then\n"
                     "Wendrel.exe is started from its folder with every option given here passed on.\n"
                     "\n"
                     "Progress goes to standard error: on a terminal a status line and two bars redrawn in\n"
                     "place, ending in a one-line summary; otherwise plain lines (one per file updated,\n"
                     "the download in 10% steps, the summary). Ctrl-C or SIGTERM stops the update cleanly\n"
                     "and the game is still started; a second Ctrl-C ends the program at once (status 130).\n"
                     "One updater works on an installation at a time: another one started meanwhile waits\n"
                     "for it (up to KORVEL_LOCK_WAIT seconds, 300 by default), then finds the work done.\n"
                     "\n"
                     "The session log goes to the file KORVEL_PATCH_LOG names; without it nothing is logged.\n"
                     "\n"
                     "Environment:\n"
                     "  KORVEL_PATCH_SERVER=[https://]<host>[:<port>][,...]  the patch servers, asked in turn\n"
                     "                            (default " KORVEL_DEFAULT_PATCH_HOST ", port ") +
         port +
         "; 443 for https)\n"
         "  KORVEL_PATCH_LOG=<file>   append the session log to <file>\n"
         "  KORVEL_REGISTRY=<file>    a .reg text file standing in for the Windows registry\n"
         "  KORVEL_DEBUG_OUTPUT=1     debugger output to standard error\n"
         "  KORVEL_CONNECTIONS=<n>    files fetched at once (1 to 8, default 8)\n"
         "  KORVEL_LOCK_WAIT=<s>      how long to wait for another updater on the installation\n"
         "  KORVEL_MAX_RATE=<n>[K|M]  cap on the download rate in bytes a second (K: 1,024, M: 1,048,576)\n"
         "  KORVEL_CA_FILE=<file>     certificates to trust besides the system's (PEM), for https servers\n"
         "  KORVEL_STALL_TIMEOUT=<s>  seconds without data before a download counts as stalled (default 60)\n"
         "  http_proxy, https_proxy, all_proxy  a proxy for the requests (no_proxy: hosts reached directly)\n"
         "  NO_COLOR                  no colour in the progress display\n"
         "  TERM=dumb                 plain lines instead of the redrawn display\n";
}

std::string versionText() { return std::string("korvel-patcher ") + KORVEL_VERSION + "\n"; }

}  // namespace korvel
