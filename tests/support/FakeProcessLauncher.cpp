#include "support/FakeProcessLauncher.h"

#include "platform/Thread.h"

#include <deque>

class CFakeProcessLauncher::CChild : public Platform::IChildProcess {
  public:
    CChild(CFakeProcessLauncher& launcher, size_t nIndex, bool bWithInput)
        : m_launcher(launcher), m_nIndex(nIndex), m_bWithInput(bWithInput) {}

    bool WriteLine(const std::string& strLine, const Platform::IFileBeneath* pFile) override {
        if (!m_bWithInput || m_bCrashed || m_bKilled)
            return false;
        FScript script;
        {
            std::lock_guard<std::mutex> guard(m_launcher.m_mutex);
            m_launcher.m_written.push_back(CWritten{m_nIndex, strLine, pFile != nullptr});
            script = m_launcher.m_script;
        }
        CReply reply = script ? script(m_nIndex, strLine) : CReply();
        m_output.insert(m_output.end(), reply.lines.begin(), reply.lines.end());
        m_bCrashed = reply.bCrash;
        return true;
    }

    ReadResult ReadLine(std::string& strLine, std::chrono::steady_clock::time_point) override {
        if (!m_output.empty()) {
            strLine = m_output.front();
            m_output.pop_front();
            return ReadResult::Line;
        }
        if (m_bCrashed || m_bKilled)
            return ReadResult::End;
        Kill();
        return ReadResult::TimedOut;
    }

    bool AllowCpuTimeFromNow(uint64_t nCpuSeconds) override {
        if (m_bCrashed || m_bKilled)
            return false;
        std::lock_guard<std::mutex> guard(m_launcher.m_mutex);
        m_launcher.m_cpuAllowances.push_back(nCpuSeconds);
        return true;
    }

    void Kill() override {
        if (m_bKilled)
            return;
        m_bKilled = true;
        std::lock_guard<std::mutex> guard(m_launcher.m_mutex);
        ++m_launcher.m_nKills;
    }

    int Wait() override { return m_bKilled || m_bCrashed ? -1 : 0; }

  private:
    CFakeProcessLauncher& m_launcher;
    const size_t m_nIndex;
    const bool m_bWithInput;
    std::deque<std::string> m_output;
    bool m_bCrashed = false;
    bool m_bKilled = false;
};

void CFakeProcessLauncher::SetScript(FScript script) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_script = std::move(script);
}

void CFakeProcessLauncher::FailStarts(int nError) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_nStartError = nError;
}

std::vector<CFakeProcessLauncher::CStart> CFakeProcessLauncher::GetStarts() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_starts;
}

std::vector<CFakeProcessLauncher::CWritten> CFakeProcessLauncher::GetWritten() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_written;
}

size_t CFakeProcessLauncher::GetKillCount() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_nKills;
}

std::vector<uint64_t> CFakeProcessLauncher::GetCpuAllowances() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_cpuAllowances;
}

std::unique_ptr<Platform::IChildProcess>
CFakeProcessLauncher::Start(const std::string& strExecutable, const std::vector<std::string>& arguments,
                            const Platform::CProcessLimits& limits, bool bWithInput) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_nStartError != 0) {
        Platform::SetLastError(m_nStartError);
        return nullptr;
    }
    m_starts.push_back(CStart{strExecutable, arguments, limits, bWithInput});
    return std::make_unique<CChild>(*this, m_starts.size() - 1, bWithInput);
}
