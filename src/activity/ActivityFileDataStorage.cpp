#include "activity/ActivityFileDataStorage.h"

#include "Include/LogFile.h"
#include "activity/KlendoActivityParser.h"
#include "platform/ExclusiveFile.h"
#include "platform/FileReplacement.h"
#include "platform/FileSystem.h"
#include "platform/Thread.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kCopyChunk = 64 * 1024;
constexpr size_t kTailChunk = 4096;
// A torn tail is logged for the operator up to this size; a longer one can be no record of ours.
constexpr size_t kLoggedTailBytes = 64 * 1024;
const std::string kRecordEnd = "</activity>";
const std::string kRecordStart = "<activity";

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

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsActivityStartTag(const std::string& strText, size_t nPos) {
    if (strText.compare(nPos, kRecordStart.size(), kRecordStart) != 0)
        return false;
    size_t nNext = nPos + kRecordStart.size();
    return nNext < strText.size() &&
           (IsBlank(strText[nNext]) || strText[nNext] == '/' || strText[nNext] == '>');
}

// Just past the ">" of the tag that begins at nPos, minding quoted values; npos when it is cut short.
size_t TagEnd(const std::string& strText, size_t nPos) {
    char cQuote = 0;
    for (size_t i = nPos + 1; i < strText.size(); ++i) {
        char c = strText[i];
        if (cQuote != 0) {
            if (c == cQuote)
                cQuote = 0;
        } else if (c == '"' || c == '\'') {
            cQuote = c;
        } else if (c == '>') {
            return i + 1;
        }
    }
    return std::string::npos;
}

// The end of the complete records in strText, which begins at a record boundary: after the last
// "</activity>", only blanks and empty "activity" elements (an older or hand-made record) are whole.
size_t RecordBoundary(const std::string& strText) {
    size_t nLastEnd = strText.rfind(kRecordEnd);
    size_t nComplete = nLastEnd == std::string::npos ? 0 : nLastEnd + kRecordEnd.size();
    size_t nPos = nComplete;
    for (;;) {
        while (nPos < strText.size() && IsBlank(strText[nPos]))
            ++nPos;
        if (nPos == strText.size())
            return strText.size();
        size_t nTagEnd = IsActivityStartTag(strText, nPos) ? TagEnd(strText, nPos) : std::string::npos;
        if (nTagEnd == std::string::npos || strText[nTagEnd - 2] != '/')
            return nComplete;
        nPos = nComplete = nTagEnd;
    }
}

bool ReadRange(Platform::CExclusiveFile& file, long long nFrom, long long nTo, std::string& strData) {
    strData.assign(static_cast<size_t>(nTo - nFrom), '\0');
    size_t nDone = 0;
    while (nDone < strData.size()) {
        long nRead =
            file.ReadAt(nFrom + static_cast<long long>(nDone), &strData[nDone], strData.size() - nDone);
        if (nRead <= 0)
            return false;
        nDone += static_cast<size_t>(nRead);
    }
    return true;
}

// The end of the file's complete records. Reads back from nSize a chunk at a time only as far as the
// last record end, which normally lies in the first chunk; each chunk reaches into the one after it
// by the end tag's length less one, so that a tag across two chunks is found too.
bool FindRecordBoundary(Platform::CExclusiveFile& file, long long nSize, long long& nBoundary) {
    const auto nOverlap = static_cast<long long>(kRecordEnd.size() - 1);
    long long nTailFrom = 0;
    std::string strChunk;
    for (long long nTo = nSize; nTo > 0;) {
        long long nFrom = std::max(0LL, nTo - static_cast<long long>(kTailChunk));
        if (!ReadRange(file, nFrom, std::min(nSize, nTo + nOverlap), strChunk))
            return false;
        size_t nEnd = strChunk.rfind(kRecordEnd);
        if (nEnd != std::string::npos) {
            nTailFrom = nFrom + static_cast<long long>(nEnd);
            break;
        }
        nTo = nFrom;
    }
    std::string strTail;
    if (!ReadRange(file, nTailFrom, nSize, strTail))
        return false;
    nBoundary = nTailFrom + static_cast<long long>(RecordBoundary(strTail));
    return true;
}

bool ReadWhole(Platform::CExclusiveFile& file, std::string& strStored) {
    std::vector<char> buffer(kCopyChunk);
    for (long nRead; (nRead = file.Read(buffer.data(), buffer.size())) != 0;) {
        if (nRead < 0)
            return false;
        strStored.append(buffer.data(), static_cast<size_t>(nRead));
    }
    return true;
}

// True when the file begins with exactly the bytes of strPrefix.
bool BeginsWith(Platform::CExclusiveFile& file, const std::string& strPrefix) {
    std::string strChunk;
    for (size_t nDone = 0; nDone < strPrefix.size(); nDone += strChunk.size()) {
        size_t nLength = std::min(kCopyChunk, strPrefix.size() - nDone);
        if (!ReadRange(file, static_cast<long long>(nDone), static_cast<long long>(nDone + nLength),
                       strChunk) ||
            strPrefix.compare(nDone, nLength, strChunk) != 0)
            return false;
    }
    return true;
}

void LogTornTail(const char* szWhat, const std::string& strTail) {
    std::string strShown = strTail.substr(0, kLoggedTailBytes);
    LogTrace("--W: %s ends in a torn record of %zu bytes, %s: %s%s", CActivityFileDataStorage::kArchiveName,
             strTail.size(), szWhat, strShown.c_str(), strShown.size() < strTail.size() ? " ..." : "");
}

// Cuts a torn tail off the held archive before an append; nSize follows the file.
bool CutTornTail(Platform::CExclusiveFile& archive, long long& nSize) {
    long long nBoundary = 0;
    if (!FindRecordBoundary(archive, nSize, nBoundary))
        return false;
    if (nBoundary == nSize)
        return true;
    std::string strTail;
    if (!ReadRange(archive, nBoundary, nSize, strTail) || !archive.Truncate(nBoundary))
        return false;
    LogTornTail("cut off", strTail);
    nSize = nBoundary;
    return true;
}

// The records of a text that begins at a record boundary, as where each begins and its length.
std::vector<std::pair<size_t, size_t>> FindRecords(const std::string& strStored) {
    std::vector<std::string> records = SplitActivityRecords(strStored);
    std::vector<std::pair<size_t, size_t>> bounds;
    size_t nStart = strStored.size();
    for (const std::string& strRecord : records)
        nStart -= strRecord.size();
    for (const std::string& strRecord : records) {
        bounds.emplace_back(nStart, strRecord.size());
        nStart += strRecord.size();
    }
    return bounds;
}

// Writes the new archive: the snapshot's records to keep, then what was appended since.
bool WriteCompacted(Platform::CExclusiveFile& holder, const std::string& strPath,
                    const CArchiveSnapshot& snapshot, const std::vector<bool>& keep,
                    const std::string& strAppended) {
    Platform::CFileReplacement replacement;
    if (!replacement.Begin(strPath))
        return false;
    for (size_t i = 0; i < snapshot.GetRecordCount(); ++i) {
        if (i < keep.size() && !keep[i])
            continue;
        std::string strRecord = snapshot.GetStoredRecord(i);
        if (!replacement.Write(strRecord.data(), strRecord.size()))
            return false;
    }
    return replacement.Write(strAppended.data(), strAppended.size()) && replacement.Commit(&holder);
}

} // namespace

std::string CArchiveSnapshot::GetRecordText(size_t nIndex) const {
    return FromStoredForm(GetStoredRecord(nIndex));
}

std::string CArchiveSnapshot::GetStoredRecord(size_t nIndex) const {
    if (nIndex >= m_records.size())
        return std::string();
    return m_strStored.substr(m_records[nIndex].first, m_records[nIndex].second);
}

CActivityFileDataStorage::CActivityFileDataStorage(std::string strFolder, const char* szFileName)
    : m_strFolder(std::move(strFolder)), m_strFilePath(JoinPath(m_strFolder, szFileName)),
      m_bRecordsOnly(std::strcmp(szFileName, kArchiveName) == 0) {}

std::recursive_mutex& CActivityFileDataStorage::GetArchiveLock() {
    static std::recursive_mutex s_archiveLock;
    return s_archiveLock;
}

int CActivityFileDataStorage::SaveData(const std::string& strText) {
    try {
        std::lock_guard<std::recursive_mutex> lock(GetArchiveLock());
        Platform::CExclusiveFile file;
        if (!file.Open(m_strFilePath, true, true))
            return 0;
        long long nSize = file.GetSize();
        if (nSize < 0 || (m_bRecordsOnly && !CutTornTail(file, nSize))) {
            LogTrace("*** E: CActivityFileDataStorage SaveData ***");
            return 0;
        }
        if (strText.empty())
            return 1;
        std::string strStored = ToStoredForm(strText);
        if (!file.AppendDurably(strStored.data(), strStored.size())) {
            int nError = Platform::GetLastError();
            // A part written would stand between the last record and the next one.
            file.Truncate(nSize);
            LogTrace("*** E: CActivityFileDataStorage SaveData ***");
            LogTrace("--F: %s append failed error =%d", m_strFilePath.c_str(), nError);
            return 0;
        }
        return 1;
    } catch (...) {
        LogTrace("*** E: CActivityFileDataStorage SaveData ***");
        return 0;
    }
}

int CActivityFileDataStorage::ReadData(std::string& strText) {
    try {
        std::lock_guard<std::recursive_mutex> lock(GetArchiveLock());
        Platform::CExclusiveFile file;
        if (!file.Open(m_strFilePath, false))
            return 0;
        std::string strStored;
        if (!ReadWhole(file, strStored)) {
            LogTrace("*** E: CActivityFileDataStorage ReadData *** ");
            return 0;
        }
        size_t nBoundary = m_bRecordsOnly ? RecordBoundary(strStored) : strStored.size();
        if (nBoundary < strStored.size()) {
            LogTornTail("left out", strStored.substr(nBoundary));
            strStored.resize(nBoundary);
        }
        strText = FromStoredForm(strStored);
        return 1;
    } catch (...) {
        LogTrace("*** E: CActivityFileDataStorage ReadData *** ");
        return 0;
    }
}

int CActivityFileDataStorage::ClearData() {
    try {
        std::lock_guard<std::recursive_mutex> lock(GetArchiveLock());
        Platform::CExclusiveFile file;
        if (!file.Open(m_strFilePath, true))
            return 0;
        Platform::CFileReplacement replacement;
        if (!replacement.Begin(m_strFilePath) || !replacement.Commit(&file)) {
            LogTrace("*** E: CActivityFileDataStorage ClearData ***");
            return 0;
        }
        return 1;
    } catch (...) {
        LogTrace("*** E: CActivityFileDataStorage ClearData ***");
        return 0;
    }
}

int CActivityFileDataStorage::ReadSnapshot(CArchiveSnapshot& snapshot) {
    try {
        snapshot = CArchiveSnapshot();
        std::lock_guard<std::recursive_mutex> lock(GetArchiveLock());
        Platform::CExclusiveFile file;
        if (!file.Open(m_strFilePath, false))
            return Platform::PathExists(m_strFilePath) ? 0 : 1;
        if (!ReadWhole(file, snapshot.m_strStored)) {
            LogTrace("--F: %s cannot be read error =%d", m_strFilePath.c_str(), Platform::GetLastError());
            snapshot = CArchiveSnapshot();
            return 0;
        }
        size_t nBoundary = RecordBoundary(snapshot.m_strStored);
        if (nBoundary < snapshot.m_strStored.size()) {
            LogTornTail("left out", snapshot.m_strStored.substr(nBoundary));
            snapshot.m_strStored.resize(nBoundary);
        }
        snapshot.m_records = FindRecords(snapshot.m_strStored);
        return 1;
    } catch (...) {
        LogTrace("*** E: CActivityFileDataStorage ReadSnapshot ***");
        snapshot = CArchiveSnapshot();
        return 0;
    }
}

int CActivityFileDataStorage::Compact(const CArchiveSnapshot& snapshot, const std::vector<bool>& keep,
                                      size_t& nRecordsLeft) {
    try {
        std::lock_guard<std::recursive_mutex> lock(GetArchiveLock());
        Platform::CExclusiveFile file;
        auto nSnapshotEnd = static_cast<long long>(snapshot.m_strStored.size());
        long long nSize = -1;
        if (!file.Open(m_strFilePath, false) || (nSize = file.GetSize()) < nSnapshotEnd ||
            !BeginsWith(file, snapshot.m_strStored)) {
            LogTrace(
                "--W: %s was changed by another program during the re-send, or cannot be read; it is left "
                "as it is",
                m_strFilePath.c_str());
            return 0;
        }
        std::string strAppended;
        if (!ReadRange(file, nSnapshotEnd, nSize, strAppended))
            return 0;
        size_t nBoundary = RecordBoundary(strAppended);
        bool bTorn = nBoundary < strAppended.size();
        if (bTorn) {
            LogTornTail("cut off", strAppended.substr(nBoundary));
            strAppended.resize(nBoundary);
        }
        size_t nKept = 0;
        for (size_t i = 0; i < snapshot.GetRecordCount(); ++i)
            nKept += i >= keep.size() || keep[i] ? 1 : 0;
        nRecordsLeft = nKept + SplitActivityRecords(strAppended).size();
        if (!bTorn && nKept == snapshot.GetRecordCount())
            return 1;
        if (!WriteCompacted(file, m_strFilePath, snapshot, keep, strAppended)) {
            LogTrace("--F: %s cannot be rewritten error =%d", m_strFilePath.c_str(),
                     Platform::GetLastError());
            return 0;
        }
        return 1;
    } catch (...) {
        LogTrace("*** E: CActivityFileDataStorage Compact ***");
        return 0;
    }
}
