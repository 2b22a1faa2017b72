#pragma once

#include "config/HotFolderInfo.h"
#include "pool/IOThreadPool.h"

#include <chrono>
#include <map>
#include <string>
#include <vector>

class CFolderMonitor;

namespace Platform {
struct CEnvironment;
} // namespace Platform

// Starts and stops the agent's work: the pool and one folder monitor per hot folder. Every operation
// runs on the service loop's thread, so the array and the map need no lock. The environment is
// handed on to the pool and every monitor, and outlives them.
class CServiceManager {
  public:
    explicit CServiceManager(const Platform::CEnvironment& environment);
    virtual ~CServiceManager();
    CServiceManager(const CServiceManager&) = delete;
    CServiceManager& operator=(const CServiceManager&) = delete;

    // Where ticket folders keep their state files (the module directory); set before Initalize.
    void SetStateFolder(const std::string& strFolder) { m_strStateFolder = strFolder; }
    // The settings file that names the hot folders; set before Initalize.
    void SetSettingsPath(const std::string& strPath) { m_strSettingsPath = strPath; }

    int Initalize();
    int uninit();
    void DumpSettings();
    int StartMonitorFolders();
    int StopMonitorFolders();
    int MonitorFolder(const CHotFolderInfo& folder);
    void CleanArray(std::vector<CHotFolderInfo*>& folders);

    // True when every monitor thread and the dispatcher ended within their waits at the last uninit;
    // a thread that did not may still be inside a log call, so the log must outlive it.
    bool HaveAllThreadsEnded() const { return m_bAllThreadsEnded; }

    CIOThreadPool& GetThreadPool() { return m_threadPool; }
    size_t GetMonitorCount() const { return m_monitors.size(); }

  private:
    const Platform::CEnvironment& m_environment;
    CIOThreadPool m_threadPool;
    std::string m_strStateFolder;
    std::string m_strSettingsPath;
    // Owns its records; holds the table of the last start until destruction.
    std::vector<CHotFolderInfo*> m_hotFolders;
    // Keyed by the exact source string, owning its monitors. Of two hot folders with the same source
    // the second stops and replaces the first.
    std::map<std::string, CFolderMonitor*> m_monitors;
    // How long a stop waits for each monitor thread.
    static constexpr std::chrono::milliseconds kMonitorStopWait{10000};
    bool m_bAllThreadsEnded = false;
    // A replaced monitor whose thread did not end in time.
    bool m_bMonitorLeftRunning = false;

    bool StopMonitor(CFolderMonitor* pMonitor);
};
