#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace Platform {

// The current local time, broken down.
std::tm GetLocalTime();

// strftime of the current local time with the given format.
std::string FormatLocalTime(const char* szFormat);

// Milliseconds since the process started, on a clock that never goes back; wraps as a signed
// 32-bit value after about 24 days.
int32_t GetTickCount();

} // namespace Platform
