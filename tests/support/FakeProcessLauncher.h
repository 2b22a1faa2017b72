#pragma once

#include "platform/ProcessLauncher.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

// A launcher whose children are scripted by the test: no process starts and nothing sleeps. Each
// line written to a child gets the reply the script gives; a child with nothing more to say when it
// is read has hung, and the read reaches its deadline at once (the child is then killed, as a real
// launcher kills at the deadline). It records what the agent asked of it. Children may be used from
// several threads; the launcher must outlive them.
class CFakeProcessLauncher : public Platform::IProcessLauncher {
  public:
    // The lines a child answers; with bCrash it then ends without another word and no longer reads
    // its input.
    struct CReply {
        std::vector<std::string> lines;
        bool bCrash = false;
    };
    // The reply of the nChild-th child started (from 0) to strLine.
    using FScript = std::function<CReply(size_t nChild, const std::string& strLine)>;

    struct CStart {
        std::string strExecutable;
        std::vector<std::string> arguments;
        Platform::CProcessLimits limits;
        bool bWithInput;
    };
    struct CWritten {
        size_t nChild;
        std::string strLine;
        bool bWithFile;
    };

    void SetScript(FScript script);
    // Starts fail with nError from now on (0: they succeed again).
    void FailStarts(int nError);

    std::vector<CStart> GetStarts() const;
    std::vector<CWritten> GetWritten() const;
    size_t GetKillCount() const;
    // The processor time given to children before their lines, in order.
    std::vector<uint64_t> GetCpuAllowances() const;

    std::unique_ptr<Platform::IChildProcess> Start(const std::string& strExecutable,
                                                   const std::vector<std::string>& arguments,
                                                   const Platform::CProcessLimits& limits,
                                                   bool bWithInput) override;

  private:
    class CChild;

    // Guards everything below.
    mutable std::mutex m_mutex;
    FScript m_script;
    int m_nStartError = 0;
    std::vector<CStart> m_starts;
    std::vector<CWritten> m_written;
    std::vector<uint64_t> m_cpuAllowances;
    size_t m_nKills = 0;
};
