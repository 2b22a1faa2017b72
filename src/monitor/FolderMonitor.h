#pragma once

#include "config/HotFolderInfo.h"
#include "monitor/DuplicateFilter.h"
#include "platform/ChangeWatcher.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class CIOThreadPool;
class CTicketLedger;

namespace Platform {
struct CEnvironment;
} // namespace Platform

// Watches one hot folder on a thread of its own and turns its changes into requests for the pool.
// Created by CServiceManager::MonitorFolder, owned by the service manager's monitor map. The monitor
// thread alone uses the duplicate filter; the service manager talks to it only through PostStop and
// WaitForEnd. A ticket folder keeps its ticket ledger in strStateFolder ("" keeps it in memory).
// The watcher comes from the environment's factory, the time of its waits from its clock.
class CFolderMonitor {
  public:
    CFolderMonitor(const Platform::CEnvironment& environment, const CHotFolderInfo& folder,
                   CIOThreadPool* pPool, const std::string& strStateFolder = "");
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
    // A ticket whose present version the ledger does not hold yet.
    bool HasUnprocessedVersion(const std::string& strName) const;
    void DispatchNotification(uint32_t nAction, const std::string& strName);
    bool KeepScanning() const;
    void RemovePartialCopies();
    void ScanFolderAtStart();
    void RescanAfterOverflow();
    void TakeTicketsPresentAsProcessed();
    void ScanTickets();
    void LogWatchFailures(const std::vector<Platform::CWatchFailure>& failures);
    void MarkThreadEnded();

    const Platform::CEnvironment& m_environment;
    CHotFolderInfo m_folder;
    CIOThreadPool* m_pPool;
    // Made by CreateQueue; every later step needs it.
    std::unique_ptr<Platform::IChangeWatcher> m_pWatcher;
    std::thread m_thread;

    CDuplicateFilter m_duplicateFilter;
    std::string m_strStateFolder;
    // Ticket folders only; shared with the requests handed on.
    std::shared_ptr<CTicketLedger> m_pTicketLedger;

    std::mutex m_endMutex;
    std::condition_variable_any m_ended;
    bool m_bEnded = false;
};
