#include "platform/Environment.h"

namespace Platform {

CEnvironment& RealEnvironment() {
    static CEnvironment environment;
    return environment;
}

} // namespace Platform
