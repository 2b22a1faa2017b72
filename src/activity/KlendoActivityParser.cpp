#include "activity/KlendoActivityParser.h"

#include "Include/StringUtil.h"

#include "Include/LogFile.h"
#include "activity/XmlDocument.h"
#include "platform/Guid.h"

#include <cctype>
#include <cfloat>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

std::string FormatNumber(const char* szFormat, double dValue) {
    int nLength = std::snprintf(nullptr, 0, szFormat, dValue);
    if (nLength <= 0)
        return std::string();
    std::vector<char> buffer(static_cast<size_t>(nLength) + 1);
    std::snprintf(buffer.data(), buffer.size(), szFormat, dValue);
    return std::string(buffer.data(), static_cast<size_t>(nLength));
}

std::string FormatInt(int nValue) {
    return std::to_string(nValue);
}

std::string FormatFloat(double dValue) {
    return FormatNumber("%f", dValue);
}

float ToFloat(const std::string& strText) {
    return ClampToFloat(ParseLeadingDouble(strText));
}

std::string OrDefaultZero(const std::string& strText, const char* szZero) {
    return strText.empty() ? std::string(szZero) : strText;
}

void SetDocumentAttributes(CXmlDocument& xml, XmlNode node, const CActivityDocument& document) {
    xml.SetAttribute(node, "name", document.m_strName);
    xml.SetAttribute(node, "username", document.m_strUserName);
    xml.SetAttribute(node, "datetime", document.m_strDateTime);
    xml.SetAttribute(node, "width", FormatFloat(document.m_fWidth));
    xml.SetAttribute(node, "length", FormatFloat(document.m_fLength));
    xml.SetAttribute(node, "copies", FormatInt(document.m_nCopies));
    xml.SetAttribute(node, "pages", FormatInt(document.m_nPages));
    xml.SetAttribute(node, "color", document.m_bColor ? "1" : "0");
    xml.SetAttribute(node, "device", document.m_strDevice);
    xml.SetAttribute(node, "machinename", document.m_strMachineName);
    xml.SetAttribute(node, "pagesizeref", document.m_strPageSizeRef);
    xml.SetAttribute(node, "colorsheets", FormatInt(document.m_nColorSheets));
    xml.SetAttribute(node, "clr_c", FormatFloat(document.m_dClrC));
    xml.SetAttribute(node, "clr_m", FormatFloat(document.m_dClrM));
    xml.SetAttribute(node, "clr_y", FormatFloat(document.m_dClrY));
    xml.SetAttribute(node, "clr_k", FormatFloat(document.m_dClrK));
}

void AddBilling(CXmlDocument& xml, XmlNode root, const CActivityBilling& billing) {
    XmlNode node = xml.AddChildElement(root, "billing", "");
    if (node == nullptr)
        return;
    xml.SetAttribute(node, "projectnumber", billing.m_strProjectNumber);
    xml.SetAttribute(node, "phasenumber", billing.m_strPhaseNumber);
    xml.SetAttribute(node, "unlisted-projectnum", billing.m_strUnlistedProjectNum);
    xml.SetAttribute(node, "unlisted-phasenum", billing.m_strUnlistedPhaseNum);
    xml.SetAttribute(node, "billcodename", billing.m_strBillCodeName);
    xml.SetAttribute(node, "notes", billing.m_strNotes);
    xml.SetAttribute(node, "medianame", billing.m_strMediaName);
    XmlNode fields = xml.AddChildElement(node, "customfields", "");
    if (fields == nullptr)
        return;
    for (const CCustomField* pField : billing.m_customFields) {
        if (pField == nullptr)
            continue;
        XmlNode field = xml.AddChildElement(fields, "field", "");
        xml.SetAttribute(field, "id", pField->m_strId);
        xml.SetAttribute(field, "name", pField->m_strName);
        xml.SetAttribute(field, "value", pField->m_strValue);
        xml.SetAttribute(field, "key", pField->m_strKey);
    }
}

void ReadBilling(const CXmlDocument& xml, XmlNode node, CActivityBilling& billing) {
    billing.m_strProjectNumber = xml.GetAttribute(node, "projectnumber", "");
    billing.m_strPhaseNumber = xml.GetAttribute(node, "phasenumber", "");
    billing.m_strBillCodeName = xml.GetAttribute(node, "billcodename", "");
    if (billing.m_strBillCodeName.empty())
        billing.m_strBillCodeName = xml.GetAttribute(node, "billcode", "");
    billing.m_strUnlistedProjectNum = xml.GetAttribute(node, "unlisted-projectnum", "");
    billing.m_strUnlistedPhaseNum = xml.GetAttribute(node, "unlisted-phasenum", "");
    billing.m_strNotes = xml.GetAttribute(node, "notes", "");
    billing.m_strMediaName = xml.GetAttribute(node, "medianame", "");
    XmlNode fields = xml.SelectSingleNode(node, "customfields");
    if (fields == nullptr)
        return;
    for (XmlNode field : xml.SelectNodes(fields, "field")) {
        auto pNewField = std::make_unique<CCustomField>();
        billing.m_customFields.push_back(pNewField.get());
        CCustomField* pField = pNewField.release();
        pField->m_strId = xml.GetAttribute(field, "id", "");
        pField->m_strName = xml.GetAttribute(field, "name", "");
        pField->m_strValue = xml.GetAttribute(field, "value", "");
        pField->m_strKey = xml.GetAttribute(field, "key", "");
    }
}

void ReadDocument(const CXmlDocument& xml, XmlNode node, CActivityDocument& document) {
    document.m_strName = xml.GetAttribute(node, "name", "");
    document.m_strUserName = xml.GetAttribute(node, "username", "");
    document.m_strDateTime = xml.GetAttribute(node, "datetime", "");
    document.m_fWidth = ToFloat(xml.GetAttribute(node, "width", ""));
    document.m_fLength = ToFloat(xml.GetAttribute(node, "length", ""));
    document.m_nCopies = ParseLeadingInt(xml.GetAttribute(node, "copies", ""));
    document.m_nPages = ParseLeadingInt(xml.GetAttribute(node, "pages", ""));
    document.m_bColor = xml.GetAttribute(node, "color", "") == "1";
    document.m_strDevice = xml.GetAttribute(node, "device", "");
    if (document.m_strDevice.empty())
        document.m_strDevice = xml.GetAttribute(node, "devicename", "");
    document.m_strMachineName = xml.GetAttribute(node, "machinename", "");
    document.m_strPageSizeRef = xml.GetAttribute(node, "pagesizeref", "");
    document.m_nColorSheets = ParseLeadingInt(OrDefaultZero(xml.GetAttribute(node, "colorsheets", ""), "0"));
    document.m_dClrC = ParseLeadingDouble(OrDefaultZero(xml.GetAttribute(node, "clr_c", ""), "0.0"));
    document.m_dClrM = ParseLeadingDouble(OrDefaultZero(xml.GetAttribute(node, "clr_m", ""), "0.0"));
    document.m_dClrY = ParseLeadingDouble(OrDefaultZero(xml.GetAttribute(node, "clr_y", ""), "0.0"));
    document.m_dClrK = ParseLeadingDouble(OrDefaultZero(xml.GetAttribute(node, "clr_k", ""), "0.0"));
}

// A new activity from one "activity" element; a missing document part is logged and left initial.
std::unique_ptr<CActivity> ReadActivity(const CXmlDocument& xml, XmlNode node, const std::string& strXml) {
    auto pActivity = std::make_unique<CActivity>();
    pActivity->m_strId = xml.GetAttribute(node, "id", "");
    pActivity->m_strType = xml.GetAttribute(node, "type", "");
    pActivity->m_strStatus = xml.GetAttribute(node, "status", "");
    pActivity->m_strSource = xml.GetAttribute(node, "source", "");
    std::string strFlags = xml.GetAttribute(node, "flags", "");
    if (!strFlags.empty())
        pActivity->m_nFlags = ParseLeadingInt(strFlags);
    pActivity->m_strDevSerial = xml.GetAttribute(node, "devserial", "");
    pActivity->m_strJobId = xml.GetAttribute(node, "jobid", "");
    XmlNode billing = xml.SelectSingleNode(node, "billing");
    if (billing != nullptr)
        ReadBilling(xml, billing, pActivity->m_billing);
    XmlNode document = xml.SelectSingleNode(node, "document");
    if (document != nullptr)
        ReadDocument(xml, document, pActivity->m_document);
    else
        LogTrace("--F:failed to parse activity from data=%s", strXml.c_str());
    return pActivity;
}

bool IsTagNameEnd(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/' || c == '>';
}

} // namespace

std::string CKlendoActivityParser::BuildActivityXML(const CActivity& activity) {
    try {
        CXmlDocument xml;
        if (!xml.LoadXML("<activity></activity>"))
            return std::string();
        XmlNode root = xml.GetDocumentElement();
        if (root == nullptr)
            return std::string();
        xml.SetAttribute(root, "id", activity.m_strId);
        xml.SetAttribute(root, "type", activity.m_strType);
        xml.SetAttribute(root, "status", activity.m_strStatus);
        xml.SetAttribute(root, "source", activity.m_strSource);
        xml.SetAttribute(root, "flags", FormatInt(activity.m_nFlags));
        xml.SetAttribute(root, "devserial", activity.m_strDevSerial);
        xml.SetAttribute(root, "jobid", activity.m_strJobId);
        XmlNode document = xml.AddChildElement(root, "document", "");
        if (document != nullptr)
            SetDocumentAttributes(xml, document, activity.m_document);
        AddBilling(xml, root, activity.m_billing);
        return xml.GetXml();
    } catch (...) {
        LogTrace("*** E : CKlendoActivityParser BuildActivityXML ***");
        return std::string();
    }
}

int CKlendoActivityParser::ParseActivityFromString(const std::string& strXml, CActivityList& list) {
    try {
        list.Clear();
        CXmlDocument xml;
        if (!xml.LoadXML(strXml)) {
            LogTrace("--F:loadactivityfromstring=%s", strXml.c_str());
            return -1;
        }
        XmlNode root = xml.GetDocumentElement();
        if (root == nullptr) {
            LogTrace("--F:loadactivityxml invalid root =%s", strXml.c_str());
            return -1;
        }
        std::vector<XmlNode> activities = xml.SelectNodes(root, "activity");
        if (activities.empty())
            return -1;
        for (XmlNode node : activities) {
            std::unique_ptr<CActivity> pActivity = ReadActivity(xml, node, strXml);
            list.Add(pActivity.get());
            pActivity.release();
        }
        return list.GetCount();
    } catch (...) {
        LogTrace("***  E: CKlendoActivityParser ParseActivityFromString ***");
        return -1;
    }
}

std::vector<std::string> SplitActivityRecords(const std::string& strText) {
    static const std::string strStartTag = "<activity";
    std::vector<size_t> starts;
    for (size_t nPos = strText.find(strStartTag); nPos != std::string::npos;
         nPos = strText.find(strStartTag, nPos + 1)) {
        size_t nNext = nPos + strStartTag.size();
        if (nNext == strText.size() || IsTagNameEnd(strText[nNext]))
            starts.push_back(nPos);
    }
    std::vector<std::string> records;
    size_t nFirst = starts.empty() ? strText.size() : starts.front();
    if (strText.find_first_not_of(" \t\r\n") < nFirst)
        records.push_back(strText.substr(0, nFirst));
    for (size_t i = 0; i < starts.size(); ++i) {
        size_t nEnd = i + 1 < starts.size() ? starts[i + 1] : strText.size();
        records.push_back(strText.substr(starts[i], nEnd - starts[i]));
    }
    return records;
}

std::string CreateGuidString() {
    std::string strGuid;
    try {
        if (!Platform::CreateGuid(strGuid))
            strGuid.clear();
    } catch (...) {
        strGuid = "NULL";
    }
    return strGuid;
}
