// What a name may be when it names a file or a folder of the installation: one plain path component,
// so that whatever the server sends, every file it names stays inside the folder its parent gives it.
// The updater refuses manifest entries by this rule, and the publishing tool refuses game files by it.
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

// Why `name` is no plain path component, as a short phrase for a message; null when it is one. A plain
// component is: not empty; no '\' or '/'; not "." or ".."; no ':' (a drive or a stream); no control
// characters; no blank at the start and no dot or blank at the end (Windows drops them, so the name
// would stand for another); not a device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-9, LPT1-9,
// with any extension and any blanks before it, in any letter case: Windows opens the device for it);
// not the name of the installation lock or of the installed release's record, in any letter case.
const char* plainNameProblem(const std::string& name);

// Whether `name` is one plain path component (plainNameProblem finds nothing).
bool isPlainName(const std::string& name);

}  // namespace korvel
