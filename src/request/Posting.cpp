#include "Include/LogFile.h"
#include "activity/Activity.h"
#include "activity/ActivityFileDataStorage.h"
#include "activity/KlendoActivityParser.h"
#include "client/AddActivityClientReqHandler.h"
#include "config/AgentSettings.h"
#include "request/FileRequestHandler.h"

#include <memory>
#include <mutex>
#include <vector>

namespace {

// The server, read afresh for every post so that a changed address takes effect without a restart.
void ReadServer(CAddActivityContext& context) {
    CAgentSettings settings;
    context.m_nServerPort = settings.GetServerPort();
    context.m_strServerAddress = settings.GetServerAddress();
    context.m_bSuccess = 0;
}

bool IsAcknowledged(const CAddActivityContext& context, const std::string& strId) {
    auto status = context.m_mapActivityStatus.find(strId);
    return status != context.m_mapActivityStatus.end() && status->second == "1";
}

// Takes every activity the server acknowledged with "1" out of the list; bDelete frees it as well.
void RemoveAcknowledged(const CAddActivityContext& context, CActivityList& list, bool bDelete) {
    for (int nIndex = list.GetCount() - 1; nIndex >= 0; --nIndex) {
        CActivity* pActivity = list.GetAt(nIndex);
        if (pActivity == nullptr || pActivity->m_strId.empty() ||
            !IsAcknowledged(context, pActivity->m_strId))
            continue;
        list.RemoveAt(nIndex);
        if (bDelete)
            delete pActivity;
    }
}

std::string BuildArchiveText(CActivityList& list) {
    CKlendoActivityParser parser;
    std::string strText;
    for (int nIndex = 0; nIndex < list.GetCount(); ++nIndex)
        strText += parser.BuildActivityXML(*list.GetAt(nIndex));
    return strText;
}

// Appends every activity of from to to, in order; from is left empty.
void MoveActivities(CActivityList& from, CActivityList& to) {
    while (from.GetCount() > 0) {
        std::unique_ptr<CActivity> pActivity(from.GetAt(0));
        from.RemoveAt(0);
        to.Add(pActivity.get());
        pActivity.release();
    }
}

// Parses the archived records one at a time: the activities of those that parse go into list, in
// order, and their texts, unchanged, into strGood; the others into bad.
void SortRecords(const std::string& strText, CActivityList& list, std::string& strGood,
                 std::vector<std::string>& bad) {
    CKlendoActivityParser parser;
    for (const std::string& strRecord : SplitActivityRecords(strText)) {
        CActivityList recordList;
        if (parser.ParseActivityFromString("<activities>" + strRecord + "</activities>", recordList) > 0) {
            strGood += strRecord;
            MoveActivities(recordList, list);
        } else {
            bad.push_back(strRecord);
        }
    }
}

// For an archive that does not parse as a whole: fills list from the records that parse and moves the
// others, unchanged, to the rejected file beside the archive. The rejected file takes them before the
// archive lets them go, so a crash in between leaves them in both, never in neither. False, with the
// archive left as it is, when the rejected file cannot take them. Called with the archive lock held.
bool SetAsideRecordsThatDoNotParse(const std::string& strFolder, const std::string& strText,
                                   CActivityList& list) {
    list.Clear();
    std::string strGood;
    std::vector<std::string> bad;
    SortRecords(strText, list, strGood, bad);
    if (bad.empty())
        return true;
    std::string strBad;
    for (const std::string& strRecord : bad)
        strBad += strRecord;
    if (!CActivityFileDataStorage(strFolder, CActivityFileDataStorage::kRejectedName).SaveData(strBad)) {
        LogTrace("--F: archived activities that do not parse could not be moved to %s, the archive is left "
                 "as it is",
                 CActivityFileDataStorage::kRejectedName);
        return false;
    }
    for (const std::string& strRecord : bad)
        LogTrace("--F: archived activity does not parse, moved to %s: %s",
                 CActivityFileDataStorage::kRejectedName, strRecord.c_str());
    // Should this fail, the moved records stay in the archive as well and are moved again next time.
    if (!CActivityFileDataStorage(strFolder).ReplaceData(strGood))
        LogTrace("--F: archive not rewritten without the activities moved to %s",
                 CActivityFileDataStorage::kRejectedName);
    return true;
}

// Hands the handler's activity back before the list is destroyed: only the handler frees it.
class CBorrowedActivity {
  public:
    CBorrowedActivity(CActivityList& list, CActivity* pActivity) : m_list(list), m_pActivity(pActivity) {
        m_list.Add(pActivity);
    }
    ~CBorrowedActivity() {
        for (int nIndex = m_list.GetCount() - 1; nIndex >= 0; --nIndex)
            if (m_list.GetAt(nIndex) == m_pActivity)
                m_list.RemoveAt(nIndex);
    }
    CBorrowedActivity(const CBorrowedActivity&) = delete;
    CBorrowedActivity& operator=(const CBorrowedActivity&) = delete;

  private:
    CActivityList& m_list;
    CActivity* m_pActivity;
};

} // namespace

int CFileRequestHandler::PostActivity() {
    try {
        CAddActivityContext context;
        ReadServer(context);
        m_pActivity->m_strId = CreateGuidString();
        CActivityList list;
        CBorrowedActivity borrowed(list, m_pActivity);
        CAddActivityClientReqHandler client(&context, &list);
        if (client.Execute())
            RemoveAcknowledged(context, list, false);
        if (list.GetCount() == 0) {
            m_bAcknowledged = true;
            ProcessPendingActivities();
            return 1;
        }
        LogTrace("--F:activityfailed count =%d archiving", list.GetCount());
        std::string strText = BuildArchiveText(list);
        if (strText.empty()) {
            ProcessPendingActivities();
            return 0;
        }
        if (CActivityFileDataStorage(m_environment.strArchiveFolder).SaveData(strText)) {
            m_bArchived = true;
            LogTrace("--I:failed activites archived to file");
        } else {
            LogTrace("--F:failedto archive data=%s", strText.c_str());
        }
        return 0;
    } catch (...) {
        LogTrace("*** E: CFileRequestHandler PostActivity ***");
        return 0;
    }
}

// The archive's lock is held from the read to the rewrite, so that an activity archived meanwhile
// by another request waits instead of being erased, and two re-sends do not send the same activities.
void CFileRequestHandler::ProcessPendingActivities() {
    try {
        LogTraceDetail("--I-: Processingpendingactivities --");
        CActivityFileDataStorage storage(m_environment.strArchiveFolder);
        std::lock_guard<std::recursive_mutex> archiveLock(CActivityFileDataStorage::GetArchiveLock());
        std::string strText;
        if (!storage.ReadData(strText) || strText.empty())
            return;
        CActivityList list;
        std::string strWrapped = "<activities>" + strText + "</activities>";
        bool bParsedWhole = CKlendoActivityParser().ParseActivityFromString(strWrapped, list) != -1;
        if (!bParsedWhole && !SetAsideRecordsThatDoNotParse(m_environment.strArchiveFolder, strText, list))
            return;
        if (list.GetCount() == 0)
            return;
        CAddActivityContext context;
        ReadServer(context);
        CAddActivityClientReqHandler client(&context, &list);
        if (!client.Execute() || context.m_mapActivityStatus.empty())
            return;
        LogTrace("--I: pending activities processed successfully");
        // Only what the server acknowledged leaves the archive; the rest is sent again next time.
        RemoveAcknowledged(context, list, true);
        if (list.GetCount() == 0)
            storage.ClearData();
        else
            storage.ReplaceData(BuildArchiveText(list));
    } catch (...) {
        LogTrace("*** E:processpending activities ***");
    }
}
