#include "monitor/TicketLedger.h"

#include "Include/LogFile.h"
#include "Include/StringUtil.h"
#include "platform/FileReplacement.h"
#include "platform/FileSystem.h"
#include "platform/Thread.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <unordered_set>

namespace {

// Lines the state file may hold beyond twice the tickets in the folder before it is compacted.
constexpr size_t kCompactionSlack = 64;
const char* const kHeaderTag = "KlendoTickets";
const char* const kFormatVersion = "1";

// Any byte may stand in a name; the four that would break a line or a field are written as %XX.
const char* const kEscapedInNames = "\t\n\r";

std::string Escape(const std::string& strText) {
    return EscapeBytes(strText, kEscapedInNames);
}

bool Unescape(const std::string& strText, std::string& strPlain) {
    return UnescapeBytes(strText, kEscapedInNames, strPlain) && !strPlain.empty();
}

std::vector<std::string> SplitFields(const std::string& strLine) {
    std::vector<std::string> fields;
    size_t nStart = 0;
    while (true) {
        size_t nTab = strLine.find('\t', nStart);
        fields.push_back(
            strLine.substr(nStart, nTab == std::string::npos ? std::string::npos : nTab - nStart));
        if (nTab == std::string::npos)
            return fields;
        nStart = nTab + 1;
    }
}

bool ParseUnsigned(const std::string& strText, uint64_t& nValue) {
    if (strText.empty() || strText.size() > 20)
        return false;
    nValue = 0;
    for (char c : strText) {
        if (c < '0' || c > '9')
            return false;
        uint64_t nDigit = static_cast<uint64_t>(c - '0');
        if (nValue > (UINT64_MAX - nDigit) / 10)
            return false;
        nValue = nValue * 10 + nDigit;
    }
    return true;
}

bool ParseSigned(const std::string& strText, int64_t& nValue) {
    bool bNegative = !strText.empty() && strText[0] == '-';
    uint64_t nMagnitude = 0;
    if (!ParseUnsigned(bNegative ? strText.substr(1) : strText, nMagnitude))
        return false;
    if (nMagnitude > static_cast<uint64_t>(INT64_MAX) + (bNegative ? 1 : 0))
        return false;
    nValue = bNegative ? static_cast<int64_t>(0 - nMagnitude) : static_cast<int64_t>(nMagnitude);
    return true;
}

std::string FormatLine(const std::string& strName, const Platform::CFileVersion& version) {
    return std::to_string(version.nSize) + '\t' + std::to_string(version.nModifiedNs) + '\t' +
           Escape(strName) + '\n';
}

bool ParseLine(const std::string& strLine, std::string& strName, Platform::CFileVersion& version) {
    std::vector<std::string> fields = SplitFields(strLine);
    return fields.size() == 3 && ParseUnsigned(fields[0], version.nSize) &&
           ParseSigned(fields[1], version.nModifiedNs) && Unescape(fields[2], strName);
}

std::string FormatHeader(const std::string& strSource) {
    return std::string(kHeaderTag) + '\t' + kFormatVersion + '\t' + Escape(strSource) + '\n';
}

bool ParseHeader(const std::string& strLine, std::string& strSource) {
    std::vector<std::string> fields = SplitFields(strLine);
    return fields.size() == 3 && fields[0] == kHeaderTag && fields[1] == kFormatVersion &&
           Unescape(fields[2], strSource);
}

// The tickets in the folder now; false when some folder of it could not be read.
bool ListTickets(const std::string& strSource, std::vector<CTicketVersion>& tickets) {
    return Platform::ForEachFileInTree(
        strSource, [&](const std::string& strName, const Platform::CFileVersion& version) {
            if (CTicketLedger::IsTicketName(strName))
                tickets.push_back({strName, version});
        });
}

bool Contains(const std::vector<Platform::CFileVersion>& versions, const Platform::CFileVersion& version) {
    return std::find(versions.begin(), versions.end(), version) != versions.end();
}

} // namespace

CTicketLedger::CTicketLedger(const std::string& strStateFolder, const std::string& strSource)
    : m_strSource(strSource),
      m_strStatePath(strStateFolder.empty() ? std::string()
                                            : JoinPath(strStateFolder, StateFileName(strSource))),
      m_bUseFile(!strStateFolder.empty()) {}

std::shared_ptr<CTicketLedger> CTicketLedger::Shared(const std::string& strStateFolder,
                                                     const std::string& strSource, bool& bLoaded) {
    static std::mutex s_mutex;
    static std::map<std::pair<std::string, std::string>, std::weak_ptr<CTicketLedger>> s_ledgers;
    std::lock_guard<std::mutex> guard(s_mutex);
    std::weak_ptr<CTicketLedger>& entry = s_ledgers[{strStateFolder, strSource}];
    std::shared_ptr<CTicketLedger> pLedger = entry.lock();
    bLoaded = pLedger != nullptr;
    if (!pLedger) {
        pLedger = std::make_shared<CTicketLedger>(strStateFolder, strSource);
        entry = pLedger;
    }
    return pLedger;
}

std::string CTicketLedger::StateFileName(const std::string& strSource) {
    uint64_t nHash = 14695981039346656037ULL;
    for (unsigned char c : strSource) {
        nHash ^= c;
        nHash *= 1099511628211ULL;
    }
    char szName[64];
    std::snprintf(szName, sizeof(szName), "KlendoTickets-%016" PRIx64 ".dat", nHash);
    return szName;
}

bool CTicketLedger::IsTicketName(const std::string& strName) {
    return EndsWithNoCase(strName, ".dat");
}

bool CTicketLedger::Load() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_bUseFile)
        return false;
    std::string strContent;
    if (!Platform::ReadWholeRegularFile(m_strStatePath, strContent)) {
        // Only a missing file is a first watch; anything else is told to the operator, who may put
        // the file right before the next start.
        int nError = Platform::GetLastError();
        if (Platform::PathExists(m_strStatePath))
            LogTrace("--F: ticket state file cannot be read p=%s error =%d, the tickets present are taken as "
                     "processed",
                     m_strStatePath.c_str(), nError);
        return false;
    }
    return ParseContent(strContent);
}

bool CTicketLedger::ParseContent(const std::string& strContent) {
    size_t nEnd = strContent.find('\n');
    std::string strSource;
    if (nEnd == std::string::npos || !ParseHeader(strContent.substr(0, nEnd), strSource)) {
        LogTrace("--W: ticket state file damaged p=%s, the tickets present are taken as processed",
                 m_strStatePath.c_str());
        return false;
    }
    if (strSource != m_strSource) {
        LogTrace("--F: ticket state file p=%s belongs to hot folder s=%s, kept in memory only",
                 m_strStatePath.c_str(), strSource.c_str());
        m_bUseFile = false;
        return false;
    }
    bool bClean = true;
    int nLine = 1;
    for (size_t nStart = nEnd + 1; nStart < strContent.size(); nStart = nEnd + 1) {
        ++nLine;
        nEnd = strContent.find('\n', nStart);
        // A last line without its end was torn by a crash while it was appended.
        if (nEnd == std::string::npos) {
            bClean = false;
            break;
        }
        std::string strName;
        Platform::CFileVersion version;
        if (ParseLine(strContent.substr(nStart, nEnd - nStart), strName, version)) {
            Record(strName, version);
            ++m_nLines;
            continue;
        }
        LogTrace("--W: ticket state file line skipped p=%s line=%d", m_strStatePath.c_str(), nLine);
        bClean = false;
    }
    m_nTicketsInFolder = m_processed.size();
    m_bRewriteNeeded = !bClean;
    if (m_bRewriteNeeded)
        Rewrite();
    return true;
}

size_t CTicketLedger::CNameHash::operator()(const std::string& strName) const {
    return std::hash<std::string>()(Platform::FileNameKey(strName));
}

bool CTicketLedger::CNameEqual::operator()(const std::string& strFirst, const std::string& strSecond) const {
    return strFirst == strSecond || Platform::FileNameKey(strFirst) == Platform::FileNameKey(strSecond);
}

bool CTicketLedger::IsProcessed(const std::string& strName, const Platform::CFileVersion& version) {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto entry = m_processed.find(strName);
    return entry != m_processed.end() && Contains(entry->second, version);
}

void CTicketLedger::MarkProcessed(const std::string& strName, const Platform::CFileVersion& version) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!Record(strName, version))
        return;
    Append(strName, version);
    if (std::max(m_nLines, m_nVersions) <= 2 * m_nTicketsInFolder + kCompactionSlack)
        return;
    std::vector<CTicketVersion> present;
    if (ListTickets(m_strSource, present)) {
        CompactIfDue(present);
        return;
    }
    // Not compacted against a folder seen in part: tried again once the lines have doubled.
    m_nTicketsInFolder = std::max(m_nLines, m_nVersions);
}

void CTicketLedger::MarkAllProcessed(const std::vector<CTicketVersion>& present) {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (const CTicketVersion& ticket : present)
        Record(ticket.strName, ticket.version);
    m_nTicketsInFolder = present.size();
    Rewrite();
}

std::vector<CTicketVersion> CTicketLedger::FindUnprocessed(const std::vector<CTicketVersion>& present,
                                                           bool bWholeFolder) {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::vector<CTicketVersion> unprocessed;
    std::unordered_set<std::string, CNameHash, CNameEqual> names;
    for (const CTicketVersion& ticket : present) {
        names.insert(ticket.strName);
        auto entry = m_processed.find(ticket.strName);
        if (entry == m_processed.end() || !Contains(entry->second, ticket.version))
            unprocessed.push_back(ticket);
    }
    if (!bWholeFolder)
        return unprocessed;
    for (auto entry = m_processed.begin(); entry != m_processed.end();) {
        if (names.count(entry->first) == 0) {
            m_nVersions -= entry->second.size();
            entry = m_processed.erase(entry);
        } else {
            ++entry;
        }
    }
    CompactIfDue(present);
    return unprocessed;
}

bool CTicketLedger::Record(const std::string& strName, const Platform::CFileVersion& version) {
    std::vector<Platform::CFileVersion>& versions = m_processed[strName];
    if (Contains(versions, version))
        return false;
    versions.push_back(version);
    ++m_nVersions;
    return true;
}

void CTicketLedger::Append(const std::string& strName, const Platform::CFileVersion& version) {
    if (!m_bUseFile)
        return;
    if (!m_bRewriteNeeded && Platform::AppendDurably(m_strStatePath, FormatLine(strName, version))) {
        ++m_nLines;
        NoteWrite(true, 0);
        return;
    }
    // Missing lines, a file gone, or an append torn by a full disk: a whole new file puts it right.
    Rewrite();
}

void CTicketLedger::CompactIfDue(const std::vector<CTicketVersion>& present) {
    m_nTicketsInFolder = present.size();
    if (std::max(m_nLines, m_nVersions) <= 2 * m_nTicketsInFolder + kCompactionSlack)
        return;
    // Only the present version of a ticket can still be asked about. Two present names that are one
    // key (a folder that tells case apart on a system that does not) keep both their versions.
    VersionMap kept;
    size_t nKept = 0;
    for (const CTicketVersion& ticket : present) {
        auto entry = m_processed.find(ticket.strName);
        if (entry == m_processed.end() || !Contains(entry->second, ticket.version))
            continue;
        std::vector<Platform::CFileVersion>& versions = kept[ticket.strName];
        if (!Contains(versions, ticket.version)) {
            versions.push_back(ticket.version);
            ++nKept;
        }
    }
    m_processed.swap(kept);
    m_nVersions = nKept;
    Rewrite();
}

void CTicketLedger::Rewrite() {
    if (!m_bUseFile)
        return;
    std::string strContent = FormatHeader(m_strSource);
    size_t nLines = 0;
    for (const auto& entry : m_processed) {
        for (const Platform::CFileVersion& version : entry.second) {
            strContent += FormatLine(entry.first, version);
            ++nLines;
        }
    }
    Platform::CFileReplacement replacement;
    bool bWritten = replacement.Begin(m_strStatePath) &&
                    replacement.Write(strContent.data(), strContent.size()) && replacement.Commit();
    int nError = Platform::GetLastError();
    if (bWritten)
        m_nLines = nLines;
    m_bRewriteNeeded = !bWritten;
    NoteWrite(bWritten, nError);
}

// One line when writing starts to fail and one when it works again, not one per ticket.
void CTicketLedger::NoteWrite(bool bWritten, int nError) {
    if (!bWritten && !m_bWriteFailing)
        LogTrace("--F: ticket state file cannot be written p=%s error =%d", m_strStatePath.c_str(), nError);
    if (bWritten && m_bWriteFailing)
        LogTrace("--I: ticket state file written again p=%s", m_strStatePath.c_str());
    m_bWriteFailing = !bWritten;
}
