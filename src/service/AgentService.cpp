#include "service/AgentService.h"

#include "Include/LogFile.h"
#include "Include/StatusReport.h"
#include "config/AgentSettings.h"
#include "platform/ComModule.h"
#include "platform/FileSystem.h"
#include "platform/Thread.h"
#include "service/CommandLine.h"
#include "service/SettingsCheck.h"

#include <cstdarg>
#include <cstdio>

namespace {

const char* const kLogFileName = "KlendoHotFolderAgent.log";
constexpr unsigned int kServiceTraceLevel = 254;
constexpr size_t kEventBufferSize = 256;

} // namespace

CAgentService::CAgentService(Platform::CEnvironment& environment, CAgentServiceOptions options)
    : m_serviceHost(*environment.pServiceHost), m_eventLog(*environment.pEventLog),
      m_registration(options, *environment.pEventLog), m_requestWait(options.requestWait),
      m_serviceManager(environment) {}

CAgentService::~CAgentService() = default;

int CAgentService::Main(const std::string& strCommandLine) {
    InitModule();
    m_bService = true;
    switch (FindSwitch(strCommandLine)) {
    case AgentSwitch::UnregServer:
        return m_registration.UnregisterAgent();
    case AgentSwitch::RegServer:
        return m_registration.RegisterAgent(true, false);
    case AgentSwitch::Service:
        return m_registration.RegisterAgent(true, true);
    case AgentSwitch::Check:
        return CheckSettings();
    case AgentSwitch::None:
        break;
    }
    int nError = m_registration.ReadRegistration(m_bService);
    if (nError == 0)
        nError = TakeInstanceLock();
    if (nError != 0)
        return nError;
    StartDispatcher();
    return m_nExitCode;
}

// Two agents of one install would watch the same folders and write the same log and archive. The
// second ends before it touches any of them; the user learns why on standard error and, when it is
// registered as a service (whose standard error nobody reads), in the event log too. The lock lives
// as long as this object, which for the agent is until the process ends.
int CAgentService::TakeInstanceLock() {
    std::string strFolder = Platform::FolderOf(m_registration.GetModulePath());
    Platform::CInstanceLock::Result result = m_instanceLock.Take(strFolder);
    if (result == Platform::CInstanceLock::Result::Taken)
        return 0;
    int nError = Platform::GetLastError();
    std::string strText =
        result == Platform::CInstanceLock::Result::HeldElsewhere
            ? "Another KlendoHotFolderAgent is already running from " + strFolder + "; this one ends."
            : "KlendoHotFolderAgent cannot lock its install folder " + strFolder + " (error " +
                  std::to_string(nError) + "); it does not run.";
    m_eventLog.ShowMessage(strText);
    if (m_bService)
        m_eventLog.WriteEvent(m_strServiceName, strText);
    return nError != 0 ? nError : 1;
}

// Before the instance lock on purpose: the check runs beside a running agent.
int CAgentService::CheckSettings() {
    CSettingsCheck check(Platform::FolderOf(m_registration.GetModulePath()),
                         [this](const std::string& strLine) { m_eventLog.PrintLine(strLine); });
    return check.Run() == 0 ? 0 : 1;
}

void CAgentService::InitModule() {
    m_strServiceName = CRegistration::kServiceName;
    m_nCurrentState = Platform::ServiceState::Stopped;
    m_nExitCode = 0;
}

// Registered as a service but not started by the service manager (from a shell, say): a plain
// process, as when the dispatcher cannot connect.
void CAgentService::StartDispatcher() {
    if (m_bService && !m_serviceHost.IsStartedByServiceManager())
        m_bService = false;
    ServiceMain();
}

// Both modes pass here: a plain process has the same stop control (the console's) and reports its
// events on the console instead of the system's event log.
void CAgentService::ServiceMain() {
    m_nCurrentState = Platform::ServiceState::StartPending;
    m_serviceHost.SetUnknownControlHandler(
        [this](int /*nControl*/) { ReportServiceEvent("Bad service request"); });
    if (!m_serviceHost.Open()) {
        m_nExitCode = Platform::GetLastError();
        ReportServiceEvent("Handler not installed");
        return;
    }
    UpdateServiceStatus(Platform::ServiceState::StartPending);
    m_nExitCode = 0;
    RunService();
    UpdateServiceStatus(Platform::ServiceState::Stopped);
    ReportServiceEvent("Service stopped");
}

void CAgentService::UpdateServiceStatus(Platform::ServiceState nState) {
    m_nCurrentState = nState;
    if (m_bService)
        m_serviceHost.ReportState(nState);
}

// COM is set up before the run's other threads start: its security can be set only once, before
// the process first uses COM.
void CAgentService::RunService() {
    m_nMainThreadId = Platform::GetThreadId();
    Platform::CComSession com(Platform::CComSession::Security::OpenToAllCallers);
    ReportServiceEvent("Service started");
    if (m_bService)
        UpdateServiceStatus(Platform::ServiceState::Running);
    m_strModuleDirectory = Platform::FolderOf(m_registration.GetModulePath());
    OpenLog();
    LogComFailures(com);
    if (m_onStart)
        m_onStart();
    m_serviceManager.SetStateFolder(m_strModuleDirectory);
    m_serviceManager.SetSettingsPath(CAgentSettings::SettingsPathIn(m_strModuleDirectory));
    m_serviceManager.Initalize();
    m_statusReport.SetWatchedFolders(m_serviceManager.GetMonitorCount());
    if (m_bService)
        m_statusReport.Start([this](const std::string& strLine) { m_serviceHost.ReportStatus(strLine); });
    WaitForStop();
    if (m_onStopping)
        m_onStopping();
    m_serviceManager.uninit();
    m_statusReport.Stop();
    if (m_onStopped)
        m_onStopped();
    // A request thread still working after the wait keeps its file in the hot folder (it is deleted
    // only at the end of a request), so the start-up scan of the next run takes it up again.
    bool bRequestsEnded = m_serviceManager.GetThreadPool().WaitForRequestThreads(m_requestWait);
    if (!bRequestsEnded)
        LogTrace("--F: %d request threads still running at stop; their files stay in the hot folders",
                 static_cast<int>(m_serviceManager.GetThreadPool().GetRunningRequestCount()));
    CloseLog(bRequestsEnded && m_serviceManager.HaveAllThreadsEnded());
}

// The run goes on without: the agent exposes no COM class, and its XML documents enter COM on the
// threads that use them.
void CAgentService::LogComFailures(const Platform::CComSession& com) {
    if (com.GetResult() != 0)
        LogTrace("--F: COM could not be set up on the service thread error =0x%08x",
                 static_cast<unsigned int>(com.GetResult()));
    else if (com.GetSecurityResult() != 0)
        LogTrace("--F: COM security could not be set error =0x%08x",
                 static_cast<unsigned int>(com.GetSecurityResult()));
}

void CAgentService::WaitForStop() {
    switch (m_serviceHost.WaitForStop()) {
    case Platform::StopReason::Failed:
        LogTrace("--F: waiting for the stop control failed %d, stopping", Platform::GetLastError());
        break;
    case Platform::StopReason::ServiceManager:
    case Platform::StopReason::Console:
        LogTrace("--I: stop signal %d received", m_serviceHost.GetStopCode());
        break;
    case Platform::StopReason::Requested:
        break;
    }
    UpdateServiceStatus(Platform::ServiceState::StopPending);
}

void CAgentService::ReportServiceEvent(const char* szFormat, ...) {
    char buffer[kEventBufferSize];
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(buffer, sizeof(buffer), szFormat, args);
    va_end(args);
    if (m_bService)
        m_eventLog.WriteEvent(m_strServiceName, buffer);
    else
        m_eventLog.PrintLine(buffer);
}

void CAgentService::OpenLog() {
    if (g_pLogFile.load() != nullptr)
        return;
    CLogFile* pLog = new CLogFile();
    g_pLogFile = pLog;
    pLog->Open(JoinPath(m_strModuleDirectory, kLogFileName));
    pLog->SetTraceLevel(kServiceTraceLevel, true);
}

// The log is taken out of g_pLogFile first, so no new call reaches it, then closed, which writes
// the closing line as its last one. It is freed only when no thread is left that may still be
// inside a call on it (a request thread, or a monitor or the dispatcher that outlived its stop
// wait); otherwise it stays allocated, closed, until the process ends.
void CAgentService::CloseLog(bool bAllThreadsEnded) {
    CLogFile* pLog = g_pLogFile.exchange(nullptr);
    if (pLog == nullptr)
        return;
    pLog->Close();
    if (bAllThreadsEnded)
        delete pLog;
}
