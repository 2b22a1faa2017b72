#include "platform/posix/Spawn.h"

#include "platform/ResourceLimits.h"
#include "platform/posix/UniqueFd.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Platform {

namespace {

std::vector<char*> PointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& strEntry : strings)
        pointers.push_back(strEntry.data());
    pointers.push_back(nullptr);
    return pointers;
}

[[noreturn]] void ReportAndExit(int nReport) {
    int nError = errno;
    (void)!::write(nReport, &nError, sizeof(nError));
    ::_exit(127);
}

// Runs in the child between fork and exec, where another thread of the agent may have held any lock
// at the fork: only async-signal-safe calls, no allocation. Failures go to the parent through nReport.
[[noreturn]] void ExecChild(const CSpawnRequest& request, const int anSource[3], int nReport, int nMaxHandles,
                            char* const* argv, char* const* envp) {
    struct sigaction defaultAction = {};
    defaultAction.sa_handler = SIG_DFL;
    ::sigemptyset(&defaultAction.sa_mask);
    // SIGKILL, SIGSTOP and the C library's own signals refuse; everything else goes back to default.
    for (int nSignal = 1; nSignal < NSIG; ++nSignal)
        (void)::sigaction(nSignal, &defaultAction, nullptr);
    if (request.bOwnProcessGroup && ::setpgid(0, 0) != 0)
        ReportAndExit(nReport);
    // An agent started with 0, 1 or 2 closed may hold its pipes there; moved up first, no dup2 below
    // can overwrite a descriptor still to be given.
    if (nReport < 3) {
        int nMoved = ::fcntl(nReport, F_DUPFD_CLOEXEC, 3);
        if (nMoved < 0)
            ReportAndExit(nReport);
        nReport = nMoved;
    }
    int anFrom[3];
    for (int i = 0; i < 3; ++i) {
        anFrom[i] = anSource[i];
        if (anFrom[i] >= 0 && anFrom[i] < 3 && (anFrom[i] = ::fcntl(anFrom[i], F_DUPFD_CLOEXEC, 3)) < 0)
            ReportAndExit(nReport);
    }
    for (int i = 0; i < 3; ++i)
        if (anFrom[i] >= 0 && ::dup2(anFrom[i], i) < 0)
            ReportAndExit(nReport);
    // Descriptors another thread opened without close-on-exec (a library's socket, a file being
    // written) would otherwise stay open for the child's whole life.
    // Where close_range is missing (an older kernel) or refused (a system call filter), one by one.
    bool bClosed = (nReport == 3 || ::close_range(3, static_cast<unsigned>(nReport) - 1, 0) == 0) &&
                   ::close_range(static_cast<unsigned>(nReport) + 1, ~0U, 0) == 0;
    for (int nHandle = 3; !bClosed && nHandle < nMaxHandles; ++nHandle)
        if (nHandle != nReport)
            (void)::close(nHandle);
    if (!LimitProcessResources(request.limits.nMemoryBytes, request.limits.nCpuSeconds, 0))
        ReportAndExit(nReport);
    sigset_t noSignals;
    ::sigemptyset(&noSignals);
    ::sigprocmask(SIG_SETMASK, &noSignals, nullptr);
    ::execve(request.strExecutable.c_str(), argv, envp);
    ReportAndExit(nReport);
}

// The exec's outcome: 0 once the program runs (the report pipe closed on exec), else its error.
int ReadChildReport(int nReport) {
    int nError = 0;
    ssize_t nRead;
    do {
        nRead = ::read(nReport, &nError, sizeof(nError));
    } while (nRead < 0 && errno == EINTR);
    return nRead == static_cast<ssize_t>(sizeof(nError)) ? nError : 0;
}

void Reap(pid_t nProcess) {
    while (::waitpid(nProcess, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

// fork rather than posix_spawn: the limits must bind before the program runs, and posix_spawn has
// no way to set them in between; prlimit after posix_spawn would leave the program a head start.
pid_t SpawnProcess(const CSpawnRequest& request) {
    std::vector<std::string> argumentStrings{request.strExecutable};
    argumentStrings.insert(argumentStrings.end(), request.arguments.begin(), request.arguments.end());
    std::vector<char*> argv = PointersTo(argumentStrings);
    std::vector<std::string> environmentStrings;
    std::vector<char*> envp;
    if (request.pEnvironment != nullptr) {
        environmentStrings = *request.pEnvironment;
        envp = PointersTo(environmentStrings);
    }
    Posix::CUniqueFd nullDevice;
    int anSource[3];
    for (int i = 0; i < 3; ++i) {
        anSource[i] = request.anStandard[i];
        if (anSource[i] == kNullDevice && !nullDevice.IsOpen() &&
            !(nullDevice = Posix::CUniqueFd(::open("/dev/null", O_RDWR | O_CLOEXEC))).IsOpen())
            return -1;
        if (anSource[i] == kNullDevice)
            anSource[i] = nullDevice.Get();
    }
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return -1;
    Posix::CUniqueFd reportReader(report[0]);
    Posix::CUniqueFd reportWriter(report[1]);
    // A child must stay the agent's to reap: an ignored SIGCHLD inherited from whoever started the
    // agent would let the kernel reap it at once, and a later kill of its group could then hit a
    // reused process id.
    struct sigaction childEnd;
    if (::sigaction(SIGCHLD, nullptr, &childEnd) == 0 &&
        (childEnd.sa_handler == SIG_IGN || (childEnd.sa_flags & SA_NOCLDWAIT) != 0)) {
        struct sigaction defaultAction = {};
        defaultAction.sa_handler = SIG_DFL;
        ::sigemptyset(&defaultAction.sa_mask);
        (void)::sigaction(SIGCHLD, &defaultAction, nullptr);
    }
    long nOpenMax = ::sysconf(_SC_OPEN_MAX);
    int nMaxHandles = nOpenMax > 0 && nOpenMax < INT_MAX ? static_cast<int>(nOpenMax) : 65536;
    // No handler of the agent may run in the child before the child resets them.
    sigset_t allSignals;
    sigset_t previous;
    ::sigfillset(&allSignals);
    ::pthread_sigmask(SIG_SETMASK, &allSignals, &previous);
    pid_t nProcess = ::fork();
    if (nProcess == 0)
        ExecChild(request, anSource, reportWriter.Get(), nMaxHandles, argv.data(),
                  request.pEnvironment != nullptr ? envp.data() : environ);
    int nForkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    reportWriter.Reset();
    if (nProcess < 0) {
        errno = nForkError;
        return -1;
    }
    int nError = ReadChildReport(reportReader.Get());
    if (nError != 0) {
        Reap(nProcess);
        errno = nError;
        return -1;
    }
    return nProcess;
}

} // namespace Platform
