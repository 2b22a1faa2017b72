#include "monitor/WatchProbe.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

CWatchProbe::CWatchProbe(const std::string& strRoot, bool bWatchWrites) {
    std::vector<Platform::CWatchFailure> failures;
    bool bStarted = m_watcher.CreateQueue() && m_watcher.OpenFolder(strRoot) &&
                    m_watcher.StartWatching(bWatchWrites, failures);
    EXPECT_TRUE(bStarted) << strRoot;
    EXPECT_TRUE(failures.empty()) << strRoot;
    if (bStarted)
        m_thread = std::thread(&CWatchProbe::Collect, this);
}

CWatchProbe::~CWatchProbe() {
    m_watcher.PostStop();
    if (m_thread.joinable())
        m_thread.join();
}

bool CWatchProbe::WaitFor(uint32_t nAction, const std::string& strName, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        for (const Platform::CChangeRecord& record : m_records)
            if (record.nAction == nAction && record.strName == strName)
                return true;
        return false;
    });
}

std::vector<Platform::CChangeRecord> CWatchProbe::Records() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_records;
}

void CWatchProbe::Collect() {
    Platform::CChangeBatch batch;
    while (m_watcher.Wait(batch) == Platform::WaitResult::Changes) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_records.insert(m_records.end(), batch.records.begin(), batch.records.end());
        m_changed.notify_all();
    }
}

int CountInotifyInstances() {
    int nCount = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::error_code linkError;
        if (std::filesystem::read_symlink(entry.path(), linkError).string() == "anon_inode:inotify")
            ++nCount;
    }
    return nCount;
}

Platform::CFileVersion VersionOfFile(const std::string& strPath) {
    struct stat info {};
    EXPECT_EQ(::lstat(strPath.c_str(), &info), 0) << strPath;
    return {static_cast<uint64_t>(info.st_size), info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec};
}
