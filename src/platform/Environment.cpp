#include "platform/Environment.h"

#include "platform/Accounts.h"
#include "platform/ChangeWatcher.h"
#include "platform/Clock.h"
#include "platform/EventLog.h"
#include "platform/FileAccess.h"
#include "platform/ProcessLauncher.h"
#include "platform/ServiceHost.h"

namespace Platform {

namespace {

CEnvironment MakeRealEnvironment() {
    // The service host ends its talk with the service manager when it is destroyed at the process's end.
    static CServiceHost serviceHost;
    CEnvironment environment;
    // Never destroyed: request threads may outlive the stop and still reach these while the process ends.
    environment.pSessions = new CSystemSessions();
    environment.pEventLog = new CSystemEventLog();
    environment.pFiles = new CFileSystemBeneath();
    environment.pServiceHost = &serviceHost;
    environment.pLauncher = &SystemProcessLauncher();
    environment.pClock = &SystemClock();
    environment.pWatchers = &SystemChangeWatchers();
    return environment;
}

} // namespace

CEnvironment& RealEnvironment() {
    static CEnvironment environment = MakeRealEnvironment();
    return environment;
}

} // namespace Platform
