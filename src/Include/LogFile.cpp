#include "Include/LogFile.h"
#include "Include/StringUtil.h"

#include "platform/FileSystem.h"
#include "platform/Thread.h"
#include "platform/Time.h"

#include <chrono>
#include <cstring>
#include <vector>

std::atomic<CLogFile*> g_pLogFile{nullptr};
int g_nRollOverCount = 1;

namespace {

bool IsPathSeparator(char c) {
    return c != '\0' && std::strchr(Platform::kPathSeparators, c) != nullptr;
}

using std::chrono::milliseconds;

constexpr long kRollOverSize = 4194304;
constexpr milliseconds kOpenWait{60000};
constexpr milliseconds kTraceWait{10000};
constexpr milliseconds kWriteWait{1000};
constexpr unsigned int kDetailLevel = 10;

const char* const kClosingLine = "CLogFile::Close - INFORMATION- Closing the LOG file ..";
const char* const kTraceTimedOut = "CLogFile::Trace -- Mutex Timed out .......\n";
const char* const kWriteTimedOut = "CLogFile::WriteString -- Mutex Timed out .......\n";

std::string FormatArgs(const char* szFormat, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int nLength = std::vsnprintf(nullptr, 0, szFormat, copy);
    va_end(copy);
    if (nLength <= 0)
        return std::string();
    std::vector<char> buffer(static_cast<size_t>(nLength) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), szFormat, args);
    return std::string(buffer.data(), static_cast<size_t>(nLength));
}

// Writes and flushes; false when either fails (a full disk, for example).
bool WriteAndFlush(std::FILE* pStream, const std::string& strText) {
    return std::fwrite(strText.data(), 1, strText.size(), pStream) == strText.size() &&
           std::fflush(pStream) == 0;
}

} // namespace

CLogFile::CLogFile(RolledFile rolled) : m_bDeleteRolledFile(rolled == RolledFile::Delete) {}

CLogFile::~CLogFile() {
    Close();
}

bool CLogFile::OpenStream() {
    std::lock_guard<std::timed_mutex> streamGuard(m_streamLock);
    m_file = Platform::OpenAppendStream(m_strFilePath);
    if (m_file == nullptr)
        return false;
    std::fseek(m_file, 0, SEEK_END);
    return true;
}

void CLogFile::Open(std::string strPath) {
    std::unique_lock<std::recursive_timed_mutex> lock(m_mutex, std::defer_lock);
    (void)lock.try_lock_for(kOpenWait);
    if (m_file != nullptr)
        Close();
    std::string strPreviousPath = m_strFilePath;
    m_strFilePath = strPath;
    if (!OpenStream()) {
        m_strFilePath = strPreviousPath;
        return;
    }
    m_bOpened = true;
    std::string strBanner = Platform::FormatLocalTime("%A, %B %d, %Y %H:%M:%S") +
                            " Application Started................................................." + "\r\n";
    std::lock_guard<std::timed_mutex> streamGuard(m_streamLock);
    (void)WriteAndFlush(m_file, strBanner);
}

void CLogFile::SetTraceLevel(unsigned int nLevel, bool bEnable) {
    m_nTraceLevel = nLevel;
    std::unique_lock<std::recursive_timed_mutex> lock(m_mutex, std::defer_lock);
    (void)lock.try_lock_for(kOpenWait);
    m_bEnabled = bEnable;
    m_nTraceLevel = nLevel;
}

void CLogFile::Close() {
    std::unique_lock<std::recursive_timed_mutex> lock(m_mutex, std::defer_lock);
    (void)lock.try_lock_for(kOpenWait);
    if (m_file == nullptr)
        return;
    Trace("%s", kClosingLine);
    std::lock_guard<std::timed_mutex> streamGuard(m_streamLock);
    std::fclose(m_file);
    m_file = nullptr;
}

void CLogFile::Trace(const char* szFormat, ...) {
    va_list args;
    va_start(args, szFormat);
    TraceArgs(false, szFormat, args);
    va_end(args);
}

void CLogFile::TraceDetail(const char* szFormat, ...) {
    va_list args;
    va_start(args, szFormat);
    TraceArgs(true, szFormat, args);
    va_end(args);
}

void CLogFile::TraceArgs(bool bDetail, const char* szFormat, va_list args) {
    if (!m_bOpened || !m_bEnabled)
        return;
    if (bDetail && m_nTraceLevel < kDetailLevel)
        return;
    try {
        std::unique_lock<std::recursive_timed_mutex> lock(m_mutex, std::defer_lock);
        if (!lock.try_lock_for(kTraceWait)) {
            WriteString(kTraceTimedOut);
            return;
        }
        WriteString(FormatArgs(szFormat, args));
    } catch (...) {
    }
}

void CLogFile::WriteString(const std::string& strText) {
    if (!m_bOpened || !m_bEnabled)
        return;
    std::unique_lock<std::recursive_timed_mutex> lock(m_mutex, std::defer_lock);
    try {
        if (!lock.try_lock_for(kWriteWait)) {
            WriteFallback(kWriteTimedOut + strText + "\r\n");
            return;
        }
        if (m_file == nullptr)
            return;
        RollOverIfTooLong();
        std::string strLine = ComposeLine(strText);
        std::lock_guard<std::timed_mutex> streamGuard(m_streamLock);
        if (m_file == nullptr || !WriteAndFlush(m_file, strLine))
            m_bEnabled = false;
    } catch (...) {
        m_bEnabled = false;
    }
}

void CLogFile::WriteFallback(const std::string& strText) {
    std::unique_lock<std::timed_mutex> streamGuard(m_streamLock, std::defer_lock);
    if (!streamGuard.try_lock_for(kWriteWait))
        return;
    if (m_file != nullptr)
        (void)WriteAndFlush(m_file, strText);
}

void CLogFile::RollOverIfTooLong() {
    {
        std::lock_guard<std::timed_mutex> streamGuard(m_streamLock);
        if (std::ftell(m_file) <= kRollOverSize)
            return;
        std::fclose(m_file);
        m_file = nullptr;
    }
    std::string strSuffix =
        "_" + Platform::FormatLocalTime("%Y%m%d") + "_" + std::to_string(g_nRollOverCount) + ".tmp";
    ++g_nRollOverCount;
    std::string strRolledPath = ReplaceAll(m_strFilePath, ".log", strSuffix);
    (void)Platform::MovePath(m_strFilePath, strRolledPath);
    if (m_bDeleteRolledFile && !strRolledPath.empty() && FileExists(strRolledPath))
        (void)Platform::RemoveFile(strRolledPath);
    (void)OpenStream();
}

std::string CLogFile::ComposeLine(const std::string& strText) const {
    char szThreadId[32];
    std::snprintf(szThreadId, sizeof(szThreadId), "%4i ", Platform::GetThreadId());
    return szThreadId + Platform::FormatLocalTime("%m/%d %H:%M:%S") + " " + strText + "\r\n";
}

void LogTrace(const char* szFormat, ...) {
    CLogFile* pLog = g_pLogFile.load();
    if (pLog == nullptr)
        return;
    va_list args;
    va_start(args, szFormat);
    pLog->TraceArgs(false, szFormat, args);
    va_end(args);
}

void LogTraceDetail(const char* szFormat, ...) {
    CLogFile* pLog = g_pLogFile.load();
    if (pLog == nullptr)
        return;
    va_list args;
    va_start(args, szFormat);
    pLog->TraceArgs(true, szFormat, args);
    va_end(args);
}

std::string SplitPath(const std::string& strPath, int nPart) {
    size_t nSeparator = strPath.find_last_of(Platform::kPathSeparators);
    size_t nDot = strPath.rfind('.');
    switch (nPart) {
    case 0:
        return nSeparator == std::string::npos ? strPath : strPath.substr(nSeparator + 1);
    case 1: {
        if (nDot == std::string::npos)
            return SplitPath(strPath, 0);
        if (nSeparator != std::string::npos && nDot < nSeparator)
            return std::string();
        size_t nStart = nSeparator == std::string::npos ? 0 : nSeparator + 1;
        return strPath.substr(nStart, nDot - nStart);
    }
    case 2:
        return nDot == std::string::npos ? strPath : strPath.substr(nDot + 1);
    case 3:
        return nSeparator == std::string::npos ? std::string() : strPath.substr(0, nSeparator);
    case 4:
        return nDot == std::string::npos ? std::string() : strPath.substr(0, nDot);
    default:
        return std::string();
    }
}

bool FileExists(const std::string& strPath) {
    std::string strTrimmed = strPath;
    while (!strTrimmed.empty() && IsPathSeparator(strTrimmed.back()))
        strTrimmed.pop_back();
    if (strTrimmed.empty())
        return false;
    return Platform::PathExists(strTrimmed);
}

bool DeleteFileIfExists(const std::string& strPath) {
    if (strPath.empty() || !FileExists(strPath))
        return true;
    return Platform::RemoveFile(strPath);
}

std::string JoinPath(const std::string& strFolder, const std::string& strName) {
    if (strFolder.empty() || IsPathSeparator(strFolder.back()))
        return strFolder + strName;
    return strFolder + Platform::kPathSeparator + strName;
}
