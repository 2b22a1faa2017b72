#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace Platform {

class CFileBeneath;

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
    bool Start(const std::string& strExecutable, const std::vector<std::string>& arguments,
               bool bWithInput = false);

    // Sends one line to the child's input; with pFile, the file it holds open travels along with the
    // line (the child takes it with CParentInput), so the child reads exactly that file, whatever its
    // path names by then. False when the child no longer reads its input (it ended); never raises
    // SIGPIPE.
    bool WriteLine(const std::string& strLine, const CFileBeneath* pFile = nullptr);

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

// The child's end of CChildProcess::WriteLine: the lines of standard input, each with the file that
// was sent along it. One thread.
class CParentInput {
  public:
    CParentInput() = default;
    ~CParentInput();
    CParentInput(const CParentInput&) = delete;
    CParentInput& operator=(const CParentInput&) = delete;

    // The next line without its line end. strFilePath names the file sent with it (a name this
    // process can open), "" when none came; it stays open until the next call. False at the end of
    // the input.
    bool ReadLine(std::string& strLine, std::string& strFilePath);

  private:
    // Reads more input; false at its end.
    bool ReadMore();

    std::string m_strPending;
    // The file received for the line not yet returned, and the one of the line returned last.
    int m_nReceived = -1;
    int m_nCurrent = -1;
};

} // namespace Platform
