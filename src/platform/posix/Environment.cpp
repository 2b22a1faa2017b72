#include "platform/Environment.h"

#include "platform/posix/Spawn.h"

namespace Platform {

CEnvironment& RealEnvironment() {
    static CPosixProcessLauncher launcher;
    static CEnvironment environment = [] {
        CEnvironment real;
        real.pLauncher = &launcher;
        return real;
    }();
    return environment;
}

} // namespace Platform
