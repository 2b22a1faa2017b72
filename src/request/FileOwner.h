#pragma once

#include "platform/FileAccess.h"

#include <mutex>
#include <string>

class CActivity;
namespace Platform {
class ISessionInfo;
}

// The user of the first logged-in session, and whether it changed since the last look-up of this
// object. Requests of several threads look up at the same time.
class CLoggedOnUser {
  public:
    // The user as pSessions tells (none known when null). Result codes: 0 the same user as last time,
    // 1 the first user seen, 2 an empty name, 3 another user than last time, -1 none found and none
    // seen before (0 when none found but one was seen before; the name is then empty).
    int GetExplorerUserName(Platform::ISessionInfo* pSessions, std::string& strUser);

  private:
    std::mutex m_mutex;
    std::string m_strLastUser;
};

// Charges the activity to the owner of the file held (pLoggedOnUser null) or to the logged-on user
// as pSessions tells (none known when null), "Administrator" when neither is found, and logs the
// look-up under strPath. 1, or 0 on failure.
int ReadFileOwner(const Platform::IFileBeneath& file, const std::string& strPath,
                  CLoggedOnUser* pLoggedOnUser, Platform::ISessionInfo* pSessions, CActivity& activity);

// The owner account of the file held open (the one the pipeline processes, not whatever its path names
// later) and its domain (the host name). 0 when found, -1 otherwise; the steps' messages go to
// standard output.
int GetFileOwner(const Platform::IFileBeneath& file, std::string& strOwner, std::string& strDomain);
