#include "activity/ActivityFileDataStorage.h"

#include "Include/LogFile.h"
#include "platform/ExclusiveFile.h"
#include "platform/FileReplacement.h"

#include <vector>

namespace {

constexpr size_t kCopyChunk = 64 * 1024;

// The stored form: every line feed preceded by a carriage return.
std::string ToStoredForm(const std::string& strText) {
    std::string strStored;
    strStored.reserve(strText.size());
    for (char c : strText) {
        if (c == '\n')
            strStored += '\r';
        strStored += c;
    }
    return strStored;
}

// Back from the stored form: each CR LF pair becomes one line feed; a lone CR stays.
std::string FromStoredForm(const std::string& strStored) {
    std::string strText;
    strText.reserve(strStored.size());
    for (size_t i = 0; i < strStored.size(); ++i) {
        if (strStored[i] == '\r' && i + 1 < strStored.size() && strStored[i + 1] == '\n')
            continue;
        strText += strStored[i];
    }
    return strText;
}

// Copies what remains of the held archive into the replacement, a chunk at a time.
bool CopyInto(Platform::CExclusiveFile& archive, Platform::CFileReplacement& replacement) {
    std::vector<char> buffer(kCopyChunk);
    for (;;) {
        long nRead = archive.Read(buffer.data(), buffer.size());
        if (nRead == 0)
            return true;
        if (nRead < 0 || !replacement.Write(buffer.data(), static_cast<size_t>(nRead)))
            return false;
    }
}

} // namespace

CActivityFileDataStorage::CActivityFileDataStorage(std::string strFolder, const char* szFileName)
    : m_strFolder(std::move(strFolder)), m_strFilePath(JoinPath(m_strFolder, szFileName)) {}

std::recursive_mutex& CActivityFileDataStorage::GetArchiveLock() {
    static std::recursive_mutex s_archiveLock;
    return s_archiveLock;
}

int CActivityFileDataStorage::SaveData(const std::string& strText) {
    return Rewrite(strText, true, "*** E: CActivityFileDataStorage SaveData ***");
}

int CActivityFileDataStorage::ReadData(std::string& strText) {
    try {
        std::lock_guard<std::recursive_mutex> lock(GetArchiveLock());
        Platform::CExclusiveFile archive;
        if (!archive.Open(m_strFilePath, false))
            return 0;
        std::string strStored;
        std::vector<char> buffer(kCopyChunk);
        for (long nRead; (nRead = archive.Read(buffer.data(), buffer.size())) != 0;) {
            if (nRead < 0) {
                LogTrace("*** E: CActivityFileDataStorage ReadData *** ");
                return 0;
            }
            strStored.append(buffer.data(), static_cast<size_t>(nRead));
        }
        strText = FromStoredForm(strStored);
        return 1;
    } catch (...) {
        LogTrace("*** E: CActivityFileDataStorage ReadData *** ");
        return 0;
    }
}

int CActivityFileDataStorage::ClearData() {
    return Rewrite(std::string(), false, "*** E: CActivityFileDataStorage ClearData ***");
}

int CActivityFileDataStorage::ReplaceData(const std::string& strText) {
    return Rewrite(strText, false, "*** E: CActivityFileDataStorage ReplaceData ***");
}

int CActivityFileDataStorage::Rewrite(const std::string& strText, bool bAppend, const char* szFailure) {
    try {
        std::lock_guard<std::recursive_mutex> lock(GetArchiveLock());
        Platform::CExclusiveFile archive;
        if (!archive.Open(m_strFilePath, true))
            return 0;
        std::string strStored = ToStoredForm(strText);
        Platform::CFileReplacement replacement;
        if (!replacement.Begin(m_strFilePath) || (bAppend && !CopyInto(archive, replacement)) ||
            !replacement.Write(strStored.data(), strStored.size()) || !replacement.Commit()) {
            LogTrace("%s", szFailure);
            return 0;
        }
        return 1;
    } catch (...) {
        LogTrace("%s", szFailure);
        return 0;
    }
}
