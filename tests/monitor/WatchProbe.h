#pragma once

#include "platform/DirectoryWatcher.h"
#include "platform/FileVersion.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A directory watcher with a thread that collects everything it reports, so that tests can wait
// for a change with a deadline that only bounds a failure.
class CWatchProbe {
  public:
    CWatchProbe(const std::string& strRoot, bool bWatchWrites);
    ~CWatchProbe();
    CWatchProbe(const CWatchProbe&) = delete;
    CWatchProbe& operator=(const CWatchProbe&) = delete;

    // True once a record of that action and name was reported within the time.
    bool WaitFor(uint32_t nAction, const std::string& strName,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
    std::vector<Platform::CChangeRecord> Records();

  private:
    void Collect();

    Platform::CDirectoryWatcher m_watcher;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Platform::CChangeRecord> m_records;
    std::thread m_thread;
};

// Kernel change queues (inotify instances) open in this process.
int CountInotifyInstances();

// A file's version read by the test itself (lstat).
Platform::CFileVersion VersionOfFile(const std::string& strPath);
