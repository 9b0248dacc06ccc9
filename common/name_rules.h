// What a name from the manifest may be when it names a file or a folder of the installation: one
// plain path component, so that whatever the server sends, every file it names stays inside the
// folder its parent gives it.
#pragma once

#include <string>

namespace korvel {

// One plain path component: not empty; no '\' or '/'; not "." or ".."; no ':' (a drive or a stream);
// no control characters; no blank at the start and no dot or blank at the end (Windows drops them,
// so the name would stand for another); not a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with
// any extension, in any letter case).
bool isPlainName(const std::string& name);

}  // namespace korvel
