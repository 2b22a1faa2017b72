#include "platform/FolderChecks.h"

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <unistd.h>

namespace Platform {

std::string ResolvePath(const std::string& strPath) {
    std::unique_ptr<char, decltype(&std::free)> pResolved(::realpath(strPath.c_str(), nullptr), std::free);
    return pResolved ? std::string(pResolved.get()) : std::string();
}

// The effective user decides, as it does for the agent's own opens.
bool CanReadFolder(const std::string& strPath) {
    return ::faccessat(AT_FDCWD, strPath.c_str(), R_OK | X_OK, AT_EACCESS) == 0;
}

bool CanWriteFolder(const std::string& strPath) {
    return ::faccessat(AT_FDCWD, strPath.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

std::string GetProcessUserName() {
    uid_t nUser = ::geteuid();
    struct passwd entry;
    struct passwd* pFound = nullptr;
    long nSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string strBuffer(nSize > 0 ? static_cast<size_t>(nSize) : 16384, '\0');
    if (::getpwuid_r(nUser, &entry, strBuffer.data(), strBuffer.size(), &pFound) == 0 && pFound != nullptr)
        return pFound->pw_name;
    return std::to_string(nUser);
}

bool HasServiceRights() {
    return ::geteuid() == 0;
}

} // namespace Platform
