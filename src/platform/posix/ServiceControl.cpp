#include "platform/ServiceControl.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace Platform {

bool IsStartedByServiceManager() {
    const char* szSocket = std::getenv("NOTIFY_SOCKET");
    return szSocket != nullptr && *szSocket != '\0';
}

// sd_notify does nothing without NOTIFY_SOCKET, so a plain process may call these freely.
void ReportServiceRunning() {
    (void)::sd_notify(0, "READY=1");
}

void ReportServiceStopping() {
    (void)::sd_notify(0, "STOPPING=1");
}

void ReportServiceStatus(const std::string& strStatus) {
    (void)::sd_notify(0, ("STATUS=" + strStatus).c_str());
}

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

CStopControl::CStopControl() {
    m_nRequestHandle = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

CStopControl::~CStopControl() {
    if (m_nSignalHandle >= 0)
        ::close(m_nSignalHandle);
    if (m_nRequestHandle >= 0)
        ::close(m_nRequestHandle);
}

bool CStopControl::Open() {
    if (m_nRequestHandle < 0 || !IgnoreUnexpectedSignals())
        return false;
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
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

int CStopControl::Wait() {
    if (m_nRequestHandle < 0)
        return -1;
    struct pollfd handles[2] = {{m_nRequestHandle, POLLIN, 0}, {m_nSignalHandle, POLLIN, 0}};
    nfds_t nCount = m_nSignalHandle >= 0 ? 2 : 1;
    while (true) {
        int nReady = ::poll(handles, nCount, -1);
        if (nReady < 0 && errno == EINTR)
            continue;
        if (nReady < 0)
            return -1;
        uint64_t nRequests = 0;
        if ((handles[0].revents & POLLIN) != 0 && ::read(m_nRequestHandle, &nRequests, sizeof(nRequests)) > 0)
            return 0;
        struct signalfd_siginfo info;
        if (nCount == 2 && (handles[1].revents & POLLIN) != 0 &&
            ::read(m_nSignalHandle, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info)))
            return static_cast<int>(info.ssi_signo);
    }
}

void CStopControl::RequestStop() {
    if (m_nRequestHandle < 0)
        return;
    uint64_t nOne = 1;
    (void)!::write(m_nRequestHandle, &nOne, sizeof(nOne));
}

} // namespace Platform
