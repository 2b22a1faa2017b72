#include "Include/StatusReport.h"

#include "Include/LogFile.h"
#include "platform/Time.h"

#include <system_error>

namespace {

const char* const kTimeFormat = "%Y-%m-%d %H:%M:%S";

} // namespace

CStatusReport::CStatusReport(Sink sink) : m_sink(std::move(sink)) {}

CStatusReport::~CStatusReport() {
    Stop();
}

bool CStatusReport::Start(Sink sink) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_thread.joinable())
        return true;
    if (sink)
        m_sink = std::move(sink);
    m_bStopping = false;
    try {
        m_thread = std::thread(&CStatusReport::ThreadMain, this);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

void CStatusReport::Stop() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_bStopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void CStatusReport::SetWatchedFolders(size_t nCount) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_nWatched == nCount)
        return;
    m_nWatched = nCount;
    Changed();
}

void CStatusReport::NotePosted() {
    try {
        std::lock_guard<std::mutex> guard(m_mutex);
        ++m_nPosted;
        m_strLastSuccess = Platform::FormatLocalTime(kTimeFormat);
        Changed();
    } catch (...) {
        LogTrace("*** E: CStatusReport NotePosted ***");
    }
}

void CStatusReport::NoteArchived() {
    std::lock_guard<std::mutex> guard(m_mutex);
    ++m_nArchived;
    ++m_nPending;
    Changed();
}

// A re-send that finds nothing to send changes nothing, so it sends no line either.
void CStatusReport::SetPending(size_t nPending, bool bSucceeded) {
    try {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_nPending == nPending)
            return;
        m_nPending = nPending;
        if (bSucceeded)
            m_strLastSuccess = Platform::FormatLocalTime(kTimeFormat);
        Changed();
    } catch (...) {
        LogTrace("*** E: CStatusReport SetPending ***");
    }
}

std::string CStatusReport::BuildLine() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return ComposeLine();
}

bool CStatusReport::TakeUnsentLine(std::string& strLine) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_nVersion == m_nSentVersion)
        return false;
    m_nSentVersion = m_nVersion;
    strLine = ComposeLine();
    return true;
}

std::string CStatusReport::ComposeLine() const {
    return "Folders watched: " + std::to_string(m_nWatched) + "; jobs posted: " + std::to_string(m_nPosted) +
           ", archived: " + std::to_string(m_nArchived) + ", pending: " + std::to_string(m_nPending) + "; " +
           (m_strLastSuccess.empty() ? std::string("no successful post yet")
                                     : "last successful post: " + m_strLastSuccess);
}

void CStatusReport::Changed() {
    ++m_nVersion;
    m_wake.notify_all();
}

void CStatusReport::ThreadMain() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_bStopping || m_nVersion != m_nSentVersion; });
        if (m_bStopping)
            return;
        lock.unlock();
        try {
            std::string strLine;
            if (TakeUnsentLine(strLine) && m_sink)
                m_sink(strLine);
        } catch (...) {
            LogTrace("*** E: CStatusReport ThreadMain ***");
        }
        lock.lock();
        // The pause bounds the rate; changes made meanwhile go out together after it.
        m_wake.wait_for(lock, kMinInterval, [this] { return m_bStopping; });
    }
}
