#include "platform/Time.h"

#include <chrono>
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

int64_t GetMonotonicMilliseconds() {
    auto sinceOrigin = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(sinceOrigin).count();
}

} // namespace Platform
