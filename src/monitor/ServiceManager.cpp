#include "monitor/ServiceManager.h"

#include "Include/LogFile.h"
#include "config/AgentSettings.h"
#include "monitor/FolderMonitor.h"

#include <memory>

CServiceManager::CServiceManager(const Platform::CEnvironment& environment)
    : m_environment(environment), m_threadPool(environment) {}

CServiceManager::~CServiceManager() {
    CleanArray(m_hotFolders);
}

int CServiceManager::Initalize() {
    try {
        DumpSettings();
        LogTrace("--I: IO threadpool status = %d", m_threadPool.InitThreadPool(1));
        int nStatus = StartMonitorFolders();
        LogTrace("--I : monitor status = %d", nStatus);
        return nStatus;
    } catch (...) {
        LogTrace("*** E: CServiceManager Initalize ***");
        return 0;
    }
}

int CServiceManager::uninit() {
    try {
        // Cleared by each monitor thread that does not end in time.
        m_bAllThreadsEnded = !m_bMonitorLeftRunning;
        StopMonitorFolders();
        m_threadPool.ShutdownThreadPool();
        m_bAllThreadsEnded = m_bAllThreadsEnded && m_threadPool.HaveDispatchersEnded();
        return 1;
    } catch (...) {
        m_bAllThreadsEnded = false;
        LogTrace("*** E: uninit ***");
        return 0;
    }
}

void CServiceManager::DumpSettings() {
    std::vector<CHotFolderInfo*> folders;
    try {
        CAgentSettings settings(m_strSettingsPath);
        LogTrace("numberof folders =%d", settings.GetHotFolderCount());
        LogTrace("srveraddress=%s", settings.GetServerAddress().c_str());
        LogTrace("serverport=%d", settings.GetServerPort());
        settings.GetHotFolders(folders);
        for (const CHotFolderInfo* pFolder : folders)
            LogTrace("folder s=%s d=%s dv=%s", pFolder->source.c_str(), pFolder->destination.c_str(),
                     pFolder->devicename.c_str());
    } catch (...) {
        LogTrace("*** E: DumpSettings ***");
    }
    CleanArray(folders);
}

int CServiceManager::StartMonitorFolders() {
    try {
        CleanArray(m_hotFolders);
        CAgentSettings(m_strSettingsPath).GetHotFolders(m_hotFolders);
        LogTrace("--I: monitor folder size = %d", static_cast<int>(m_hotFolders.size()));
        for (const CHotFolderInfo* pFolder : m_hotFolders)
            MonitorFolder(*pFolder);
        return 1;
    } catch (...) {
        LogTrace("*** E: StartMonitorFolders ***");
        return 0;
    }
}

int CServiceManager::MonitorFolder(const CHotFolderInfo& folder) {
    try {
        LogTrace("--I: monitoring S=%s D=%s DV=%s", folder.source.c_str(), folder.destination.c_str(),
                 folder.devicename.c_str());
        // A second hot folder of the same source replaces the first, which stops before the second
        // starts so that the two never share the folder's ticket state.
        auto existing = m_monitors.find(folder.source);
        if (existing != m_monitors.end()) {
            if (!StopMonitor(existing->second))
                m_bMonitorLeftRunning = true;
            m_monitors.erase(existing);
        }
        auto pMonitor =
            std::make_unique<CFolderMonitor>(m_environment, folder, &m_threadPool, m_strStateFolder);
        if (!pMonitor->CreateQueue() || !pMonitor->OpenFolder() || !pMonitor->StartWatching() ||
            !pMonitor->StartThread())
            return 0;
        m_monitors[folder.source] = pMonitor.release();
        LogTrace("--I: successfully started folder monitor");
        return 1;
    } catch (...) {
        LogTrace("*** E: MonitorFolder ***");
        return 0;
    }
}

int CServiceManager::StopMonitorFolders() {
    try {
        while (!m_monitors.empty()) {
            auto entry = m_monitors.begin();
            if (!StopMonitor(entry->second))
                m_bAllThreadsEnded = false;
            m_monitors.erase(entry);
        }
    } catch (...) {
        m_bAllThreadsEnded = false;
        LogTrace("*** E: CServiceManager StopMonitorFolders ***");
    }
    return 0;
}

// Frees the monitor once its thread has ended. A thread that does not end in time cannot be ended by
// force here; it keeps its monitor, which is then never freed.
bool CServiceManager::StopMonitor(CFolderMonitor* pMonitor) {
    pMonitor->PostStop();
    if (!pMonitor->WaitForEnd(kMonitorStopWait))
        return false;
    delete pMonitor;
    return true;
}

void CServiceManager::CleanArray(std::vector<CHotFolderInfo*>& folders) {
    try {
        for (CHotFolderInfo*& pFolder : folders) {
            delete pFolder;
            pFolder = nullptr;
        }
        folders.clear();
        folders.shrink_to_fit();
    } catch (...) {
        LogTrace("*** E: CFolderNotifications CleanArray ***");
    }
}
