#include "platform/Time.h"

#include <ctime>
#include <time.h>

namespace Platform {

std::string FormatLocalTime(const char* szFormat) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char szBuffer[256];
    size_t nLength = std::strftime(szBuffer, sizeof(szBuffer), szFormat, &local);
    return std::string(szBuffer, nLength);
}

} // namespace Platform
