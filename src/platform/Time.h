#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace Platform {

// The current local time, broken down.
std::tm GetLocalTime();

// strftime of the current local time with the given format.
std::string FormatLocalTime(const char* szFormat);

// Milliseconds on a clock that never goes back and does not wrap in the life of a process (its
// origin is arbitrary: only differences mean anything).
int64_t GetMonotonicMilliseconds();

} // namespace Platform
