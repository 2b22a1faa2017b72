#pragma once

#include <chrono>
#include <string>
#include <vector>

// A child process of a test, with its standard output and error read through one pipe. Every wait
// has a limit, so a hanging child fails the test instead of stalling it; the child is killed when the
// object goes away.
class CAgentProcess {
  public:
    CAgentProcess() = default;
    ~CAgentProcess();
    CAgentProcess(const CAgentProcess&) = delete;
    CAgentProcess& operator=(const CAgentProcess&) = delete;

    // Starts strPath with arguments; the environment is this process's without NOTIFY_SOCKET and the
    // KLENDO_ variables, plus the NAME=value entries of environment.
    bool Start(const std::string& strPath, const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment);

    // True when a line equal to strLine has been written within the limit.
    bool WaitForLine(const std::string& strLine, std::chrono::milliseconds limit);
    bool SendSignal(int nSignal);
    // The exit code, 128 + the signal for a child ended by a signal, -1 when it outlived the limit
    // (it is killed then).
    int WaitForExit(std::chrono::milliseconds limit);

    const std::string& Output() const { return m_strOutput; }

  private:
    bool ReadSome(int nTimeoutMs);

    int m_nProcessId = -1;
    int m_nOutput = -1;
    std::string m_strOutput;
};

// A datagram socket standing in for systemd's notification socket.
class CNotifySocket {
  public:
    explicit CNotifySocket(const std::string& strPath);
    ~CNotifySocket();
    CNotifySocket(const CNotifySocket&) = delete;
    CNotifySocket& operator=(const CNotifySocket&) = delete;

    bool IsOpen() const { return m_nHandle >= 0; }
    // The next message, or "" when none came within the limit.
    std::string Receive(std::chrono::milliseconds limit);
    // The next message that is not a status text ("STATUS=..."), or "" when none came within the limit.
    std::string ReceiveState(std::chrono::milliseconds limit);

  private:
    int m_nHandle = -1;
};
