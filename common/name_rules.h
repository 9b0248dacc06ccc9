// What a name from the manifest may be when it names a file or a folder of the installation: one
// plain path component, so that whatever the server sends, every file it names stays inside the
// folder its parent gives it.
#pragma once

#include <string>

namespace korvel {

// The hidden file in the installation folder whose lock keeps a second updater out while one is at
// work (launcher/installation_wait.cpp). It is never written, never removed, and no manifest may name
// it: replacing it would break the lock.
inline constexpr const char* kInstallationLockName = "wd_patch_lock";

// The hidden file beside the lock that remembers the highest signed release the installation was
// brought up to (trust/installed_release.h). No manifest may name it: a release that replaced it could
// make an older one look newer than what is installed.
inline constexpr const char* kInstalledReleaseName = "wd_patch_version";

// One plain path component: not empty; no '\' or '/'; not "." or ".."; no ':' (a drive or a stream);
// no control characters; no blank at the start and no dot or blank at the end (Windows drops them,
// so the name would stand for another); not a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with
// any extension, in any letter case); not the name of the installation lock or of the installed
// release's record, in any letter case.
bool isPlainName(const std::string& name);

}  // namespace korvel
