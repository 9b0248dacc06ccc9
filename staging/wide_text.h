// The stager's texts between the program's narrow text and the wide text of the background transfer
// service: through the C library's multibyte conversion of the current locale.
#pragma once

#include <string>

namespace korvel {

// The narrow text as wide text. Bytes the locale cannot convert are taken one for one (as Latin-1),
// so that a text always converts and narrowText gives it back.
std::wstring widenText(const std::string& text);
// The wide text as narrow text; characters the locale cannot convert become their low byte when
// below 256, else '?'.
std::string narrowText(const std::wstring& text);

}  // namespace korvel
