#include "platform/ProcessLauncher.h"

#include "platform/FileAccess.h"
#include "platform/posix/HeldFile.h"
#include "platform/posix/Spawn.h"
#include "platform/posix/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Platform {

namespace {

class CPosixChildProcess final : public IChildProcess {
  public:
    CPosixChildProcess(pid_t nProcess, Posix::CUniqueFd output, Posix::CUniqueFd input)
        : m_nProcess(nProcess), m_output(std::move(output)), m_input(std::move(input)) {}
    ~CPosixChildProcess() override {
        Kill();
        Wait();
    }
    CPosixChildProcess(const CPosixChildProcess&) = delete;
    CPosixChildProcess& operator=(const CPosixChildProcess&) = delete;

    bool WriteLine(const std::string& strLine, const IFileBeneath* pFile) override;
    ReadResult ReadLine(std::string& strLine, std::chrono::steady_clock::time_point deadline) override;
    bool AllowCpuTimeFromNow(uint64_t nCpuSeconds) override;
    void Kill() override;
    int Wait() override;

  private:
    // Reads what the child wrote before the deadline into m_strPending; false when nothing came.
    bool ReadMore(std::chrono::steady_clock::time_point deadline);

    // The child's id until it is reaped; the child leads its own process group.
    pid_t m_nProcess;
    Posix::CUniqueFd m_output;
    // A socket rather than a pipe feeds the input, so that a write to a child that ended fails with
    // an error instead of a SIGPIPE for the whole agent, and so that a file can travel along a line.
    Posix::CUniqueFd m_input;
    std::string m_strPending;
    bool m_bEnded = false;
    // A line was handed over cut: its rest, up to its line end, is no line of its own.
    bool m_bSkippingCutRest = false;
};

bool CPosixChildProcess::WriteLine(const std::string& strLine, const IFileBeneath* pFile) {
    if (!m_input.IsOpen())
        return false;
    std::string strData = strLine + "\n";
    // Only a file this layer opened has a descriptor to send; any other goes by its path alone.
    const auto* pHeld = dynamic_cast<const CFileBeneath*>(pFile);
    int nFile = pHeld != nullptr ? CHeldFileAccess::Handle(*pHeld) : -1;
    for (size_t nSent = 0; nSent < strData.size();) {
        struct iovec data = {const_cast<char*>(strData.data() + nSent), strData.size() - nSent};
        struct msghdr message;
        std::memset(&message, 0, sizeof(message));
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        // The descriptor rides on the line's first bytes; SCM_RIGHTS gives the child its own copy.
        alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        if (nSent == 0 && nFile >= 0) {
            std::memset(control, 0, sizeof(control));
            message.msg_control = control;
            message.msg_controllen = sizeof(control);
            struct cmsghdr* pHeader = CMSG_FIRSTHDR(&message);
            pHeader->cmsg_level = SOL_SOCKET;
            pHeader->cmsg_type = SCM_RIGHTS;
            pHeader->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(pHeader), &nFile, sizeof(int));
        }
        ssize_t nResult = ::sendmsg(m_input.Get(), &message, MSG_NOSIGNAL);
        if (nResult < 0 && errno == EINTR)
            continue;
        if (nResult <= 0)
            return false;
        nSent += static_cast<size_t>(nResult);
    }
    return true;
}

bool CPosixChildProcess::ReadMore(std::chrono::steady_clock::time_point deadline) {
    auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (remaining.count() <= 0)
        return false;
    struct pollfd fd = {m_output.Get(), POLLIN, 0};
    int nReady = ::poll(&fd, 1, static_cast<int>(std::min<long long>(remaining.count(), 60000)));
    if (nReady < 0 && errno != EINTR)
        m_bEnded = true;
    if (nReady <= 0)
        return true;
    char buffer[4096];
    ssize_t nRead = ::read(m_output.Get(), buffer, sizeof(buffer));
    if (nRead < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (nRead <= 0)
        m_bEnded = true;
    else
        m_strPending.append(buffer, static_cast<size_t>(nRead));
    return true;
}

IChildProcess::ReadResult CPosixChildProcess::ReadLine(std::string& strLine,
                                                       std::chrono::steady_clock::time_point deadline) {
    while (true) {
        if (m_bSkippingCutRest) {
            size_t nRestEnd = m_strPending.find('\n');
            m_strPending.erase(0, nRestEnd == std::string::npos ? nRestEnd : nRestEnd + 1);
            m_bSkippingCutRest = nRestEnd == std::string::npos;
        }
        size_t nEnd = m_strPending.find('\n');
        if (nEnd != std::string::npos) {
            strLine = m_strPending.substr(0, std::min(nEnd, kMaxLineLength));
            m_strPending.erase(0, nEnd + 1);
            return ReadResult::Line;
        }
        // A line that never ends is handed over cut, instead of growing without bound; the rest of it
        // is dropped whenever it comes.
        if (m_strPending.size() >= kMaxLineLength) {
            strLine = m_strPending.substr(0, kMaxLineLength);
            m_strPending.clear();
            m_bSkippingCutRest = true;
            return ReadResult::Line;
        }
        if (m_bEnded) {
            if (m_strPending.empty())
                return ReadResult::End;
            strLine.swap(m_strPending);
            m_strPending.clear();
            return ReadResult::Line;
        }
        if (!ReadMore(deadline)) {
            Kill();
            return ReadResult::TimedOut;
        }
    }
}

// The hard limit stays: raising it back would take privileges the agent need not have. The soft limit
// alone ends the child, whose SIGXCPU is at its default action.
bool CPosixChildProcess::AllowCpuTimeFromNow(uint64_t nCpuSeconds) {
    if (m_nProcess <= 0) {
        errno = ESRCH;
        return false;
    }
    clockid_t clock;
    int nError = ::clock_getcpuclockid(m_nProcess, &clock);
    if (nError != 0) {
        errno = nError;
        return false;
    }
    struct timespec used;
    struct rlimit limit;
    if (::clock_gettime(clock, &used) != 0 || ::prlimit(m_nProcess, RLIMIT_CPU, nullptr, &limit) != 0)
        return false;
    // Whole seconds used so far, rounded up, so that the allowance is never shorter than asked.
    rlim_t nSoft = static_cast<rlim_t>(used.tv_sec) + 1 + static_cast<rlim_t>(nCpuSeconds);
    limit.rlim_cur = limit.rlim_max != RLIM_INFINITY ? std::min(nSoft, limit.rlim_max) : nSoft;
    return ::prlimit(m_nProcess, RLIMIT_CPU, &limit, nullptr) == 0;
}

// The whole group: whatever the child started goes with it.
void CPosixChildProcess::Kill() {
    if (m_nProcess > 0)
        ::kill(-m_nProcess, SIGKILL);
}

int CPosixChildProcess::Wait() {
    if (m_nProcess <= 0)
        return -1;
    // The child is waited for without being reaped first: until it is reaped its process id, and so
    // its process group, cannot be reused, and whatever it left running in the group is killed then.
    siginfo_t info;
    while (::waitid(P_PID, static_cast<id_t>(m_nProcess), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    ::kill(-m_nProcess, SIGKILL);
    int nStatus = 0;
    pid_t nResult;
    do {
        nResult = ::waitpid(m_nProcess, &nStatus, 0);
    } while (nResult < 0 && errno == EINTR);
    m_nProcess = -1;
    if (nResult < 0 || !WIFEXITED(nStatus))
        return -1;
    return WEXITSTATUS(nStatus);
}

} // namespace

IProcessLauncher& SystemProcessLauncher() {
    static CPosixProcessLauncher launcher;
    return launcher;
}

std::unique_ptr<IChildProcess> CPosixProcessLauncher::Start(const std::string& strExecutable,
                                                            const std::vector<std::string>& arguments,
                                                            const CProcessLimits& limits, bool bWithInput) {
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0)
        return nullptr;
    Posix::CUniqueFd outputReader(output[0]);
    Posix::CUniqueFd outputWriter(output[1]);
    Posix::CUniqueFd inputWriter;
    Posix::CUniqueFd inputReader;
    int input[2];
    if (bWithInput) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0)
            return nullptr;
        inputWriter.Reset(input[0]);
        inputReader.Reset(input[1]);
    }
    CSpawnRequest request;
    request.strExecutable = strExecutable;
    request.arguments = arguments;
    request.anStandard[0] = bWithInput ? inputReader.Get() : kNullDevice;
    request.anStandard[1] = outputWriter.Get();
    request.limits = limits;
    pid_t nProcess = SpawnProcess(request);
    if (nProcess < 0)
        return nullptr;
    return std::make_unique<CPosixChildProcess>(nProcess, std::move(outputReader), std::move(inputWriter));
}

struct CParentInput::CFiles {
    // The file received for the line not yet returned, and the one of the line returned last.
    Posix::CUniqueFd received;
    Posix::CUniqueFd current;
};

CParentInput::CParentInput() : m_pFiles(std::make_unique<CFiles>()) {}

CParentInput::~CParentInput() = default;

bool CParentInput::ReadMore() {
    char buffer[4096];
    struct iovec data = {buffer, sizeof(buffer)};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    struct msghdr message;
    std::memset(&message, 0, sizeof(message));
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    ssize_t nRead;
    do {
        nRead = ::recvmsg(0, &message, MSG_CMSG_CLOEXEC);
    } while (nRead < 0 && errno == EINTR);
    // Standard input that is no socket (a pipe, a file: an operator's manual run) is read plainly.
    if (nRead < 0 && errno == ENOTSOCK) {
        do {
            nRead = ::read(0, buffer, sizeof(buffer));
        } while (nRead < 0 && errno == EINTR);
        message.msg_controllen = 0;
    }
    if (nRead <= 0)
        return false;
    for (struct cmsghdr* pHeader = CMSG_FIRSTHDR(&message); pHeader != nullptr;
         pHeader = CMSG_NXTHDR(&message, pHeader)) {
        if (pHeader->cmsg_level != SOL_SOCKET || pHeader->cmsg_type != SCM_RIGHTS)
            continue;
        size_t nCount = (pHeader->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < nCount; ++i) {
            int nFile;
            std::memcpy(&nFile, CMSG_DATA(pHeader) + i * sizeof(int), sizeof(int));
            // One file per line: only the latest is kept.
            m_pFiles->received.Reset(nFile);
        }
    }
    m_strPending.append(buffer, static_cast<size_t>(nRead));
    return true;
}

void CParentInput::ReleaseFile() {
    m_pFiles->current.Reset();
}

bool CParentInput::ReadLine(std::string& strLine, std::string& strFilePath) {
    m_pFiles->current.Reset();
    size_t nEnd;
    while ((nEnd = m_strPending.find('\n')) == std::string::npos) {
        if (!ReadMore()) {
            if (m_strPending.empty())
                return false;
            nEnd = m_strPending.size();
            break;
        }
    }
    strLine = m_strPending.substr(0, nEnd);
    m_strPending.erase(0, std::min(nEnd + 1, m_strPending.size()));
    // The agent sends one line at a time, so a file received belongs to the line it waits on.
    m_pFiles->current = std::move(m_pFiles->received);
    strFilePath = m_pFiles->current.IsOpen() ? "/proc/self/fd/" + std::to_string(m_pFiles->current.Get())
                                             : std::string();
    return true;
}

} // namespace Platform
