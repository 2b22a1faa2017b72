#include "WatchProbe.h"

#include "platform/FileSystem.h"

#include <gtest/gtest.h>

std::string NativeName(const std::string& strName) {
    std::string strNative = strName;
    for (char& cChar : strNative)
        if (cChar == '/')
            cChar = Platform::kPathSeparator;
    return strNative;
}

CWatchProbe::CWatchProbe(const std::string& strRoot, bool bReportModified)
    : m_pWatcher(Platform::SystemChangeWatchers().CreateWatcher()) {
    std::vector<Platform::CWatchFailure> failures;
    bool bStarted =
        m_pWatcher && m_pWatcher->OpenFolder(strRoot) && m_pWatcher->StartWatching(bReportModified, failures);
    EXPECT_TRUE(bStarted) << strRoot;
    EXPECT_TRUE(failures.empty()) << strRoot;
    if (bStarted)
        m_thread = std::thread(&CWatchProbe::Collect, this);
}

CWatchProbe::~CWatchProbe() {
    if (m_pWatcher)
        m_pWatcher->PostStop();
    if (m_thread.joinable())
        m_thread.join();
}

bool CWatchProbe::WaitFor(uint32_t nAction, const std::string& strName, std::chrono::milliseconds timeout) {
    std::string strNative = NativeName(strName);
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        for (const Platform::CChangeRecord& record : m_records)
            if (record.nAction == nAction && record.strName == strNative)
                return true;
        return false;
    });
}

bool CWatchProbe::WaitForEnd(Platform::WaitResult result, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_bEnded; }) && m_result == result;
}

std::vector<Platform::CChangeRecord> CWatchProbe::Records() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_records;
}

bool CWatchProbe::WaitForOverflow(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_bOverflow; });
}

void CWatchProbe::Collect() {
    Platform::CChangeBatch batch;
    Platform::WaitResult result;
    while ((result = m_pWatcher->Wait(batch)) == Platform::WaitResult::Changes) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_records.insert(m_records.end(), batch.records.begin(), batch.records.end());
        m_bOverflow = m_bOverflow || batch.bOverflow;
        m_changed.notify_all();
    }
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bEnded = true;
    m_result = result;
    m_changed.notify_all();
}
