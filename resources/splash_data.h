// The splash bitmap compiled into the program as data, for platforms without resource sections.
#pragma once

#include <span>

namespace korvel::resources {

// The bytes of the splash bitmap file (a BMP); empty when the program was built without it.
std::span<const unsigned char> splashBitmapData();

}  // namespace korvel::resources
