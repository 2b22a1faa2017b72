#include "platform/ServiceHost.h"

#include "platform/win32/UniqueHandle.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <thread>

// The service control manager starts the agent as a plain process and waits for it to connect
// through StartServiceCtrlDispatcherW, which blocks its caller for as long as the service runs. The
// portable service code runs the whole service on the thread that calls Open and WaitForStop, so the
// dispatcher gets a thread of its own: the first question whether the manager started the process
// starts it there and waits until either the manager calls the service's main function (which only
// registers the control handler and returns; the service runs on) or the dispatcher fails, with
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when no manager started the process. A plain process takes
// the console's controls instead: Ctrl-C, Ctrl-Break, closing the console window, log-off and shutdown.
//
// The system calls the service main function and the console handler without a context, so they reach
// the host through one process-wide pointer.

namespace Platform {

namespace {

// What the system's callbacks reach: the one host of the process that took the controls.
class CControlTarget {
  public:
    virtual void OnServiceMain(const wchar_t* wszServiceName) = 0;
    virtual DWORD OnServiceControl(DWORD nControl) = 0;
    // The finished event to wait on before the control returns, or none.
    virtual HANDLE OnConsoleControl(DWORD nType) = 0;

  protected:
    ~CControlTarget() = default;
};

std::mutex g_targetMutex;
CControlTarget* g_pControlTarget = nullptr;

void SetControlTarget(CControlTarget* pTarget) {
    std::lock_guard<std::mutex> lock(g_targetMutex);
    g_pControlTarget = pTarget;
}

void ClearControlTarget(CControlTarget* pTarget) {
    std::lock_guard<std::mutex> lock(g_targetMutex);
    if (g_pControlTarget == pTarget)
        g_pControlTarget = nullptr;
}

void WINAPI ServiceMainEntry(DWORD nArguments, LPWSTR* pArguments) {
    std::lock_guard<std::mutex> lock(g_targetMutex);
    if (g_pControlTarget != nullptr)
        g_pControlTarget->OnServiceMain(nArguments > 0 ? pArguments[0] : L"");
}

DWORD WINAPI ServiceControlEntry(DWORD nControl, DWORD /*nEventType*/, LPVOID /*pEventData*/,
                                 LPVOID /*pContext*/) {
    std::lock_guard<std::mutex> lock(g_targetMutex);
    return g_pControlTarget != nullptr ? g_pControlTarget->OnServiceControl(nControl)
                                       : static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED);
}

// Closing the console, log-off and shutdown end the process as soon as the handler returns, so it
// returns only when the host is gone: the agent has stopped by then. The system ends the process
// all the same after its own timeout.
BOOL WINAPI ConsoleControlEntry(DWORD nType) {
    Win32::CUniqueHandle finished;
    {
        std::lock_guard<std::mutex> lock(g_targetMutex);
        if (g_pControlTarget == nullptr)
            return FALSE;
        finished.Reset(g_pControlTarget->OnConsoleControl(nType));
    }
    if (finished)
        ::WaitForSingleObject(finished.Get(), INFINITE);
    return TRUE;
}

bool EndsTheProcessOnReturn(DWORD nType) {
    return nType == CTRL_CLOSE_EVENT || nType == CTRL_LOGOFF_EVENT || nType == CTRL_SHUTDOWN_EVENT;
}

HANDLE NewEvent(bool bManualReset) {
    return ::CreateEventW(nullptr, bManualReset ? TRUE : FALSE, FALSE, nullptr);
}

// The dispatcher's outcome, shared with its thread, which may outlive the host when the manager
// never let the service stop.
struct CDispatcherOutcome {
    Win32::CUniqueHandle ended{NewEvent(true)};
    DWORD nError = 0;
};

} // namespace

class CServiceHost::CImpl : public CControlTarget {
  public:
    CImpl()
        : m_request(NewEvent(false)), m_stop(NewEvent(false)), m_serviceMainReached(NewEvent(true)),
          m_finished(NewEvent(true)) {
        m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        m_status.dwCurrentState = SERVICE_STOPPED;
    }

    ~CImpl() {
        ClearControlTarget(this);
        if (m_bConsoleHandler)
            ::SetConsoleCtrlHandler(&ConsoleControlEntry, FALSE);
        ::SetEvent(m_finished.Get());
        EndDispatcher();
    }

    bool IsStartedByManager() {
        std::lock_guard<std::mutex> lock(m_connectMutex);
        if (m_connection == Connection::Untried)
            m_connection = Connect() ? Connection::Service : Connection::Console;
        return m_connection == Connection::Service;
    }

    bool Open() {
        if (!m_request || !m_stop || !m_finished)
            return false;
        if (IsConnected()) {
            std::lock_guard<std::mutex> lock(m_statusMutex);
            ::SetLastError(m_nHandlerError);
            return m_hStatus != nullptr;
        }
        if (m_bConsoleHandler)
            return true;
        SetControlTarget(this);
        if (!::SetConsoleCtrlHandler(&ConsoleControlEntry, TRUE))
            return false;
        m_bConsoleHandler = true;
        return true;
    }

    StopReason Wait() {
        m_nStopCode = 0;
        HANDLE ahEvents[] = {m_request.Get(), m_stop.Get()};
        if (!m_request || !m_stop)
            return StopReason::Failed;
        DWORD nWait = ::WaitForMultipleObjects(2, ahEvents, FALSE, INFINITE);
        if (nWait == WAIT_OBJECT_0)
            return StopReason::Requested;
        if (nWait != WAIT_OBJECT_0 + 1)
            return StopReason::Failed;
        std::lock_guard<std::mutex> lock(m_statusMutex);
        m_nStopCode = m_nPendingCode;
        return m_pendingReason;
    }

    void RequestStop() { ::SetEvent(m_request.Get()); }

    void ReportState(ServiceState nState) {
        std::lock_guard<std::mutex> lock(m_statusMutex);
        SetStatus(static_cast<DWORD>(nState));
    }

    void OnServiceMain(const wchar_t* wszServiceName) override {
        {
            std::lock_guard<std::mutex> lock(m_statusMutex);
            m_hStatus = ::RegisterServiceCtrlHandlerExW(wszServiceName, &ServiceControlEntry, nullptr);
            m_nHandlerError = m_hStatus != nullptr ? 0 : ::GetLastError();
        }
        ::SetEvent(m_serviceMainReached.Get());
    }

    // A shutdown is taken as a stop, so that the agent ends its posts and closes its log first. The
    // notice before the shutdown comes first and leaves more time for that than the shutdown itself.
    // Pause and continue are not taken, and the manager does not send them; any other control is
    // told to the service.
    DWORD OnServiceControl(DWORD nControl) override {
        if (nControl == SERVICE_CONTROL_INTERROGATE)
            return NO_ERROR;
        if (nControl == SERVICE_CONTROL_PAUSE || nControl == SERVICE_CONTROL_CONTINUE)
            return ERROR_CALL_NOT_IMPLEMENTED;
        if (nControl != SERVICE_CONTROL_STOP && nControl != SERVICE_CONTROL_PRESHUTDOWN &&
            nControl != SERVICE_CONTROL_SHUTDOWN) {
            if (m_onUnknownControl)
                m_onUnknownControl(static_cast<int>(nControl));
            return ERROR_CALL_NOT_IMPLEMENTED;
        }
        std::lock_guard<std::mutex> lock(m_statusMutex);
        SetStatus(SERVICE_STOP_PENDING);
        Stop(StopReason::ServiceManager, nControl);
        return NO_ERROR;
    }

    HANDLE OnConsoleControl(DWORD nType) override {
        std::lock_guard<std::mutex> lock(m_statusMutex);
        Stop(StopReason::Console, nType);
        HANDLE hFinished = nullptr;
        if (EndsTheProcessOnReturn(nType))
            ::DuplicateHandle(::GetCurrentProcess(), m_finished.Get(), ::GetCurrentProcess(), &hFinished,
                              SYNCHRONIZE, FALSE, 0);
        return hFinished;
    }

    int m_nStopCode = 0;
    // Set before Open, so before the manager can send a control.
    std::function<void(int)> m_onUnknownControl;

  private:
    enum class Connection { Untried, Service, Console };

    bool IsConnected() {
        std::lock_guard<std::mutex> lock(m_connectMutex);
        if (m_connection == Connection::Untried)
            m_connection = Connection::Console;
        return m_connection == Connection::Service;
    }

    // Runs the dispatcher and waits for the manager's call of the service main function, or for
    // the dispatcher's failure.
    bool Connect() {
        if (!m_serviceMainReached || !m_outcome->ended)
            return false;
        SetControlTarget(this);
        std::shared_ptr<CDispatcherOutcome> pOutcome = m_outcome;
        m_dispatcher = std::thread([pOutcome] {
            wchar_t wszAnyName[] = L"";
            SERVICE_TABLE_ENTRYW table[] = {{wszAnyName, &ServiceMainEntry}, {nullptr, nullptr}};
            pOutcome->nError = ::StartServiceCtrlDispatcherW(table) ? 0 : ::GetLastError();
            ::SetEvent(pOutcome->ended.Get());
        });
        HANDLE ahEvents[] = {m_serviceMainReached.Get(), m_outcome->ended.Get()};
        DWORD nWait = ::WaitForMultipleObjects(2, ahEvents, FALSE, INFINITE);
        if (nWait == WAIT_OBJECT_0)
            return true;
        m_dispatcher.join();
        ::SetLastError(m_outcome->nError);
        return false;
    }

    // The dispatcher returns once the manager was told that the service stopped. A service that
    // could not register its handler cannot tell it, and the thread is left to the process's end.
    void EndDispatcher() {
        if (!m_dispatcher.joinable())
            return;
        bool bCanStop = false;
        {
            std::lock_guard<std::mutex> lock(m_statusMutex);
            bCanStop = m_hStatus != nullptr;
            if (bCanStop && m_status.dwCurrentState != SERVICE_STOPPED)
                SetStatus(SERVICE_STOPPED);
        }
        if (bCanStop)
            m_dispatcher.join();
        else
            m_dispatcher.detach();
    }

    // Controls are taken only while the service can act on them.
    void SetStatus(DWORD nState) {
        if (m_hStatus == nullptr)
            return;
        m_status.dwCurrentState = nState;
        bool bTakesControls = nState == SERVICE_START_PENDING || nState == SERVICE_RUNNING;
        m_status.dwControlsAccepted =
            bTakesControls ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_SHUTDOWN : 0;
        (void)::SetServiceStatus(m_hStatus, &m_status);
    }

    void Stop(StopReason reason, DWORD nCode) {
        m_pendingReason = reason;
        m_nPendingCode = static_cast<int>(nCode);
        ::SetEvent(m_stop.Get());
    }

    Win32::CUniqueHandle m_request;
    Win32::CUniqueHandle m_stop;
    Win32::CUniqueHandle m_serviceMainReached;
    Win32::CUniqueHandle m_finished;
    std::shared_ptr<CDispatcherOutcome> m_outcome = std::make_shared<CDispatcherOutcome>();
    std::thread m_dispatcher;

    std::mutex m_connectMutex;
    Connection m_connection = Connection::Untried;
    bool m_bConsoleHandler = false;

    // The status record, the status handle and the pending stop; the control handler and the
    // service thread both report.
    std::mutex m_statusMutex;
    SERVICE_STATUS m_status = {};
    SERVICE_STATUS_HANDLE m_hStatus = nullptr;
    DWORD m_nHandlerError = 0;
    StopReason m_pendingReason = StopReason::Failed;
    int m_nPendingCode = 0;
};

CServiceHost::CServiceHost() : m_pImpl(std::make_unique<CImpl>()) {}

CServiceHost::~CServiceHost() = default;

bool CServiceHost::IsStartedByServiceManager() const {
    return m_pImpl->IsStartedByManager();
}

bool CServiceHost::Open() {
    return m_pImpl->Open();
}

StopReason CServiceHost::WaitForStop() {
    return m_pImpl->Wait();
}

int CServiceHost::GetStopCode() const {
    return m_pImpl->m_nStopCode;
}

void CServiceHost::RequestStop() {
    m_pImpl->RequestStop();
}

// Reports reach the manager only when it started the process: without it there is no status handle.
void CServiceHost::ReportState(ServiceState nState) {
    m_pImpl->ReportState(nState);
}

void CServiceHost::SetUnknownControlHandler(std::function<void(int nControl)> onUnknownControl) {
    m_pImpl->m_onUnknownControl = std::move(onUnknownControl);
}

// The service manager shows no free text for a service: the status line has nowhere to go.
void CServiceHost::ReportStatus(const std::string& /*strText*/) {}

} // namespace Platform
