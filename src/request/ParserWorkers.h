#pragma once

#include "platform/FileAccess.h"
#include "platform/ProcessLauncher.h"
#include "printparser/FileFormatInfo.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Parser worker processes kept between print files: starting the parser program costs far more than
// a small file's parse. A request thread takes a worker for one file and gives it back when the
// worker finished that file; a worker that hung, crashed or served kMaxUses files is ended instead.
// At most GetMaxWorkers() parse at once, so that a burst of files reuses the workers instead of
// starting one per file; idle workers sleep in a read and cost no processor time. One object serves
// all request threads of the agent; it starts its workers with the launcher it was given, which must
// outlive it.
class CParserWorkers {
  public:
    struct CWorker {
        std::unique_ptr<Platform::IChildProcess> pProcess;
        std::string strParserPath;
        int nUses = 0;
    };

    explicit CParserWorkers(Platform::IProcessLauncher& launcher) : m_launcher(launcher) {}
    CParserWorkers(const CParserWorkers&) = delete;
    CParserWorkers& operator=(const CParserWorkers&) = delete;

    // An idle worker of strParserPath, or a new one while fewer than the maximum run; otherwise
    // waits for one until the deadline, and then starts one beyond the maximum rather than leave
    // the file unparsed. Null when none could be started (the system error is then in
    // Platform::GetLastError()).
    std::unique_ptr<CWorker> Take(const std::string& strParserPath,
                                  std::chrono::steady_clock::time_point deadline);
    // Every worker taken comes back here. bHealthy: it answered its file to the end and may serve
    // another; it is kept idle while fewer than the maximum are.
    void GiveBack(std::unique_ptr<CWorker> pWorker, bool bHealthy);

    // One worker taken for one file. It always goes back to the pool, unhealthy unless it answered
    // to the end, also when the file's processing fails with an exception.
    class CLease {
      public:
        CLease(CParserWorkers& workers, const std::string& strParserPath,
               std::chrono::steady_clock::time_point deadline);
        ~CLease() { Return(false); }
        CLease(const CLease&) = delete;
        CLease& operator=(const CLease&) = delete;

        // The system error of the last failed start.
        int GetError() const { return m_nError; }
        // Gives the held worker back as unhealthy and takes another.
        void Retake(std::chrono::steady_clock::time_point deadline);

        enum class ParseResult { Finished, Ended, TimedOut, NoWorker };
        // Has the held worker parse strPath (the file pFile holds open, when given), reading its
        // progress into info, then gives the worker back: Finished when it answered to the end; Ended
        // when it ended without an answer (info then holds what it reported before); TimedOut when it
        // did not answer within limit (it is killed); NoWorker when none could be started (GetError
        // tells why).
        ParseResult Parse(const std::string& strPath, const Platform::IFileBeneath* pFile,
                          std::chrono::milliseconds limit, FILEFORMATINFO& info);

      private:
        bool IsHeld() const { return static_cast<bool>(m_pWorker); }
        // Gives the held worker back (bHealthy: it may serve another file).
        void Return(bool bHealthy);
        // Hands the held worker one file; false when it no longer reads.
        bool Send(const std::string& strPath, const Platform::IFileBeneath* pFile);

        CParserWorkers& m_workers;
        std::string m_strParserPath;
        std::unique_ptr<CWorker> m_pWorker;
        int m_nError = 0;
    };

    static size_t GetMaxWorkers();
    static constexpr int kMaxUses = 1000;

  private:
    Platform::IProcessLauncher& m_launcher;
    // Guards m_idle and m_nTaken.
    std::mutex m_mutex;
    std::condition_variable m_workerFree;
    std::vector<std::unique_ptr<CWorker>> m_idle;
    size_t m_nTaken = 0;
};
