#pragma once

#include "platform/ChangeWatcher.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// strName with the system's path separator in place of each '/', as change records name files.
std::string NativeName(const std::string& strName);

// A watcher of the system's factory with a thread that collects everything it reports, so that
// tests can wait for a change with a deadline that only bounds a failure.
class CWatchProbe {
  public:
    CWatchProbe(const std::string& strRoot, bool bReportModified);
    ~CWatchProbe();
    CWatchProbe(const CWatchProbe&) = delete;
    CWatchProbe& operator=(const CWatchProbe&) = delete;

    // True once a record of that action and name ('/' between folders) was reported within the time.
    bool WaitFor(uint32_t nAction, const std::string& strName,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // True once the watch ended with that result within the time.
    bool WaitForEnd(Platform::WaitResult result,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20));
    std::vector<Platform::CChangeRecord> Records();
    // True once an overflow was reported within the time.
    bool WaitForOverflow(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    Platform::IChangeWatcher& Watcher() { return *m_pWatcher; }

  private:
    void Collect();

    std::unique_ptr<Platform::IChangeWatcher> m_pWatcher;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Platform::CChangeRecord> m_records;
    bool m_bOverflow = false;
    bool m_bEnded = false;
    Platform::WaitResult m_result = Platform::WaitResult::Changes;
    std::thread m_thread;
};
