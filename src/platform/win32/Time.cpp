#include "platform/Time.h"

#include <ctime>

namespace Platform {

std::string FormatLocalTime(const char* szFormat) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    // The C runtime's reentrant form on Windows: the result goes to the caller's buffer.
    if (::localtime_s(&local, &now) != 0)
        return std::string();
    char szBuffer[256];
    size_t nLength = std::strftime(szBuffer, sizeof(szBuffer), szFormat, &local);
    return std::string(szBuffer, nLength);
}

} // namespace Platform
