// The TLS side of the POSIX backend's libcurl transfers (the requests and the background transfer
// service): protocol versions, certificate checks, trusted roots, the redirect from https to plain
// http, and the WinINet numbers of TLS failures.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string_view>

namespace korvel::platform::posix {

// Whether `url` names the https scheme (in any letter case).
bool isHttpsUrl(std::string_view url);

// Sets on `easy` what a transfer needs for https, whatever the scheme it starts with (a redirect may
// lead there): TLS 1.2 or later, the peer's certificate and its name verified, the trusted roots, and
// the schemes redirects may go to (https only when `secure`, else http and https). The trusted roots
// are libcurl's default ones (the system's) plus, when KORVEL_CA_FILE names a PEM file, the
// certificates in it, given to libcurl as a block of memory read once per file name for the process.
// A named file that cannot be read or holds no certificate leaves a block that fails every handshake
// (CURLE_SSL_CACERT_BADFILE) instead of trusting the system's roots alone. Any thread.
void configureTls(CURL* easy, bool secure);

// From a header callback of `easy`: whether following the redirect to `location` (a Location header's
// value) would take the transfer from https to plain http.
bool redirectDropsTls(CURL* easy, std::string_view location);

// The WinINet number of the TLS failure `code` of the transfer on `easy`: for the server's certificate
// 12037 (dates), 12038 (name), 12045 (authority; also trusted roots that could not be loaded), 12170
// (revoked), 12057 (its status could not be checked), 12044 (a client certificate asked for), 12169
// (any other); 12157 for a handshake that failed otherwise. 0 when `code` is not a TLS failure.
std::uint32_t tlsFailure(CURL* easy, CURLcode code);

}  // namespace korvel::platform::posix
