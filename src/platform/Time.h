#pragma once

#include <string>

namespace Platform {

// strftime of the current local time with the given format.
std::string FormatLocalTime(const char* szFormat);

} // namespace Platform
