// The TLS side of the POSIX backend's libcurl transfers: protocol versions, trusted roots, the refused
// redirect from https to http, and the WinINet numbers of TLS failures.
#include "platform/posix/curl_tls.h"

#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/environment.h"
#include "platform/http.h"

namespace korvel::platform::posix {

namespace {

// OpenSSL's certificate verification results, as CURLINFO_SSL_VERIFYRESULT gives them back.
constexpr long kVerifyOk = 0;
constexpr long kVerifyUnspecified = 1;
constexpr long kVerifyUnableToGetIssuer = 2;
constexpr long kVerifyNotYetValid = 9;
constexpr long kVerifyExpired = 10;
constexpr long kVerifySelfSignedLeaf = 18;
constexpr long kVerifySelfSignedInChain = 19;
constexpr long kVerifyUnableToGetIssuerLocally = 20;
constexpr long kVerifyUnableToVerifyLeaf = 21;
constexpr long kVerifyRevoked = 23;
constexpr long kVerifyInvalidCa = 24;
constexpr long kVerifyUntrusted = 27;
constexpr long kVerifyHostnameMismatch = 62;
constexpr long kVerifyIpAddressMismatch = 64;

bool equalNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// The scheme a URL starts with, empty for a relative reference.
std::string_view schemeOf(std::string_view url) {
  if (url.empty() || !std::isalpha(static_cast<unsigned char>(url[0]))) return {};
  for (std::size_t i = 1; i < url.size(); ++i) {
    const auto c = static_cast<unsigned char>(url[i]);
    if (c == ':') return url.substr(0, i);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return {};
  }
  return {};
}

std::optional<std::string> readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return text;
}

// The certificates given to libcurl as a block for one KORVEL_CA_FILE, added to the system's roots: a
// block takes the place of libcurl's bundle file but not of its folder of hashed certificates (the
// system's, /etc/ssl/certs on Debian), which then still brings the system's roots; a libcurl without
// such a folder gets its bundle's certificates in the block too. libcurl copies and compares the
// block for every request, so it holds no more than it must. A file of no use gives a block without
// any certificate.
class ExtraRoots {
 public:
  // The block for `file`, made the first time it is named; it lives as long as the process, so that
  // libcurl may use it without a copy.
  static const std::string& forFile(CURL* easy, const std::string& file) {
    static std::mutex mutex;
    static auto* blocks = new std::map<std::string, std::unique_ptr<const std::string>>;
    std::lock_guard<std::mutex> lock(mutex);
    auto found = blocks->find(file);
    if (found == blocks->end()) found = blocks->emplace(file, std::make_unique<const std::string>(make(easy, file))).first;
    return *found->second;
  }

 private:
  static std::string make(CURL* easy, const std::string& file) {
    static constexpr char kCertificate[] = "-----BEGIN CERTIFICATE-----";
    const auto extra = readWhole(file);
    if (!extra || extra->find(kCertificate) == std::string::npos) return "no certificate";
    // libcurl's built-in folder and bundle, unless something set others before.
    char* folder = nullptr;
    char* bundle = nullptr;
    curl_easy_getinfo(easy, CURLINFO_CAPATH, &folder);
    curl_easy_getinfo(easy, CURLINFO_CAINFO, &bundle);
    if (folder && *folder) return *extra;
    std::string block = bundle ? readWhole(bundle).value_or("") : "";
    block += "\n";
    block += *extra;
    return block;
  }
};

}  // namespace

bool isHttpsUrl(std::string_view url) { return equalNoCase(schemeOf(url), "https"); }

void configureTls(CURL* easy, bool secure) {
  curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  const auto file = environmentValue("KORVEL_CA_FILE");
  if (!file || file->empty()) return;
  const std::string& roots = ExtraRoots::forFile(easy, *file);
  curl_blob blob{const_cast<char*>(roots.data()), roots.size(), CURL_BLOB_NOCOPY};
  curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
}

bool redirectDropsTls(CURL* easy, std::string_view location) {
  char* current = nullptr;
  curl_easy_getinfo(easy, CURLINFO_SCHEME, &current);
  while (!location.empty() && (location.front() == ' ' || location.front() == '\t')) location.remove_prefix(1);
  return current && equalNoCase(current, "https") && equalNoCase(schemeOf(location), "http");
}

std::uint32_t tlsFailure(CURL* easy, CURLcode code) {
  switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION: {
      long result = kVerifyOk;
      curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &result);
      switch (result) {
        case kVerifyNotYetValid:
        case kVerifyExpired:
          return kErrorInternetSecCertDateInvalid;
        // A chain that verified leaves no result of its own (libcurl checks the name after the
        // handshake, and only a failed name check then fails the peer).
        case kVerifyOk:
        case kVerifyUnspecified:
        case kVerifyHostnameMismatch:
        case kVerifyIpAddressMismatch:
          return kErrorInternetSecCertCnInvalid;
        case kVerifyRevoked:
          return kErrorInternetSecCertRevoked;
        case kVerifyUnableToGetIssuer:
        case kVerifySelfSignedLeaf:
        case kVerifySelfSignedInChain:
        case kVerifyUnableToGetIssuerLocally:
        case kVerifyUnableToVerifyLeaf:
        case kVerifyInvalidCa:
        case kVerifyUntrusted:
          return kErrorInternetInvalidCa;
        default:
          return kErrorInternetSecInvalidCert;
      }
    }
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
      return kErrorInternetInvalidCa;
    case CURLE_SSL_INVALIDCERTSTATUS:
      return kErrorInternetSecCertRevFailed;
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return kErrorInternetSecInvalidCert;
    case CURLE_SSL_CLIENTCERT:
      return kErrorInternetClientAuthCertNeeded;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
      return kErrorInternetSecurityChannelError;
    default:
      return 0;
  }
}

}  // namespace korvel::platform::posix
