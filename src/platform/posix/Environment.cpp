#include "platform/Environment.h"

#include "platform/FileAccess.h"

namespace Platform {

CEnvironment& RealEnvironment() {
    static CEnvironment environment = [] {
        CEnvironment real;
        real.pFiles = new CFileSystemBeneath();
        return real;
    }();
    return environment;
}

} // namespace Platform
