#pragma once

#include "monitor/ServiceManager.h"
#include "platform/InstanceLock.h"
#include "platform/ServiceControl.h"

#include <chrono>
#include <functional>
#include <string>

// The agent's life as one process: the entry point's choice between registration and running, the
// run under systemd or as a plain process, and the registration in the registry store and as a
// systemd unit. There is one process-wide object, g_agentService; tests make their own.
//
// Threads: everything runs on the thread that calls Main, apart from RequestStop, which any thread
// may call. The stop control must be taken over (inside Main) before any other thread exists.
class CAgentService {
  public:
    // The states of the Windows service status record, kept for the log and the tests.
    enum ServiceState { Stopped = 1, StartPending = 2, StopPending = 3, Running = 4 };

    using TextSink = std::function<void(const std::string&)>;

    static constexpr const char* kServiceName = "KlendoHotFolderAgent";
    static constexpr const char* kAppId = "{6A0E4C5B-2F19-4D8E-9B37-5C1D0E7F2A64}";
    static constexpr const char* kAppIdKey = "AppID";
    static constexpr const char* kAgentAppIdKey = "AppID\\{6A0E4C5B-2F19-4D8E-9B37-5C1D0E7F2A64}";
    static constexpr const char* kExeAppIdKey = "AppID\\KlendoHotFolderAgent.EXE";

    CAgentService();
    virtual ~CAgentService();
    CAgentService(const CAgentService&) = delete;
    CAgentService& operator=(const CAgentService&) = delete;

    // The entry point: registers, unregisters or runs for this command line; returns the exit code.
    int Main(const std::string& strCommandLine);

    void InitModule();
    void StartDispatcher();
    void ServiceMain();
    void RunService();
    void UpdateServiceStatus(ServiceState nState);
    void ReportServiceEvent(const char* szFormat, ...) __attribute__((format(printf, 2, 3)));
    void OpenLog();
    // Closes the log; frees it only when bAllThreadsEnded says that no thread that may log is left.
    void CloseLog(bool bAllThreadsEnded);

    // Registration; results as the process exit code: 0, or the registry store's error.
    int RegisterAgent(bool bRegTypeLib, bool bService);
    int UnregisterAgent();
    // The AppID entries: bRegister writes them, otherwise removes both keys with all their values.
    int ApplyRegistrationScript(bool bRegister);
    bool InstallService();
    bool UninstallService();
    bool IsServiceInstalled();
    // Prints the settings and their problems on standard output; 0 when none was found, else 1.
    int CheckSettings();

    // Makes the run stop as a stop signal would, also when it is not waiting yet. Any thread.
    void RequestStop() { m_stopControl.RequestStop(); }

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
    bool IsRunAsService() const { return m_bService; }
    ServiceState GetCurrentState() const { return m_nCurrentState; }

    // Test seams, not reachable from the settings or the command line.
    void SetModulePathForTest(const std::string& strPath) { m_strModulePath = strPath; }
    void SetRegistryPathForTest(const std::string& strPath) { m_strRegistryPath = strPath; }
    void SetUnitFolderForTest(const std::string& strFolder) { m_strUnitFolder = strFolder; }
    void SetEventSinkForTest(TextSink sink) { m_eventSink = std::move(sink); }
    void SetMessageSinkForTest(TextSink sink) { m_messageSink = std::move(sink); }
    void SetRequestWaitForTest(std::chrono::milliseconds wait) { m_requestWait = wait; }

  private:
    std::string GetModulePath() const;
    // 0 once this process is the one agent of its install folder; otherwise the system error, the
    // user told why.
    int TakeInstanceLock();
    void ShowMessage(const std::string& strText);
    void WaitForStop();

    std::string m_strServiceName;
    ServiceState m_nCurrentState = Stopped;
    int m_nExitCode = 0;
    int m_nMainThreadId = 0;
    bool m_bService = false;
    CServiceManager m_serviceManager;
    std::string m_strModuleDirectory;
    Platform::CStopControl m_stopControl;
    Platform::CInstanceLock m_instanceLock;

    // Empty: the platform's defaults (the running executable, KLENDO_REGISTRY, KLENDO_SYSTEMD_DIR).
    std::string m_strModulePath;
    std::string m_strRegistryPath;
    std::string m_strUnitFolder;
    TextSink m_eventSink;
    TextSink m_messageSink;
    std::function<void()> m_onStart;
    std::function<void()> m_onStopping;
    std::function<void()> m_onStopped;
    // How long a stop waits for request threads before the log is closed.
    std::chrono::milliseconds m_requestWait{30000};
};

extern CAgentService g_agentService;
