#pragma once

#include "config/HotFolderInfo.h"
#include "monitor/DuplicateFilter.h"
#include "platform/DirectoryWatcher.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

class CIOThreadPool;

// Watches one hot folder on a thread of its own and turns its changes into requests for the pool.
// Created by CServiceManager::MonitorFolder, owned by the service manager's monitor map. The monitor
// thread alone uses the duplicate filter and the ticket versions; the service manager talks to it
// only through PostStop and WaitForEnd.
class CFolderMonitor {
  public:
    CFolderMonitor(const CHotFolderInfo& folder, CIOThreadPool* pPool);
    virtual ~CFolderMonitor();
    CFolderMonitor(const CFolderMonitor&) = delete;
    CFolderMonitor& operator=(const CFolderMonitor&) = delete;

    // The steps of opening a monitor, each logging its own failure line; 1 on success, 0 on failure.
    int CreateQueue();
    int OpenFolder();
    int StartWatching();
    int StartThread();

    // The stop packet: the thread ends after the change it is handling.
    void PostStop();
    // True when the thread ended within the wait; a thread that did not is left running on its own.
    bool WaitForEnd(std::chrono::milliseconds wait);

  private:
    void MonitorFolderThreadMain();
    void ProcessBatch(const Platform::CChangeBatch& batch);
    void ProcessRecord(const Platform::CChangeRecord& record);
    void DispatchNotification(uint32_t nAction, const std::string& strName);
    void ScanFolderAtStart();
    void RescanAfterOverflow();
    void LearnTicketsPresent();
    void LogWatchFailures(const std::vector<Platform::CWatchFailure>& failures);
    void MarkThreadEnded();

    CHotFolderInfo m_folder;
    CIOThreadPool* m_pPool;
    Platform::CDirectoryWatcher m_watcher;
    std::thread m_thread;

    CDuplicateFilter m_duplicateFilter;
    // ".dat" mode: the tickets in the folder that were seen at start or notified since, so that a
    // rescan after lost changes hands on only tickets never seen before and posts none twice.
    std::set<std::string> m_knownTickets;

    std::mutex m_endMutex;
    std::condition_variable m_ended;
    bool m_bEnded = false;
};
