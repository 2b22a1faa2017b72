#include "platform/Environment.h"

#include "platform/Accounts.h"
#include "platform/ChangeWatcher.h"
#include "platform/Clock.h"
#include "platform/EventLog.h"
#include "platform/FileAccess.h"
#include "platform/ServiceHost.h"
#include "platform/posix/Spawn.h"

namespace Platform {

namespace {

CEnvironment MakeRealEnvironment() {
    static CSystemSessions sessions;
    static CSystemEventLog eventLog;
    static CServiceHost serviceHost;
    static CPosixProcessLauncher launcher;
    static CFileSystemBeneath files;
    CEnvironment environment;
    environment.pSessions = &sessions;
    environment.pEventLog = &eventLog;
    environment.pServiceHost = &serviceHost;
    environment.pLauncher = &launcher;
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
