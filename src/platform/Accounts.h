#pragma once

#include <string>

namespace Platform {

// Where the owner look-up of a file stopped.
enum class OwnerLookup { Found, OpenFailed, ReadFailed, NoAccount, LookupFailed };

// The host name, at most nMaxLength characters (the computer name of the Windows agent holds 15).
std::string GetComputerName(size_t nMaxLength = 15);

// The user of the first logged-in session, read from the login records (utmp). False with an
// empty name when there is none; nError then holds the system error of reading the records (0 when
// they were read and held no session).
bool GetFirstSessionUser(std::string& strUser, int& nError);

// Test seam, not reachable from the settings: read sessions from this file (empty restores the
// system's own).
void SetSessionRecordsForTest(const std::string& strPath);

} // namespace Platform
