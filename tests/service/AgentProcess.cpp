#include "AgentProcess.h"

#include "platform/posix/Spawn.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

bool IsRemovedVariable(const char* szEntry) {
    return std::strncmp(szEntry, "NOTIFY_SOCKET=", 14) == 0 || std::strncmp(szEntry, "KLENDO_", 7) == 0;
}

int ElapsedMs(std::chrono::steady_clock::time_point start) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count());
}

} // namespace

CAgentProcess::~CAgentProcess() {
    if (m_nProcessId > 0) {
        ::kill(m_nProcessId, SIGKILL);
        ::waitpid(m_nProcessId, nullptr, 0);
    }
    if (m_nOutput >= 0)
        ::close(m_nOutput);
}

bool CAgentProcess::Start(const std::string& strPath, const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment) {
    int pipeHandles[2];
    if (::pipe2(pipeHandles, O_CLOEXEC) != 0)
        return false;
    std::vector<std::string> environmentStrings;
    for (char** pEntry = environ; *pEntry != nullptr; ++pEntry)
        if (!IsRemovedVariable(*pEntry))
            environmentStrings.push_back(*pEntry);
    environmentStrings.insert(environmentStrings.end(), environment.begin(), environment.end());
    Platform::CSpawnRequest request;
    request.strExecutable = strPath;
    request.arguments = arguments;
    request.pEnvironment = &environmentStrings;
    request.anStandard[0] = Platform::kInheritStandard;
    request.anStandard[1] = pipeHandles[1];
    request.anStandard[2] = pipeHandles[1];
    request.bOwnProcessGroup = false;
    pid_t nProcessId = Platform::SpawnProcess(request);
    ::close(pipeHandles[1]);
    if (nProcessId < 0) {
        ::close(pipeHandles[0]);
        return false;
    }
    m_nProcessId = nProcessId;
    m_nOutput = pipeHandles[0];
    return true;
}

bool CAgentProcess::ReadSome(int nTimeoutMs) {
    struct pollfd handle = {m_nOutput, POLLIN, 0};
    if (m_nOutput < 0 || ::poll(&handle, 1, nTimeoutMs) <= 0)
        return false;
    char buffer[4096];
    ssize_t nRead = ::read(m_nOutput, buffer, sizeof(buffer));
    if (nRead <= 0) {
        ::close(m_nOutput);
        m_nOutput = -1;
        return false;
    }
    m_strOutput.append(buffer, static_cast<size_t>(nRead));
    return true;
}

bool CAgentProcess::WaitForLine(const std::string& strLine, std::chrono::milliseconds limit) {
    auto start = std::chrono::steady_clock::now();
    while (true) {
        if (("\n" + m_strOutput).find("\n" + strLine + "\n") != std::string::npos)
            return true;
        int nLeft = static_cast<int>(limit.count()) - ElapsedMs(start);
        if (nLeft <= 0 || (!ReadSome(nLeft) && m_nOutput < 0))
            return false;
    }
}

bool CAgentProcess::SendSignal(int nSignal) {
    return m_nProcessId > 0 && ::kill(m_nProcessId, nSignal) == 0;
}

int CAgentProcess::WaitForExit(std::chrono::milliseconds limit) {
    if (m_nProcessId <= 0)
        return -1;
    auto start = std::chrono::steady_clock::now();
    int nStatus = 0;
    while (::waitpid(m_nProcessId, &nStatus, WNOHANG) == 0) {
        if (ElapsedMs(start) > limit.count()) {
            ::kill(m_nProcessId, SIGKILL);
            ::waitpid(m_nProcessId, nullptr, 0);
            m_nProcessId = -1;
            return -1;
        }
        if (!ReadSome(20))
            ::usleep(10000);
    }
    m_nProcessId = -1;
    while (ReadSome(0)) {
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
}

CNotifySocket::CNotifySocket(const std::string& strPath) {
    struct sockaddr_un address;
    std::memset(&address, 0, sizeof(address));
    if (strPath.size() >= sizeof(address.sun_path))
        return;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, strPath.c_str(), strPath.size());
    m_nHandle = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_nHandle >= 0 && ::bind(m_nHandle, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(m_nHandle);
        m_nHandle = -1;
    }
}

CNotifySocket::~CNotifySocket() {
    if (m_nHandle >= 0)
        ::close(m_nHandle);
}

std::string CNotifySocket::Receive(std::chrono::milliseconds limit) {
    struct pollfd handle = {m_nHandle, POLLIN, 0};
    if (m_nHandle < 0 || ::poll(&handle, 1, static_cast<int>(limit.count())) <= 0)
        return std::string();
    char buffer[4096];
    ssize_t nRead = ::recv(m_nHandle, buffer, sizeof(buffer), 0);
    return nRead > 0 ? std::string(buffer, static_cast<size_t>(nRead)) : std::string();
}

std::string CNotifySocket::ReceiveState(std::chrono::milliseconds limit) {
    std::string strMessage = Receive(limit);
    while (strMessage.compare(0, 7, "STATUS=") == 0)
        strMessage = Receive(limit);
    return strMessage;
}
