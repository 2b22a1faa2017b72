#include "request/AbandonedFiles.h"

#include "Include/LogFile.h"
#include "Include/StringUtil.h"
#include "platform/FileAccess.h"
#include "platform/FileReplacement.h"
#include "platform/FileSystem.h"
#include "platform/Thread.h"

#include <memory>
#include <sstream>

namespace {

// Line ends inside a path would break its line.
const char* const kEscapedInPaths = "\n\r";

std::string FormatEntry(const std::string& strPath, const Platform::CFileVersion& version) {
    return std::to_string(version.nSize) + " " + std::to_string(version.nModifiedNs) + " " +
           EscapeBytes(strPath, kEscapedInPaths) + "\n";
}

// "size mtime path"; false for a line that is not one (a torn or damaged line).
bool ParseEntry(const std::string& strLine, std::string& strPath, Platform::CFileVersion& version) {
    std::istringstream stream(strLine);
    unsigned long long nSize = 0;
    long long nModified = 0;
    if (!(stream >> nSize >> nModified) || stream.get() != ' ')
        return false;
    std::string strEscaped;
    std::getline(stream, strEscaped);
    if (strEscaped.empty())
        return false;
    if (!UnescapeBytes(strEscaped, kEscapedInPaths, strPath))
        return false;
    version.nSize = nSize;
    version.nModifiedNs = nModified;
    return true;
}

// The file the entry names is still there, unchanged.
bool IsStillThere(const std::string& strPath, const Platform::CFileVersion& version) {
    Platform::CFileBeneath file;
    Platform::CFileVersion current;
    return file.Resolve(SplitPath(strPath, 3), SplitPath(strPath, 0)) ==
               Platform::CFileBeneath::Resolution::Resolved &&
           file.GetVersion(current) && current == version;
}

} // namespace

CAbandonedFiles& CAbandonedFiles::In(const std::string& strFolder) {
    static std::mutex s_mutex;
    static std::map<std::string, std::unique_ptr<CAbandonedFiles>> s_lists;
    std::lock_guard<std::mutex> guard(s_mutex);
    std::unique_ptr<CAbandonedFiles>& pList = s_lists[strFolder];
    if (!pList)
        pList.reset(new CAbandonedFiles(strFolder));
    return *pList;
}

CAbandonedFiles::CAbandonedFiles(std::string strFolder) : m_strFilePath(JoinPath(strFolder, kFileName)) {}

bool CAbandonedFiles::Contains(const std::string& strPath, const Platform::CFileVersion& version) {
    std::lock_guard<std::mutex> guard(m_mutex);
    LoadOnce();
    auto entry = m_files.find(strPath);
    return entry != m_files.end() && entry->second == version;
}

void CAbandonedFiles::Add(const std::string& strPath, const Platform::CFileVersion& version) {
    std::lock_guard<std::mutex> guard(m_mutex);
    LoadOnce();
    m_files[strPath] = version;
    // On the disk before the job goes on: a file forgotten after a power cut would be billed again.
    if (!Platform::PathExists(m_strFilePath)) {
        Rewrite();
        return;
    }
    if (!Platform::AppendDurably(m_strFilePath, FormatEntry(strPath, version)))
        LogTrace("--F: abandoned print file list cannot be written p=%s error =%d", m_strFilePath.c_str(),
                 Platform::GetLastError());
}

void CAbandonedFiles::LoadOnce() {
    if (m_bLoaded)
        return;
    m_bLoaded = true;
    std::string strContent;
    if (!Platform::ReadWholeRegularFile(m_strFilePath, strContent))
        return;
    bool bForgotten = false;
    std::string strPath;
    Platform::CFileVersion version;
    size_t nStart = 0;
    for (size_t nEnd = strContent.find('\n'); nStart < strContent.size();
         nEnd = strContent.find('\n', nStart)) {
        // A last line without its line end was cut short by a crash.
        bool bTorn = nEnd == std::string::npos;
        std::string strLine = strContent.substr(nStart, bTorn ? std::string::npos : nEnd - nStart);
        nStart = bTorn ? strContent.size() : nEnd + 1;
        if (bTorn || !ParseEntry(strLine, strPath, version) || !IsStillThere(strPath, version)) {
            bForgotten = true;
            continue;
        }
        m_files[strPath] = version;
    }
    if (bForgotten)
        Rewrite();
}

// The entries still valid, in place of the file, in one crash-safe step.
void CAbandonedFiles::Rewrite() {
    std::string strContent;
    for (const auto& entry : m_files)
        strContent += FormatEntry(entry.first, entry.second);
    Platform::CFileReplacement replacement;
    if (!replacement.Begin(m_strFilePath) || !replacement.Write(strContent.data(), strContent.size()) ||
        !replacement.Commit())
        LogTrace("--F: abandoned print file list cannot be written p=%s error =%d", m_strFilePath.c_str(),
                 Platform::GetLastError());
}
