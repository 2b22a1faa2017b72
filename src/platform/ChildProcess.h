#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace Platform {

// A helper program run as a child process whose standard output the parent reads line by line.
// Used where work must be bounded in time and contained: the child can be killed at any moment
// without harm to the agent. The child runs in a process group of its own, with every signal at its
// default action, and inherits no descriptor beyond its standard input, output and error. One
// thread uses an object.
class CChildProcess {
  public:
    CChildProcess() = default;
    // A child still running is killed and reaped.
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Starts strExecutable with the arguments; its error output is discarded, and so is its input
    // unless bWithInput, which lets WriteLine feed it. False on failure, with the system error in
    // Platform::GetLastError().
    bool Start(const std::string& strExecutable, const std::vector<std::string>& arguments, bool bWithInput = false);

    // Sends one line to the child's input. False when the child no longer reads it (it ended);
    // never raises SIGPIPE.
    bool WriteLine(const std::string& strLine);

    // Closes the child's input, which tells a child that reads it to the end to finish.
    void CloseInput();

    enum class ReadResult { Line, End, TimedOut };

    // The next line of output without its line end; End when the child closed its output. Lines
    // longer than kMaxLineLength are cut there.
    ReadResult ReadLine(std::string& strLine, std::chrono::steady_clock::time_point deadline);

    // Kills the child and everything in its process group.
    void Kill();

    // Reaps the child: its exit code, or -1 when it ended by a signal or was not started.
    int Wait();

    static constexpr size_t kMaxLineLength = 4096;

  private:
    int m_nProcess = -1;
    int m_nOutput = -1;
    int m_nInput = -1;
    std::string m_strPending;
    bool m_bEnded = false;
};

} // namespace Platform
