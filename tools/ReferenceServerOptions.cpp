#include "ReferenceServer.h"

#include <cstdlib>
#include <sstream>

namespace {

std::vector<std::string> SplitList(const std::string& strList) {
    std::vector<std::string> items;
    std::istringstream stream(strList);
    for (std::string strItem; std::getline(stream, strItem, ',');)
        items.push_back(strItem);
    return items;
}

std::string JoinList(const std::vector<std::string>& items) {
    std::string strList;
    for (const std::string& strItem : items)
        strList += (strList.empty() ? "" : ",") + strItem;
    return strList;
}

bool ToNumber(const std::string& strText, int& nValue) {
    char* szEnd = nullptr;
    long nParsed = std::strtol(strText.c_str(), &szEnd, 10);
    if (strText.empty() || *szEnd != '\0' || nParsed < 0 || nParsed > 1000000000)
        return false;
    nValue = static_cast<int>(nParsed);
    return true;
}

bool InRange(const std::string& strText, int& nValue, int nLowest, int nHighest) {
    return ToNumber(strText, nValue) && nValue >= nLowest && nValue <= nHighest;
}

bool SetValue(SReferenceServerOptions& options, const std::string& strName, const std::string& strValue) {
    if (strName == "port")
        return InRange(strValue, options.nPort, 0, 65535);
    if (strName == "address")
        options.strAddress = strValue;
    else if (strName == "db")
        options.strDatabase = strValue;
    else if (strName == "status")
        options.strStatus = strValue;
    else if (strName == "activity-status")
        return !(options.activityStatuses = SplitList(strValue)).empty();
    else if (strName == "http-status")
        return InRange(strValue, options.nHttpStatus, 100, 599);
    else if (strName == "max-body-bytes") {
        int nBytes = 0;
        bool bGood = ToNumber(strValue, nBytes);
        options.nMaxBodyBytes = static_cast<size_t>(nBytes);
        return bGood;
    } else if (strName == "delay-ms")
        return ToNumber(strValue, options.nDelayMs);
    else if (strName == "reply")
        return !(options.strReplyBody = strValue).empty();
    else if (strName == "threads")
        return InRange(strValue, options.nThreads, 1, 1024);
    else if (strName == "keep-alive-seconds")
        return InRange(strValue, options.nKeepAliveSeconds, 1, 3600);
    else if (strName == "keep-alive-requests")
        return InRange(strValue, options.nKeepAliveRequests, 1, 1000000000);
    return true;
}

} // namespace

bool IsReferenceServerFlag(const std::string& strName) {
    return strName == "no-status" || strName == "no-activities" || strName == "lenient";
}

bool SetReferenceServerOption(SReferenceServerOptions& options, const std::string& strName,
                              const std::string& strValue, std::string& strError) {
    static const char* const kValueNames[] = {
        "port",           "address",  "db",    "status",  "activity-status",    "http-status",
        "max-body-bytes", "delay-ms", "reply", "threads", "keep-alive-seconds", "keep-alive-requests"};
    bool bKnown = IsReferenceServerFlag(strName);
    for (const char* szName : kValueNames)
        bKnown = bKnown || strName == szName;
    if (!bKnown) {
        strError = "unknown option: " + strName;
        return false;
    }
    bool bGood = true;
    if (strName == "no-status")
        options.bOmitStatus = true;
    else if (strName == "no-activities")
        options.bOmitActivities = true;
    else if (strName == "lenient")
        options.bStrictXml = false;
    else
        bGood = SetValue(options, strName, strValue);
    if (!bGood)
        strError = "bad value for " + strName + ": " + strValue;
    return bGood;
}

std::vector<std::pair<std::string, std::string>>
DescribeReferenceServerOptions(const SReferenceServerOptions& options) {
    std::vector<std::pair<std::string, std::string>> pairs = {
        {"port", std::to_string(options.nPort)},
        {"address", options.strAddress},
        {"db", options.strDatabase},
        {"status", options.strStatus},
        {"http-status", std::to_string(options.nHttpStatus)},
        {"max-body-bytes", std::to_string(options.nMaxBodyBytes)},
        {"delay-ms", std::to_string(options.nDelayMs)},
        {"threads", std::to_string(options.nThreads)},
        {"keep-alive-seconds", std::to_string(options.nKeepAliveSeconds)},
        {"keep-alive-requests", std::to_string(options.nKeepAliveRequests)}};
    if (!options.activityStatuses.empty())
        pairs.emplace_back("activity-status", JoinList(options.activityStatuses));
    if (!options.strReplyBody.empty())
        pairs.emplace_back("reply", options.strReplyBody);
    if (options.bOmitStatus)
        pairs.emplace_back("no-status", "1");
    if (options.bOmitActivities)
        pairs.emplace_back("no-activities", "1");
    if (!options.bStrictXml)
        pairs.emplace_back("lenient", "1");
    return pairs;
}
