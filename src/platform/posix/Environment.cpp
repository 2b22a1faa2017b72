#include "platform/Environment.h"

#include "platform/Accounts.h"
#include "platform/EventLog.h"
#include "platform/ServiceHost.h"

namespace Platform {

namespace {

CEnvironment MakeRealEnvironment() {
    static CSystemSessions sessions;
    static CSystemEventLog eventLog;
    static CServiceHost serviceHost;
    CEnvironment environment;
    environment.pSessions = &sessions;
    environment.pEventLog = &eventLog;
    environment.pServiceHost = &serviceHost;
    return environment;
}

} // namespace

CEnvironment& RealEnvironment() {
    static CEnvironment environment = MakeRealEnvironment();
    return environment;
}

} // namespace Platform
