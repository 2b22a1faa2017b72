#pragma once

#include "Include/LogFile.h"
#include "Include/StatusReport.h"
#include "monitor/ServiceManager.h"
#include "platform/ComModule.h"
#include "platform/Environment.h"
#include "platform/InstanceLock.h"
#include "platform/ServiceHost.h"
#include "service/Registration.h"

#include <chrono>
#include <functional>
#include <string>

// The agent's life as one process: the entry point's choice between registration and running, and
// the run under the service manager or as a plain process. main makes the one object of the
// process; tests make their own with fakes in the environment.
//
// Threads: everything runs on the thread that calls Main, apart from RequestStop, which any thread
// may call. The service host's stop control is taken over (inside Main) before any other thread
// exists.
class CAgentService {
  public:
    // The environment must hold a service host and an event log, and outlive this object.
    explicit CAgentService(Platform::CEnvironment& environment, CAgentServiceOptions options = {});
    virtual ~CAgentService();
    CAgentService(const CAgentService&) = delete;
    CAgentService& operator=(const CAgentService&) = delete;

    // The entry point: registers, unregisters or runs for this command line; returns the exit code.
    int Main(const std::string& strCommandLine);

    void InitModule();
    void StartDispatcher();
    void ServiceMain();
    void RunService();
    void UpdateServiceStatus(Platform::ServiceState nState);
    void ReportServiceEvent(const char* szFormat, ...) __attribute__((format(KLENDO_PRINTF_CHECK, 2, 3)));
    void OpenLog();
    // Closes the log; frees it only when bAllThreadsEnded says that no thread that may log is left.
    void CloseLog(bool bAllThreadsEnded);

    // Prints the settings and their problems on standard output; 0 when none was found, else 1.
    int CheckSettings();

    // Makes the run stop as a stop control would, also when it is not waiting yet. Any thread.
    void RequestStop() { m_serviceHost.RequestStop(); }

    // Work that lives as long as the run, on the service thread: onStart once the log is open and
    // before any folder is watched; onStopping as soon as the stop arrives (it must not block: work
    // told to end, exchanges given a deadline); onStopped once the folders and the pool have stopped
    // and before the wait for request threads. Any may be empty.
    void SetRunHooks(std::function<void()> onStart, std::function<void()> onStopping,
                     std::function<void()> onStopped) {
        m_onStart = std::move(onStart);
        m_onStopping = std::move(onStopping);
        m_onStopped = std::move(onStopped);
    }

    const std::string& GetModuleDirectory() const { return m_strModuleDirectory; }
    CServiceManager& GetServiceManager() { return m_serviceManager; }
    // The line the service manager shows for the run; sent only while the agent runs as a service.
    CStatusReport& GetStatusReport() { return m_statusReport; }
    bool IsRunAsService() const { return m_bService; }
    Platform::ServiceState GetCurrentState() const { return m_nCurrentState; }

  private:
    // 0 once this process is the one agent of its install folder; otherwise the system error, the
    // user told why.
    int TakeInstanceLock();
    void WaitForStop();
    void LogComFailures(const Platform::CComSession& com);

    Platform::IServiceHost& m_serviceHost;
    Platform::IEventLog& m_eventLog;
    CRegistration m_registration;
    std::chrono::milliseconds m_requestWait;
    std::string m_strServiceName;
    Platform::ServiceState m_nCurrentState = Platform::ServiceState::Stopped;
    int m_nExitCode = 0;
    int m_nMainThreadId = 0;
    bool m_bService = false;
    CServiceManager m_serviceManager;
    CStatusReport m_statusReport;
    std::string m_strModuleDirectory;
    Platform::CInstanceLock m_instanceLock;
    std::function<void()> m_onStart;
    std::function<void()> m_onStopping;
    std::function<void()> m_onStopped;
};
