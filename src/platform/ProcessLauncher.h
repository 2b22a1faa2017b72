#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Platform {

class IFileBeneath;

// What a child may use before the system ends it. 0 leaves a limit as the agent's own.
struct CProcessLimits {
    // Memory the child may reserve (its address space on Linux, committed memory on Windows).
    uint64_t nMemoryBytes = 0;
    // Processor time over the child's whole life, in seconds; it cannot be extended later. A child
    // that does one bounded piece of work after another gets its time with
    // IChildProcess::AllowCpuTimeFromNow instead.
    uint64_t nCpuSeconds = 0;
};

// A started helper program whose standard output the parent reads line by line, so that work can be
// bounded in time and contained: the child can be ended at any moment without harm to the agent.
// Destroying the object kills the child with everything it started and reaps it. One thread uses an
// object.
class IChildProcess {
  public:
    virtual ~IChildProcess() = default;

    // Sends one line to the child's input; with pFile, the file it holds open travels along with the
    // line (the child takes it with CParentInput), so the child reads exactly that file, whatever its
    // path names by then. False when the child no longer reads its input (it ended, or was started
    // without input); the agent never dies of writing to a child that ended.
    virtual bool WriteLine(const std::string& strLine, const IFileBeneath* pFile = nullptr) = 0;

    enum class ReadResult { Line, End, TimedOut };

    // The next line of output without its line end; End when the child closed its output. Lines
    // longer than kMaxLineLength are cut there. TimedOut when no line came before the deadline: the
    // child and everything it started have then been killed.
    virtual ReadResult ReadLine(std::string& strLine, std::chrono::steady_clock::time_point deadline) = 0;

    // Lets the child use nCpuSeconds more processor time from now on; beyond it the system ends the
    // child. False when the limit could not be moved (the child ended), with the system error in
    // Platform::GetLastError().
    virtual bool AllowCpuTimeFromNow(uint64_t nCpuSeconds) = 0;

    // Kills the child and everything it started.
    virtual void Kill() = 0;

    // Waits for the child's end: its exit code, or -1 when it was killed or ended by a fault.
    virtual int Wait() = 0;

    static constexpr size_t kMaxLineLength = 4096;
};

// Starts helper programs. The child starts with the limits applied before it runs a single
// instruction of its own, every signal at its default action and none blocked (whatever the agent
// set apart for itself, the child still dies of its limits), in a group of its own that a kill ends
// as a whole and that does not share the agent's terminal signals (Ctrl-C stops the agent, not a
// parse in flight), and with no open file of the agent beyond its standard input, output and error.
// Its error output is discarded. Any thread may start children.
class IProcessLauncher {
  public:
    virtual ~IProcessLauncher() = default;

    // Starts strExecutable with the arguments; its input is fed by WriteLine when bWithInput, and
    // empty otherwise. Null on failure (a missing or unrunnable program, a limit that could not be
    // set), with the system error in Platform::GetLastError().
    virtual std::unique_ptr<IChildProcess> Start(const std::string& strExecutable,
                                                 const std::vector<std::string>& arguments,
                                                 const CProcessLimits& limits, bool bWithInput) = 0;
};

// The operating system's launcher; modules reach it through the environment they are given.
IProcessLauncher& SystemProcessLauncher();

// The child's end of IChildProcess::WriteLine: the lines of standard input, each with the file that
// was sent along it. One thread.
class CParentInput {
  public:
    CParentInput();
    ~CParentInput();
    CParentInput(const CParentInput&) = delete;
    CParentInput& operator=(const CParentInput&) = delete;

    // The next line without its line end. strFilePath names the file sent with it (a name this
    // process can open), "" when none came; it stays open until the next call. False at the end of
    // the input.
    bool ReadLine(std::string& strLine, std::string& strFilePath);
    // Closes the file of the line read last before the next line is asked for: a child that waits
    // for its next line must not hold the file (on Windows a removed file keeps its name while any
    // handle to it is open).
    void ReleaseFile();

  private:
    struct CFiles;
    std::string m_strPending;
    std::unique_ptr<CFiles> m_pFiles;

    // Reads more input; false at its end.
    bool ReadMore();
};

} // namespace Platform
