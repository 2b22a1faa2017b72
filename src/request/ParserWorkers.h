#pragma once

#include "platform/ChildProcess.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Parser worker processes kept between print files: starting the parser program costs far more than
// a small file's parse. A request thread takes a worker for one file and gives it back when the
// worker finished that file; a worker that hung, crashed or served kMaxUses files is ended instead.
// At most kMaxIdle wait for work; they sleep in a read and cost no processor time.
class CParserWorkers {
  public:
    struct CWorker {
        Platform::CChildProcess process;
        int nUses = 0;
    };

    // An idle worker, or a new one of strParserPath; null when none could be started (the system
    // error is then in Platform::GetLastError()).
    std::unique_ptr<CWorker> Take(const std::string& strParserPath);
    // bHealthy: the worker answered its file to the end and may serve another.
    void GiveBack(std::unique_ptr<CWorker> pWorker, bool bHealthy);

    static constexpr size_t kMaxIdle = 4;
    static constexpr int kMaxUses = 1000;

  private:
    std::mutex m_mutex;
    std::vector<std::unique_ptr<CWorker>> m_idle;
    std::string m_strParserPath;
};

extern CParserWorkers g_parserWorkers;
