#include "request/ResendLedger.h"

#include "Include/LogFile.h"
#include "Include/StringUtil.h"
#include "platform/FileReplacement.h"
#include "platform/FileSystem.h"
#include "platform/Thread.h"

namespace {

// Line ends inside an id would break its line.
const char* const kEscapedInIds = "\n\r";

// The ids of the file's whole lines, in order. A last line without its line end is torn: bTorn.
std::vector<std::string> ReadIds(const std::string& strPath, bool& bTorn) {
    std::vector<std::string> ids;
    bTorn = false;
    std::string strContent;
    if (!Platform::ReadWholeRegularFile(strPath, strContent))
        return ids;
    size_t nStart = 0;
    for (size_t nEnd = strContent.find('\n'); nEnd != std::string::npos;
         nEnd = strContent.find('\n', nStart)) {
        std::string strId;
        // A damaged line is left out: at worst an activity is sent again.
        if (UnescapeBytes(strContent.substr(nStart, nEnd - nStart), kEscapedInIds, strId))
            ids.push_back(strId);
        nStart = nEnd + 1;
    }
    bTorn = nStart < strContent.size();
    return ids;
}

std::string FormatLines(const std::vector<std::string>& ids) {
    std::string strLines;
    for (const std::string& strId : ids)
        strLines += EscapeBytes(strId, kEscapedInIds) + "\n";
    return strLines;
}

bool Append(const std::string& strPath, const std::vector<std::string>& ids) {
    if (ids.empty() || Platform::AppendDurably(strPath, FormatLines(ids), true))
        return true;
    LogTrace("--F: %s cannot be written error =%d", strPath.c_str(), Platform::GetLastError());
    return false;
}

void Rewrite(const std::string& strPath, const std::string& strContent) {
    Platform::CFileReplacement replacement;
    if (!replacement.Begin(strPath) || !replacement.Write(strContent.data(), strContent.size()) ||
        !replacement.Commit())
        LogTrace("--F: %s cannot be written error =%d", strPath.c_str(), Platform::GetLastError());
}

} // namespace

CResendLedger::CResendLedger(const std::string& strFolder)
    : m_strSettledPath(JoinPath(strFolder, kSettledName)),
      m_strRefusalsPath(JoinPath(strFolder, kRefusalsName)) {}

void CResendLedger::Load() {
    m_settled.clear();
    m_refusals.clear();
    bool bTorn = false;
    std::vector<std::string> settled = ReadIds(m_strSettledPath, bTorn);
    // A torn line would swallow the beginning of the next append.
    if (bTorn)
        Rewrite(m_strSettledPath, FormatLines(settled));
    m_nSettledLines = settled.size();
    m_settled.insert(settled.begin(), settled.end());
    std::vector<std::string> refusals = ReadIds(m_strRefusalsPath, bTorn);
    if (bTorn)
        Rewrite(m_strRefusalsPath, FormatLines(refusals));
    m_nRefusalLines = refusals.size();
    for (const std::string& strId : refusals)
        ++m_refusals[strId];
}

int CResendLedger::GetRefusals(const std::string& strId) const {
    auto refusals = m_refusals.find(strId);
    return refusals == m_refusals.end() ? 0 : refusals->second;
}

bool CResendLedger::AddSettled(const std::vector<std::string>& ids) {
    m_settled.insert(ids.begin(), ids.end());
    if (!Append(m_strSettledPath, ids))
        return false;
    m_nSettledLines += ids.size();
    return true;
}

bool CResendLedger::AddRefusals(const std::vector<std::string>& ids) {
    for (const std::string& strId : ids)
        ++m_refusals[strId];
    if (!Append(m_strRefusalsPath, ids))
        return false;
    m_nRefusalLines += ids.size();
    return true;
}

void CResendLedger::Prune(const std::function<bool(const std::string&)>& isStillArchived) {
    std::vector<std::string> settled;
    for (const std::string& strId : m_settled)
        if (isStillArchived(strId))
            settled.push_back(strId);
    if (settled.size() != m_nSettledLines) {
        Rewrite(m_strSettledPath, FormatLines(settled));
        m_nSettledLines = settled.size();
    }
    m_settled = std::set<std::string>(settled.begin(), settled.end());

    std::vector<std::string> refusals;
    std::map<std::string, int> kept;
    for (const auto& entry : m_refusals) {
        if (!isStillArchived(entry.first))
            continue;
        kept.insert(entry);
        refusals.insert(refusals.end(), static_cast<size_t>(entry.second), entry.first);
    }
    if (refusals.size() != m_nRefusalLines) {
        Rewrite(m_strRefusalsPath, FormatLines(refusals));
        m_nRefusalLines = refusals.size();
    }
    m_refusals = std::move(kept);
}
