#include "client/AddActivityClientReqHandler.h"

#include "Include/LogFile.h"
#include "Include/StringUtil.h"
#include "activity/KlendoActivityParser.h"
#include "activity/XmlDocument.h"
#include "client/HttpRequest.h"

namespace {

// A reply carries one short element per activity: what it may take grows with the activities posted,
// so that a hostile reply costs little memory and a whole archive's reply still fits.
constexpr size_t kReplyBaseBytes = 64 * 1024;
constexpr size_t kReplyBytesPerActivity = 1024;

size_t ReplyLimit(int nActivities) {
    return kReplyBaseBytes + kReplyBytesPerActivity * static_cast<size_t>(nActivities > 0 ? nActivities : 0);
}

} // namespace

CAddActivityClientReqHandler::CAddActivityClientReqHandler(CAddActivityContext* pContext,
                                                           CActivityList* pList)
    : m_pContext(pContext), m_pList(pList) {}

int CAddActivityClientReqHandler::Execute() {
    try {
        std::string strUrl = BuildURL();
        std::string strBody = BuildRequestXML();
        if (strBody.empty()) {
            m_pContext->m_bSuccess = 0;
            return 0;
        }
        CHttpRequest request("POST", strUrl, m_pContext->m_http);
        size_t nReplyLimit = ReplyLimit(m_pList->GetCount());
        request.SetResponseLimit(nReplyLimit);
        if (!request.Send(strBody))
            return m_pContext->m_bSuccess;
        m_pContext->m_nHttpStatus = request.GetStatus();
        // A reply cut short cannot say reliably what the server took: it counts as no answer.
        if (request.IsResponseCut())
            LogTrace("--F: server reply longer than %zu bytes, not read", nReplyLimit);
        else
            ParseResponse(request.GetResponseText());
        return m_pContext->m_bSuccess;
    } catch (...) {
        LogTrace("*** E: CAddActivityClientReqHandler Execute ***");
        return 0;
    }
}

std::string CAddActivityClientReqHandler::BuildURL() {
    try {
        std::string strUrl = "http://" + m_pContext->m_strServerAddress;
        if (m_pContext->m_nServerPort == 0)
            m_pContext->m_nServerPort = 80;
        strUrl += ":" + std::to_string(m_pContext->m_nServerPort) + "/KlendoWebServices/";
        return strUrl + "KlendoWebServicesExt.dll" + "?AddKlendoActivity";
    } catch (...) {
        LogTrace("*** E: CAddActivityClientReqHandler BuildURL ***");
        return std::string();
    }
}

std::string CAddActivityClientReqHandler::BuildRequestXML() {
    try {
        std::string strActivities;
        CKlendoActivityParser parser;
        for (int i = 0; i < m_pList->GetCount(); ++i) {
            CActivity* pActivity = m_pList->GetAt(i);
            if (pActivity == nullptr)
                continue;
            if (pActivity->m_strId.empty())
                pActivity->m_strId = CreateGuidString();
            strActivities += parser.BuildActivityXML(*pActivity);
        }
        return strActivities.empty() ? std::string() : "<activities>" + strActivities + "</activities>";
    } catch (...) {
        LogTrace("*** E: CAddActivityClientReqHandler BuildRequestXML ***");
        return std::string();
    }
}

int CAddActivityClientReqHandler::ParseResponse(const std::string& strResponse) {
    try {
        CXmlDocument xml;
        XmlNode root = xml.LoadXML(strResponse) ? xml.GetDocumentElement() : nullptr;
        if (root == nullptr && !strResponse.empty())
            LogTrace("--F: server reply is no single XML document, %zu bytes", strResponse.size());
        if (root != nullptr) {
            std::string strStatus = xml.GetAttribute(root, "status", "");
            m_pContext->m_bSuccess = strStatus == "1" || EqualsNoCase(strStatus, "success") ? 1 : 0;
            m_pContext->m_mapActivityStatus.clear();
            for (XmlNode activity : xml.SelectNodes(root, "activity"))
                m_pContext->m_mapActivityStatus[xml.GetAttribute(activity, "id", "")] =
                    xml.GetAttribute(activity, "status", "");
        }
        return m_pContext->m_mapActivityStatus.empty() ? 0 : 1;
    } catch (...) {
        LogTrace("*** Exception in CAddActivityClientReqHandler ParseResponse ***");
        return 0;
    }
}
