#pragma once

#include "pool/FileRequest.h"
#include "pool/IOThreadPool.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Stands in for the file pipeline behind a pool: records every request that reaches a request
// thread, so tests can see exactly what the monitors and the pool handed on.
class CRequestRecorder {
  public:
    struct CSeen {
        uint32_t nAction;
        std::string strFilename;
        std::string strSource;
    };

    CIOThreadPool::RequestProcessor Processor() {
        return [this](std::unique_ptr<CFileRequest> pRequest) {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_seen.push_back({pRequest->action, pRequest->filename, pRequest->source});
            m_changed.notify_all();
        };
    }

    // True when the predicate over everything seen so far held within the time.
    bool WaitUntil(const std::function<bool(const std::vector<CSeen>&)>& predicate,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return predicate(m_seen); });
    }

    bool WaitForCount(size_t nCount, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return WaitUntil([nCount](const std::vector<CSeen>& seen) { return seen.size() >= nCount; }, timeout);
    }

    std::vector<CSeen> Seen() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_seen;
    }

    size_t CountFor(const std::string& strFilename) {
        std::lock_guard<std::mutex> guard(m_mutex);
        size_t nCount = 0;
        for (const CSeen& seen : m_seen)
            nCount += seen.strFilename == strFilename ? 1 : 0;
        return nCount;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<CSeen> m_seen;
};

// A log in a temporary folder, installed as the process's log for the test's lifetime.
class CScopedLog {
  public:
    explicit CScopedLog(const std::string& strPath);
    ~CScopedLog();
    std::string Content() const;

  private:
    std::string m_strPath;
};
