#include "request/FileOwner.h"

#include "Include/LogFile.h"
#include "Include/StringUtil.h"
#include "activity/Activity.h"
#include "platform/Accounts.h"
#include "platform/Thread.h"

#include <cstdio>

// The owner is read from the file held, never by its path, so that a name swapped meanwhile cannot
// charge another file's owner.
int ReadFileOwner(const Platform::IFileBeneath& file, const std::string& strPath,
                  CLoggedOnUser* pLoggedOnUser, Platform::ISessionInfo* pSessions, CActivity& activity) {
    try {
        activity.m_document.m_strUserName = "Administrator";
        std::string strOwner;
        std::string strDomain;
        int nResult = pLoggedOnUser != nullptr ? pLoggedOnUser->GetExplorerUserName(pSessions, strOwner)
                                               : GetFileOwner(file, strOwner, strDomain);
        LogTrace("--I: f=%s own=%s dom=%s rv=%d", strPath.c_str(), strOwner.c_str(), strDomain.c_str(),
                 nResult);
        if (!strOwner.empty())
            activity.m_document.m_strUserName = strOwner;
        return 1;
    } catch (...) {
        LogTrace("*** E: ReadFileOwner ***");
        return 0;
    }
}

int GetFileOwner(const Platform::IFileBeneath& file, std::string& strOwner, std::string& strDomain) {
    // Standard output may be a pipe to the journal: each message goes out whole and at once.
    struct CFlushAtEnd {
        ~CFlushAtEnd() { std::fflush(stdout); }
    } flushAtEnd;
    Platform::OwnerLookup result = file.GetHeldOwner(strOwner, strDomain);
    int nError = Platform::GetLastError();
    switch (result) {
    case Platform::OwnerLookup::Found:
        std::printf("Account owner = %s\n", strOwner.c_str());
        return 0;
    case Platform::OwnerLookup::OpenFailed:
        std::printf("CreateFile error = %d\n", nError);
        return -1;
    case Platform::OwnerLookup::ReadFailed:
        std::printf("GetSecurityInfo error = %d\n", nError);
        return -1;
    case Platform::OwnerLookup::NoAccount:
        std::printf("Account owner not found for specified SID.\n");
        return -1;
    case Platform::OwnerLookup::LookupFailed:
        std::printf("Error in LookupAccountSid.\n");
        return -1;
    }
    return -1;
}

int CLoggedOnUser::GetExplorerUserName(Platform::ISessionInfo* pSessions, std::string& strUser) {
    strUser.clear();
    std::string strFound;
    bool bFound = pSessions != nullptr && pSessions->GetFirstSessionUser(strFound);
    if (!bFound)
        LogTrace("Faield to Get Exploerere Handle  Error( %d)",
                 pSessions != nullptr ? Platform::GetLastError() : 0);
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!bFound) {
        LogTrace("Failed to Process UserName");
        return m_strLastUser.empty() ? -1 : 0;
    }
    strUser = strFound;
    if (EqualsNoCase(strFound, m_strLastUser))
        return 0;
    int nResult = m_strLastUser.empty() ? 1 : strFound.empty() ? 2 : 3;
    m_strLastUser = strFound;
    return nResult;
}
