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
    static CSystemSessions sessions;
    static CSystemEventLog eventLog;
    static CServiceHost serviceHost;
    static CFileSystemBeneath files;
    CEnvironment environment;
    environment.pSessions = &sessions;
    environment.pEventLog = &eventLog;
    environment.pServiceHost = &serviceHost;
    environment.pLauncher = &SystemProcessLauncher();
    environment.pClock = &SystemClock();
    environment.pWatchers = &SystemChangeWatchers();
    environment.pFiles = &files;
    return environment;
}

} // namespace

CEnvironment& RealEnvironment() {
    static CEnvironment environment = MakeRealEnvironment();
    return environment;
}

} // namespace Platform
