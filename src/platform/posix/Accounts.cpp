#include "platform/Accounts.h"
#include "platform/posix/OwnerOfHandle.h"
#include "platform/posix/SessionRecords.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmp.h>
#include <vector>

namespace Platform {

OwnerLookup GetOwnerAccountOfHandle(int nHandle, std::string& strOwner, std::string& strDomain) {
    struct stat info;
    if (::fstat(nHandle, &info) != 0)
        return OwnerLookup::ReadFailed;
    long nSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(nSize > 0 ? static_cast<size_t>(nSize) : 16384);
    struct passwd entry;
    struct passwd* pResult = nullptr;
    int nLookup = ::getpwuid_r(info.st_uid, &entry, buffer.data(), buffer.size(), &pResult);
    // getpwuid_r gives its error as its result, and no error when the account does not exist.
    if (nLookup != 0 || pResult == nullptr) {
        errno = nLookup;
        return nLookup != 0 ? OwnerLookup::LookupFailed : OwnerLookup::NoAccount;
    }
    strOwner = entry.pw_name;
    strDomain = GetHostComputerName();
    return OwnerLookup::Found;
}

std::string GetHostComputerName(size_t nMaxLength) {
    char szName[256] = {};
    if (::gethostname(szName, sizeof(szName) - 1) != 0)
        return std::string();
    std::string strName(szName);
    return strName.substr(0, nMaxLength);
}

bool ReadFirstSessionUser(const std::string& strRecordsPath, std::string& strUser) {
    strUser.clear();
    std::ifstream records(strRecordsPath, std::ios::binary);
    if (!records)
        return false;
    struct utmp record;
    while (records.read(reinterpret_cast<char*>(&record), sizeof(record))) {
        if (record.ut_type != USER_PROCESS || record.ut_user[0] == '\0')
            continue;
        // Only a session whose process still lives counts: a crashed login can leave its record.
        if (record.ut_pid > 0 && ::kill(record.ut_pid, 0) != 0 && errno == ESRCH)
            continue;
        strUser.assign(record.ut_user, ::strnlen(record.ut_user, sizeof(record.ut_user)));
        errno = 0;
        return true;
    }
    errno = 0;
    return false;
}

bool CSystemSessions::GetFirstSessionUser(std::string& strUser) {
    return ReadFirstSessionUser(_PATH_UTMP, strUser);
}

} // namespace Platform
