#include "request/PendingActivityResend.h"

#include "Include/LogFile.h"
#include "activity/Activity.h"
#include "activity/KlendoActivityParser.h"
#include "client/AddActivityClientReqHandler.h"
#include "request/Posting.h"

#include <algorithm>
#include <set>

namespace {

const char* const kRejectedName = CActivityFileDataStorage::kRejectedName;

// The server's reply gave this activity another status than "1". An activity that the reply leaves
// out is not refused: a reply that lists nothing (a proxy's, say) must not send activities aside.
bool IsRefused(const CAddActivityContext& context, const std::string& strId) {
    auto status = context.m_mapActivityStatus.find(strId);
    return status != context.m_mapActivityStatus.end() && status->second != "1";
}

// The server answered, but refused the request for what it holds (a body too large, a body it cannot
// read), not for a passing reason (a time-out, too many requests) or its own trouble (5xx).
bool IsRequestRefused(int nHttpStatus) {
    return nHttpStatus >= 400 && nHttpStatus < 500 && nHttpStatus != 408 && nHttpStatus != 429;
}

} // namespace

struct CPendingActivityResend::SBatch {
    CActivityList list;
    // The record of each activity of the list.
    std::vector<size_t> records;
    size_t nBytes = 0;

    void Clear() {
        list.Clear();
        records.clear();
        nBytes = 0;
    }
};

CPendingActivityResend::CPendingActivityResend(const CRequestEnvironment& environment,
                                               std::function<bool()> isStopping)
    : m_environment(environment), m_strFolder(environment.strArchiveFolder),
      m_isStopping(std::move(isStopping)), m_storage(m_strFolder), m_ledger(m_strFolder) {}

SResendOutcome CPendingActivityResend::Run() {
    try {
        LogTraceDetail("--I-: Processingpendingactivities --");
        if (!m_storage.ReadSnapshot(m_snapshot)) {
            m_outcome.bCompleted = false;
            m_outcome.nLeft = 1;
            return m_outcome;
        }
        if (m_snapshot.GetRecordCount() == 0)
            return m_outcome;
        m_ledger.Load();
        m_keep.assign(m_snapshot.GetRecordCount(), true);
        m_ids.assign(m_snapshot.GetRecordCount(), std::string());
        SendAll();
        Compact();
        LogTrace(
            "--I: re-send of pending activities done: %d acknowledged, %d refused, %d moved to %s, %zu left",
            m_outcome.nAcknowledged, m_outcome.nRefused, m_outcome.nRejected, kRejectedName, m_outcome.nLeft);
    } catch (...) {
        LogTrace("*** E:processpending activities ***");
        m_outcome.bCompleted = false;
        m_outcome.nLeft = std::max<size_t>(m_outcome.nLeft, 1);
    }
    return m_outcome;
}

void CPendingActivityResend::SendAll() {
    SBatch batch;
    for (size_t nRecord = 0; nRecord < m_snapshot.GetRecordCount(); ++nRecord) {
        if (!ShouldSendMore())
            return;
        Collect(batch, nRecord);
    }
    if (!batch.records.empty() && ShouldSendMore())
        Send(batch);
    m_bWhole = ShouldSendMore();
}

void CPendingActivityResend::Collect(SBatch& batch, size_t nRecord) {
    std::string strText = m_snapshot.GetRecordText(nRecord);
    CActivityList parsed;
    if (CKlendoActivityParser().ParseActivityFromString("<activities>" + strText + "</activities>", parsed) !=
        1) {
        m_unparsed.push_back(nRecord);
        return;
    }
    m_ids[nRecord] = parsed.GetAt(0)->m_strId;
    // Settled by a re-send that ended before its rewrite: acknowledged, or moved aside.
    if (m_ledger.IsSettled(m_ids[nRecord])) {
        m_keep[nRecord] = false;
        return;
    }
    if (m_ledger.GetRefusals(m_ids[nRecord]) >= kRefusalLimit) {
        Reject(nRecord);
        return;
    }
    if (!batch.records.empty() && (batch.records.size() >= static_cast<size_t>(kBatchActivities) ||
                                   batch.nBytes + strText.size() > kBatchBytes))
        Send(batch);
    if (!ShouldSendMore())
        return;
    CActivity* pActivity = parsed.GetAt(0);
    parsed.RemoveAt(0);
    batch.list.Add(pActivity);
    batch.records.push_back(nRecord);
    batch.nBytes += strText.size();
}

bool CPendingActivityResend::ShouldSendMore() const {
    return !m_bStopped && m_nUnansweredInARow < kUnansweredLimit;
}

void CPendingActivityResend::Send(SBatch& batch) {
    if (m_isStopping && m_isStopping()) {
        m_bStopped = true;
        batch.Clear();
        return;
    }
    CAddActivityContext context = ContextFromSettings(m_environment);
    CAddActivityClientReqHandler client(&context, &batch.list);
    int nSuccess = client.Execute();
    if (nSuccess == 0)
        m_outcome.bCompleted = false;
    if (nSuccess == 0 && context.m_mapActivityStatus.empty() && IsRequestRefused(context.m_nHttpStatus)) {
        m_nUnansweredInARow = 0;
        SplitRefusedBatch(batch, context.m_nHttpStatus);
    } else if (nSuccess == 0 && context.m_mapActivityStatus.empty()) {
        ++m_nUnansweredInARow;
        LogTrace("--F: re-send of %d pending activities (%zu bytes) got no answer", batch.list.GetCount(),
                 batch.nBytes);
    } else {
        m_nUnansweredInARow = 0;
        if (nSuccess != 0 && !context.m_mapActivityStatus.empty())
            LogTrace("--I: pending activities processed successfully");
        NoteVerdicts(batch, context, nSuccess);
    }
    batch.Clear();
}

void CPendingActivityResend::NoteVerdicts(const SBatch& batch, const CAddActivityContext& context,
                                          int nSuccess) {
    std::vector<std::string> acknowledged;
    std::set<std::string> refused;
    std::vector<size_t> refusedRecords;
    for (int nIndex = 0; nIndex < batch.list.GetCount(); ++nIndex) {
        size_t nRecord = batch.records[static_cast<size_t>(nIndex)];
        // An activity archived without an id was given one by the post; the verdict names that one.
        m_ids[nRecord] = batch.list.GetAt(nIndex)->m_strId;
        const std::string& strId = m_ids[nRecord];
        if (nSuccess != 0 && IsAcknowledged(context, strId)) {
            acknowledged.push_back(strId);
            m_keep[nRecord] = false;
        } else if (IsRefused(context, strId)) {
            refused.insert(strId);
            refusedRecords.push_back(nRecord);
        } else {
            m_outcome.bCompleted = false;
        }
    }
    m_ledger.AddSettled(acknowledged);
    m_ledger.AddRefusals(std::vector<std::string>(refused.begin(), refused.end()));
    m_outcome.nAcknowledged += static_cast<int>(acknowledged.size());
    m_outcome.nRefused += static_cast<int>(refusedRecords.size());
    LogTrace("--I: re-sent %d pending activities (%zu bytes): %zu acknowledged, %zu refused",
             batch.list.GetCount(), batch.nBytes, acknowledged.size(), refusedRecords.size());
    for (size_t nRecord : refusedRecords)
        if (m_ledger.GetRefusals(m_ids[nRecord]) >= kRefusalLimit)
            Reject(nRecord);
}

void CPendingActivityResend::SplitRefusedBatch(SBatch& batch, int nHttpStatus) {
    LogTrace("--F: re-send of %d pending activities (%zu bytes) refused as a whole, HTTP status %d",
             batch.list.GetCount(), batch.nBytes, nHttpStatus);
    if (batch.list.GetCount() == 1) {
        size_t nRecord = batch.records.front();
        m_ids[nRecord] = batch.list.GetAt(0)->m_strId;
        m_ledger.AddRefusals({m_ids[nRecord]});
        ++m_outcome.nRefused;
        if (m_ledger.GetRefusals(m_ids[nRecord]) >= kRefusalLimit)
            Reject(nRecord);
        return;
    }
    SBatch halves[2];
    size_t nFirstHalf = batch.records.size() / 2;
    for (size_t nIndex = 0; nIndex < batch.records.size(); ++nIndex) {
        SBatch& half = halves[nIndex < nFirstHalf ? 0 : 1];
        CActivity* pActivity = batch.list.GetAt(0);
        batch.list.RemoveAt(0);
        half.list.Add(pActivity);
        half.records.push_back(batch.records[nIndex]);
        half.nBytes += m_snapshot.GetRecordText(batch.records[nIndex]).size();
    }
    for (SBatch& half : halves)
        if (ShouldSendMore())
            Send(half);
}

void CPendingActivityResend::Reject(size_t nRecord) {
    const std::string& strId = m_ids[nRecord];
    int nRefusals = m_ledger.GetRefusals(strId);
    if (!CActivityFileDataStorage(m_strFolder, kRejectedName).SaveData(m_snapshot.GetRecordText(nRecord))) {
        LogTrace("--F: activity %s refused %d times in a row cannot be moved to %s; it stays archived",
                 strId.c_str(), nRefusals, kRejectedName);
        return;
    }
    LogTrace("--E: activity %s refused %d times in a row, moved to %s", strId.c_str(), nRefusals,
             kRejectedName);
    m_ledger.AddSettled({strId});
    m_keep[nRecord] = false;
    ++m_outcome.nRejected;
}

bool CPendingActivityResend::SetAsideUnparsed() {
    if (m_unparsed.empty())
        return true;
    std::string strText;
    for (size_t nRecord : m_unparsed)
        strText += m_snapshot.GetRecordText(nRecord);
    if (!CActivityFileDataStorage(m_strFolder, kRejectedName).SaveData(strText)) {
        LogTrace("--F: archived activities that do not parse could not be moved to %s, the archive is left "
                 "as it is",
                 kRejectedName);
        return false;
    }
    for (size_t nRecord : m_unparsed) {
        LogTrace("--F: archived activity does not parse, moved to %s: %s", kRejectedName,
                 m_snapshot.GetRecordText(nRecord).c_str());
        m_keep[nRecord] = false;
        ++m_outcome.nRejected;
    }
    return true;
}

// Done records leave the archive in one rewrite; what the ledger knows of them goes with them. When
// the rewrite cannot take place, the ledger keeps them settled and the next re-send skips them.
void CPendingActivityResend::Compact() {
    size_t nKept = static_cast<size_t>(std::count(m_keep.begin(), m_keep.end(), true));
    m_outcome.nLeft = std::max<size_t>(nKept, 1);
    if (!SetAsideUnparsed())
        return;
    size_t nLeft = 0;
    if (!m_storage.Compact(m_snapshot, m_keep, nLeft))
        return;
    m_outcome.nLeft = nLeft;
    PruneLedger();
}

void CPendingActivityResend::PruneLedger() {
    std::set<std::string> ids;
    for (size_t nRecord = 0; nRecord < m_ids.size(); ++nRecord)
        if (!m_ids[nRecord].empty() && m_keep[nRecord] == m_bWhole)
            ids.insert(m_ids[nRecord]);
    // After a whole re-send every id still archived is known; after a partial one only those that left.
    if (m_bWhole)
        m_ledger.Prune([&ids](const std::string& strId) { return ids.count(strId) != 0; });
    else
        m_ledger.Prune([&ids](const std::string& strId) { return ids.count(strId) == 0; });
}
