#include "monitor/FolderMonitor.h"

#include "Include/LogFile.h"
#include "monitor/TicketLedger.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/FileAccess.h"
#include "platform/FileSystem.h"
#include "platform/FileSystemKind.h"
#include "platform/Thread.h"
#include "pool/FileRequest.h"
#include "pool/IOThreadPool.h"

#include <mutex>
#include <set>

CFolderMonitor::CFolderMonitor(const Platform::CEnvironment& environment, const CHotFolderInfo& folder,
                               CIOThreadPool* pPool, const std::string& strStateFolder)
    : m_environment(environment), m_folder(folder), m_pPool(pPool), m_strStateFolder(strStateFolder) {}

CFolderMonitor::~CFolderMonitor() {
    if (m_thread.joinable())
        m_thread.join();
}

int CFolderMonitor::CreateQueue() {
    m_pWatcher = m_environment.pWatchers->CreateWatcher();
    if (m_pWatcher)
        return 1;
    LogTrace(" -- F : Failed to CreateIOPort Error( %d)", Platform::GetLastError());
    return 0;
}

int CFolderMonitor::OpenFolder() {
    if (!m_pWatcher->OpenFolder(m_folder.source)) {
        LogTrace("--F: Create file failed p=%s error =%d", m_folder.source.c_str(), Platform::GetLastError());
        return 0;
    }
    std::string strNetworkKind = Platform::GetNetworkFileSystemName(m_folder.source);
    if (!strNetworkKind.empty())
        LogTrace("--W: hot folder s=%s is on a network file system (%s): changes made by other hosts are not "
                 "reported, only changes made on this machine",
                 m_folder.source.c_str(), strNetworkKind.c_str());
    return 1;
}

int CFolderMonitor::StartWatching() {
    if (m_folder.IsTicketFolder()) {
        bool bLoaded = false;
        m_pTicketLedger = CTicketLedger::Shared(m_strStateFolder, m_folder.source, bLoaded);
        if (!bLoaded && !m_pTicketLedger->Load())
            TakeTicketsPresentAsProcessed();
    }
    std::vector<Platform::CWatchFailure> failures;
    bool bWatching = m_pWatcher->StartWatching(m_folder.IsTicketFolder(), failures);
    int nError = Platform::GetLastError();
    LogWatchFailures(failures);
    if (bWatching)
        return 1;
    LogTrace("--F : ReadDirectory Changes Failed Error(%d)", nError);
    return 0;
}

int CFolderMonitor::StartThread() {
    try {
        m_thread = std::thread(&CFolderMonitor::MonitorFolderThreadMain, this);
        return 1;
    } catch (const std::system_error& error) {
        LogTrace("--F: failed to create thread error =%d", error.code().value());
        return 0;
    }
}

void CFolderMonitor::PostStop() {
    if (m_pWatcher)
        m_pWatcher->PostStop();
}

bool CFolderMonitor::WaitForEnd(std::chrono::milliseconds wait) {
    Platform::IClock& clock = *m_environment.pClock;
    std::unique_lock<std::mutex> lock(m_endMutex);
    if (!clock.WaitUntil(lock, m_ended, clock.DeadlineAfter(wait.count()), [&] { return m_bEnded; }))
        return false;
    lock.unlock();
    if (m_thread.joinable())
        m_thread.join();
    return true;
}

void CFolderMonitor::MarkThreadEnded() {
    std::lock_guard<std::mutex> guard(m_endMutex);
    m_bEnded = true;
    m_ended.notify_all();
}

void CFolderMonitor::MonitorFolderThreadMain() {
    LogTrace("--I: MonitorFolderThreadMain start s=%s", m_folder.source.c_str());
    try {
        RemovePartialCopies();
        ScanFolderAtStart();
        Platform::CChangeBatch batch;
        while (true) {
            Platform::WaitResult result = m_pWatcher->Wait(batch);
            if (result == Platform::WaitResult::Stopped) {
                LogTrace("-- I : Queue complete(null), exiting... ");
                break;
            }
            if (result == Platform::WaitResult::Failed) {
                LogTrace("--F: monitor folder failed s=%s error =%d", m_folder.source.c_str(),
                         Platform::GetLastError());
                break;
            }
            ProcessBatch(batch);
        }
    } catch (...) {
        LogTrace("**** E: MonitorFolderThreadMain ***");
    }
    LogTrace("--I: MonitorFolderThreadMain end");
    MarkThreadEnded();
}

void CFolderMonitor::ProcessBatch(const Platform::CChangeBatch& batch) {
    LogWatchFailures(batch.failures);
    for (const Platform::CChangeRecord& record : batch.records)
        ProcessRecord(record);
    if (batch.bOverflow)
        RescanAfterOverflow();
}

void CFolderMonitor::ProcessRecord(const Platform::CChangeRecord& record) {
    if (!m_folder.IsTicketFolder()) {
        DispatchNotification(record.nAction, record.strName);
        return;
    }
    if (!CTicketLedger::IsTicketName(record.strName))
        return;
    // A repeat within the window is dropped only when it cannot be a new version: a ticket rewritten
    // while its first version is still being posted must not be lost.
    if (m_duplicateFilter.IsDuplicate(record.strName, m_environment.pClock->GetMonotonicMilliseconds()) &&
        !HasUnprocessedVersion(record.strName))
        LogTrace("discard dup notification");
    else
        DispatchNotification(record.nAction, record.strName);
}

bool CFolderMonitor::HasUnprocessedVersion(const std::string& strName) const {
    Platform::CFileBeneath ticket;
    Platform::CFileVersion version;
    return ticket.Resolve(m_folder.source, strName) == Platform::CFileBeneath::Resolution::Resolved &&
           ticket.GetVersion(version) && !m_pTicketLedger->IsProcessed(strName, version);
}

void CFolderMonitor::DispatchNotification(uint32_t nAction, const std::string& strName) {
    try {
        if (m_pPool == nullptr)
            return;
        auto* pRequest = new CFileRequest();
        static_cast<CHotFolderInfo&>(*pRequest) = m_folder;
        pRequest->action = nAction;
        pRequest->filename = strName;
        pRequest->pTicketLedger = m_pTicketLedger;
        m_pPool->DispatchNewRequest(pRequest);
    } catch (...) {
        LogTrace("*** E: DispatchNotification ***");
    }
}

bool CFolderMonitor::KeepScanning() const {
    return !m_pWatcher->IsStopPosted();
}

// A copy interrupted by a crash or a power cut leaves its temporary file in the destination; this
// run's own copies in progress keep theirs.
void CFolderMonitor::RemovePartialCopies() {
    // Many hot folders may share a destination: its tree is walked once per run, by the first.
    static std::mutex s_mutex;
    static std::set<std::string> s_cleaned;
    {
        std::lock_guard<std::mutex> guard(s_mutex);
        if (m_folder.destination.empty() || !s_cleaned.insert(m_folder.destination).second)
            return;
    }
    std::vector<std::string> removed;
    Platform::CFileBeneath::RemovePartialCopies(m_folder.destination, removed,
                                                [&] { return KeepScanning(); });
    for (const std::string& strName : removed)
        LogTrace("--I: partial copy of an interrupted run removed p=%s",
                 JoinPath(m_folder.destination, strName).c_str());
}

// Files that arrived while the agent was stopped. A ticket folder hands on the tickets it has not
// processed: tickets stay in their folder by design.
void CFolderMonitor::ScanFolderAtStart() {
    if (m_folder.IsTicketFolder()) {
        ScanTickets();
        return;
    }
    int nFiles = 0;
    Platform::ForEachFileInTree(
        m_folder.source,
        [&](const std::string& strName, const Platform::CFileVersion&) {
            ++nFiles;
            DispatchNotification(Platform::kActionAdded, strName);
        },
        [&] { return KeepScanning(); });
    // Also an empty folder's line: it tells that every file seen from now on is seen by the watch.
    if (!KeepScanning())
        LogTrace("--I: start-up scan s=%s ended by the stop", m_folder.source.c_str());
    else
        LogTrace("--I: start-up scan s=%s files=%d", m_folder.source.c_str(), nFiles);
}

// The folder's first watch (no ticket state yet): the tickets already there were handled before,
// so they count as processed. Taken before the watch starts; a ticket that arrives in between is
// found by the scan that follows once the watch runs.
void CFolderMonitor::TakeTicketsPresentAsProcessed() {
    std::vector<CTicketVersion> present;
    Platform::ForEachFileInTree(m_folder.source,
                                [&](const std::string& strName, const Platform::CFileVersion& version) {
                                    if (CTicketLedger::IsTicketName(strName))
                                        present.push_back({strName, version});
                                });
    m_pTicketLedger->MarkAllProcessed(present);
    LogTrace("--I: ticket folder s=%s watched for the first time, tickets=%d taken as processed",
             m_folder.source.c_str(), static_cast<int>(present.size()));
}

// Hands on, as added, every ticket whose present version is not processed yet.
void CFolderMonitor::ScanTickets() {
    std::vector<CTicketVersion> present;
    bool bWhole = Platform::ForEachFileInTree(
        m_folder.source,
        [&](const std::string& strName, const Platform::CFileVersion& version) {
            if (CTicketLedger::IsTicketName(strName))
                present.push_back({strName, version});
        },
        [&] { return KeepScanning(); });
    if (!KeepScanning()) {
        LogTrace("--I: ticket scan s=%s ended by the stop", m_folder.source.c_str());
        return;
    }
    std::vector<CTicketVersion> unprocessed = m_pTicketLedger->FindUnprocessed(present, bWhole);
    LogTrace("--I: ticket scan s=%s tickets=%d unprocessed=%d", m_folder.source.c_str(),
             static_cast<int>(present.size()), static_cast<int>(unprocessed.size()));
    for (const CTicketVersion& ticket : unprocessed) {
        if (!KeepScanning())
            return;
        DispatchNotification(Platform::kActionAdded, ticket.strName);
    }
}

// The kernel dropped changes. Every file of an ordinary folder is handed on again (a file is
// processed and removed, so one still there is unprocessed or in progress); a ticket folder hands
// on only the tickets it has not processed, so that no ticket is posted twice.
void CFolderMonitor::RescanAfterOverflow() {
    LogTrace("--F: change queue overflow s=%s, rescanning the folder", m_folder.source.c_str());
    if (m_folder.IsTicketFolder()) {
        ScanTickets();
        return;
    }
    Platform::ForEachFileInTree(
        m_folder.source,
        [&](const std::string& strName, const Platform::CFileVersion&) {
            DispatchNotification(Platform::kActionAdded, strName);
        },
        [&] { return KeepScanning(); });
}

void CFolderMonitor::LogWatchFailures(const std::vector<Platform::CWatchFailure>& failures) {
    for (const Platform::CWatchFailure& failure : failures)
        LogTrace("--F: cannot watch folder p=%s error =%d", failure.strFolder.c_str(), failure.nError);
}
