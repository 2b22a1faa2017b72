#include "platform/Time.h"

#include <time.h>

namespace Platform {

std::tm GetLocalTime() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return local;
}

std::string FormatLocalTime(const char* szFormat) {
    std::tm local = GetLocalTime();
    char szBuffer[256];
    size_t nLength = std::strftime(szBuffer, sizeof(szBuffer), szFormat, &local);
    return std::string(szBuffer, nLength);
}

} // namespace Platform
