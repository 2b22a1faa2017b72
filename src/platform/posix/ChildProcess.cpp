#include "platform/ChildProcess.h"

#include "platform/FileAccess.h"
#include "platform/posix/HeldFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Platform {

CChildProcess::~CChildProcess() {
    if (m_nProcess > 0) {
        Kill();
        Wait();
    }
    if (m_nOutput >= 0)
        ::close(m_nOutput);
    CloseInput();
}

bool CChildProcess::Start(const std::string& strExecutable, const std::vector<std::string>& arguments,
                          bool bWithInput) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        return false;
    // A socket rather than a pipe feeds the input, so that a write to a child that ended fails with
    // an error instead of a SIGPIPE for the whole agent.
    int input[2] = {-1, -1};
    if (bWithInput && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0) {
        ::close(pipe[0]);
        ::close(pipe[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (bWithInput)
        ::posix_spawn_file_actions_adddup2(&actions, input[1], 0);
    else
        ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // Descriptors another thread opened without close-on-exec (a library's socket, a file being
    // written) would otherwise stay open for the child's whole life.
    ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(strExecutable.c_str()));
    for (const std::string& strArgument : arguments)
        argv.push_back(const_cast<char*>(strArgument.c_str()));
    argv.push_back(nullptr);
    // The child starts with every signal at its default action and none blocked, whatever the agent
    // set apart for itself, so that it still dies of its own limits. In a process group of its own
    // it does not share the agent's terminal signals: Ctrl-C stops the agent, not a parse in flight.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t noSignals;
    sigset_t allSignals;
    ::sigemptyset(&noSignals);
    ::sigfillset(&allSignals);
    ::posix_spawnattr_setsigmask(&attributes, &noSignals);
    ::posix_spawnattr_setsigdefault(&attributes, &allSignals);
    ::posix_spawnattr_setpgroup(&attributes, 0);
    ::posix_spawnattr_setflags(&attributes,
                               POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    pid_t nProcess = -1;
    int nError = ::posix_spawn(&nProcess, strExecutable.c_str(), &actions, &attributes, argv.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (input[1] >= 0)
        ::close(input[1]);
    if (nError != 0) {
        ::close(pipe[0]);
        if (input[0] >= 0)
            ::close(input[0]);
        errno = nError;
        return false;
    }
    m_nProcess = nProcess;
    m_nOutput = pipe[0];
    m_nInput = input[0];
    return true;
}

bool CChildProcess::WriteLine(const std::string& strLine, const CFileBeneath* pFile) {
    if (m_nInput < 0)
        return false;
    std::string strData = strLine + "\n";
    int nFile = pFile != nullptr ? CHeldFileAccess::Handle(*pFile) : -1;
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
        ssize_t nResult = ::sendmsg(m_nInput, &message, MSG_NOSIGNAL);
        if (nResult < 0 && errno == EINTR)
            continue;
        if (nResult <= 0)
            return false;
        nSent += static_cast<size_t>(nResult);
    }
    return true;
}

void CChildProcess::CloseInput() {
    if (m_nInput >= 0)
        ::close(m_nInput);
    m_nInput = -1;
}

CChildProcess::ReadResult CChildProcess::ReadLine(std::string& strLine,
                                                  std::chrono::steady_clock::time_point deadline) {
    while (true) {
        size_t nEnd = m_strPending.find('\n');
        if (nEnd != std::string::npos) {
            strLine = m_strPending.substr(0, std::min(nEnd, kMaxLineLength));
            m_strPending.erase(0, nEnd + 1);
            return ReadResult::Line;
        }
        // A line that never ends is handed over cut, instead of growing without bound.
        if (m_bEnded || m_nOutput < 0 || m_strPending.size() >= kMaxLineLength) {
            if (m_strPending.empty())
                return ReadResult::End;
            strLine = m_strPending.substr(0, kMaxLineLength);
            m_strPending.clear();
            return ReadResult::Line;
        }
        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0)
            return ReadResult::TimedOut;
        struct pollfd fd = {m_nOutput, POLLIN, 0};
        int nReady = ::poll(&fd, 1, static_cast<int>(std::min<long long>(remaining.count(), 60000)));
        if (nReady < 0 && errno != EINTR)
            m_bEnded = true;
        if (nReady <= 0)
            continue;
        char buffer[4096];
        ssize_t nRead = ::read(m_nOutput, buffer, sizeof(buffer));
        if (nRead < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (nRead <= 0) {
            m_bEnded = true;
            continue;
        }
        m_strPending.append(buffer, static_cast<size_t>(nRead));
    }
}

// The whole group: whatever the child started goes with it.
void CChildProcess::Kill() {
    if (m_nProcess > 0)
        ::kill(-m_nProcess, SIGKILL);
}

int CChildProcess::Wait() {
    if (m_nProcess <= 0)
        return -1;
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

} // namespace Platform

namespace Platform {

CParentInput::~CParentInput() {
    if (m_nReceived >= 0)
        ::close(m_nReceived);
    if (m_nCurrent >= 0)
        ::close(m_nCurrent);
}

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
            if (m_nReceived >= 0)
                ::close(m_nReceived);
            m_nReceived = nFile;
        }
    }
    m_strPending.append(buffer, static_cast<size_t>(nRead));
    return true;
}

bool CParentInput::ReadLine(std::string& strLine, std::string& strFilePath) {
    if (m_nCurrent >= 0)
        ::close(m_nCurrent);
    m_nCurrent = -1;
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
    m_nCurrent = m_nReceived;
    m_nReceived = -1;
    strFilePath = m_nCurrent >= 0 ? "/proc/self/fd/" + std::to_string(m_nCurrent) : std::string();
    return true;
}

} // namespace Platform
