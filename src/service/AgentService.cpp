#include "service/AgentService.h"

#include "Include/LogFile.h"
#include "platform/EventLog.h"
#include "platform/FileSystem.h"
#include "platform/RegistryStore.h"
#include "platform/Thread.h"
#include "service/CommandLine.h"

#include <cstdarg>
#include <cstdio>

CAgentService g_agentService;

namespace {

const char* const kLogFileName = "KlendoHotFolderAgent.log";
constexpr unsigned int kServiceTraceLevel = 254;
constexpr size_t kEventBufferSize = 256;

} // namespace

CAgentService::CAgentService()
    : m_eventSink(Platform::WriteConsoleLine), m_messageSink(Platform::WriteErrorLine) {}

CAgentService::~CAgentService() = default;

int CAgentService::Main(const std::string& strCommandLine) {
    InitModule();
    m_bService = true;
    switch (FindSwitch(strCommandLine)) {
    case AgentSwitch::UnregServer:
        return UnregisterAgent();
    case AgentSwitch::RegServer:
        return RegisterAgent(true, false);
    case AgentSwitch::Service:
        return RegisterAgent(true, true);
    case AgentSwitch::None:
        break;
    }
    Platform::CRegistryStore store(m_strRegistryPath);
    int nError = store.OpenKey(kAppIdKey, false);
    if (nError == 0)
        nError = store.OpenKey(kAgentAppIdKey, false);
    if (nError != 0) {
        // The agent does not run unregistered; the line tells the user why it ended at once.
        ShowMessage(store.GetErrorText());
        return nError;
    }
    std::string strLocalService;
    m_bService = store.GetValue(kAgentAppIdKey, "LocalService", strLocalService) == 0;
    nError = TakeInstanceLock();
    if (nError != 0)
        return nError;
    StartDispatcher();
    return m_nExitCode;
}

// Two agents of one install would watch the same folders and write the same log and archive. The
// second ends before it touches any of them; the user learns why on standard error. The lock lives
// as long as this object, which for the agent is until the process ends.
int CAgentService::TakeInstanceLock() {
    std::string strFolder = Platform::FolderOf(GetModulePath());
    Platform::CInstanceLock::Result result = m_instanceLock.Take(strFolder);
    if (result == Platform::CInstanceLock::Result::Taken)
        return 0;
    int nError = Platform::GetLastError();
    if (result == Platform::CInstanceLock::Result::HeldElsewhere)
        ShowMessage("Another KlendoHotFolderAgent is already running from " + strFolder + "; this one ends.");
    else
        ShowMessage("KlendoHotFolderAgent cannot lock its install folder " + strFolder + " (error " +
                    std::to_string(nError) + "); it does not run.");
    return nError != 0 ? nError : 1;
}

void CAgentService::InitModule() {
    m_strServiceName = kServiceName;
    m_nCurrentState = Stopped;
    m_nExitCode = 0;
}

// Registered as a service but not started by systemd (from a shell, say): a plain process, as the
// Windows agent falls back when the dispatcher cannot connect.
void CAgentService::StartDispatcher() {
    if (m_bService && !Platform::IsStartedByServiceManager())
        m_bService = false;
    ServiceMain();
}

// Both modes pass here: a plain process has the same stop control (SIGTERM and SIGINT) and
// reports its events on standard output instead of the system log.
void CAgentService::ServiceMain() {
    m_nCurrentState = StartPending;
    if (!m_stopControl.Open()) {
        m_nExitCode = Platform::GetLastError();
        ReportServiceEvent("Handler not installed");
        return;
    }
    UpdateServiceStatus(StartPending);
    m_nExitCode = 0;
    RunService();
    UpdateServiceStatus(Stopped);
    ReportServiceEvent("Service stopped");
}

void CAgentService::UpdateServiceStatus(ServiceState nState) {
    m_nCurrentState = nState;
    if (!m_bService)
        return;
    if (nState == Running)
        Platform::ReportServiceRunning();
    else if (nState == StopPending)
        Platform::ReportServiceStopping();
}

void CAgentService::RunService() {
    m_nMainThreadId = Platform::GetThreadId();
    ReportServiceEvent("Service started");
    if (m_bService)
        UpdateServiceStatus(Running);
    m_strModuleDirectory = Platform::FolderOf(GetModulePath());
    OpenLog();
    if (m_onStart)
        m_onStart();
    m_serviceManager.SetStateFolder(m_strModuleDirectory);
    m_serviceManager.Initalize();
    WaitForStop();
    if (m_onStopping)
        m_onStopping();
    m_serviceManager.uninit();
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

void CAgentService::WaitForStop() {
    int nSignal = m_stopControl.Wait();
    if (nSignal < 0)
        LogTrace("--F: waiting for the stop control failed %d, stopping", Platform::GetLastError());
    else if (nSignal > 0)
        LogTrace("--I: stop signal %d received", nSignal);
    UpdateServiceStatus(StopPending);
}

void CAgentService::ReportServiceEvent(const char* szFormat, ...) {
    char buffer[kEventBufferSize];
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(buffer, sizeof(buffer), szFormat, args);
    va_end(args);
    if (m_bService)
        Platform::WriteSystemEvent(m_strServiceName, buffer);
    else if (m_eventSink)
        m_eventSink(buffer);
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

std::string CAgentService::GetModulePath() const {
    return m_strModulePath.empty() ? Platform::GetModuleFilePath() : m_strModulePath;
}

void CAgentService::ShowMessage(const std::string& strText) {
    if (m_messageSink)
        m_messageSink(strText);
}
