#pragma once

#include <string>

namespace Platform {

// Where the owner look-up of a file stopped.
enum class OwnerLookup { Found, OpenFailed, ReadFailed, NoAccount, LookupFailed };

// The host name, at most nMaxLength characters (the computer name of the Windows agent holds 15).
std::string GetHostComputerName(size_t nMaxLength = 15);

// The users logged on at this machine. Any thread.
class ISessionInfo {
  public:
    virtual ~ISessionInfo() = default;

    // The user of the first session that is still alive. False with an empty name when there is
    // none; GetLastError() then holds the system error of reading the sessions, 0 when they were
    // read and held no session.
    virtual bool GetFirstSessionUser(std::string& strUser) = 0;
};

// The sessions of this machine as its login records hold them.
class CSystemSessions : public ISessionInfo {
  public:
    bool GetFirstSessionUser(std::string& strUser) override;
};

} // namespace Platform
