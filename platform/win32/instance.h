// The module instance handle stored by the entry point.
#pragma once

#include "platform/win32/windows_prelude.h"

namespace korvel::platform::win32 {

// The handle WinMain was given, or GetModuleHandle(null) before the entry point stored one.
HINSTANCE storedModuleInstance();

}  // namespace korvel::platform::win32
