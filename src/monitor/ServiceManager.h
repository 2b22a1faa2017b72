#pragma once

#include "config/HotFolderInfo.h"
#include "pool/IOThreadPool.h"

#include <chrono>
#include <map>
#include <string>
#include <vector>

class CFolderMonitor;

// Starts and stops the agent's work: the pool and one folder monitor per hot folder. Every operation
// runs on the service loop's thread, so the array and the map need no lock.
class CServiceManager {
  public:
    CServiceManager();
    virtual ~CServiceManager();
    CServiceManager(const CServiceManager&) = delete;
    CServiceManager& operator=(const CServiceManager&) = delete;

    int Initalize();
    int uninit();
    void DumpSettings();
    int StartMonitorFolders();
    int StopMonitorFolders();
    int MonitorFolder(const CHotFolderInfo& folder);
    void CleanArray(std::vector<CHotFolderInfo*>& folders);

    CIOThreadPool& GetThreadPool() { return m_threadPool; }
    size_t GetMonitorCount() const { return m_monitors.size(); }

  private:
    CIOThreadPool m_threadPool;
    // Owns its records; holds the table of the last start until destruction.
    std::vector<CHotFolderInfo*> m_hotFolders;
    // Keyed by the exact source string, owning its monitors. Two hot folders with the same source
    // both start; the second one stops and replaces the first when it is entered.
    std::map<std::string, CFolderMonitor*> m_monitors;
    // How long a stop waits for each monitor thread.
    static constexpr std::chrono::milliseconds kMonitorStopWait{10000};

    bool StopMonitor(CFolderMonitor* pMonitor);
};
