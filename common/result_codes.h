// Every numbered result code the session, the transfer engine and the manifest model report.
// The texts stay at the failure sites; this list gives the numbers their meaning. Never renumber.
#pragma once

namespace korvel::result {

inline constexpr int kOk = 0;
inline constexpr int kDeltaFailed = 20;            // no delta chosen, or the combine failed
inline constexpr int kInternetOpenFailed = 21;
inline constexpr int kCrackUrlFailed = 24;
inline constexpr int kNotHttp = 25;
inline constexpr int kConnectFailed = 26;
inline constexpr int kOpenRequestFailed = 27;
inline constexpr int kSendRequestFailed = 28;
inline constexpr int kAuthenticationFailed = 29;
inline constexpr int kReadFailed = 30;             // a read failed, or a memory body too large
inline constexpr int kNoConnection = 31;           // every internet access mode failed
inline constexpr int kMemoryFailed = 40;
inline constexpr int kWriteFailed = 41;
inline constexpr int kGzipFailed = 42;
inline constexpr int kComponentInvalid = 44;       // downloaded file of the wrong size, or not openable
inline constexpr int kPartialPatch = 45;
inline constexpr int kOutputFileFailed = 47;       // output file cannot be opened or replaced
inline constexpr int kHttpStatus = 48;             // a file request was answered with a status other than 2xx
inline constexpr int kFileMismatch = 49;           // a new file's size, CRC or SHA-256 is not the manifest's
inline constexpr int kSignatureMissing = 50;       // with a manifest key: a document's signature cannot be had
inline constexpr int kSignatureInvalid = 51;       // with a manifest key: a document's signature does not verify it
inline constexpr int kCertificateRefused = 52;     // an https server's certificate failed verification
inline constexpr int kInsecureRedirect = 53;       // an https request was redirected to plain http
inline constexpr int kRolledBack = 54;             // with a manifest key: a signed release older than the one installed
inline constexpr int kReleaseExpired = 55;         // with a manifest key: a signed release past its signed expiry
inline constexpr int kParseFailed = 60;
inline constexpr int kWrongDocument = 61;
inline constexpr int kRemoteManifestFailed = 63;
inline constexpr int kExternalDocumentFailed = 64;
inline constexpr int kPathNotCreated = 80;
inline constexpr int kScanNotStarted = 81;
inline constexpr int kInitializationFailed = 83;
inline constexpr int kLimitWarning = 85;
inline constexpr int kLimitExceeded = 86;
inline constexpr int kNullPath = 100;
inline constexpr int kStopped = 120;

// Codes that end a download walk at once.
inline bool isStoppingCode(int code) {
  return code == kWriteFailed || code == kGzipFailed || code == kOutputFileFailed || code == kStopped;
}

}  // namespace korvel::result
