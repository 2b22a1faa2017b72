#include "platform/ServiceHost.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

// systemd is the service manager: a Type=notify unit gets NOTIFY_SOCKET, takes READY=1, STOPPING=1
// and STATUS= through sd_notify, and stops the service with SIGTERM. SIGINT (Ctrl-C) and a SIGTERM
// of a process that systemd did not start are the console's stop.
//
// No signal handler runs: Open blocks SIGTERM and SIGINT in the calling thread, and every thread
// created by it afterwards inherits that, so the kernel keeps a stop pending until WaitForStop reads
// it from a signalfd. Every other signal that would end or stop the process by default although the
// agent does not expect it is ignored from Open on, for the whole process. Child processes inherit
// the blocked and the ignored signals across exec, so whoever starts one must give it the default
// dispositions and an empty signal mask.

namespace Platform {

namespace {

// Signals whose default action would end or stop the agent although nothing it does expects them:
// SIGIO when another process opens a file while the write-complete probe holds its lease, SIGXFSZ
// for a write past the file size limit (the write then fails with EFBIG instead), SIGPIPE for a
// write to a pipe whose reader went away, SIGHUP when the terminal closes, SIGTTIN and SIGTTOU for
// a background process that touches the terminal, SIGURG for out-of-band data on a socket; and the
// ones that log rotation, timers or power monitors send by habit (SIGUSR1, SIGUSR2, SIGALRM,
// SIGVTALRM, SIGPROF, SIGPWR). Faults, SIGQUIT, SIGTSTP and SIGKILL keep their meaning.
constexpr int kIgnoredSignals[] = {SIGIO,   SIGXFSZ, SIGPIPE, SIGHUP,    SIGTTIN, SIGTTOU, SIGURG,
                                   SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGPWR};

bool IgnoreUnexpectedSignals() {
    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof(ignore));
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (int nSignal : kIgnoredSignals)
        if (::sigaction(nSignal, &ignore, nullptr) != 0)
            return false;
    return true;
}

} // namespace

class CServiceHost::CImpl {
  public:
    CImpl() { m_nRequestHandle = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

    ~CImpl() {
        if (m_nSignalHandle >= 0)
            ::close(m_nSignalHandle);
        if (m_nRequestHandle >= 0)
            ::close(m_nRequestHandle);
    }

    bool Open() {
        if (m_nRequestHandle < 0 || !IgnoreUnexpectedSignals())
            return false;
        sigset_t signals = StopSignals();
        int nError = ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        if (nError != 0) {
            errno = nError;
            return false;
        }
        int nHandle = ::signalfd(m_nSignalHandle, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
        if (nHandle < 0) {
            nError = errno;
            (void)::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
            errno = nError;
            return false;
        }
        m_nSignalHandle = nHandle;
        return true;
    }

    StopReason Wait(bool bStartedByManager) {
        m_nStopCode = 0;
        if (m_nRequestHandle < 0)
            return StopReason::Failed;
        struct pollfd handles[2] = {{m_nRequestHandle, POLLIN, 0}, {m_nSignalHandle, POLLIN, 0}};
        nfds_t nCount = m_nSignalHandle >= 0 ? 2 : 1;
        while (true) {
            int nReady = ::poll(handles, nCount, -1);
            if (nReady < 0 && errno == EINTR)
                continue;
            if (nReady < 0)
                return StopReason::Failed;
            uint64_t nRequests = 0;
            if ((handles[0].revents & POLLIN) != 0 &&
                ::read(m_nRequestHandle, &nRequests, sizeof(nRequests)) > 0)
                return StopReason::Requested;
            struct signalfd_siginfo info;
            if (nCount == 2 && (handles[1].revents & POLLIN) != 0 &&
                ::read(m_nSignalHandle, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
                m_nStopCode = static_cast<int>(info.ssi_signo);
                return (m_nStopCode == SIGTERM && bStartedByManager) ? StopReason::ServiceManager
                                                                     : StopReason::Console;
            }
        }
    }

    void RequestStop() {
        if (m_nRequestHandle < 0)
            return;
        uint64_t nOne = 1;
        (void)!::write(m_nRequestHandle, &nOne, sizeof(nOne));
    }

    int m_nStopCode = 0;

  private:
    static sigset_t StopSignals() {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGINT);
        return signals;
    }

    int m_nSignalHandle = -1;
    int m_nRequestHandle = -1;
};

CServiceHost::CServiceHost() : m_pImpl(std::make_unique<CImpl>()) {}

CServiceHost::~CServiceHost() = default;

bool CServiceHost::IsStartedByServiceManager() const {
    const char* szSocket = std::getenv("NOTIFY_SOCKET");
    return szSocket != nullptr && *szSocket != '\0';
}

bool CServiceHost::Open() {
    return m_pImpl->Open();
}

StopReason CServiceHost::WaitForStop() {
    return m_pImpl->Wait(IsStartedByServiceManager());
}

int CServiceHost::GetStopCode() const {
    return m_pImpl->m_nStopCode;
}

void CServiceHost::RequestStop() {
    m_pImpl->RequestStop();
}

// sd_notify does nothing without NOTIFY_SOCKET, so a plain process may report freely.
void CServiceHost::ReportState(ServiceState nState) {
    if (nState == ServiceState::Running)
        (void)::sd_notify(0, "READY=1");
    else if (nState == ServiceState::StopPending)
        (void)::sd_notify(0, "STOPPING=1");
}

// One line: a line break would start another assignment in the notify message. sd_notify opens a
// socket of its own for each message, so any thread may report.
void CServiceHost::ReportStatus(const std::string& strText) {
    std::string strLine = strText.substr(0, strText.find_first_of("\r\n"));
    (void)::sd_notifyf(0, "STATUS=%s", strLine.c_str());
}

// systemd has no controls besides the stop; the signals it might send otherwise are ignored.
void CServiceHost::SetUnknownControlHandler(std::function<void(int nControl)> /*onUnknownControl*/) {}

} // namespace Platform
