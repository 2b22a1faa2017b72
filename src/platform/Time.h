#pragma once

#include <ctime>
#include <string>

namespace Platform {

// The current local time, broken down.
std::tm GetLocalTime();

// strftime of the current local time with the given format.
std::string FormatLocalTime(const char* szFormat);

} // namespace Platform
