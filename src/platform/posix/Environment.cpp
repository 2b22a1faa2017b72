#include "platform/Environment.h"

#include "platform/ChangeWatcher.h"
#include "platform/Clock.h"

namespace Platform {

CEnvironment& RealEnvironment() {
    static CEnvironment environment = [] {
        CEnvironment real;
        real.pClock = &SystemClock();
        real.pWatchers = &SystemChangeWatchers();
        return real;
    }();
    return environment;
}

} // namespace Platform
