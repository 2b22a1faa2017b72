#pragma once

namespace Platform {

class IClock;
class IChangeWatcherFactory;
class IProcessLauncher;
class ISessionInfo;
class IEventLog;
class IServiceHost;
class IFileSystem;

// The operating-system services the agent reaches through an interface, so that a test can hand a
// module fakes instead. main takes RealEnvironment() and passes it down; the objects it points to
// live as long as the process. Modules keep a reference to the environment they were given, never a
// copy of a pointer taken from RealEnvironment() themselves.
struct CEnvironment {
    IClock* pClock = nullptr;
    IChangeWatcherFactory* pWatchers = nullptr;
    IProcessLauncher* pLauncher = nullptr;
    ISessionInfo* pSessions = nullptr;
    IEventLog* pEventLog = nullptr;
    IServiceHost* pServiceHost = nullptr;
    IFileSystem* pFiles = nullptr;
};

// The real services of this operating system, made on first use.
CEnvironment& RealEnvironment();

} // namespace Platform
