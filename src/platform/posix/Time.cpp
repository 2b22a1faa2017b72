#include "platform/Time.h"

#include <chrono>
#include <time.h>

namespace Platform {

namespace {
const std::chrono::steady_clock::time_point g_processStart = std::chrono::steady_clock::now();
}

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

int32_t GetTickCount() {
    auto elapsed = std::chrono::steady_clock::now() - g_processStart;
    auto nMilliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    return static_cast<int32_t>(static_cast<uint32_t>(nMilliseconds));
}

} // namespace Platform
