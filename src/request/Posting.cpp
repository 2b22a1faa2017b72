#include "request/Posting.h"

#include "Include/LogFile.h"
#include "Include/StatusReport.h"
#include "activity/Activity.h"
#include "activity/ActivityFileDataStorage.h"
#include "activity/KlendoActivityParser.h"
#include "config/AgentSettings.h"
#include "request/PendingActivitySender.h"
#include "request/RequestEnvironment.h"

namespace {

// Takes every activity the server acknowledged with "1" out of the list (without freeing it).
void RemoveAcknowledged(const CAddActivityContext& context, CActivityList& list) {
    for (int nIndex = list.GetCount() - 1; nIndex >= 0; --nIndex) {
        CActivity* pActivity = list.GetAt(nIndex);
        if (pActivity != nullptr && !pActivity->m_strId.empty() &&
            IsAcknowledged(context, pActivity->m_strId))
            list.RemoveAt(nIndex);
    }
}

std::string BuildArchiveText(CActivityList& list) {
    CKlendoActivityParser parser;
    std::string strText;
    for (int nIndex = 0; nIndex < list.GetCount(); ++nIndex)
        strText += parser.BuildActivityXML(*list.GetAt(nIndex));
    return strText;
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

CAddActivityContext ContextFromSettings(const CRequestEnvironment& environment) {
    CAgentSettings settings(environment.strSettingsPath);
    CAddActivityContext context;
    context.m_http = environment.http;
    context.m_nServerPort = settings.GetServerPort();
    context.m_strServerAddress = settings.GetServerAddress();
    context.m_bSuccess = 0;
    return context;
}

bool IsAcknowledged(const CAddActivityContext& context, const std::string& strId) {
    auto status = context.m_mapActivityStatus.find(strId);
    return status != context.m_mapActivityStatus.end() && status->second == "1";
}

// The re-send itself runs on the sender's thread, so that this request neither waits for it nor
// holds the archive while it talks to the server.
int PostActivity(CActivity& activity, const CRequestEnvironment& environment, CRequestProcessing& processing,
                 bool& bAcknowledged, bool& bArchived) {
    try {
        CAddActivityContext context = ContextFromSettings(environment);
        activity.m_strId = CreateGuidString();
        CActivityList list;
        CBorrowedActivity borrowed(list, &activity);
        CAddActivityClientReqHandler client(&context, &list);
        if (client.Execute())
            RemoveAcknowledged(context, list);
        if (list.GetCount() == 0) {
            bAcknowledged = true;
            processing.GetStatusReport().NotePosted();
            processing.GetSender().Kick();
            return 1;
        }
        LogTrace("--F:activityfailed count =%d archiving", list.GetCount());
        std::string strText = BuildArchiveText(list);
        if (strText.empty()) {
            processing.GetSender().Kick();
            return 0;
        }
        if (CActivityFileDataStorage(environment.strArchiveFolder).SaveData(strText)) {
            bArchived = true;
            LogTrace("--I:failed activites archived to file");
            processing.GetSender().NoteArchived();
            processing.GetStatusReport().NoteArchived();
        } else {
            LogTrace("--F:failedto archive data=%s", strText.c_str());
        }
        return 0;
    } catch (...) {
        LogTrace("*** E: CFileRequestHandler PostActivity ***");
        return 0;
    }
}
