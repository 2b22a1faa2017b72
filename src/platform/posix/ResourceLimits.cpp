#include "platform/ResourceLimits.h"

#include <sys/resource.h>

namespace Platform {

namespace {

// Soft limit nValue, hard limit nValue + nGrace, both capped by the current hard limit.
bool LowerLimit(int nResource, uint64_t nValue, uint64_t nGrace) {
    if (nValue == 0)
        return true;
    struct rlimit limit;
    if (::getrlimit(nResource, &limit) != 0)
        return false;
    rlim_t nSoft = static_cast<rlim_t>(nValue);
    rlim_t nHard = static_cast<rlim_t>(nValue + nGrace);
    if (limit.rlim_max != RLIM_INFINITY) {
        nSoft = nSoft < limit.rlim_max ? nSoft : limit.rlim_max;
        nHard = nHard < limit.rlim_max ? nHard : limit.rlim_max;
    }
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < nSoft)
        nSoft = limit.rlim_cur;
    limit.rlim_cur = nSoft;
    limit.rlim_max = nHard;
    return ::setrlimit(nResource, &limit) == 0;
}

} // namespace

bool LimitProcessResources(uint64_t nAddressSpaceBytes, uint64_t nCpuSeconds, uint64_t nStackBytes) {
    // SIGXCPU at the soft CPU limit ends the process by default; the hard limit one second
    // later ends it even if the signal is caught.
    bool bAddressSpace = LowerLimit(RLIMIT_AS, nAddressSpaceBytes, 0);
    bool bCpu = LowerLimit(RLIMIT_CPU, nCpuSeconds, 1);
    bool bStack = LowerLimit(RLIMIT_STACK, nStackBytes, 0);
    return bAddressSpace && bCpu && bStack;
}

} // namespace Platform
